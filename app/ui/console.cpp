#include "ui/console.h"

#include "station/station.h"
#include "system/process.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace lantern {

Console::Console(Station& station) : station_(station) {
    connect(&station, &Station::statusChanged, this, [this] {
        if (!station_.status().isEmpty()) line(station_.status());
    });
    connect(&station, &Station::listening, this, [this](quint16 port) {
        line(QStringLiteral("listen locally: http://127.0.0.1:%1/").arg(port));
    });
    connect(&station.recordings(), &Recordings::saved, this,
            [this](const QString& path) { line(QStringLiteral("recorded: ") + path); });
    connect(&station, &Station::shareLinkChanged, this, &Console::showLink);
    connect(&station, &Station::linkStateChanged, this, &Console::showLink);
    connect(&station.audience(), &AudienceView::said, this, &Console::line);
    connect(&station, &Station::listenersChanged, this, [this] {
        const auto light = station_.lightListeners();
        line(QStringLiteral("listeners: %1").arg(station_.listeners()) +
             (light > 0 ? QStringLiteral(", %1 on the light stream").arg(light) : QString()));
    });
    showLink();
}

void Console::line(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

// The link is handed out once it answered from the outside. The passcode in
// it is for the user's eyes: on a terminal the whole link is shown; anywhere
// else (the system log, a file) the link without it.
void Console::showLink() {
    using State = Station::LinkState;
    auto link = station_.shareLink();
    if (!outputIsTerminal()) link.setFragment(QString());
    std::optional<QString> text;
    if (station_.linkState() == State::ToolMissing)
        text = QStringLiteral("To share a link, Lantern FM needs cloudflared: ") +
               Station::toolPage().toString();
    else if (link.isEmpty())
        text.reset();
    else if (station_.linkState() == State::Ready)
        text = QStringLiteral("share: ") + link.toString(QUrl::FullyEncoded);
    else if (station_.linkState() == State::Unreachable)
        text = QStringLiteral("link not reachable yet: ") + link.toString(QUrl::FullyEncoded);
    if (text == shownLink_) return;
    shownLink_ = text;
    if (text) line(*text);
}

namespace {
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}
} // namespace

void onTerminationSignal(QObject* context, std::function<void()> handler) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        handler();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace lantern
