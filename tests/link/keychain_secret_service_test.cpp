// The keychain against a real Secret Service: a private session bus with
// gnome-keyring-daemon on it, its login keyring unlocked for the test.
#include "link/keychain.h"
#include "support/child_process.h"
#include "support/session_bus.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;
using namespace lantern::test;

namespace {

TEST(SecretServiceKeychain, StoresReadsAndRemovesWithoutTouchingFiles) {
    std::fflush(stdout);
    Keychain::write("address.named", R"({"path":"/my-name"})");
    EXPECT_EQ(Keychain::read("address.named"), QByteArray(R"({"path":"/my-name"})"));
    const auto file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                      "/lantern-fm/address.named";
    EXPECT_FALSE(QFile::exists(file))
        << "the secret went to a file although the Secret Service answered";
    Keychain::write("address.named", "second");
    EXPECT_EQ(Keychain::read("address.named"), QByteArray("second"));
    Keychain::remove("address.named");
    EXPECT_FALSE(Keychain::read("address.named"));
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    qputenv("HOME", home.path().toUtf8());
    SessionBus bus;
    // --unlock reads the login keyring's password from standard input and
    // creates that keyring, unlocked, when there is none yet.
    const std::string password = "lantern-test";
    const pid_t keyring =
        startProgram({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                     {}, &password);
    bool up = false;
    for (int i = 0; i < 100 && bus.running() && !up; ++i) {
        up = bus.hasOwner("org.freedesktop.secrets");
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int result = 1;
    if (!up) {
        std::fprintf(stderr,
                     "could not start a Secret Service (dbus-daemon, gnome-keyring-daemon)\n");
    } else {
        QCoreApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    endProgram(keyring);
    return result;
}
