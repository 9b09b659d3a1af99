// The panel's QML driven by Qt Quick Test (tst_*.qml), offscreen, over a
// station of its own: private settings and keychain files, the stand-in
// tunnel tool, no sound server.
#include "settings/settings.h"
#include "station/station.h"
#include "tests/support/reserved_port.h"
#include "ui/desktop_app.h"

#include <QAccessible>
#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(LanternPlugin)

using namespace lantern;

// What the tests read back: the clipboard, the name a screen reader hears
// for an item, the addresses handed to the desktop to open; and the
// environment the station's next broadcast sees.
class Probe : public QObject {
    Q_OBJECT
public:
    Probe() {
        for (const auto& scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~Probe() override { std::ranges::for_each(schemes, &QDesktopServices::unsetUrlHandler); }
    Q_INVOKABLE QStringList opened() const { return opened_; }
    Q_INVOKABLE QString environment(const QString& name) const {
        return qEnvironmentVariable(name.toUtf8().constData());
    }
    Q_INVOKABLE void setEnvironment(const QString& name, const QString& value) {
        qputenv(name.toUtf8().constData(), value.toUtf8());
    }
    Q_INVOKABLE QString clipboard() const { return QGuiApplication::clipboard()->text(); }
    Q_INVOKABLE QString accessibleName(QObject* item) const {
        auto* interface = QAccessible::queryAccessibleInterface(item);
        return interface ? interface->text(QAccessible::Name) : QString();
    }

public Q_SLOTS:
    void open(const QUrl& url) { opened_.append(url.toString()); }

private:
    const QStringList schemes{"http", "https", "file"};
    QStringList opened_;
};

class Setup : public QObject {
    Q_OBJECT
public:
    Setup() {
        // Before the application: any warning fails the run, Qt's about a
        // missing runtime folder too.
        QFile::setPermissions(runtime_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
    }

public Q_SLOTS:
    void applicationAvailable() {
        qputenv("HOME", home_.path().toUtf8()); // the music folder recordings go to
        qputenv("XDG_CONFIG_HOME", home_.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", home_.filePath("data").toUtf8());
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        qputenv("PULSE_SERVER", "unix:/nonexistent/pulse");
        qputenv("LANTERN_CLOUDFLARED", FAKE_CLOUDFLARED);
        qputenv("FAKE_TUNNEL_RECORD", home_.filePath("launches").toUtf8());
        // The stand-in tool's public side answers the link's self-check.
        const auto edge = QByteArray::number(edge_.port());
        qputenv("FAKE_TUNNEL_EDGE", edge);
        qputenv("LANTERN_LINK_CHECK", "http://127.0.0.1:" + edge);
        settings_ = std::make_unique<Settings>(home_.filePath("settings.ini"));
        Station::Environment environment;
        environment.settings = settings_.get();
        environment.watchSystem = false;
        station_ = std::make_unique<Station>(environment);
    }
    void qmlEngineAvailable(QQmlEngine* engine) {
        DesktopApp::setUpEngine(*engine, *station_);
        qmlRegisterSingletonInstance("LanternTest", 1, 0, "Probe", &probe_);
    }
    void cleanupTestCase() { station_.reset(); }

private:
    QTemporaryDir runtime_, home_;
    test::ReservedPort edge_; // held for the stand-in tunnel's public side, all run long
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<Station> station_;
    Probe probe_;
};

QUICK_TEST_MAIN_WITH_SETUP(panel, Setup)

#include "quick_main.moc"
