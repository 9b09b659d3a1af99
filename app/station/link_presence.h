#pragma once

#include "core/station/shared.h"
#include "link/address_client.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <memory>
#include <optional>

namespace lantern {

// Which link listeners get: the tunnel URL, new for every broadcast; a kept
// address (a random path) that stays; a named address; or the user's own
// address, a tunnel of their own set up with the tunnel's vendor. QML knows it
// as LinkMode (LinkMode.Fresh…).
class LinkModes {
    Q_GADGET
public:
    enum class Mode { Fresh, Kept, Named, Own };
    Q_ENUM(Mode)
};
using LinkMode = LinkModes::Mode;

class Settings;

QString rawValue(LinkMode mode); // "fresh", "kept", "named", "own", as the settings store them
std::optional<LinkMode> linkModeFrom(const QString& raw);

// Who can listen: the link mode, the addresses claimed at the address
// service, the passcode and the station's name, stored in the settings and
// the keychain; and, while on air, the address service kept pointing at the
// current tunnel URL (announced, re-announced, withdrawn). Main thread.
class LinkPresence : public QObject {
    Q_OBJECT
    Q_PROPERTY(lantern::LinkModes::Mode mode READ mode NOTIFY modeChanged)
    Q_PROPERTY(bool asked READ asked NOTIFY askedChanged)
    Q_PROPERTY(QString stationName READ stationName NOTIFY stationNameChanged)
    Q_PROPERTY(QString passcode READ passcode NOTIFY passcodeChanged)
    Q_PROPERTY(QVariant named READ namedValue NOTIFY namedChanged)
    Q_PROPERTY(QVariant kept READ keptValue NOTIFY keptChanged)
    // The stable address of the mode in use (a SavedAddress), or nothing.
    Q_PROPERTY(QVariant inUse READ inUseValue NOTIFY inUseChanged)
    // The passcode and the saved addresses have been read from the keychain.
    Q_PROPERTY(bool ready READ ready NOTIFY readyChanged)
    Q_PROPERTY(bool changing READ changing NOTIFY changingChanged)
    // Whether kept and named links can work: an address service is configured.
    Q_PROPERTY(bool serviceConfigured READ serviceConfigured NOTIFY serviceChanged)
    Q_PROPERTY(QString serviceHost READ serviceHost NOTIFY serviceChanged)
    // The host of the user's own tunnel, once both it and its token are set
    // (lantern-fm --set-tunnel=HOST); empty otherwise.
    Q_PROPERTY(QString ownHost READ ownHost NOTIFY ownChanged)
public:
    LinkPresence(Settings& settings, AddressClient& addresses, std::shared_ptr<Shared> shared,
                 std::chrono::milliseconds passcodeRetry = std::chrono::seconds(30));

    // The name a named link claims for what the user typed: lower-cased, then
    // spaces and tabs trimmed at both ends. The sheet shows the same.
    static QString claimedName(const QString& typed);

    // The user's own tunnel: its public host name and the token the tunnel
    // program runs it with (a secret, kept in the keychain).
    struct OwnTunnel {
        QString host;
        QString token;
    };
    // Checks and stores an own tunnel; nothing when it was stored, else what
    // is wrong. An empty host forgets it.
    static std::optional<QString> setOwnTunnel(Settings& settings, const QString& host,
                                               const QString& token);

    // Reads the passcode, the saved addresses and the own tunnel's token
    // from the keychain.
    QCoro::Task<void> load();
    bool ready() const { return ready_; }

    LinkMode mode() const { return mode_; }
    bool asked() const { return asked_; }
    const QString& stationName() const { return stationName_; }
    // Empty when the station is open to all.
    const QString& passcode() const { return passcode_; }
    // A passcode is in use (the settings remember that much) but the keyring
    // has not given it: no listener is let in, and it is asked again and again.
    bool heldBack() const { return heldBack_; }
    const std::optional<SavedAddress>& named() const { return named_; }
    const std::optional<SavedAddress>& kept() const { return kept_; }
    // The same for QML: a SavedAddress, or nothing.
    QVariant namedValue() const { return named_ ? QVariant::fromValue(*named_) : QVariant(); }
    QVariant keptValue() const { return kept_ ? QVariant::fromValue(*kept_) : QVariant(); }
    // The stable address of the mode in use, if it has one.
    std::optional<SavedAddress> inUse() const;
    QVariant inUseValue() const;
    bool usesKept() const { return inUse().has_value(); }
    // The link to hand out: the address in use, else the tunnel URL; with the
    // passcode. None while held back: without the passcode it would not open.
    std::optional<QUrl> shareLink(const std::optional<QUrl>& tunnel) const;
    // The playlist a media player opens at the tunnel's `link`, with the
    // passcode in its query; none without a link or while held back.
    QUrl playerLink(const QUrl& link) const;
    // Puts `link` on the clipboard (nothing for none, or without a display).
    static void copy(const QUrl& link);
    const QString& ownHost() const { return own_ ? own_->host : noHost_; }
    // The own tunnel, while it is the link in use.
    std::optional<OwnTunnel> ownInUse() const;

    // Where the last passcode chosen was kept.
    Keychain::Kept passcodeKept() const { return passcodeKept_; }

    // A link-mode change is under way (two at once must not happen).
    bool changing() const { return changing_; }
    // Whether an address service is configured at all.
    bool serviceConfigured() const;
    QString serviceHost() const;

    // Nothing on success, else the text to show; on failure nothing changed.
    QCoro::Task<std::optional<QString>>
    setLinkMode(LinkMode mode, QString name, std::optional<QString> passcode, QString stationName);
    Q_INVOKABLE void rename(const QString& name);
    // Uses the address service at `base` from now on (kept in the settings),
    // once it answered as one; else says why not and changes nothing.
    QCoro::Task<std::optional<QString>> useService(QUrl base);

    // The tunnel URL while on air (nothing off air): the address in use is
    // announced with it, and one announced before is withdrawn when it no
    // longer applies.
    void setOnAirLink(const std::optional<QUrl>& link);
    // The periodic live call that keeps the announcement fresh.
    void reannounce();
    // Withdraws the announced address and waits for the service's answer.
    QCoro::Task<void> withdraw();

Q_SIGNALS:
    void readyChanged();
    void heldBackChanged();
    // Who may listen changed (the passcode, or being held back): streams
    // under way must be checked again.
    void accessChanged();
    void modeChanged();
    void askedChanged();
    void stationNameChanged();
    void passcodeChanged();
    void namedChanged();
    void keptChanged();
    void inUseChanged();
    void changingChanged();
    void ownChanged();
    void serviceChanged();

private:
    void announce();
    // Tells the server's side who may listen now.
    void publishAccess();
    QCoro::Task<void> readPasscodeAgain();

    Settings& settings_;
    AddressClient& addresses_;
    std::shared_ptr<Shared> shared_;
    bool ready_ = false;
    bool chosen_ = false; // setLinkMode succeeded since start-up
    LinkMode mode_ = LinkMode::Fresh;
    bool asked_ = false;
    QString stationName_;
    QString passcode_;
    bool heldBack_ = false;
    bool rereading_ = false;
    QTimer reread_; // while held back
    std::optional<SavedAddress> named_, kept_;
    bool changing_ = false;
    std::optional<QUrl> link_;               // the tunnel URL while on air
    std::optional<SavedAddress> announced_;  // the address told to forward to it
    std::optional<SavedAddress> shownInUse_; // as inUseChanged last told it
    std::optional<OwnTunnel> own_;
    Keychain::Kept passcodeKept_ = Keychain::Kept::keyring;
    const QString noHost_;
};

} // namespace lantern
