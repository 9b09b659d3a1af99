// The panel's logic without its windows: what the views say, the sheet's
// rules, which screen shows, the tray icon's images and the panel's place.
#include "link/keychain.h"
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "support/fake_address_service.h"
#include "support/lantern_run.h"
#include "system/autostart.h"
#include "ui/menu_icon.h"
#include "ui/panel_state.h"
#include "ui/panel_text.h"
#include "ui/panel_window.h"
#include "ui/relay_sheet.h"
#include "ui/tray.h"
#include "ui/who_can_listen.h"

#include <QRegularExpression>
#include <QSet>
#include <cmath>

namespace lantern {
namespace {

using test::eventually;

// The texts that are worked out (the rest are the views' words as they stand).
TEST(PanelText, TheClockTheShownLinkTitlesAndTheMicrophone) {
    const std::pair<double, const char*> clocks[] = {
        {0, "0:00"}, {59.9, "0:59"}, {3599, "59:59"}, {3600, "1:00:00"}, {36061, "10:01:01"}};
    for (const auto& [seconds, text] : clocks)
        EXPECT_EQ(panel::clock(seconds), text) << seconds;
    const std::pair<const char*, const char*> links[] = {
        {"https://quiet-river-4821.trycloudflare.com/#k=pw", "quiet-river-4821.trycloudflare.com"},
        {"https://quiet-river-4821.trycloudflare.com", "quiet-river-4821.trycloudflare.com"},
        {"https://a.example/myname#k=pw", "a.example/myname"},
        {"https://a.example/s/x7y2", "a.example/s/x7y2"},
    };
    for (const auto& [link, text] : links)
        EXPECT_EQ(panel::shown(QUrl(link)), text) << link;

    const AudioSource player{"player", "Player", {}};
    const Track song{"Song", "Band", "", "", true, "Player"}, blank{};
    struct Row {
        std::optional<Track> now;
        std::optional<AudioSource> source;
        bool playerFound;
        const char* title;
    };
    const Row titles[] = {
        {song, player, true, "Song"},
        {blank, std::nullopt, false, "Choose what plays"},
        {blank, AudioSource::wholeMac(), false, "Listeners hear what you play"},
        {blank, player, true, "Nothing playing"},
        {std::nullopt, player, false, "Listeners hear Player"},
    };
    for (const auto& row : titles)
        EXPECT_EQ(panel::title(row.now, row.source, row.playerFound, true), row.title);
    EXPECT_EQ(panel::title(std::nullopt, player, false, false), "Listeners will hear Player");
    QLocale::setDefault(QLocale::c()); // whose short time has seconds
    EXPECT_TRUE(QRegularExpression("^Stops \\d\\d?:\\d\\d$")
                    .match(panel::stopLabel(QDateTime::currentDateTime()))
                    .hasMatch());
    QLocale::setDefault(QLocale::system());
    EXPECT_EQ(panel::line(Track{"T", "Band", "LP", "", true, ""}), "Band \u00B7 LP");
    EXPECT_EQ(
        panel::linkSummary(LinkMode::Named, SavedAddress{"/night", "x", "s", false, {}}, true),
        "Your name /night \u00B7 passcode");

    const std::vector<AudioInput> inputs{{"usb", "USB Mic", 1}};
    EXPECT_EQ(panel::micName("", inputs, "Built-in"), "Built-in");
    EXPECT_EQ(panel::micName("usb", inputs, "Built-in"), "USB Mic");
    EXPECT_EQ(panel::micName("gone", inputs, "Built-in"), "Mic not connected");
    EXPECT_TRUE(panel::sounding("firefox", {"firefox.bin"}));
    EXPECT_FALSE(panel::sounding("fire", {"firefox"}));
}

// The tray icon's pulse: only on air, only with motion allowed (its pixels
// are checked with the screenshots).
TEST(MenuIcon, ThePulse) {
    EXPECT_EQ(Tray::frameAt(false, false, 0.1), 2);
    EXPECT_EQ(Tray::frameAt(true, true, 0.1), 2);
    const std::pair<double, int> pulse[] = {{0.1, 0}, {0.7, 1},  {1.4, 2},
                                            {2.1, 0}, {-0.5, 0}, {NAN, 0}};
    for (const auto& [seconds, frame] : pulse)
        EXPECT_EQ(Tray::frameAt(true, false, seconds), frame) << seconds;
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
    EXPECT_FALSE(Autostart::enabled());
    ASSERT_TRUE(Autostart::setEnabled(true, "/opt/My Apps/lantern-fm"));
    EXPECT_TRUE(Autostart::enabled());
    EXPECT_EQ(Autostart::entryPath(), config.filePath("autostart/lantern-fm.desktop"));
    const auto check =
        test::runProgram({"desktop-file-validate", Autostart::entryPath().toStdString()});
    EXPECT_EQ(check.status, 0) << check.output;
    QFile entry(Autostart::entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("\nExec=\"/opt/My Apps/lantern-fm\"\n"));
    entry.close();
    ASSERT_TRUE(Autostart::setEnabled(false, {}));
    EXPECT_FALSE(Autostart::enabled());
    EXPECT_FALSE(QFile::exists(Autostart::entryPath()));
}

class Sheet : public StationTest {
protected:
    void named(const QString& path) {
        Keychain::write("address.named",
                        encode({path, "http://127.0.0.1:9" + path, "s", false, {}}));
    }
};

// The sheet opens on what the station holds; names are compared as the
// service will see them; confirming needs a name and a passcode when they are
// asked for; "Make One Up" is four digits, a hyphen and a word.
TEST_F(Sheet, StartsFromTheStationAndKnowsWhenItCanConfirm) {
    named("/night-shift");
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

    struct Row {
        LinkMode mode;
        const char* name;
        bool usePasscode;
        const char* passcode;
        bool canConfirm;
    };
    const Row rules[] = {
        {LinkMode::Named, "", false, "", false}, {LinkMode::Named, "  ", false, "", true},
        {LinkMode::Fresh, "", true, "", false},  {LinkMode::Fresh, "", false, "left over", true},
        {LinkMode::Kept, "", true, "x", true},
    };
    for (const auto& row : rules) {
        sheet.setMode(row.mode);
        sheet.setName(row.name);
        sheet.setUsePasscode(row.usePasscode);
        sheet.setPasscode(row.passcode);
        EXPECT_EQ(sheet.canConfirm(), row.canConfirm)
            << rawValue(row.mode).toStdString() << " '" << row.name << "'";
    }
    // Suggestions carry 80 bits: 16 characters of 32, all of them used.
    const QRegularExpression madeUp("^[0-9a-hjkmnp-tv-z]{4}(-[0-9a-hjkmnp-tv-z]{4}){3}$");
    QSet<QChar> seen;
    for (int i = 0; i < 200; ++i) {
        const auto suggestion = WhoCanListenModel::suggestion();
        EXPECT_TRUE(madeUp.match(suggestion).hasMatch()) << suggestion.toStdString();
        for (const auto c : suggestion)
            seen.insert(c);
    }
    EXPECT_EQ(seen.size(), 33); // the alphabet and the dash
}

// A refusal shows the station's words and " Nothing changed."; a passcode
// switched off hands none over; the first-run sheet goes on air when it is
// accepted and not when it is cancelled.
TEST_F(Sheet, SavingAndTheFirstRun) {
    auto& s = make();
    PanelState panel(s);
    EXPECT_EQ(panel.screen(), PanelState::Screen::OffAir);
    panel.goOnAir(); // never asked
    EXPECT_EQ(panel.screen(), PanelState::Screen::Sheet);
    EXPECT_TRUE(panel.firstRunAsked());
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
    QSignalSpy done(&sheet, &WhoCanListenModel::done);
    QObject::connect(&sheet, &WhoCanListenModel::done, &panel, &PanelState::sheetDone);
    sheet.save();
    ASSERT_TRUE(eventually([&] { return done.count() == 1; }));
    EXPECT_TRUE(s.presence().passcode().isEmpty());
    EXPECT_EQ(s.presence().stationName(), "Porch");
    EXPECT_TRUE(s.onAir());
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
    QFile kept(home.filePath("data/lantern-fm/passcode"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "harbour-lights");

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
    panel::holdToTalk(s, true);
    EXPECT_FALSE(s.mic().talkOn());
    EXPECT_FALSE(s.mic().holding());
    panel::holdToTalk(s, false);
    EXPECT_FALSE(s.mic().holding());
    panel::holdToTalk(s, true);
    EXPECT_TRUE(s.mic().holding());
    panel::holdToTalk(s, false);
    EXPECT_FALSE(s.mic().holding());
}

} // namespace
} // namespace lantern
