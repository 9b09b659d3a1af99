#include "settings/settings.h"

#include <QStandardPaths>

namespace lantern {

Settings& Settings::shared() {
    static Settings settings;
    return settings;
}

Settings::Settings()
    : store_(std::make_unique<QSettings>(
          QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              "/lantern-fm/lantern-fm.ini",
          QSettings::IniFormat)) {}

Settings::Settings(const QString& path)
    : store_(std::make_unique<QSettings>(path, QSettings::IniFormat)) {}

void Settings::applyArguments(const QStringList& arguments) {
    for (const auto& argument : arguments) {
        if (!argument.startsWith("--")) continue;
        const auto equals = argument.indexOf('=');
        if (equals <= 2) continue;
        overrides_[argument.mid(2, equals - 2)] = argument.mid(equals + 1);
    }
}

QVariant Settings::value(const QString& key, const QVariant& fallback) const {
    if (const auto found = overrides_.find(key); found != overrides_.end()) return found->second;
    return store_->value(key, fallback);
}

std::optional<QString> Settings::string(const QString& key) const {
    const auto stored = value(key);
    if (!stored.isValid() || stored.typeId() != QMetaType::QString) return std::nullopt;
    return stored.toString();
}

bool Settings::flag(const QString& key) const {
    const auto text = value(key).toString().trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("1") ||
           text == QLatin1String("yes");
}

void Settings::setValue(const QString& key, const QVariant& value) {
    overrides_.erase(key);
    store_->setValue(key, value);
}

void Settings::remove(const QString& key) {
    overrides_.erase(key);
    store_->remove(key);
}

} // namespace lantern
