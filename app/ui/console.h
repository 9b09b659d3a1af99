#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace lantern {

class Station;

// The headless front-end: prints the station's state to standard output as
// it changes, one line each (the status, the local address, the share link,
// the listener count).
class Console : public QObject {
    Q_OBJECT
public:
    explicit Console(Station& station);

private:
    void line(const QString& text);
    void showLink();

    Station& station_;
    std::optional<QString> shownLink_;
};

// Runs `onSignal` on the main thread when SIGINT or SIGTERM arrives.
void onTerminationSignal(QObject* context, std::function<void()> onSignal);

} // namespace lantern
