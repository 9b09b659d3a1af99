// The panel's screens in real windows, saved as PNG files into the build
// folder's screenshots/ for people to look at, and checked for what must
// hold in them.
#include "link/keychain.h"
#include "nowplaying/now_playing_reader.h"
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "ui/desktop_app.h"
#include "ui/menu_icon.h"
#include "ui/panel_state.h"
#include "ui/panel_window.h"
#include "ui/qr_code.h"
#include "ui/tray.h"
#include "ui/who_can_listen.h"

#include <QBuffer>
#include <QDir>
#include <QFontMetricsF>
#include <QPainter>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QTest>

namespace lantern {
namespace {

using test::eventually;

QString shotPath(const QString& name) {
    QDir().mkpath(SCREENSHOTS);
    return QStringLiteral(SCREENSHOTS "/%1.png").arg(name);
}

class Screens : public StationTest {
protected:
    void TearDown() override {
        panel.reset();
        engine.reset();
        StationTest::TearDown();
    }
    void open(Station& s) {
        engine = DesktopApp::makeEngine(s);
        panel = std::make_unique<PanelWindow>(*engine, s, PanelWindow::Kind::window);
        panel->show();
        ASSERT_TRUE(eventually([&] { return panel->window()->isExposed(); }));
    }
    // Saves what the window shows now as screenshots/NAME.png.
    QImage shoot(const QString& name) {
        test::settle(400ms); // bindings, images and animations settle
        const auto image = panel->window()->grabWindow();
        EXPECT_TRUE(image.save(shotPath(name))) << name.toStdString();
        return image;
    }
    template <typename T> T* find() const {
        return panel->window()->contentItem()->findChild<T*>();
    }
    // The item of that name the screen shows, not one of a screen going away.
    QQuickItem* shown(const QString& name) const {
        QQuickItem* found = nullptr;
        for (auto* item : panel->window()->contentItem()->findChildren<QQuickItem*>(name))
            if (item->isVisible()) found = item;
        return found;
    }

    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<PanelWindow> panel;
};

Bytes coverArt() {
    QImage image(120, 120, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 120, 120);
    sky.setColorAt(0, QColor(0xF7, 0xA3, 0x6B));
    sky.setColorAt(1, QColor(0x6B, 0x3F, 0xA0));
    painter.fillRect(image.rect(), sky);
    painter.setBrush(QColor(0xFF, 0xE3, 0xA8));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QPointF(60, 70), 26, 26);
    painter.fillRect(QRect(0, 84, 120, 36), QColor(0x23, 0x2A, 0x4A));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, "PNG");
    return Bytes(bytes.begin(), bytes.end());
}

// Off air, on air (a cover, the microphone on and talking), and the sheet
// the first time and later with a problem line.
TEST_F(Screens, EveryScreenAndState) {
    sound->play("screen-player", 440);
    sound->play("screen-voice", 300, test::SoundDaemon::Play::on("mic"));
    settings.setValue("stationName", "Attic Waves");
    auto& s = make();
    open(s);
    shoot("off-air");

    auto* state = find<PanelState>();
    ASSERT_TRUE(state);
    state->about();
    shoot("about");
    state->relay();
    shoot("relay");
    state->back();
    state->goOnAir(); // never asked who can listen: the sheet comes first
    ASSERT_EQ(state->screen(), PanelState::Screen::Sheet);
    EXPECT_EQ(find<WhoCanListenModel>()->confirmLabel(), "Go On Air");
    shoot("sheet-first-time");
    state->sheetCancelled();

    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return !s.link().isEmpty(); }));
    s.reader().stop();
    StationProbe::read(s, {"Harbour Lights", "The Gulls", "Low Tide", std::nullopt, true, "P"},
                       Cover{coverArt(), "image/png"});
    shoot("on-air-with-cover");
    // A title is a web page's to set: it shows as the characters it holds,
    // never as markup that styles the panel or loads an image.
    const QString markup = "<b>Hi</b><img src=\"https://tracker.example/p.png\">";
    StationProbe::read(s, {markup.toStdString(), "A", "B", std::nullopt, true, "P"}, std::nullopt);
    test::settle(200ms);
    QQuickItem* title = nullptr;
    for (auto* item : panel->window()->contentItem()->findChildren<QQuickItem*>())
        if (item->property("text").toString() == markup) title = item;
    ASSERT_TRUE(title) << "the title is not shown";
    EXPECT_GT(title->property("contentWidth").toReal(),
              QFontMetricsF(title->property("font").value<QFont>()).horizontalAdvance("Hi") * 3);
    shoot("on-air-title-with-markup");
    StationProbe::read(s, {"Harbour Lights", "The Gulls", "Low Tide", std::nullopt, true, "P"},
                       Cover{coverArt(), "image/png"});
    s.mic().setMic(true);
    ASSERT_TRUE(eventually([&] { return s.mic().on(); }));
    shoot("on-air-mic-on");
    s.mic().setTalkOn(true);
    QTemporaryDir shows;
    settings.setValue("recordingsFolder", shows.path());
    s.recordings().setOn(true);
    ASSERT_TRUE(eventually([&] { return s.recordings().seconds() >= 1; }));
    shoot("on-air-talking-and-recording");

    // Every popup lies whole inside the panel's window, wherever its button is.
    const std::pair<const char*, const char*> popups[] = {{"showQR", "qrPopover"},
                                                          {"stopAfter", "stopMenu"},
                                                          {"share", "shareMenu"},
                                                          {"gear", "gearMenu"}};
    const QStringList shots{"qr-popover", "menu-stop-after", "menu-share", "menu-gear"};
    for (int i = 0; i < 4; ++i) {
        const auto [button, name] = popups[i];
        auto* opener = shown(button);
        auto* popup = opener ? opener->findChild<QObject*>(name) : nullptr;
        ASSERT_TRUE(popup) << button;
        QMetaObject::invokeMethod(opener, "clicked");
        ASSERT_TRUE(eventually([&] { return popup->property("opened").toBool(); })) << name;
        auto* content = popup->property("contentItem").value<QQuickItem*>()->parentItem();
        const auto shown = content->mapRectToScene(content->boundingRect());
        EXPECT_TRUE(panel->window()->contentItem()->boundingRect().contains(shown))
            << name << " lies outside the window";
        shoot(shots[i]);
        QMetaObject::invokeMethod(popup, "close");
        ASSERT_TRUE(eventually([&] { return !popup->property("visible").toBool(); }));
    }
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::Ready; }));
    StationProbe::room(s, 10);
    shoot("on-air-with-the-uplinks-room");

    settings.setValue("relayURL", "icecast://radio.example.org:8000/live"); // from the next start
    state->change();
    WhoCanListenModel* sheet = nullptr; // the new sheet's, not the closed one's
    for (auto* model : panel->window()->contentItem()->findChildren<WhoCanListenModel*>())
        if (!model->firstTime()) sheet = model;
    ASSERT_TRUE(sheet);
    sheet->setMode(LinkMode::Named);
    sheet->setName("night-shift");
    sheet->setUsePasscode(true);
    sheet->setPasscode("0412-harbor");
    sheet->save(); // the address service at port 9 does not answer
    ASSERT_TRUE(eventually([&] { return !sheet->problem().isEmpty(); }, 10s));
    EXPECT_TRUE(sheet->problem().endsWith(" Nothing changed."));
    EXPECT_TRUE(shown("relayNote")) << "a passcode beside a relay is not explained";
    shoot("sheet-with-problem");

    state->sheetCancelled();
    ASSERT_EQ(QCoro::waitFor(s.setLinkMode(LinkMode::Fresh, {}, "0412-harbor", "Attic Waves")),
              std::nullopt);
    state->relay();
    test::settle(300ms);
    EXPECT_TRUE(shown("relayPasscodeNote")) << "the relay's screen does not say the passcode stays";
    shoot("relay-with-a-passcode");
}

// The link card as the link stands: being checked, not reachable yet, and
// without the tunnel program (what is missing, where to listen meanwhile);
// and the sheet offering the user's own tunnel.
TEST_F(Screens, TheLinkAsItStands) {
    qputenv("FAKE_TUNNEL_EDGE_AFTER", "600");
    linkCheckTiming.patience = 2s;
    settings.setValue("tunnelHostname", "radio.example.com");
    Keychain::write("tunnel.token", "eyJhIjoiNWFiNGU5Z-lantern-test-token");
    AddressClient none{QUrl("https://address.lantern-fm.invalid"), 3s}; // as built, none set
    auto& s = make(&none);
    open(s);
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::Checking; }));
    shoot("on-air-checking-the-link");
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::Unreachable; }));
    shoot("on-air-link-not-reachable");
    s.goOffAir();
    qputenv("LANTERN_CLOUDFLARED", home.filePath("none").toUtf8());
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::ToolMissing; }));
    shoot("on-air-without-cloudflared");
    ASSERT_TRUE(shown("listenHere"));
    const auto card = shown("listenHere")->property("text").toString();
    EXPECT_TRUE(card.contains(s.localAddress().toString())) << card.toStdString();
    find<PanelState>()->change();
    test::settle(300ms);
    ASSERT_TRUE(shown("useService"));
    QMetaObject::invokeMethod(shown("useService"), "clicked");
    shoot("sheet-with-own-address-and-no-address-service");
}

// A panel closed a while lets go of its scene, none before it is first shown;
// opened again it is whole and shows the station as it is now.
TEST_F(Screens, AClosedPanelLetsGoOfItsSceneAndComesBackAsTheStationIsNow) {
    auto& s = make();
    engine = DesktopApp::makeEngine(s);
    panel = std::make_unique<PanelWindow>(*engine, s, PanelWindow::Kind::window);
    EXPECT_FALSE(panel->built());
    panel->keepClosedFor(200ms);
    panel->show();
    ASSERT_TRUE(eventually([&] { return panel->window()->isExposed(); }));
    const auto goOffAir = [&] {
        return panel->window()->contentItem()->findChildren<QQuickItem*>("goOffAir").size();
    };
    EXPECT_EQ(goOffAir(), 0);
    test::settle(400ms);
    EXPECT_TRUE(panel->built()) << "released while open";
    panel->hide();
    ASSERT_TRUE(eventually([&] { return !panel->built(); }, 3s));
    onAir(s);
    panel->show();
    ASSERT_TRUE(eventually([&] { return panel->window()->isExposed(); }));
    EXPECT_TRUE(eventually([&] { return goOffAir() > 0; }));
}

// At twice the scale a 1280 x 800 screen has 640 x 400 points: the panel
// fits them, its middle scrolls, and Go Off Air stays in reach.
TEST_F(Screens, AShortScreenKeepsGoOffAirInReach) {
    auto& s = make();
    open(s);
    const auto most = PanelWindow::maximumHeight({0, 0, 640, 400}, PanelWindow::Kind::dropDown);
    static_cast<QQuickView*>(panel->window())->rootObject()->setProperty("maximumHeight", most);
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::Ready; }));
    shoot("on-air-short-screen");
    EXPECT_LE(panel->window()->height(), most);
    auto* off = shown("goOffAir");
    ASSERT_TRUE(off);
    const auto centre = off->mapToScene({off->width() / 2, off->height() / 2}).toPoint();
    ASSERT_TRUE(QRect({}, panel->window()->size()).contains(centre))
        << "Go Off Air is out of reach";
    QTest::mouseClick(panel->window(), Qt::LeftButton, {}, centre);
    EXPECT_TRUE(eventually([&] { return !s.onAir(); }));
}

// The tray icon in every size a tray asks for, at 1x and 2x, saved on a dark
// and a light panel: square, the dot red on air only, the arcs lit one by
// one through the pulse, the tint on the rest.
TEST(TrayImages, ReadableInASquareSlotInEachState) {
    struct State {
        bool onAir;
        int frame;
        bool innerLit, outerLit;
    };
    const State states[] = {{false, 2, true, true},
                            {true, 0, false, false},
                            {true, 1, true, false},
                            {true, 2, true, true}};
    const QColor tints[] = {QColor(0xF2, 0xF2, 0xF2), QColor(0x23, 0x24, 0x2A)};
    for (const auto& [onAir, frame, innerLit, outerLit] : states) {
        QImage strip(8 * 80, 2 * 80, QImage::Format_RGB32);
        QPainter painter(&strip);
        painter.fillRect(0, 0, strip.width(), 80, QColor(0x1E, 0x1E, 0x22));
        painter.fillRect(0, 80, strip.width(), 80, QColor(0xEE, 0xEE, 0xF0));
        int column = 0;
        for (const qreal ratio : {1.0, 2.0})
            for (const int size : {16, 22, 24, 32}) {
                for (int row = 0; row < 2; ++row) {
                    const auto image = MenuIcon::image(onAir, frame, size, ratio, tints[row]);
                    const auto what = QStringLiteral("on air %1 frame %2 at %3 x%4")
                                          .arg(onAir)
                                          .arg(frame)
                                          .arg(size)
                                          .arg(ratio)
                                          .toStdString();
                    ASSERT_EQ(image.width(), image.height()) << what;
                    ASSERT_EQ(image.width(), std::lround(size * ratio)) << what;
                    // Points in the 16-unit design: the dot at (8, 8), the arcs
                    // where they cross its line, 3.9 and 6.6 to the right.
                    const auto at = [&](qreal x) {
                        int most = 0;
                        QRgb strongest = 0;
                        for (int dx = -1; dx <= 1; ++dx)
                            for (int dy = -1; dy <= 1; ++dy) {
                                const auto pixel =
                                    image.pixel(static_cast<int>(x * size * ratio / 16) + dx,
                                                static_cast<int>(8 * size * ratio / 16) + dy);
                                if (qAlpha(pixel) > most) most = qAlpha(pixel), strongest = pixel;
                            }
                        return std::pair(most, QColor::fromRgba(strongest));
                    };
                    const auto lit = [](int alpha, bool on) {
                        return on ? alpha > 200 : alpha > 50 && alpha < 130;
                    };
                    EXPECT_TRUE(lit(at(11.9).first, innerLit)) << what << " inner arc";
                    EXPECT_TRUE(lit(at(14.6).first, outerLit)) << what << " outer arc";
                    const auto dot = at(8).second;
                    const bool red = dot.red() > 200 && dot.green() < 100 && dot.blue() < 100;
                    EXPECT_EQ(red, onAir) << what << " dot";
                    painter.drawImage(QPointF(column * 80 + 24, row * 80 + 24), image);
                }
                ++column;
            }
        painter.end();
        const auto name = onAir ? QStringLiteral("tray-on-air-frame-%1").arg(frame)
                                : QStringLiteral("tray-off-air");
        EXPECT_TRUE(strip.save(shotPath(name)));
    }
}

// The QR code a phone scans reads back as the link.
TEST(QrCode, DecodesBackToTheLink) {
    const QString link = "https://quiet-river-4821.trycloudflare.com/#k=0412-harbor%20%C3%A9";
    const auto modules = QrCode::modules(link);
    ASSERT_FALSE(modules.isNull());
    QImage scan(modules.width() * 8 + 64, modules.height() * 8 + 64, QImage::Format_RGB32);
    scan.fill(Qt::white);
    QPainter(&scan).drawImage(QRect(32, 32, modules.width() * 8, modules.height() * 8), modules);
    const auto file = QDir::temp().filePath(QStringLiteral("lantern-qr-%1.png").arg(::getpid()));
    ASSERT_TRUE(scan.save(file));
    const auto read = test::runProgram({"zbarimg", "--quiet", "--raw", file.toStdString()});
    QFile::remove(file);
    EXPECT_EQ(read.status, 0) << read.error;
    EXPECT_EQ(QString::fromStdString(read.output).trimmed(), link);
}

} // namespace
} // namespace lantern
