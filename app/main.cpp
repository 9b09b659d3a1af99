// lantern-fm: with a display, the tray icon and its panel; with --headless or
// without a display, the station goes on air at once and reports in the
// terminal.
#include "capture/audio_source.h"
#include "capture/sound_server.h"
#include "settings/settings.h"
#include "station/broadcast.h"
#include "station/station.h"
#include "system/log.h"
#include "system/process.h"
#include "system/single_instance.h"
#include "ui/console.h"
#include "ui/debug_switches.h"
#include "ui/desktop_app.h"

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QtQml/qqmlextensionplugin.h>
#include <cstdio>
#include <iostream>
#include <memory>
#include <termios.h>
#include <unistd.h>

Q_IMPORT_QML_PLUGIN(LanternPlugin)

using namespace lantern;

namespace {

const char* usage =
    "usage: lantern-fm [--headless] [--source=ID] [--KEY=VALUE...]\n"
    "       lantern-fm --set-tunnel=HOST < TOKEN-FILE\n"
    "       lantern-fm --set-relay=icecast://[USER@]HOST:PORT/MOUNT < PASSWORD-FILE\n"
    "  (no option)   the tray icon and its panel, where a display is available\n"
    "  --headless    no panel: go on air at once and report in the terminal\n"
    "  --source=ID   what goes on air: \"all\" (everything the computer plays, the\n"
    "                default) or an application's id, as the sound server names its\n"
    "                program\n"
    "  --KEY=VALUE   a setting for this run (stationName, linkMode, micDevice,\n"
    "                addressBase, tunnelPort, ...)\n"
    "  --set-tunnel=HOST  your own address: a tunnel you set up with cloudflared's\n"
    "                vendor, whose public host name is HOST; its token is read from\n"
    "                standard input (never give it on a command line). An empty\n"
    "                HOST forgets it.\n"
    "  --set-relay=URL  relay to an Icecast server from now on; its source password\n"
    "                is read from standard input (never give it on a command line).\n"
    "                --relayURL=URL (without a password) relays for one run. An\n"
    "                empty URL stops relaying.\n"
    "Ctrl+C goes off air and quits.\n";

AudioSource sourceFor(const QString& id, const std::vector<AudioSource>& sources) {
    if (AudioSource::namesWhole(id)) return AudioSource::wholeMac();
    for (const auto& source : sources)
        if (source.id == id) return source;
    for (const auto& application : AudioSources::runningApplications())
        if (application.id == id)
            return {id, application.name.value_or(id), application.icon.value_or(QString())};
    return {id, id, QString()}; // not running yet: the station says so and waits for it
}

// A secret read from standard input (without echo on a terminal): a command
// line is there for every user of the computer to see.
QString readSecret(const char* prompt) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        auto quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    return QString::fromStdString(line).trimmed();
}

// Reads the tunnel's token and keeps it with the host; 0 when kept.
int setTunnel(int argc, char** argv, const QString& host) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lantern-fm"));
    const auto token =
        host.isEmpty() ? QString() : readSecret("Paste the tunnel's token, then press Enter: ");
    if (const auto problem = LinkPresence::setOwnTunnel(Settings::shared(), host, token)) {
        std::fprintf(stderr, "lantern-fm: %s\n", problem->toUtf8().constData());
        return 1;
    }
    if (host.isEmpty())
        std::puts("Your own address is forgotten.");
    else
        std::printf("Your own address is set: https://%s. In the tunnel's settings, send that "
                    "host to http://localhost:%d (or give another port with --tunnelPort=PORT). "
                    "Choose it under Who Can Listen, or run with --linkMode=own.\n",
                    host.toUtf8().constData(),
                    Settings::shared()
                        .value(QStringLiteral("tunnelPort"), Broadcast::OwnTunnel::defaultPort)
                        .toInt());
    return 0;
}

// Reads the relay server's source password and keeps it with the address; 0 when kept.
int setRelay(int argc, char** argv, const QString& address) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lantern-fm"));
    const auto password = address.isEmpty() ? QString()
                                            : readSecret("Type the relay server's source "
                                                         "password, then press Enter: ");
    if (const auto problem = RelayControl::store(Settings::shared(), address, password)) {
        std::fprintf(stderr, "lantern-fm: %s\n", problem->toUtf8().constData());
        return 1;
    }
    std::puts(address.isEmpty() ? "Relaying is off." : "Lantern FM relays to that server now.");
    return 0;
}

// Whether a relay address on the command line carries a password.
bool carriesPassword(const QString& url) {
    auto parsed = parseRelayURL(url.toStdString());
    const auto* target = std::get_if<RelayTarget>(&parsed);
    return target && !target->password.empty();
}

int runHeadless(int argc, char** argv, const QStringList& arguments, const QString& sourceID) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lantern-fm"));
    Settings::shared().applyArguments(arguments);
    // The applications and inputs come from the sound server's first report;
    // a server that is not there is waited for in the background.
    SoundServer::shared().waitConnected(std::chrono::milliseconds(1500));
    auto& station = Station::shared();
    Console console(station);
    onTerminationSignal(&station, [&station] { station.quit(); });
    station.choose(
        sourceFor(sourceID.isEmpty() ? QStringLiteral("all") : sourceID, station.sources().all()));
    station.goOnAir();
    return application.exec();
}

int runDesktop(int argc, char** argv, const QStringList& arguments, const QString& sourceID) {
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lantern-fm"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Lantern FM"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brindle.lanternfm"));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral("com.brindle.lanternfm"), QIcon(QStringLiteral(":/lantern-fm/icon.svg"))));
    // Hiding the panel is not leaving: the station lives in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    Settings::shared().applyArguments(arguments);

    SingleInstance instance;
    if (instance.claim() == SingleInstance::Outcome::activated) return 0;

    SoundServer::shared().waitConnected(std::chrono::milliseconds(1500));
    DebugSwitches::prepareOutput();
    DebugSwitches::startCaptureIfAsked();
    auto& station = Station::shared();
    onTerminationSignal(&station, [&station] { station.quit(); });
    if (!sourceID.isEmpty()) station.choose(sourceFor(sourceID, station.sources().all()));

    DesktopApp desktop(station);
    QObject::connect(&instance, &SingleInstance::activated, &desktop, &DesktopApp::activate);
    desktop.start();
    return application.exec();
}

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    routeCoreLog();
    QString sourceID;
    std::optional<QString> tunnelHost, relayAddress;
    bool headless = false;
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        const auto argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument.startsWith(QLatin1String("--tunnelToken="))) {
            std::fputs("lantern-fm: the tunnel's token is a secret: give it to "
                       "--set-tunnel=HOST on standard input, not on a command line\n",
                       stderr);
            return 2;
        }
        if (argument.startsWith(QLatin1String("--relayURL=")) &&
            carriesPassword(argument.mid(11))) {
            std::fputs("lantern-fm: the relay server's password is a secret: give it to "
                       "--set-relay=URL on standard input, not on a command line\n",
                       stderr);
            return 2;
        }
        if (argument == QLatin1String("--headless"))
            headless = true;
        else if (argument.startsWith(QLatin1String("--set-tunnel=")))
            tunnelHost = argument.mid(13).trimmed().toLower();
        else if (argument.startsWith(QLatin1String("--set-relay=")))
            relayAddress = argument.mid(12).trimmed();
        else if (argument.startsWith(QLatin1String("--source="))) {
            sourceID = argument.mid(9);
            if (sourceID.isEmpty()) {
                std::fprintf(stderr, "lantern-fm: --source needs an id\n%s", usage);
                return 2;
            }
        } else if (argument.startsWith(QLatin1String("--")) && argument.indexOf(u'=') > 2)
            arguments << argument;
        else {
            std::fprintf(stderr, "lantern-fm: unknown argument %s\n%s", argv[i], usage);
            return 2;
        }
    }
    if (tunnelHost) return setTunnel(argc, argv, *tunnelHost);
    if (relayAddress) return setRelay(argc, argv, *relayAddress);
    const bool display =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!headless && !display)
        std::fputs("lantern-fm: no display, so no panel: going on air in the terminal "
                   "(as with --headless)\n",
                   stderr);
    if (headless || !display) return runHeadless(argc, argv, arguments, sourceID);
    return runDesktop(argc, argv, arguments, sourceID);
}
