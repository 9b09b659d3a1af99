// lantern-fm on a desktop. In a real tray: xfce4-panel (whose tray plugin
// hosts XEmbed and StatusNotifierItem icons) under openbox, on the test's
// display and bus, at 1x and 2x, with screenshots of the icon in the tray off
// air and on air. Without one: the panel as a window, one instance a session.
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/lantern_run.h"
#include "support/session_bus.h"
#include "support/world.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>
#include <utility>

namespace lantern::test {
namespace {

// The desktop's tray: the panel, its settings daemon and a window manager.
class TrayHost {
public:
    explicit TrayHost(int scale) {
        auto& bus = World::bus();
        World::display();
        const auto channel = config_.filePath("xfce4/xfconf/xfce-perchannel-xml");
        QDir().mkpath(channel);
        QFile::copy(XFCE_PANEL_XML, channel + "/xfce4-panel.xml");
        const std::vector<std::string> environment{
            "XDG_CONFIG_HOME=" + config_.path().toStdString(), "GDK_SCALE=" + std::to_string(scale),
            "XDG_RUNTIME_DIR=" + config_.path().toStdString()};
        for (const auto& daemon : std::filesystem::directory_iterator("/usr/lib"))
            if (std::filesystem::exists(daemon.path() / "xfce4/xfconf/xfconfd"))
                pids_.push_back(
                    startProgram({(daemon.path() / "xfce4/xfconf/xfconfd").string()}, environment));
        pids_.push_back(startProgram({"openbox"}, environment));
        pids_.push_back(startProgram({"xfce4-panel"}, environment));
        ready = eventually([&] { return bus.hasOwner("org.kde.StatusNotifierWatcher"); }, 10s);
    }
    ~TrayHost() {
        for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid)
            endProgram(*pid);
    }
    bool ready = false;

private:
    QTemporaryDir config_;
    std::vector<pid_t> pids_;
};

QImage screen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// The bounding box of the pixels in the panel's right end that `pick` picks.
template <typename Pick> QRect pixelsIn(const QImage& shot, int panelHeight, Pick pick) {
    QRect found;
    for (int y = 0; y < panelHeight; ++y)
        for (int x = shot.width() - 200; x < shot.width(); ++x)
            if (pick(shot.pixelColor(x, y))) found |= QRect(x, y, 1, 1);
    return found;
}

// The icon: what differs from the panel's colour there.
QRect iconIn(const QImage& shot, int panelHeight) {
    const int ground = qGray(shot.pixel(10, 4));
    return pixelsIn(shot, panelHeight,
                    [&](QColor c) { return qAbs(qGray(c.rgb()) - ground) > 40; });
}

// Saves `image` as screenshots/NAME.png.
void keep(const QImage& image, const QString& name) {
    QDir().mkpath(SCREENSHOTS);
    image.save(QStringLiteral(SCREENSHOTS "/%1.png").arg(name));
}

// The tray around `icon`, three times as large.
QImage around(QRect icon) {
    const auto area = icon.adjusted(-60, 0, 8, 0);
    return screen().copy(area).scaled(area.size() * 3);
}

// The visible windows titled "Lantern FM", one id a line.
std::string lanternWindows() {
    return runProgram({"xdotool", "search", "--onlyvisible", "--name", "^Lantern FM$"}).output;
}

int visibleWindows() {
    return static_cast<int>(std::ranges::count(lanternWindows(), '\n'));
}

// The icon sits in the tray, reads at the tray's size, is red on air; a click
// drops the panel under it, whole on the screen; Return goes on air.
TEST(TrayHost, TheIconInARealTrayOpensThePanelUnderIt) {
    for (const int scale : {1, 2}) {
        TrayHost host(scale);
        ASSERT_TRUE(host.ready) << "the tray did not start";
        QTemporaryDir home;
        LanternRun app(
            home, {"--askedWhoCanListen=true"},
            {.headless = false, .environment = {"QT_SCALE_FACTOR=" + std::to_string(scale)}});
        const int strip = 28 * scale;
        // The tray lays its items out again as icons arrive: wait until the
        // icon stands still before aiming at it.
        QRect icon, before;
        ASSERT_TRUE(eventually(
            [&] {
                before = std::exchange(icon, iconIn(screen(), strip));
                return !icon.isEmpty() && icon == before;
            },
            10s))
            << "no icon in the tray at " << scale << "x";
        EXPECT_GE(icon.height(), 11 * scale) << "the icon is too small to read";
        const auto suffix = QStringLiteral("-%1x").arg(scale);
        keep(around(icon), "tray-in-xfce-off-air" + suffix);

        // A click that lands while the host is still handing the icon its
        // window is lost in any tray; a user clicks again, and so do we, but
        // only while no panel is showing.
        std::string geometry;
        const auto panelShown = [&] {
            const auto found = runProgram({"xdotool", "search", "--onlyvisible", "--name",
                                           "^Lantern FM$", "getwindowgeometry", "--shell"});
            geometry = found.output;
            return found.output.find("WIDTH=") != std::string::npos;
        };
        bool opened = false;
        for (int click = 0; click < 3 && !opened; ++click) {
            runProgram({"xdotool", "mousemove", std::to_string(icon.center().x()),
                        std::to_string(icon.center().y()), "click", "1"});
            opened = eventually(panelShown, 4s);
        }
        ASSERT_TRUE(opened) << "the panel did not open";
        const auto field = [&](const std::string& name) {
            const auto at = geometry.find(name + "=");
            return std::stoi(geometry.substr(at + name.size() + 1));
        };
        const QRect panel(field("X"), field("Y"), field("WIDTH"), field("HEIGHT"));
        EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(panel)) << "the panel runs off the screen";
        EXPECT_GE(panel.top(), strip) << "the panel covers the tray";
        EXPECT_TRUE(panel.left() <= icon.center().x() && icon.center().x() <= panel.right())
            << "the panel is not under the icon";
        keep(screen().copy(panel), "panel-under-the-tray" + suffix);

        runProgram({"xdotool", "key", "Return"}); // the panel's default: go on air
        const auto red = [](QColor c) {
            return c.red() > 180 && c.green() < 110 && c.blue() < 110;
        };
        ASSERT_TRUE(eventually([&] { return !pixelsIn(screen(), strip, red).isEmpty(); }, 10s))
            << "the icon does not show the station on air";
        keep(around(iconIn(screen(), strip)), "tray-in-xfce-on-air" + suffix);
    }
}

// Where the desktop shows no tray icons the panel is a window, shown at
// launch; once put away, a second launch brings it back and ends.
TEST(Desktop, ASecondLaunchShowsThePanelOfTheFirst) {
    World::bus();
    QTemporaryDir home;
    LanternRun first(home, {}, {.headless = false});
    ASSERT_TRUE(eventually([] { return visibleWindows() == 1; }, 30s)) << "the panel did not show";
    // Put away behind the app's back, as a desktop minimising it does (the
    // panel's own Escape is pressed in the panel's QML test): X key focus
    // without a window manager is not dependable on a busy machine.
    const auto windows = lanternWindows();
    runProgram({"xdotool", "windowunmap", "--sync", windows.substr(0, windows.find('\n'))});
    ASSERT_TRUE(eventually([] { return visibleWindows() == 0; }, 10s)) << "the panel is still up";
    LanternRun second(home, {}, {.headless = false});
    EXPECT_EQ(second.exitStatus(10s), 0);
    EXPECT_TRUE(eventually([] { return visibleWindows() == 1; }, 5s)) << visibleWindows();
    EXPECT_FALSE(processGone(first.pid()));
}

} // namespace
} // namespace lantern::test
