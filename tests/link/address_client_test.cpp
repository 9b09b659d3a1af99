#include "link/address_client.h"
#include "link/keychain.h"
#include "station/settings.h"
#include "support/fake_address_service.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// What the code under test writes to standard output meanwhile.
class StdoutCapture {
public:
    StdoutCapture() : file_(std::tmpfile()) {
        std::fflush(stdout);
        saved_ = ::dup(1);
        ::dup2(::fileno(file_), 1);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        std::rewind(file_);
        std::string out;
        for (int c; (c = std::fgetc(file_)) != EOF;)
            out += static_cast<char>(c);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    std::FILE* file_;
    int saved_ = -1;
};

// Runs a task to its end on a local event loop and rethrows what it threw
// (QCoro's waitFor would wait forever on a task that throws).
template <typename T> T finish(QCoro::Task<T> task) {
    std::exception_ptr thrown;
    auto guarded = [](QCoro::Task<T> inner,
                      std::exception_ptr& error) -> QCoro::Task<std::optional<T>> {
        try {
            co_return co_await std::move(inner);
        } catch (...) {
            error = std::current_exception();
            co_return std::nullopt;
        }
    };
    auto result = QCoro::waitFor(guarded(std::move(task), thrown));
    if (thrown) std::rethrow_exception(thrown);
    return std::move(*result);
}

void finish(QCoro::Task<void> task) {
    std::exception_ptr thrown;
    auto guarded = [](QCoro::Task<void> inner, std::exception_ptr& error) -> QCoro::Task<void> {
        try {
            co_await std::move(inner);
        } catch (...) {
            error = std::current_exception();
        }
    };
    QCoro::waitFor(guarded(std::move(task), thrown));
    if (thrown) std::rethrow_exception(thrown);
}

class AddressClientTest : public testing::Test {
protected:
    AddressClientTest() : client(QUrl(service.base()), 1000ms) {
        for (const auto* account : {"address", "address.named", "address.private", "passcode"})
            Keychain::remove(account);
    }

    template <typename T> static T run(QCoro::Task<T> task) { return finish(std::move(task)); }

    AddressError claimError(FakeAddressService::Reply reply) {
        service.answer(std::move(reply));
        try {
            run(client.claim(std::nullopt, std::nullopt, false));
        } catch (const AddressError& error) {
            return error;
        }
        ADD_FAILURE() << "the claim did not fail";
        return AddressError(AddressError::Kind::server, -1);
    }

    FakeAddressService service;
    AddressClient client;
};

TEST_F(AddressClientTest, ClaimBodiesCarryOnlyWhatIsGiven) {
    service.answer({201, R"({"path":"/s/abc","secret":"s1"})"});
    service.answer({201, R"({"path":"/my-name","secret":"s2","extra":1})"});
    service.answer({201, R"({"path":"/x","secret":"s3"})"});
    run(client.claim(std::nullopt, std::nullopt, true));
    run(client.claim(QString("my-name"), QString("pw"), false));
    run(client.claim(QString(""), std::nullopt, false));
    const auto& requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/api/claim");
        EXPECT_EQ(request.headers.at("content-type"), "application/json");
    }
    EXPECT_EQ(requests[0].json(), (json{{"showLast", true}}));
    EXPECT_EQ(requests[1].json(),
              (json{{"showLast", false}, {"name", "my-name"}, {"passcode", "pw"}}));
    EXPECT_EQ(requests[2].json(), (json{{"showLast", false}, {"name", ""}}));
}

TEST_F(AddressClientTest, ClaimStoresKeptAndNamedAddressesApart) {
    service.answer({201, R"({"path":"/s/abc","secret":"kept-secret"})"});
    service.answer({201, R"({"path":"/my-name","secret":"named-secret"})"});
    const auto kept = run(client.claim(std::nullopt, std::nullopt, true));
    EXPECT_EQ(kept, (SavedAddress{"/s/abc", service.base() + "/s/abc", "kept-secret", true}));
    run(client.claim(QString("my-name"), std::nullopt, false));
    EXPECT_EQ(run(client.saved(false)), kept);
    EXPECT_EQ(run(client.saved(true)),
              (SavedAddress{"/my-name", service.base() + "/my-name", "named-secret", false}));

    // The same stored path under a new base gives a new address.
    AddressClient moved(QUrl("https://new.example/base"), 300ms);
    EXPECT_EQ(run(moved.saved(false))->address, "https://new.example/base/s/abc");
}

struct StatusRow {
    const char* name;
    FakeAddressService::Reply reply;
    AddressError::Kind kind;
    int status;
    QString description;
};

TEST_F(AddressClientTest, ClaimRepliesMapToErrors) {
    const StatusRow rows[] = {
        {"badName",
         {400, {}},
         AddressError::Kind::badName,
         0,
         "3\u201330 lowercase letters, numbers or dashes (not starting or ending with a dash)."},
        {"taken", {409, {}}, AddressError::Kind::taken, 0, "That name is taken. Try another."},
        {"tooMany",
         {429, {}},
         AddressError::Kind::tooMany,
         0,
         "Too many tries for now. Try again in an hour."},
        {"server", {500, {}}, AddressError::Kind::server, 500, "The address service answered 500."},
        {"okIsNotCreated",
         {200, R"({"path":"/s/a","secret":"s"})"},
         AddressError::Kind::server,
         200,
         "The address service answered 200."},
        {"noSecret",
         {201, R"({"path":"/s/a"})"},
         AddressError::Kind::server,
         201,
         "The address service answered 201."},
        {"pathNotAString",
         {201, R"({"path":5,"secret":"s"})"},
         AddressError::Kind::server,
         201,
         "The address service answered 201."},
        {"notAnObject",
         {201, R"(["/s/a","s"])"},
         AddressError::Kind::server,
         201,
         "The address service answered 201."},
        {"silent",
         {0, {}, true},
         AddressError::Kind::offline,
         0,
         "Couldn't reach the address service."},
    };
    for (const auto& row : rows) {
        const auto error = claimError(row.reply);
        EXPECT_EQ(error.kind(), row.kind) << row.name;
        EXPECT_EQ(error.status(), row.status) << row.name;
        EXPECT_EQ(error.description(), row.description) << row.name;
    }
    EXPECT_FALSE(run(client.saved(false)));
    EXPECT_FALSE(run(client.saved(true)));
}

TEST_F(AddressClientTest, ClaimReplyThatIsNotJSONRaisesTheParserError) {
    service.answer({201, "not json"});
    EXPECT_THROW(run(client.claim(std::nullopt, std::nullopt, false)), json::parse_error);
}

TEST_F(AddressClientTest, UnreachableServiceIsOffline) {
    AddressClient nowhere(QUrl("http://127.0.0.1:1"), 300ms);
    try {
        finish(nowhere.claim(std::nullopt, std::nullopt, false));
        FAIL() << "a claim reached nobody";
    } catch (const AddressError& error) {
        EXPECT_EQ(error.kind(), AddressError::Kind::offline);
    }
}

TEST_F(AddressClientTest, UpdateSendsSettingsAndMapsStatus) {
    const SavedAddress at{"/my-name", service.base() + "/my-name", "sec", true};
    service.answer({204, {}});
    run(client.update(std::nullopt, at));
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].method, "PATCH");
    EXPECT_EQ(service.requests()[0].path, "/api/settings");
    EXPECT_EQ(
        service.requests()[0].json(),
        (json{{"path", "/my-name"}, {"secret", "sec"}, {"passcode", ""}, {"showLast", true}}));
    service.answer({204, {}});
    run(client.update(QString("pw"), at));
    EXPECT_EQ(service.requests()[1].json()["passcode"], "pw");

    const std::pair<int, AddressError::Kind> refusals[] = {{429, AddressError::Kind::tooMany},
                                                           {200, AddressError::Kind::server},
                                                           {409, AddressError::Kind::server}};
    for (const auto& [status, kind] : refusals) {
        service.answer({status, {}});
        try {
            run(client.update(QString("pw"), at));
            ADD_FAILURE() << status << " was taken for success";
        } catch (const AddressError& error) {
            EXPECT_EQ(error.kind(), kind) << status;
        }
    }
}

TEST_F(AddressClientTest, LiveAndOffNeverThrowAndLogRefusals) {
    const SavedAddress at{"/s/abc", service.base() + "/s/abc", "sec", false};
    StdoutCapture output;
    service.answer({200, {}});
    service.answer({500, {}});
    service.answer({204, {}});
    service.answer({0, {}, true});
    run(client.live(QUrl("https://quiet-river-4821.trycloudflare.com"), at, "My Station"));
    run(client.live(QUrl("https://quiet-river-4821.trycloudflare.com"), at, "My Station"));
    run(client.off(at));
    run(client.off(at));
    EXPECT_EQ(output.text(),
              "address service: PUT /api/live 500\n"
              "address service: DELETE /api/live Couldn't reach the address service.\n");
    const auto& requests = service.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].json(), (json{{"url", "https://quiet-river-4821.trycloudflare.com"},
                                        {"name", "My Station"},
                                        {"path", "/s/abc"},
                                        {"secret", "sec"}}));
    EXPECT_EQ(requests[2].method, "DELETE");
    EXPECT_EQ(requests[2].json(), (json{{"path", "/s/abc"}, {"secret", "sec"}}));
}

TEST_F(AddressClientTest, OldAccountMovesAndUndecodableStays) {
    const SavedAddress old{"/s/old", "https://elsewhere/s/old", "olds", false};
    Keychain::write("address", encode(old));
    const auto moved = run(client.saved(false));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->secret, "olds");
    EXPECT_EQ(moved->address, service.base() + "/s/old");
    EXPECT_FALSE(Keychain::read("address"));
    EXPECT_FALSE(run(client.saved(true)));

    Keychain::write("address", "{broken");
    EXPECT_EQ(run(client.saved(false)), moved);
    EXPECT_EQ(Keychain::read("address"), QByteArray("{broken"));
}

TEST_F(AddressClientTest, PasscodeLivesInTheKeychainAndEmptyDeletesIt) {
    EXPECT_FALSE(run(client.passcode()));
    run(client.setPasscode(QString("s3 cr\u00E9t")));
    EXPECT_EQ(run(client.passcode()), QString("s3 cr\u00E9t"));
    EXPECT_EQ(Keychain::read("passcode"), QString("s3 cr\u00E9t").toUtf8());
    run(client.setPasscode(QString("")));
    EXPECT_FALSE(Keychain::read("passcode"));
    EXPECT_FALSE(run(client.passcode()));
    run(client.setPasscode(QString("x")));
    run(client.setPasscode(std::nullopt));
    EXPECT_FALSE(run(client.passcode()));
}

TEST(SavedAddressJSON, NeedsAllFourKeys) {
    const SavedAddress saved{"/s/a", "https://a/s/a", "sec", true};
    EXPECT_EQ(json::parse(encode(saved).toStdString()), (json{{"path", "/s/a"},
                                                              {"address", "https://a/s/a"},
                                                              {"secret", "sec"},
                                                              {"showLast", true}}));
    EXPECT_EQ(decodeSavedAddress(encode(saved)), saved);
    for (const char* broken :
         {R"({"path":"/s/a","address":"x","secret":"s"})",
          R"({"path":"/s/a","address":"x","showLast":true})",
          R"({"path":"/s/a","address":"x","secret":"s","showLast":"yes"})", "[]", "nonsense"})
        EXPECT_FALSE(decodeSavedAddress(broken)) << broken;
}

// Without a Secret Service the secrets go to files only the user can read.
TEST(Keychain, FallsBackToPrivateFiles) {
    StdoutCapture output;
    Keychain::write("passcode", "hunter2");
    const auto logged = output.text();
    EXPECT_TRUE(logged.starts_with("keychain (sync true): ")) << logged;
    EXPECT_EQ(logged.find("keychain (sync false)"), std::string::npos) << logged;
    const auto path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                      "/lantern-fm/passcode";
    struct stat info {};
    ASSERT_EQ(::stat(path.toUtf8().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);
    EXPECT_EQ(Keychain::read("passcode"), QByteArray("hunter2"));
    Keychain::remove("passcode");
    EXPECT_FALSE(QFile::exists(path));
}

TEST(Settings, CommandLineWinsForTheRunOnly) {
    QTemporaryDir folder;
    const auto path = folder.filePath("settings.ini");
    {
        Settings settings(path);
        settings.setValue("stationName", "Stored");
        settings.applyArguments({"lantern-fm", "--stationName=From the command line",
                                 "--debugOnAir=1", "-x", "--=bad"});
        EXPECT_EQ(settings.string("stationName"), QString("From the command line"));
        EXPECT_EQ(settings.string("debugOnAir"), QString("1"));
        EXPECT_FALSE(settings.string("linkMode"));
    }
    Settings again(path);
    EXPECT_EQ(again.string("stationName"), QString("Stored"));
    EXPECT_FALSE(again.string("debugOnAir"));
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // A private home for settings and secret files, and no session bus, so the
    // Secret Service is out of reach and the file fallback is what is tested.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lantern-test-bus");
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
