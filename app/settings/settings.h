#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <map>
#include <memory>

namespace lantern {

// The user's settings: an INI file under $XDG_CONFIG_HOME, where any key given
// on the command line as --key=value wins for that run (and is not saved).
class Settings {
public:
    static Settings& shared();

    // Reads --key=value arguments; other arguments are left alone.
    void applyArguments(const QStringList& arguments);

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    std::optional<QString> string(const QString& key) const;
    // A switch: "true", "1" or "yes" (any case) is on; unset is off.
    bool flag(const QString& key) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // A store at `path` (for tests); the shared one uses the standard place.
    explicit Settings(const QString& path);

private:
    Settings();
    std::unique_ptr<QSettings> store_;
    std::map<QString, QString> overrides_;
};

} // namespace lantern
