#pragma once

#include "core/stream/relay.h"
#include "link/keychain.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>
#include <variant>

namespace lantern {

class Broadcast;
class LinkPresence;
class Settings;

// The relay to an Icecast server: its address (in the settings) and source
// password (in the keychain), the relay of each broadcast, and one line on
// how it goes. A relayed station is public on that server, passcode or not:
// while listeners are held back for want of the passcode, so is the relay, and
// a passcode beside a relay is said wherever the user sets either. It never
// connects without the password. Main thread.
class RelayControl : public QObject {
    Q_OBJECT
    // The server's address without the password, and where listeners play it
    // (empty: the server's own).
    Q_PROPERTY(QString address READ address NOTIFY changed)
    Q_PROPERTY(QString listenAddress READ listenAddress NOTIFY changed)
    // How the relay goes while on air; empty off air.
    Q_PROPERTY(QString line READ line NOTIFY lineChanged)
    // What a passcode means beside a relay, for the screens that set either.
    Q_PROPERTY(QString passcodeNote READ passcodeNote CONSTANT)
public:
    RelayControl(Settings& settings, LinkPresence& presence,
                 std::chrono::milliseconds passwordRetry = std::chrono::seconds(30));

    QString address() const;
    QString listenAddress() const;
    const QString& line() const { return line_; }
    static QString passcodeNote();
    // Where the last password given was kept.
    Keychain::Kept passwordKept() const { return passwordKept_; }

    // Relays to `address` (its password kept in the keychain), or to nothing
    // when empty; takes effect at once when on air. What is wrong, or nothing.
    QCoro::Task<std::optional<QString>> set(QString address, QString password,
                                            QString listenAddress);
    // The same for a command line, at once (the keychain may take its time):
    // what is wrong, or nothing.
    static std::optional<QString> store(Settings& settings, const QString& address,
                                        const QString& password);
    // Relays `broadcast` (before it serves, so that its page may play from
    // the server), as soon as listeners are let in; stop() before it ends.
    void start(Broadcast& broadcast);
    void stop();

Q_SIGNALS:
    void changed();
    void lineChanged();
    // The status line of the relay's kind: shown, or taken back when empty.
    void status(const QString& line);

private:
    // The server `address` names with its password (`password` when given),
    // or what is wrong with them.
    static std::variant<RelayTarget, QString>
    target(const QString& address, const QString& password, const QString& listenAddress = {});
    QCoro::Task<> begin();
    void onReport(const Relay::Report& report);
    void show(const Relay::Report& report);
    void setLine(const QString& line);
    // The line while relaying says what the passcode does not cover.
    QString relayingLine(std::size_t listeners) const;

    Settings& settings_;
    LinkPresence& presence_;
    QPointer<Broadcast> broadcast_;
    QString line_;
    Relay::Report last_; // the relay's latest report in this broadcast
    int run_ = 0;        // which start a password read belongs to
    QTimer retry_;       // the password asked for again while the keychain gives none
    Keychain::Kept passwordKept_ = Keychain::Kept::keyring;
};

} // namespace lantern
