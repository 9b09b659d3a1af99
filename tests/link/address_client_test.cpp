#include "core/stream/http.h"
#include "link/address_client.h"
#include "link/keychain.h"
#include "settings/settings.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/fake_address_service.h"
#include "support/lantern_run.h"
#include "support/session_bus.h"
#include "support/world.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace lantern;
using namespace lantern::test;
using nlohmann::json;

namespace {

// Runs a task to its end and rethrows what it threw (QCoro's waitFor would
// wait forever on a task that throws).
template <typename T> T run(QCoro::Task<T> task) {
    std::exception_ptr thrown;
    auto result = QCoro::waitFor([&]() -> QCoro::Task<T> {
        try {
            co_return co_await std::move(task);
        } catch (...) {
            thrown = std::current_exception();
        }
        co_return T();
    }());
    if (thrown) std::rethrow_exception(thrown);
    return result;
}
void run(QCoro::Task<> task) {
    run([&]() -> QCoro::Task<int> { co_return (co_await std::move(task), 0); }());
}

// How a claim was refused, as the user is told: the status and the words.
std::pair<int, QString> refusal(QCoro::Task<SavedAddress> claim) {
    try {
        run(std::move(claim));
        return {-1, "claimed"};
    } catch (const AddressError& error) {
        return {error.status(), error.description()};
    }
}

// A client of a stand-in service, with settings and secret files of its own
// and no session bus, so the keychain's file fallback holds the secrets.
struct AddressClientTest : testing::Test {
    void SetUp() override {
        qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    }

    QTemporaryDir home;
    FakeAddressService service;
    AddressClient client{QUrl(service.base()), std::chrono::milliseconds(1000)};
};

// A claim sends only what it is given, and of a passcode only that there is
// one; it stores what comes back, kept and named apart; a stored path under a
// new base is a new address. Updates send the settings; announcing and
// withdrawing never throw, whatever the service does.
TEST_F(AddressClientTest, ClaimsStoresAndUpdates) {
    service.answer({201, R"({"path":"/s/abc","secret":"kept-secret"})"});
    service.answer({201, R"({"path":"/my-name","secret":"named-secret","extra":1})"});
    const auto kept = run(client.claim(std::nullopt, false, true));
    run(client.claim(QString("my-name"), true, false));
    const auto& sent = service.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(headerField(sent[0].head, "Content-Type"), "application/json");
    EXPECT_EQ(sent[0].json(), (json{{"showLast", true}, {"hasPasscode", false}}));
    EXPECT_EQ(sent[1].json(),
              (json{{"showLast", false}, {"name", "my-name"}, {"hasPasscode", true}}));
    EXPECT_EQ(kept, (SavedAddress{"/s/abc", service.base() + "/s/abc", "kept-secret", true,
                                  service.base()}));
    EXPECT_EQ(run(client.saved(false)), kept);
    EXPECT_EQ(run(client.saved(true))->secret, "named-secret");
    EXPECT_FALSE(decodeSavedAddress(R"({"path":"/s/a","address":"x","secret":"s"})"));

    service.answer({204, {}});
    run(client.update(false, kept));
    EXPECT_EQ(sent[2].json(), json::parse(R"({"path":"/s/abc","secret":"kept-secret",
                                              "hasPasscode":false,"showLast":true})"));
    service.answer({500, {}});
    service.answer({0, {}, true});
    run(client.live(QUrl("https://quiet-river-4821.trycloudflare.com"), kept, "My Station"));
    run(client.off(kept));
    EXPECT_EQ(sent[3].json(), json::parse(R"({"url":"https://quiet-river-4821.trycloudflare.com",
                        "name":"My Station","path":"/s/abc","secret":"kept-secret"})"));

    // A claim belongs to the service that issued it: another one sees none of
    // them, and the claim still goes to its own service alone; switching back
    // (its base spelt with a trailing slash) finds it again.
    FakeAddressService other;
    client.setBase(QUrl(other.base()));
    EXPECT_FALSE(run(client.saved(false)));
    EXPECT_FALSE(run(client.saved(true)));
    run(client.off(kept));
    EXPECT_TRUE(other.requests().empty()) << "another service was sent the secret";
    EXPECT_EQ(sent.size(), 6u);
    client.setBase(QUrl(service.base() + "/"));
    EXPECT_EQ(run(client.saved(false)), kept);
}

// Replies the real service never gives (a wrong status, a malformed body, no
// answer at all) still reach the user as their words.
TEST_F(AddressClientTest, RefusalsAreTheUsersWords) {
    const QString understood = "The address service gave an answer Lantern FM doesn't understand.";
    const std::tuple<FakeAddressService::Reply, int, QString> rows[] = {
        {{409, {}}, 0, "That name is taken. Try another."},
        {{500, {}}, 500, "The address service answered 500."},
        {{200, R"({"path":"/s/a","secret":"s"})"}, 200, "The address service answered 200."},
        {{201, R"({"path":5,"secret":"s"})"}, 201, understood},
        {{201, "not json"}, 201, understood},
        {{0, {}, true}, 0, "Couldn't reach the address service."},
    };
    for (const auto& [reply, status, description] : rows) {
        service.answer(reply);
        EXPECT_EQ(refusal(client.claim(std::nullopt, false, false)),
                  std::pair(status, description));
    }
    EXPECT_FALSE(run(client.saved(false))) << "a refused claim was stored";
}

// ---- The client against the real address service ----

// What a visitor of `address` gets: the status and where it is sent.
std::string visit(const QString& address) {
    return runProgram({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}",
                       address.toStdString()})
        .output;
}

struct RealServiceTest : AddressClientTest {
    QTemporaryDir data;
    AddressDaemon daemon{data, {"--allow-origin=http://127.0.0.1:8000", "--claims-per-hour=4"}};
    AddressClient real{QUrl(QString::fromStdString(daemon.base())), std::chrono::seconds(3)};
};

// The client and the service agree: each operation and refusal as the station
// sees it and as a visitor of the address does (the service's every refusal
// is tested on the service itself).
TEST_F(RealServiceTest, ClaimAnnounceWithdrawAndRefusals) {
    const auto kept = run(real.claim(std::nullopt, true, true));
    EXPECT_TRUE(kept.path.startsWith("/s/")) << kept.path.toStdString();
    EXPECT_EQ(kept.address, QString::fromStdString(daemon.base()) + kept.path);
    EXPECT_EQ(run(real.saved(false)), kept);
    const auto named = run(real.claim(QString("porch-radio"), false, false));
    EXPECT_EQ(named.path, "/porch-radio");
    const std::pair<std::optional<QString>, QString> refusals[] = {
        {"porch-radio", "That name is taken. Try another."},
        {"-porch",
         "3\u201330 lowercase letters, numbers or dashes (not starting or ending with a dash)."},
        {std::nullopt, "Too many tries for now. Try again in an hour."},
    };
    for (const auto& [name, words] : refusals)
        EXPECT_EQ(refusal(real.claim(name, false, false)).second, words);

    EXPECT_EQ(visit(kept.address), "200 ");
    run(real.live(QUrl("http://127.0.0.1:8000"), kept, "Porch"));
    EXPECT_EQ(visit(kept.address), "302 http://127.0.0.1:8000/");
    EXPECT_EQ(visit(named.address), "200 ") << "another address went live";
    run(real.update(true, kept));
    auto forged = kept;
    forged.secret = "not-the-secret";
    EXPECT_THROW(run(real.update(false, forged)), AddressError);
    run(real.off(kept));
    EXPECT_EQ(visit(kept.address), "200 ");
}

// A claim answered 201 is on disk: the service killed at once and started
// again on the same database still knows the address and its secret.
TEST_F(RealServiceTest, AClaimOutlivesAKill) {
    const auto kept = run(real.claim(std::nullopt, false, false));
    ::kill(daemon.pid(), SIGKILL);
    EXPECT_EQ(daemon.exitStatus(std::chrono::seconds(5)), -1);
    AddressDaemon again(data, {"--allow-origin=http://127.0.0.1:8000",
                               "--listen=" + real.base().authority().toStdString()});
    const auto base = QString::fromStdString(again.base());
    ASSERT_FALSE(base.isEmpty());
    AddressClient restarted{QUrl(base), std::chrono::seconds(3)};
    const auto moved = run(restarted.saved(false));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->address, base + kept.path);
    run(restarted.live(QUrl("http://127.0.0.1:8000"), *moved, "Porch"));
    EXPECT_EQ(visit(moved->address), "302 http://127.0.0.1:8000/");
}

// Secrets live in files only the user can read when no Secret Service
// answers; a write that fails keeps the secret it would have replaced; a
// record under the old single account moves; an empty passcode deletes it.
TEST_F(AddressClientTest, TheKeychainFallsBackToPrivateFiles) {
    run(client.setPasscode(QString("s3 cr\u00E9t")));
    EXPECT_EQ(run(client.passcode()), QString("s3 cr\u00E9t"));
    const auto file = home.filePath("data/lantern-fm/passcode");
    EXPECT_EQ(QFile::permissions(file),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser); // 0600
    // A disk that takes no more (as a crash would) cannot lose the old secret.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit tiny{4, before.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    Keychain::write("passcode", QByteArray(64, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(run(client.passcode()), QString("s3 cr\u00E9t")) << "a failed write lost it";
    run(client.setPasscode(QString("")));
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(run(client.passcode()));

    // Records filed before claims were filed by service move to the service
    // each came from.
    Keychain::write("address", encode({"/s/old", "https://elsewhere/s/old", "olds", false, {}}));
    Keychain::write("address.named",
                    encode({"/mine", service.base() + "/mine", "mines", false, {}}));
    EXPECT_FALSE(run(client.saved(false))) << "another service's claim was taken for this one's";
    EXPECT_EQ(run(client.saved(true))->secret, "mines");
    AddressClient elsewhere(QUrl("https://elsewhere/"));
    EXPECT_EQ(run(elsewhere.saved(false))->secret, "olds");
    EXPECT_FALSE(Keychain::read("address"));
    EXPECT_FALSE(Keychain::read("address.named"));
    Keychain::write("address", "{broken");
    EXPECT_FALSE(run(client.saved(false)));
    EXPECT_EQ(Keychain::read("address"), QByteArray("{broken")) << "an undecodable record was lost";
}

// Against a real Secret Service (gnome-keyring on a private bus, its login
// keyring unlocked), secrets go there and never to a file.
TEST(Keychain, UsesTheSecretServiceWhenOneAnswers) {
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    qputenv("HOME", home.path().toUtf8());
    auto& bus = World::bus();
    const std::string password = "lantern-test";
    const pid_t keyring =
        startProgram({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                     {}, &password);
    ASSERT_TRUE(eventually([&] { return bus.hasOwner("org.freedesktop.secrets"); }))
        << "could not start a Secret Service";
    Keychain::write("address.named", R"({"path":"/my-name"})");
    EXPECT_EQ(Keychain::read("address.named"), QByteArray(R"({"path":"/my-name"})"));
    EXPECT_FALSE(QFile::exists(home.filePath("data/lantern-fm/address.named")));
    Keychain::remove("address.named");
    EXPECT_FALSE(Keychain::read("address.named"));
    endProgram(keyring);
}

TEST(Settings, TheCommandLineWinsForTheRunOnly) {
    QTemporaryDir folder;
    const auto file = folder.filePath("settings.ini");
    {
        Settings settings(file);
        settings.setValue("stationName", "Stored");
        settings.applyArguments(
            {"lantern-fm", "--stationName=From the command line", "-x", "--=bad"});
        EXPECT_EQ(settings.string("stationName"), QString("From the command line"));
    }
    EXPECT_EQ(Settings(file).string("stationName"), QString("Stored"));
}

} // namespace
