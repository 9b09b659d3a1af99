#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>

class QNetworkReply;

namespace lantern {

// Asks the station's own public link for its now-playing record, from the
// outside, until it answers: a quick tunnel's URL may take a while to be
// reachable after the tool announced it. Main thread.
class LinkCheck : public QObject {
    Q_OBJECT
public:
    struct Timing {
        // Waits between the tries of the first round; it is over once they
        // are used up or `patience` has passed.
        std::vector<std::chrono::milliseconds> waits{
            std::chrono::seconds(2), std::chrono::seconds(3), std::chrono::seconds(5),
            std::chrono::seconds(8), std::chrono::seconds(12)};
        std::chrono::milliseconds patience = std::chrono::seconds(30);
        // After the first round, one try this often until it answers.
        std::chrono::milliseconds retry = std::chrono::seconds(30);
        // One request that takes longer has failed.
        std::chrono::milliseconds timeout = std::chrono::seconds(8);
    };

    // `via`, when valid, takes the place of the link's scheme, host and port
    // in every request: a stand-in for the outside, in tests.
    LinkCheck(QUrl via, Timing timing);

    // Checks `link` afresh (its now-playing record, with the passcode when
    // there is one), forgetting any check under way.
    void check(const QUrl& link, const QString& passcode);
    void stop();

Q_SIGNALS:
    // The link answered.
    void answered();
    // The first round went unanswered; it is still tried now and then.
    void unreachable();

private:
    void attempt();
    void finished(QNetworkReply* reply);

    const QUrl via_;
    const Timing timing_;
    QNetworkAccessManager network_;
    QTimer next_;
    QPointer<QNetworkReply> reply_;
    QUrl target_;
    std::size_t tries_ = 0;
    std::chrono::steady_clock::time_point started_;
    bool toldUnreachable_ = false;
};

} // namespace lantern
