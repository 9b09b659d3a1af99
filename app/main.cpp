// lantern-fm: goes on air with the chosen source and reports in the terminal.
#include "capture/audio_source.h"
#include "capture/sound_server.h"
#include "settings/settings.h"
#include "station/station.h"
#include "system/process.h"
#include "ui/console.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdio>
#include <memory>

using namespace lantern;

namespace {

const char* usage =
    "usage: lantern-fm [--headless] [--source=ID] [--KEY=VALUE...]\n"
    "  --source=ID   what goes on air: \"all\" (everything the computer plays, the\n"
    "                default) or an application's id, as the sound server names its\n"
    "                program\n"
    "  --KEY=VALUE   a setting for this run (stationName, linkMode, micDevice, ...)\n"
    "Ctrl+C goes off air and quits.\n";

AudioSource sourceFor(const QString& id, const std::vector<AudioSource>& sources) {
    // "all" for the whole computer; its stored id is accepted too.
    if (id == QLatin1String("all") || id == AudioSource::wholeMac().id)
        return AudioSource::wholeMac();
    for (const auto& source : sources)
        if (source.id == id) return source;
    for (const auto& application : AudioSources::runningApplications())
        if (application.id == id)
            return {id, application.name.value_or(id), application.icon.value_or(QString())};
    return {id, id, QString()}; // not running yet: the station says so and waits for it
}

} // namespace

int main(int argc, char** argv) {
    prepareProcess();
    QString sourceID = AudioSource::wholeMac().id;
    bool headless =
        qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        const auto argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == QLatin1String("--headless"))
            headless = true;
        else if (argument.startsWith(QLatin1String("--source=")))
            sourceID = argument.mid(9);
        else if (argument.startsWith(QLatin1String("--")) && argument.contains(u'='))
            arguments << argument;
        else {
            std::fprintf(stderr, "lantern-fm: unknown argument %s\n%s", argv[i], usage);
            return 2;
        }
    }
    if (sourceID.isEmpty()) {
        std::fprintf(stderr, "lantern-fm: --source needs an id\n%s", usage);
        return 2;
    }

    // The panel needs a display; without one the station runs in the terminal.
    std::unique_ptr<QCoreApplication> application;
    if (headless)
        application = std::make_unique<QCoreApplication>(argc, argv);
    else
        application = std::make_unique<QGuiApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lantern-fm"));
    Settings::shared().applyArguments(arguments);
    // The applications and inputs come from the sound server's first report;
    // a server that is not there is waited for in the background.
    SoundServer::shared().waitConnected(std::chrono::milliseconds(1500));

    auto& station = Station::shared();
    Console console(station);
    onTerminationSignal(&station, [&station] { station.quit(); });
    station.choose(sourceFor(sourceID, station.sources()));
    station.goOnAir();
    return application->exec();
}
