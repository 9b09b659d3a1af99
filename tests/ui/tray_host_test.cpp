// lantern-fm in a real tray: xfce4-panel (whose tray plugin hosts XEmbed and
// StatusNotifierItem icons) under openbox, on the test's display and bus, at
// 1x and 2x. Screenshots of the icon in the tray, off air and on air.
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
        ready_ = eventually([&] { return bus.hasOwner("org.kde.StatusNotifierWatcher"); }, 10s);
    }
    ~TrayHost() {
        for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid)
            endProgram(*pid);
    }
    bool ready() const { return ready_; }

private:
    QTemporaryDir config_;
    std::vector<pid_t> pids_;
    bool ready_ = false;
};

QImage screen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// The bounding box of what differs from the panel's colour in its right end.
QRect iconIn(const QImage& shot, int panelHeight) {
    const auto ground = shot.pixel(10, 4);
    QRect found;
    for (int y = 0; y < panelHeight; ++y)
        for (int x = shot.width() - 200; x < shot.width(); ++x)
            if (qAbs(qGray(shot.pixel(x, y)) - qGray(ground)) > 40) found |= QRect(x, y, 1, 1);
    return found;
}

bool hasRed(const QImage& shot, QRect box) {
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x) {
            const QColor pixel = shot.pixelColor(x, y);
            if (pixel.red() > 180 && pixel.green() < 110 && pixel.blue() < 110) return true;
        }
    return false;
}

void save(const QImage& shot, QRect around, const QString& name) {
    QDir().mkpath(SCREENSHOTS);
    shot.copy(around.adjusted(-60, 0, 8, 0))
        .scaled(around.adjusted(-60, 0, 8, 0).size() * 3, Qt::IgnoreAspectRatio,
                Qt::FastTransformation)
        .save(QStringLiteral(SCREENSHOTS "/%1.png").arg(name));
}

// The icon sits in the tray, reads at the tray's size, is red on air; a click
// drops the panel under it, whole on the screen; Return goes on air.
TEST(TrayHost, TheIconInARealTrayOpensThePanelUnderIt) {
    for (const int scale : {1, 2}) {
        TrayHost host(scale);
        ASSERT_TRUE(host.ready()) << "the tray did not start";
        QTemporaryDir home;
        LanternRun::Options desktop;
        desktop.headless = false;
        desktop.environment = {"QT_SCALE_FACTOR=" + std::to_string(scale)};
        LanternRun app(home, {"--askedWhoCanListen=true"}, desktop);
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
        save(screen().copy(0, 0, 1280, strip), icon.translated(0, 0),
             "tray-in-xfce-off-air" + suffix);

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
        screen().copy(panel).save(
            QStringLiteral(SCREENSHOTS "/panel-under-the-tray%1.png").arg(suffix));

        runProgram({"xdotool", "key", "Return"}); // the panel's default: go on air
        ASSERT_TRUE(eventually([&] { return hasRed(screen(), iconIn(screen(), strip)); }, 10s))
            << "the icon does not show the station on air";
        save(screen().copy(0, 0, 1280, strip), iconIn(screen(), strip),
             "tray-in-xfce-on-air" + suffix);
    }
}

} // namespace
} // namespace lantern::test
