// The panel: its logic without windows (what the views say, the sheet's
// rules, which screen shows, the tray icon's pulse, the panel's place), its
// screens in real windows, and the app on a desktop with and without a real
// tray (xfce4-panel under openbox, on the test's display and bus). Screens
// are saved as PNG files into the build folder's screenshots/ for people to
// look at and checked for what must hold in them. Each test runs in a process
// of its own, on a real X display (Xvfb) so that windows are real windows.
#include "link/keychain.h"
#include "nowplaying/now_playing_reader.h"
#include "station/station_fixture.h"
#include "support/fake_address_service.h"
#include "support/lantern_run.h"
#include "system/autostart.h"
#include "ui/desktop_app.h"
#include "ui/menu_icon.h"
#include "ui/panel_state.h"
#include "ui/panel_text.h"
#include "ui/panel_window.h"
#include "ui/qr_code.h"
#include "ui/relay_sheet.h"
#include "ui/tray.h"
#include "ui/who_can_listen.h"

#include <QApplication>
#include <QBuffer>
#include <QPainter>
#include <QQuickView>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>
#include <filesystem>

Q_IMPORT_QML_PLUGIN(LanternPlugin)

namespace lantern {
namespace {

using test::eventually;
const auto contents = [](const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
};

// The texts that are worked out (the rest are the views' words as they stand).
TEST(PanelText, TheClockTheShownLinkTitlesAndTheMicrophone) {
    const AudioSource player{"player", "Player", {}};
    const Track song{"Song", "Band", "", "", true, "Player"}, blank{};
    const std::vector<AudioInput> usb{{"usb", "USB Mic", 1}};
    const QString tunnel = "quiet-river-4821.trycloudflare.com";
    const std::pair<QString, QString> texts[] = {
        {panel::clock(0), "0:00"},
        {panel::clock(59.9), "0:59"},
        {panel::clock(3599), "59:59"},
        {panel::clock(3600), "1:00:00"},
        {panel::clock(36061), "10:01:01"},
        {panel::shown(QUrl("https://" + tunnel + "/#k=pw")), tunnel},
        {panel::shown(QUrl("https://" + tunnel)), tunnel},
        {panel::shown(QUrl("https://a.example/myname#k=pw")), "a.example/myname"},
        {panel::shown(QUrl("https://a.example/s/x7y2")), "a.example/s/x7y2"},
        {panel::title(song, player, true, true), "Song"},
        {panel::title(blank, std::nullopt, false, true), "Choose what plays"},
        {panel::title(blank, AudioSource::wholeMac(), false, true), "Listeners hear what you play"},
        {panel::title(blank, player, true, true), "Nothing playing"},
        {panel::title(std::nullopt, player, false, true), "Listeners hear Player"},
        {panel::title(std::nullopt, player, false, false), "Listeners will hear Player"},
        {panel::line(Track{"T", "Band", "LP", "", true, ""}), "Band \u00B7 LP"},
        {panel::linkSummary(LinkMode::Named, SavedAddress{"/night", "x", "s", false, {}}, true),
         "Your name /night \u00B7 passcode"},
        {panel::micName("", usb, "Built-in"), "Built-in"},
        {panel::micName("usb", usb, "Built-in"), "USB Mic"},
        {panel::micName("gone", usb, "Built-in"), "Mic not connected"},
    };
    for (const auto& [got, want] : texts)
        EXPECT_EQ(got, want);
    QLocale::setDefault(QLocale::c()); // whose short time has seconds
    EXPECT_TRUE(panel::stopLabel(QDateTime::currentDateTime())
                    .contains(QRegularExpression("^Stops \\d\\d?:\\d\\d$")));
    QLocale::setDefault(QLocale::system());
    EXPECT_TRUE(panel::sounding("firefox", {"firefox.bin"}));
    EXPECT_FALSE(panel::sounding("fire", {"firefox"}));
}

// The tray icon's pulse: only on air, only with motion allowed (its pixels
// are checked with the screenshots).
TEST(MenuIcon, ThePulse) {
    // {on air, motion reduced, seconds into the pulse, frame}
    const std::tuple<bool, bool, double, int> frames[] = {
        {false, false, 0.1, 2}, {true, true, 0.1, 2},  {true, false, 0.1, 0},
        {true, false, 0.7, 1},  {true, false, 1.4, 2}, {true, false, 2.1, 0},
        {true, false, -0.5, 0}, {true, false, NAN, 0}};
    for (const auto& [onAir, still, seconds, frame] : frames)
        EXPECT_EQ(Tray::frameAt(onAir, still, seconds), frame) << onAir << still << seconds;
}

TEST(PanelWindow, DropsUnderOrAboveTheClickAndStaysOnScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize panel(356, 600);
    EXPECT_EQ(PanelWindow::place({1500, 12}, panel, screen), QPoint(1322, 18));
    EXPECT_EQ(PanelWindow::place({1500, 1070}, panel, screen), QPoint(1322, 464));
    EXPECT_EQ(PanelWindow::place({1910, 12}, panel, screen), QPoint(1564, 18));
    EXPECT_EQ(PanelWindow::place({5, 1070}, panel, {0, 40, 1920, 1040}), QPoint(0, 464));
    EXPECT_EQ(PanelWindow::place({900, 500}, {356, 900}, screen), QPoint(722, 180));
}

// "Open at Login" writes an autostart entry the desktop accepts, starting
// this very program even from a folder with spaces, and takes it away again.
TEST(Autostart, AValidEntryThatComesAndGoes) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    ASSERT_TRUE(Autostart::setEnabled(true, "/opt/My Apps/lantern-fm"));
    EXPECT_TRUE(Autostart::enabled());
    const auto entry = Autostart::entryPath();
    EXPECT_EQ(entry, config.filePath("autostart/lantern-fm.desktop"));
    const auto check = test::runProgram({"desktop-file-validate", entry.toStdString()});
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(contents(entry).contains("\nExec=\"/opt/My Apps/lantern-fm\"\n"));
    ASSERT_TRUE(Autostart::setEnabled(false, {}));
    EXPECT_FALSE(Autostart::enabled());
    EXPECT_FALSE(QFile::exists(entry));
}

using Sheet = StationTest;

// The sheet opens on what the station holds; names are compared as the
// service will see them; confirming needs a name and a passcode when they are
// asked for; "Make One Up" is four digits, a hyphen and a word.
TEST_F(Sheet, StartsFromTheStationAndKnowsWhenItCanConfirm) {
    Keychain::write("address.named",
                    encode({"/night-shift", "http://127.0.0.1:9/night-shift", "s", false, {}}));
    settings.setValue("linkMode", "named");
    settings.setValue("stationName", "Attic");
    auto& s = make();
    WhoCanListenModel sheet(s);
    EXPECT_EQ(sheet.mode(), LinkMode::Named);
    EXPECT_EQ(sheet.name(), "night-shift");
    EXPECT_EQ(sheet.stationName(), "Attic");
    EXPECT_FALSE(sheet.usePasscode());
    EXPECT_EQ(sheet.confirmLabel(), "Done");
    sheet.setFirstTime(true);
    EXPECT_EQ(sheet.confirmLabel(), "Go On Air");

    const std::pair<const char*, const char*> warnings[] = {
        {"night-shift", ""},
        {"  Night-Shift\t", ""},
        {"day-shift",
         "This replaces 127.0.0.1/night-shift \u2014 that name won't be yours any more."},
    };
    for (const auto& [name, warning] : warnings) {
        sheet.setName(name);
        EXPECT_EQ(sheet.warning(), warning) << name;
    }
    sheet.setName("");
    EXPECT_EQ(sheet.nameHint(), "Type the name you want after 127.0.0.1/ to finish.");
    EXPECT_TRUE(sheet.namedDetail().startsWith("127.0.0.1/yourname \u2014 easy to say"));

    // {mode, name, passcode asked for, passcode, can confirm}
    const std::tuple<LinkMode, const char*, bool, const char*, bool> rules[] = {
        {LinkMode::Named, "", false, "", false}, {LinkMode::Named, "  ", false, "", true},
        {LinkMode::Fresh, "", true, "", false},  {LinkMode::Fresh, "", false, "left over", true},
        {LinkMode::Kept, "", true, "x", true},
    };
    for (const auto& [mode, name, usePasscode, passcode, canConfirm] : rules) {
        sheet.setMode(mode);
        sheet.setName(name);
        sheet.setUsePasscode(usePasscode);
        sheet.setPasscode(passcode);
        EXPECT_EQ(sheet.canConfirm(), canConfirm)
            << rawValue(mode).toStdString() << " '" << name << "'";
    }
    // Suggestions carry 80 bits: 16 characters of 32, all of them used.
    const QRegularExpression madeUp("^[0-9a-hjkmnp-tv-z]{4}(-[0-9a-hjkmnp-tv-z]{4}){3}$");
    QSet<QChar> seen;
    for (int i = 0; i < 200; ++i) {
        const auto suggestion = WhoCanListenModel::suggestion();
        EXPECT_TRUE(madeUp.match(suggestion).hasMatch()) << suggestion.toStdString();
        seen += QSet<QChar>(suggestion.begin(), suggestion.end());
    }
    EXPECT_EQ(seen.size(), 33); // the alphabet and the dash
}

// A refusal shows the station's words and " Nothing changed."; a passcode
// switched off hands none over; the first-run sheet goes on air when it is
// accepted and not when it is cancelled.
TEST_F(Sheet, SavingAndTheFirstRun) {
    auto& s = make();
    PanelState panel(s);
    panel.goOnAir(); // never asked
    EXPECT_EQ(panel.screen(), PanelState::Screen::Sheet);
    panel.sheetCancelled();
    EXPECT_EQ(panel.screen(), PanelState::Screen::OffAir);
    EXPECT_FALSE(s.onAir());

    WhoCanListenModel refused(s);
    refused.setMode(LinkMode::Named);
    refused.setName("taken");
    refused.save(); // nothing answers at 127.0.0.1:9
    EXPECT_TRUE(refused.working());
    EXPECT_FALSE(refused.canConfirm()) << "a second change could start";
    ASSERT_TRUE(eventually([&] { return !refused.working(); }, 10s));
    EXPECT_EQ(refused.problem(), "Couldn't reach the address service. Nothing changed.");

    panel.goOnAir();
    WhoCanListenModel sheet(s);
    sheet.setFirstTime(panel.firstRunAsked());
    sheet.setPasscode("typed but switched off");
    sheet.setStationName("Porch");
    QObject::connect(&sheet, &WhoCanListenModel::done, &panel, &PanelState::sheetDone);
    sheet.save();
    ASSERT_TRUE(eventually([&] { return s.onAir(); })) << "the first-run sheet did not go on air";
    EXPECT_TRUE(s.presence().passcode().isEmpty());
    EXPECT_EQ(s.presence().stationName(), "Porch");
    EXPECT_EQ(panel.screen(), PanelState::Screen::OnAir);
    s.goOffAir();
    panel.goOnAir(); // asked now: straight on air
    EXPECT_TRUE(s.onAir());
}

// The address service is set in the sheet: only once it answers as one
// (not another server, not a wrong address), kept for the next start, and
// the stable links can then be chosen.
TEST_F(Sheet, AnAddressServiceIsCheckedBeforeItIsUsed) {
    QTemporaryDir data;
    test::AddressDaemon daemon(data);
    test::FakeAddressService other; // some other server
    other.answer({404, "Not found"});
    AddressClient none{QUrl("https://address.lantern-fm.invalid"), 3s}; // as built, none set
    auto& s = make(&none);
    WhoCanListenModel sheet(s);
    ASSERT_FALSE(sheet.serviceConfigured());
    const auto use = [&](const QString& url) {
        sheet.useService(url);
        EXPECT_TRUE(eventually([&] { return !sheet.checkingService(); }, 10s));
        return sheet.serviceProblem();
    };
    EXPECT_FALSE(use("ftp://links.example.org").isEmpty());
    EXPECT_EQ(use(other.base()), "127.0.0.1 isn't an address service.");
    EXPECT_FALSE(sheet.serviceConfigured());
    EXPECT_EQ(use(QString::fromStdString(daemon.base())), "");
    EXPECT_TRUE(sheet.serviceConfigured());
    EXPECT_EQ(settings.string("addressBase"), QString::fromStdString(daemon.base()));
    sheet.setMode(LinkMode::Kept);
    EXPECT_EQ(sheet.mode(), LinkMode::Kept);
}

// A keyring that refuses the passcode (here, one without a collection to keep
// it in): the sheet said beforehand that the keyring would be asked, and
// after saving says that the passcode went to the private file, which holds it;
// the relay's screen does the same for its password.
TEST_F(Sheet, APasscodeOrPasswordTheKeyringRefusesIsKeptAndSaidSo) {
    qputenv("HOME", home.path().toUtf8());
    const pid_t keyring =
        test::startProgram({"gnome-keyring-daemon", "--foreground", "--components=secrets"},
                           {"XDG_RUNTIME_DIR=" + home.path().toStdString()});
    ASSERT_TRUE(eventually([] { return test::World::bus().hasOwner("org.freedesktop.secrets"); }));
    auto& s = make();
    WhoCanListenModel sheet(s);
    sheet.setUsePasscode(true);
    sheet.setPasscode("harbour-lights");
    EXPECT_TRUE(sheet.keyringHint().contains("keyring"))
        << "the keyring's question comes unannounced";
    QSignalSpy done(&sheet, &WhoCanListenModel::done);
    sheet.save();
    ASSERT_TRUE(eventually([&] { return !sheet.notice().isEmpty(); }, 10s));
    EXPECT_TRUE(sheet.notice().contains("private file"));
    EXPECT_EQ(done.count(), 0) << "the sheet closed before saying where the passcode went";
    EXPECT_EQ(sheet.confirmLabel(), "OK");
    sheet.save();
    EXPECT_EQ(done.count(), 1);
    EXPECT_EQ(s.presence().passcode(), "harbour-lights");
    EXPECT_EQ(contents(home.filePath("data/lantern-fm/passcode")), "harbour-lights");

    // The relay server's password likewise, never dropped for an empty one.
    RelaySheet relay(s, nullptr);
    QSignalSpy relayDone(&relay, &RelaySheet::done);
    relay.setProperty("address", "icecast://radio.example.org:8000/live");
    relay.setProperty("password", "hackme");
    relay.save();
    ASSERT_TRUE(eventually([&] { return !relay.notice().isEmpty(); }, 10s))
        << relay.problem().toStdString();
    EXPECT_TRUE(relay.notice().contains("private file"));
    EXPECT_EQ(relayDone.count(), 0);
    relay.save();
    EXPECT_EQ(relayDone.count(), 1);
    EXPECT_EQ(Keychain::read("relay.password"), "hackme");
    test::endProgram(keyring);
}

// With talking locked on, a press of the hold-to-talk button unlocks it and
// holds nothing; later presses hold while pressed.
TEST_F(Sheet, HoldToTalkWhileLatched) {
    auto& s = make();
    s.mic().setMic(true);
    ASSERT_TRUE(eventually([&] { return s.mic().on(); }));
    s.mic().setTalkOn(true);
    // {pressed, then holding}; the first press only unlocks
    const std::pair<bool, bool> presses[] = {
        {true, false}, {false, false}, {true, true}, {false, false}};
    for (int i = 0; const auto& [down, holding] : presses) {
        panel::holdToTalk(s, down);
        EXPECT_FALSE(s.mic().talkOn()) << "press " << i;
        EXPECT_EQ(s.mic().holding(), holding) << "press " << i++;
    }
}

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
    // A panel for `s`, shown; none is built before it is first shown.
    void open(Station& s, std::chrono::milliseconds keepClosed = PanelWindow::keepClosed) {
        engine = DesktopApp::makeEngine(s);
        panel = std::make_unique<PanelWindow>(*engine, s, PanelWindow::Kind::window);
        EXPECT_FALSE(panel->built());
        panel->keepClosedFor(keepClosed);
        show();
    }
    void show() {
        panel->show();
        ASSERT_TRUE(eventually([&] { return panel->window()->isExposed(); }));
    }
    // Saves what the window shows now as screenshots/NAME.png.
    void shoot(const QString& name) {
        test::settle(400ms); // bindings, images and animations settle
        EXPECT_TRUE(panel->window()->grabWindow().save(shotPath(name))) << name.toStdString();
    }
    QQuickItem* root() const { return panel->window()->contentItem(); }
    template <typename T> T* find() const { return root()->findChild<T*>(); }
    // The item of that name the screen shows, not one of a screen going away.
    QQuickItem* shown(const QString& name) const {
        const auto items = root()->findChildren<QQuickItem*>(name);
        const auto it = std::ranges::find_if(items.rbegin(), items.rend(), &QQuickItem::isVisible);
        return it == items.rend() ? nullptr : *it;
    }

    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<PanelWindow> panel;
};

// Plays "Harbour Lights" with a cover: a sunset over the sea.
void harbourLights(Station& s) {
    QImage image(120, 120, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 120, 120);
    sky.setStops({{0, QColor(0xF7, 0xA3, 0x6B)}, {1, QColor(0x6B, 0x3F, 0xA0)}});
    painter.fillRect(image.rect(), sky);
    painter.setBrush(QColor(0xFF, 0xE3, 0xA8));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QPointF(60, 70), 26, 26);
    painter.fillRect(QRect(0, 84, 120, 36), QColor(0x23, 0x2A, 0x4A));
    painter.end();
    QBuffer png;
    image.save(&png, "PNG");
    StationProbe::read(s, {"Harbour Lights", "The Gulls", "Low Tide", std::nullopt, true, "P"},
                       Cover{Bytes(png.data().begin(), png.data().end()), "image/png"});
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
    harbourLights(s);
    shoot("on-air-with-cover");
    // A title is a web page's to set: it shows as the characters it holds,
    // never as markup that styles the panel or loads an image.
    const QString markup = "<b>Hi</b><img src=\"https://tracker.example/p.png\">";
    StationProbe::read(s, {markup.toStdString(), "A", "B", std::nullopt, true, "P"}, std::nullopt);
    QQuickItem* title = nullptr;
    ASSERT_TRUE(eventually([&] {
        for (auto* item : root()->findChildren<QQuickItem*>())
            if (item->property("text").toString() == markup) title = item;
        return title;
    })) << "the title is not shown";
    EXPECT_GT(title->property("contentWidth").toReal(),
              QFontMetricsF(title->property("font").value<QFont>()).horizontalAdvance("Hi") * 3);
    shoot("on-air-title-with-markup");
    harbourLights(s);
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
    const std::tuple<const char*, const char*, const char*> popups[] = {
        {"showQR", "qrPopover", "qr-popover"},
        {"stopAfter", "stopMenu", "menu-stop-after"},
        {"share", "shareMenu", "menu-share"},
        {"gear", "gearMenu", "menu-gear"}};
    for (const auto& [button, name, shot] : popups) {
        auto* opener = shown(button);
        auto* popup = opener ? opener->findChild<QObject*>(name) : nullptr;
        ASSERT_TRUE(popup) << button;
        QMetaObject::invokeMethod(opener, "clicked");
        ASSERT_TRUE(eventually([&] { return popup->property("opened").toBool(); })) << name;
        auto* content = popup->property("contentItem").value<QQuickItem*>()->parentItem();
        const auto shown = content->mapRectToScene(content->boundingRect());
        EXPECT_TRUE(root()->boundingRect().contains(shown)) << name << " lies outside the window";
        shoot(shot);
        QMetaObject::invokeMethod(popup, "close");
        ASSERT_TRUE(eventually([&] { return !popup->property("visible").toBool(); }));
    }
    ASSERT_TRUE(eventually([&] { return s.linkState() == Station::LinkState::Ready; }));
    // Two listeners named themselves and reacted: the panel says who, beside
    // their reactions rising, with the broadcast's totals in its tooltip.
    const auto port = s.localAddress().port();
    StreamEar sam(port, "/stream?l=sam");
    ASSERT_TRUE(sam.waitForAudio()); // Sam joined first
    StreamEar alex(port, "/stream?l=alex");
    ASSERT_TRUE(alex.waitForAudio());
    for (const auto& [tag, name, reaction] :
         {std::tuple{"sam", "Sam", "clap"}, {"alex", "Alex", "heart"}})
        ASSERT_EQ(
            posted(port, "/name", std::string(R"({"l":")") + tag + R"(","name":")" + name + "\"}") +
                posted(port, "/react",
                       std::string(R"({"l":")") + tag + R"(","r":")" + reaction + "\"}"),
            408);
    s.audience().tick(5);
    StationProbe::room(s, 10, 5, 2);
    auto* line = shown("audienceLine");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->property("text").toString(), "Sam, Alex and 3 more listening");
    EXPECT_EQ(line->property("totals").toString(), "This broadcast: 1 clap, 1 heart");
    shoot("on-air-with-the-uplinks-room");

    settings.setValue("relayURL", "icecast://radio.example.org:8000/live"); // from the next start
    state->change();
    WhoCanListenModel* sheet = nullptr; // the new sheet's, not the closed one's
    for (auto* model : root()->findChildren<WhoCanListenModel*>())
        if (!model->firstTime()) sheet = model;
    ASSERT_TRUE(sheet);
    sheet->setMode(LinkMode::Named);
    sheet->setName("night-shift");
    sheet->setUsePasscode(true);
    sheet->setPasscode("0412-harbor");
    sheet->save(); // the address service at port 9 does not answer
    ASSERT_TRUE(eventually([&] { return !sheet->problem().isEmpty(); }, 10s));
    EXPECT_TRUE(shown("relayNote")) << "a passcode beside a relay is not explained";
    shoot("sheet-with-problem");

    state->sheetCancelled();
    ASSERT_EQ(QCoro::waitFor(s.setLinkMode(LinkMode::Fresh, {}, "0412-harbor", "Attic Waves")),
              std::nullopt);
    state->relay();
    EXPECT_TRUE(eventually([&] { return shown("relayPasscodeNote"); }))
        << "the relay's screen does not say the passcode stays";
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
    find<PanelState>()->change();
    ASSERT_TRUE(eventually([&] { return shown("useService"); }));
    QMetaObject::invokeMethod(shown("useService"), "clicked");
    shoot("sheet-with-own-address-and-no-address-service");
}

// A panel closed a while lets go of its scene, none before it is first shown;
// opened again it is whole and shows the station as it is now.
TEST_F(Screens, AClosedPanelLetsGoOfItsSceneAndComesBackAsTheStationIsNow) {
    auto& s = make();
    open(s, 200ms);
    const auto goOffAir = [&] { return root()->findChildren<QQuickItem*>("goOffAir").size(); };
    EXPECT_EQ(goOffAir(), 0);
    test::settle(400ms);
    EXPECT_TRUE(panel->built()) << "released while open";
    panel->hide();
    ASSERT_TRUE(eventually([&] { return !panel->built(); }, 3s));
    onAir(s);
    show();
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
    // {on air, frame, inner arc lit, outer arc lit}
    const std::tuple<bool, int, bool, bool> states[] = {{false, 2, true, true},
                                                        {true, 0, false, false},
                                                        {true, 1, true, false},
                                                        {true, 2, true, true}};
    for (const auto& [onAir, frame, innerLit, outerLit] : states) {
        QImage strip(8 * 80, 2 * 80, QImage::Format_RGB32);
        QPainter painter(&strip);
        painter.fillRect(0, 0, strip.width(), 80, QColor(0x1E, 0x1E, 0x22));
        painter.fillRect(0, 80, strip.width(), 80, QColor(0xEE, 0xEE, 0xF0));
        // Columns: 16, 22, 24 and 32 at 1x, then at 2x; rows: the tint for a
        // dark panel, then for a light one.
        for (int column = 0; column < 8; ++column)
            for (int row = 0; row < 2; ++row) {
                const int points = std::array{16, 22, 24, 32}[column % 4];
                const qreal ratio = column < 4 ? 1 : 2, size = points * ratio;
                const auto tint = row ? QColor(0x23, 0x24, 0x2A) : QColor(0xF2, 0xF2, 0xF2);
                const auto image = MenuIcon::image(onAir, frame, points, ratio, tint);
                SCOPED_TRACE(testing::Message() << "on air " << onAir << " frame " << frame
                                                << " at " << points << " x" << ratio);
                ASSERT_EQ(image.size(), QSize(std::lround(size), std::lround(size)));
                // The strongest pixel by a point on the dot's line in the
                // 16-unit design: the dot at 8, the arcs at 11.9 and 14.6.
                const auto at = [&](qreal x) {
                    const int cx = x * size / 16, cy = size / 2;
                    return QColor::fromRgba(
                        std::ranges::max(std::views::iota(0, 9) | std::views::transform([&](int d) {
                                             return image.pixel(cx + d % 3 - 1, cy + d / 3 - 1);
                                         }),
                                         {}, [](QRgb p) { return qAlpha(p); }));
                };
                const auto lit = [&](qreal x, bool on) {
                    return on ? at(x).alpha() > 200 : at(x).alpha() > 50 && at(x).alpha() < 130;
                };
                EXPECT_TRUE(lit(11.9, innerLit)) << "inner arc";
                EXPECT_TRUE(lit(14.6, outerLit)) << "outer arc";
                const auto dot = at(8);
                EXPECT_EQ(dot.red() > 200 && dot.green() < 100 && dot.blue() < 100, onAir) << "dot";
                painter.drawImage(QPointF(column * 80 + 24, row * 80 + 24), image);
            }
        painter.end();
        EXPECT_TRUE(strip.save(shotPath(onAir ? QStringLiteral("tray-on-air-frame-%1").arg(frame)
                                              : QStringLiteral("tray-off-air"))));
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
    QTemporaryDir dir;
    ASSERT_TRUE(scan.save(dir.filePath("qr.png")));
    const auto read =
        test::runProgram({"zbarimg", "--quiet", "--raw", dir.filePath("qr.png").toStdString()});
    EXPECT_EQ(read.status, 0) << read.error;
    EXPECT_EQ(QString::fromStdString(read.output).trimmed(), link);
}

// The desktop's tray: the panel, its settings daemon and a window manager.
struct TrayHost {
    explicit TrayHost(int scale) {
        test::World::bus(); // first: the programs find it in the environment
        test::World::display();
        const auto channel = config_.filePath("xfce4/xfconf/xfce-perchannel-xml");
        QDir().mkpath(channel);
        QFile::copy(XFCE_PANEL_XML, channel + "/xfce4-panel.xml");
        const std::vector<std::string> environment{
            "XDG_CONFIG_HOME=" + config_.path().toStdString(), "GDK_SCALE=" + std::to_string(scale),
            "XDG_RUNTIME_DIR=" + config_.path().toStdString()};
        for (const auto& lib : std::filesystem::directory_iterator("/usr/lib"))
            if (const auto xfconfd = lib.path() / "xfce4/xfconf/xfconfd"; exists(xfconfd))
                pids_.push_back(test::startProgram({xfconfd.string()}, environment));
        pids_.push_back(test::startProgram({"openbox"}, environment));
        pids_.push_back(test::startProgram({"xfce4-panel"}, environment));
        ready = eventually(
            [&] { return test::World::bus().hasOwner("org.kde.StatusNotifierWatcher"); }, 10s);
    }
    ~TrayHost() { std::ranges::for_each(pids_ | std::views::reverse, test::endProgram); }
    QTemporaryDir config_;
    std::vector<pid_t> pids_;
    bool ready = false;
};

const auto screen = [] { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); };

// The bounding box of the pixels in the panel's right end that `pick` picks.
QRect pixelsIn(const QImage& shot, int panelHeight, const std::function<bool(QColor)>& pick) {
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

// Saves the tray around `icon`, three times as large, as screenshots/NAME.png.
void keepAround(QRect icon, const QString& name) {
    const auto area = icon.adjusted(-60, 0, 8, 0);
    screen().copy(area).scaled(area.size() * 3).save(shotPath(name));
}

// The visible windows titled "Lantern FM": one id a line, or what `then` asks.
const auto lanternWindows = [](const std::vector<std::string>& then = {}) {
    std::vector<std::string> command{"xdotool", "search", "--onlyvisible", "--name",
                                     "^Lantern FM$"};
    command.insert(command.end(), then.begin(), then.end());
    return test::runProgram(command).output;
};
const auto visibleWindows = [] { return std::ranges::count(lanternWindows(), '\n'); };

// The icon sits in the tray, reads at the tray's size, is red on air; a click
// drops the panel under it, whole on the screen; Return goes on air.
TEST(TrayHost, TheIconInARealTrayOpensThePanelUnderIt) {
    for (const int scale : {1, 2}) {
        TrayHost host(scale);
        ASSERT_TRUE(host.ready) << "the tray did not start";
        QTemporaryDir home;
        test::LanternRun app(
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
        keepAround(icon, "tray-in-xfce-off-air" + suffix);

        // A click that lands while the host is still handing the icon its
        // window is lost in any tray; a user clicks again, and so do we, but
        // only while no panel is showing.
        std::string geometry;
        const auto panelShown = [&] {
            geometry = lanternWindows({"getwindowgeometry", "--shell"});
            return geometry.find("WIDTH=") != std::string::npos;
        };
        bool opened = false;
        for (int click = 0; click < 3 && !opened; ++click) {
            test::runProgram({"xdotool", "mousemove", std::to_string(icon.center().x()),
                              std::to_string(icon.center().y()), "click", "1"});
            opened = eventually(panelShown, 4s);
        }
        ASSERT_TRUE(opened) << "the panel did not open";
        const auto field = [&](const std::string& name) {
            return std::stoi(geometry.substr(geometry.find(name + "=") + name.size() + 1));
        };
        const QRect panel(field("X"), field("Y"), field("WIDTH"), field("HEIGHT"));
        EXPECT_TRUE(QRect(0, 0, 1280, 800).contains(panel)) << "the panel runs off the screen";
        EXPECT_GE(panel.top(), strip) << "the panel covers the tray";
        EXPECT_TRUE(panel.left() <= icon.center().x() && icon.center().x() <= panel.right())
            << "the panel is not under the icon";
        screen().copy(panel).save(shotPath("panel-under-the-tray" + suffix));

        test::runProgram({"xdotool", "key", "Return"}); // the panel's default: go on air
        const auto red = [](QColor c) {
            return c.red() > 180 && c.green() < 110 && c.blue() < 110;
        };
        ASSERT_TRUE(eventually([&] { return !pixelsIn(screen(), strip, red).isEmpty(); }, 10s))
            << "the icon does not show the station on air";
        keepAround(iconIn(screen(), strip), "tray-in-xfce-on-air" + suffix);
    }
}

// Where the desktop shows no tray icons the panel is a window, shown at
// launch; once put away, a second launch brings it back and ends.
TEST(Desktop, ASecondLaunchShowsThePanelOfTheFirst) {
    test::World::bus();
    QTemporaryDir home;
    test::LanternRun first(home, {}, {.headless = false});
    ASSERT_TRUE(eventually([] { return visibleWindows() == 1; }, 30s)) << "the panel did not show";
    // Put away behind the app's back, as a desktop minimising it does (the
    // panel's own Escape is pressed in the panel's QML test): X key focus
    // without a window manager is not dependable on a busy machine.
    const auto windows = lanternWindows();
    test::runProgram({"xdotool", "windowunmap", "--sync", windows.substr(0, windows.find('\n'))});
    ASSERT_TRUE(eventually([] { return visibleWindows() == 0; }, 10s)) << "the panel is still up";
    test::LanternRun second(home, {}, {.headless = false});
    EXPECT_EQ(second.exitStatus(10s), 0);
    EXPECT_TRUE(eventually([] { return visibleWindows() == 1; }, 5s)) << visibleWindows();
    EXPECT_FALSE(test::processGone(first.pid()));
}

} // namespace
} // namespace lantern

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    lantern::test::World::display();
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("FONTCONFIG_FILE", FONTS_CONF);
#if defined(__SANITIZE_ADDRESS__)
    // The GL driver Qt loads and unloads keeps allocations that LeakSanitizer
    // cannot place; sanitized runs draw in software instead.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    qputenv("QT_QUICK_BACKEND", "software");
#endif
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
