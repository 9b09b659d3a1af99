#include "system/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace lantern::Autostart {

QString entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/lantern-fm.desktop");
}

bool enabled() {
    const auto path = entryPath();
    if (!QFileInfo::exists(path)) return false;
    QSettings entry(path, QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    return !entry.value(QStringLiteral("Hidden")).toBool() &&
           entry.value(QStringLiteral("X-GNOME-Autostart-enabled"), true).toBool();
}

bool setEnabled(bool on, const QString& program) {
    const auto path = entryPath();
    if (!on) return !QFileInfo::exists(path) || QFile::remove(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
    // Exec quoting: a path with spaces or quotes is given in double quotes
    // with backslash escapes, as the desktop entry format asks.
    QString exec = program;
    if (exec.contains(QRegularExpression(QStringLiteral("[\\s\"'\\\\$`]")))) {
        exec.replace(QLatin1String("\\"), QLatin1String("\\\\"));
        for (const char* special : {"\"", "$", "`"})
            exec.replace(QLatin1String(special), QLatin1String("\\") + QLatin1String(special));
        exec = u'"' + exec + u'"';
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    const auto text = QStringLiteral("[Desktop Entry]\n"
                                     "Type=Application\n"
                                     "Name=Lantern FM\n"
                                     "Comment=Your personal radio station\n"
                                     "Exec=%1\n"
                                     "Icon=com.brindle.lanternfm\n"
                                     "Terminal=false\n"
                                     "X-GNOME-Autostart-enabled=true\n")
                          .arg(exec);
    file.write(text.toUtf8());
    return file.commit();
}

} // namespace lantern::Autostart
