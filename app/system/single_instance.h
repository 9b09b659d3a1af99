#pragma once

#include <QObject>
#include <QVariantMap>

namespace lantern {

// One Lantern FM per desktop session: the first one owns the bus name
// "com.brindle.lanternfm" and serves org.freedesktop.Application's Activate;
// a later launch asks it to show itself and ends.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    static constexpr const char* busName = "com.brindle.lanternfm";
    static constexpr const char* objectPath = "/com/brindle/lanternfm";

    enum class Outcome {
        first,     // this process is the one
        activated, // another one runs and was asked to show itself
        alone,     // no session bus: nothing to share
    };
    // Claims the name, or activates its owner.
    Outcome claim();

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);

Q_SIGNALS:
    void activated();
};

} // namespace lantern
