// Link modes, passcode and name against a stand-in address service.
#include "link/keychain.h"
#include "station/station_fixture.h"
#include "support/fake_address_service.h"

#include <QClipboard>
#include <QCoro/QCoroTask>
#include <QGuiApplication>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace lantern {
namespace {

using test::eventually;
using json = nlohmann::json;
using Mode = Station::LinkMode;

class LinkModeTest : public StationTest {
protected:
    void TearDown() override {
        StationTest::TearDown();
        // Let withdrawals still on their way be answered before the client goes.
        test::settle(200ms);
    }

    std::optional<QString> apply(Station& s, Mode mode, const QString& name,
                                 std::optional<QString> passcode, const QString& stationName) {
        return QCoro::waitFor(s.setLinkMode(mode, name, std::move(passcode), stationName));
    }
    // Stores an address as a claim by this service would have.
    void saved(const QString& account, const QString& path) {
        Keychain::write(account, encode({path, service.base() + path, "secret" + path, false}));
    }
    std::vector<QString> calls() const {
        std::vector<QString> result;
        for (const auto& request : service.requests())
            result.push_back(request.method + " " + request.path);
        return result;
    }
    // Waits for the address service to have seen `count` requests.
    bool requests(std::size_t count) {
        return eventually([&] { return service.requests().size() >= count; }, 3s);
    }

    test::FakeAddressService service;
    AddressClient client{QUrl(service.base()), 3s};
};

TEST_F(LinkModeTest, TheSameNameOnlyUpdatesThePasscode) {
    saved("address.named", "/myname");
    service.answer({204, {}});
    auto& s = make(&client);
    EXPECT_EQ(apply(s, Mode::named, "  MyName\t", QString("pw"), " Porch "), std::nullopt);
    ASSERT_EQ(calls(), std::vector<QString>{"PATCH /api/settings"});
    EXPECT_EQ(service.requests()[0].json()["passcode"], "pw");
    EXPECT_EQ(service.requests()[0].json()["path"], "/myname");
    EXPECT_EQ(s.namedLink()->path, "/myname");
    EXPECT_EQ(s.linkMode(), Mode::named);
    EXPECT_EQ(s.passcode(), "pw");
    EXPECT_EQ(s.stationName(), "Porch");
    EXPECT_TRUE(s.asked());
    EXPECT_EQ(settings.string("linkMode"), "named");
    EXPECT_TRUE(settings.value("askedWhoCanListen").toBool());
    EXPECT_EQ(QCoro::waitFor(client.passcode()), "pw");
    // The link carries the passcode; the address is shown off air.
    EXPECT_EQ(s.shareLink()->toString(), service.base() + "/myname#k=pw");
}

TEST_F(LinkModeTest, ADifferentNameClaimsAndReplacesTheNamedAddress) {
    saved("address.named", "/old-name");
    saved("address.private", "/s/keep-me");
    service.answer({201, R"({"path":"/new-name","secret":"s2"})"});
    auto& s = make(&client);
    EXPECT_EQ(apply(s, Mode::named, " New-Name ", std::nullopt, ""), std::nullopt);
    ASSERT_EQ(calls(), std::vector<QString>{"POST /api/claim"});
    EXPECT_EQ(service.requests()[0].json(), (json{{"showLast", false}, {"name", "new-name"}}));
    EXPECT_EQ(s.namedLink()->path, "/new-name");
    EXPECT_EQ(s.privateLink()->path, "/s/keep-me"); // the other kind stays
    EXPECT_FALSE(s.passcode());
    EXPECT_EQ(s.shareLink()->toString(), service.base() + "/new-name");
}

TEST_F(LinkModeTest, KeptWithoutAnAddressClaimsOnceWithoutAName) {
    service.answer({201, R"({"path":"/s/x7y","secret":"k"})"});
    service.answer({204, {}});
    auto& s = make(&client);
    EXPECT_EQ(apply(s, Mode::kept, "ignored", std::nullopt, "Den"), std::nullopt);
    ASSERT_EQ(calls(), std::vector<QString>{"POST /api/claim"});
    EXPECT_EQ(service.requests()[0].json(), (json{{"showLast", false}}));
    EXPECT_EQ(s.privateLink()->path, "/s/x7y");
    EXPECT_TRUE(s.usesKept());
    // Applied again: the address exists now, so only the passcode is updated.
    EXPECT_EQ(apply(s, Mode::kept, "", QString("new"), "Den"), std::nullopt);
    EXPECT_EQ(calls().back(), "PATCH /api/settings");
    EXPECT_EQ(calls().size(), 2u);
}

TEST_F(LinkModeTest, AFailedClaimReturnsItsTextAndChangesNothing) {
    settings.setValue("stationName", "Before");
    service.answer({409, {}});
    auto& s = make(&client);
    EXPECT_EQ(apply(s, Mode::named, "taken", QString("pw"), "After"),
              QString("That name is taken. Try another."));
    EXPECT_EQ(s.linkMode(), Mode::fresh);
    EXPECT_FALSE(s.passcode());
    EXPECT_EQ(s.stationName(), "Before");
    EXPECT_FALSE(s.asked());
    EXPECT_FALSE(s.namedLink());
    EXPECT_FALSE(settings.string("linkMode"));
    EXPECT_FALSE(QCoro::waitFor(client.passcode()));
}

TEST_F(LinkModeTest, AStableAddressIsAnnouncedWhileOnAirAndWithdrawnByFresh) {
    saved("address.private", "/s/abc");
    settings.setValue("linkMode", "kept");
    auto& s = make(&client);
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    ASSERT_TRUE(requests(1));
    EXPECT_EQ(calls(), std::vector<QString>{"PUT /api/live"});
    EXPECT_EQ(service.requests()[0].json()["url"], "https://quiet-river-4821.trycloudflare.com");
    EXPECT_EQ(StationProbe::announced(s)->path, "/s/abc");
    EXPECT_EQ(s.shareLink()->toString(), service.base() + "/s/abc");

    // Every 60th tick says so again.
    for (int i = 0; i < 60; ++i)
        StationProbe::tick(s);
    ASSERT_TRUE(requests(2));
    EXPECT_EQ(calls()[1], "PUT /api/live");

    // Fresh asks nothing of the service but withdraws the announced address.
    EXPECT_EQ(apply(s, Mode::fresh, "", std::nullopt, ""), std::nullopt);
    ASSERT_TRUE(requests(3));
    EXPECT_EQ(calls()[2], "DELETE /api/live");
    EXPECT_FALSE(StationProbe::announced(s));
    EXPECT_EQ(s.shareLink(), QUrl("https://quiet-river-4821.trycloudflare.com"));
    std::this_thread::sleep_for(200ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(service.requests().size(), 3u);
}

TEST_F(LinkModeTest, GoingOffAirWithdrawsTheAnnouncedAddress) {
    saved("address.named", "/den");
    auto& s = make(&client);
    ASSERT_EQ(s.linkMode(), Mode::named);
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(requests(1));
    s.goOffAir();
    ASSERT_TRUE(requests(2));
    EXPECT_EQ(calls()[1], "DELETE /api/live");
    EXPECT_EQ(service.requests()[1].json()["path"], "/den");
}

TEST_F(LinkModeTest, CopyLinkPutsTheShareLinkOnTheClipboard) {
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->setText("untouched");
    auto& s = make(&client);
    s.copyLink(); // fresh and off air: there is no link yet
    EXPECT_EQ(clipboard->text(), "untouched");
    qputenv("LANTERN_CLOUDFLARED", home.filePath("none").toUtf8());
    ASSERT_NE(onAir(s), 0);
    StationProbe::tunnelUp(s, "https://bright-field-1234.trycloudflare.com");
    EXPECT_EQ(apply(s, Mode::fresh, "", QString("a b&c"), ""), std::nullopt);
    s.copyLink();
    EXPECT_EQ(clipboard->text(), "https://bright-field-1234.trycloudflare.com#k=a%20b%26c");
}

} // namespace
} // namespace lantern
