#include "ui/motion.h"

#include <QSettings>
#include <QStandardPaths>

#undef signals // glib names struct members "signals"
#include <gio/gio.h>

namespace lantern {

namespace {

// The interface settings, or null where GNOME's schema is not installed
// (GSettings aborts on a schema it does not know, so it is looked up first).
GSettings* gnomeInterface() {
    static GSettings* settings = []() -> GSettings* {
        auto* schemas = g_settings_schema_source_get_default();
        if (!schemas) return nullptr;
        auto* schema =
            g_settings_schema_source_lookup(schemas, "org.gnome.desktop.interface", TRUE);
        if (!schema) return nullptr;
        const bool known = g_settings_schema_has_key(schema, "enable-animations");
        g_settings_schema_unref(schema);
        return known ? g_settings_new("org.gnome.desktop.interface") : nullptr;
    }();
    return settings;
}

bool gnomeAnimationsOff() {
    auto* settings = gnomeInterface();
    return settings && !g_settings_get_boolean(settings, "enable-animations");
}

bool kdeAnimationsOff() {
    const auto path =
        QStandardPaths::locate(QStandardPaths::GenericConfigLocation, QStringLiteral("kdeglobals"));
    if (path.isEmpty()) return false;
    const QSettings globals(path, QSettings::IniFormat);
    bool ok = false;
    const auto factor = globals.value(QStringLiteral("KDE/AnimationDurationFactor")).toDouble(&ok);
    return ok && factor == 0.0;
}

} // namespace

bool reduceMotion() {
    return kdeAnimationsOff() || gnomeAnimationsOff();
}

} // namespace lantern
