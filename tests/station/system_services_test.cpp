// The station's desktop services over D-Bus: the sleep inhibitors and the
// will-sleep signal of logind, and the notification service. Both are stand-ins
// of the test's own on the private bus that serves as session and system bus.
#include "station/station_fixture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QVariantMap>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace lantern::test {

// logind's manager: hands out inhibitor descriptors (pipes whose other end it
// keeps, so it sees when one is closed) and announces sleep.
class FakeLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    struct Lock {
        QString what, mode;
        int watch = -1; // our end: hung up once the station closes its end
        bool released() const {
            pollfd ready{watch, POLLIN, 0};
            return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLHUP);
        }
    };
    std::vector<Lock> locks;

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return {};
        EXPECT_EQ(who, "Lantern FM");
        EXPECT_EQ(why, "Lantern FM is on air");
        locks.push_back({what, mode, ends[0]});
        QDBusUnixFileDescriptor handed(ends[1]); // duplicates it
        ::close(ends[1]);
        return handed;
    }
};

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<std::pair<QString, QString>> shown;

public Q_SLOTS:
    uint Notify(const QString& app, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int) {
        EXPECT_EQ(app, "Lantern FM");
        shown.emplace_back(summary, body);
        return uint(shown.size());
    }
};

} // namespace lantern::test

namespace lantern {
namespace {

using test::eventually;

class SystemServicesTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        bus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                            "system-services");
        ASSERT_TRUE(
            bus.registerObject("/org/freedesktop/login1", &login, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService("org.freedesktop.login1"));
        ASSERT_TRUE(bus.registerObject("/org/freedesktop/Notifications", &notifications,
                                       QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications"));
    }
    ~SystemServicesTest() override { // after the station went
        bus.unregisterService("org.freedesktop.login1");
        bus.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus("system-services");
    }
    void announceSleep(bool sleeping) {
        auto signal = QDBusMessage::createSignal(
            "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep");
        signal << sleeping;
        bus.send(signal);
    }
    const test::FakeLogin::Lock* lock(const QString& what, std::size_t nth = 0) {
        for (const auto& held : login.locks)
            if (held.what == what && nth-- == 0) return &held;
        return nullptr;
    }

    QDBusConnection bus{QString()};
    test::FakeLogin login;
    test::FakeNotifications notifications;
};

// The machine does not fall asleep under a broadcast, and when it sleeps
// anyway the station goes off air first.
TEST_F(SystemServicesTest, TheStationGoesOffAirBeforeTheMachineSleeps) {
    auto& s = make(nullptr, true);
    // A delay lock from the start, so the station hears of sleep in time.
    ASSERT_TRUE(eventually([&] { return lock("sleep") && lock("sleep")->mode == "delay"; }));
    EXPECT_FALSE(lock("idle"));
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return lock("idle") != nullptr; }));
    s.goOffAir();
    EXPECT_TRUE(eventually([&] { return lock("idle")->released(); }));
    EXPECT_FALSE(lock("sleep")->released()); // held for the next broadcast

    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return lock("idle", 1) && lock("idle", 1)->mode == "block"; }));

    announceSleep(true);
    ASSERT_TRUE(eventually([&] { return !s.onAir(); }));
    // Both let go, so sleep may go ahead.
    EXPECT_TRUE(
        eventually([&] { return lock("idle", 1)->released() && lock("sleep")->released(); }));

    // Awake again: a new delay lock; the station stays off air.
    announceSleep(false);
    ASSERT_TRUE(eventually([&] { return lock("sleep", 1) != nullptr; }));
    EXPECT_FALSE(s.onAir());
}

// In fresh mode the user hears of a new tunnel URL, as a desktop
// notification, only when it changed within a broadcast; a tunnel that went
// down says so until the next URL.
TEST_F(SystemServicesTest, AChangedLinkIsADesktopNotification) {
    qputenv("LANTERN_CLOUDFLARED", home.filePath("none").toUtf8());
    auto real = environment();
    real.notify = nullptr; // the desktop's
    auto& s = *(station = std::make_unique<Station>(real));
    ASSERT_NE(onAir(s), 0);
    StationProbe::tunnelUp(s, "https://first-one.trycloudflare.com");
    StationProbe::tunnelUp(s, "https://first-one.trycloudflare.com");
    StationProbe::tunnelDown(s);
    EXPECT_EQ(StationProbe::statusKind(s), StatusLine::Kind::broadcast);
    StationProbe::tick(s); // a silence line does not replace it
    EXPECT_EQ(StationProbe::statusKind(s), StatusLine::Kind::broadcast);
    StationProbe::tunnelUp(s, "https://second-one.trycloudflare.com");
    EXPECT_EQ(StationProbe::statusKind(s), StatusLine::Kind::none);
    ASSERT_TRUE(eventually([&] { return !notifications.shown.empty(); }));
    EXPECT_EQ(notifications.shown[0].first, "Your link changed");
    EXPECT_EQ(notifications.shown[0].second, "Share the new one: second-one.trycloudflare.com");
    test::settle(300ms);
    EXPECT_EQ(notifications.shown.size(), 1u);
}

} // namespace
} // namespace lantern

#include "system_services_test.moc"
