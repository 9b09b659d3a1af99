#include "station/link_presence.h"

#include "core/link/share_link.h"
#include "core/stream/text.h"
#include "link/keychain.h"
#include "link/secret_store.h"
#include "settings/settings.h"
#include "station/assign.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QRegularExpression>

namespace lantern {

namespace {

const QString linkModeKey = QStringLiteral("linkMode");
const QString askedKey = QStringLiteral("askedWhoCanListen");
const QString stationNameKey = QStringLiteral("stationName");
// Whether the station has a passcode: never the passcode itself, only enough
// to know that a keyring which gives nothing has not answered.
const QString passcodeInUseKey = QStringLiteral("passcodeInUse");
const QString ownHostKey = QStringLiteral("tunnelHostname");
const QString ownTokenAccount = QStringLiteral("tunnel.token");

// A public host name: labels of letters, digits and inner dashes, at least two.
bool validHost(const QString& host) {
    static const QRegularExpression pattern(
        QStringLiteral("^(?=.{4,253}$)([a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?\\.)+[a-z0-9]([a-z0-9-]{0,"
                       "61}[a-z0-9])?$"));
    return pattern.match(host).hasMatch();
}

// The tunnel vendor's tokens are Base64 text: printable, without spaces.
bool validToken(const QString& token) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9+/=_-]{16,4096}$"));
    return pattern.match(token).hasMatch();
}

std::optional<std::string> utf8(const QString& text) {
    if (text.isEmpty()) return std::nullopt;
    return text.toStdString();
}

} // namespace

QString rawValue(LinkMode mode) {
    switch (mode) {
    case LinkMode::Fresh:
        return QStringLiteral("fresh");
    case LinkMode::Kept:
        return QStringLiteral("kept");
    case LinkMode::Named:
        return QStringLiteral("named");
    case LinkMode::Own:
        return QStringLiteral("own");
    }
    return {};
}

std::optional<LinkMode> linkModeFrom(const QString& raw) {
    for (const auto mode : {LinkMode::Fresh, LinkMode::Kept, LinkMode::Named, LinkMode::Own})
        if (raw == rawValue(mode)) return mode;
    return std::nullopt;
}

LinkPresence::LinkPresence(Settings& settings, AddressClient& addresses,
                           std::shared_ptr<Shared> shared, std::chrono::milliseconds passcodeRetry)
    : settings_(settings), addresses_(addresses), shared_(std::move(shared)) {
    if (const auto stored = settings_.string(linkModeKey))
        mode_ = linkModeFrom(*stored).value_or(LinkMode::Fresh);
    asked_ = settings_.value(askedKey, false).toBool();
    stationName_ = settings_.string(stationNameKey).value_or(QString());
    shared_->set(&SharedState::name, stationName_.toStdString());
    reread_.setSingleShot(true);
    reread_.setInterval(passcodeRetry);
    for (auto changed :
         {&LinkPresence::modeChanged, &LinkPresence::namedChanged, &LinkPresence::keptChanged})
        connect(this, changed, this,
                [this] { assign(*this, shownInUse_, inUse(), &LinkPresence::inUseChanged); });
    connect(&reread_, &QTimer::timeout, this, [this] { readPasscodeAgain(); });
}

void LinkPresence::publishAccess() {
    shared_->set(&SharedState::access, Access{heldBack_, utf8(passcode_)});
    Q_EMIT accessChanged();
}

// The keychain may take its time (a Secret Service asking to be unlocked);
// a choice made in the meantime is newer than what it holds.
QCoro::Task<void> LinkPresence::load() {
    QPointer<LinkPresence> self(this);
    auto& addresses = addresses_;
    const auto passcode = co_await addresses.passcode();
    const auto named = co_await addresses.saved(true);
    const auto kept = co_await addresses.saved(false);
    const auto token =
        co_await SecretStore::shared().run([] { return Keychain::read(ownTokenAccount); });
    if (!self) co_return;
    const auto host = settings_.string(ownHostKey).value_or(QString());
    if (token && validHost(host) && validToken(QString::fromUtf8(*token))) {
        own_ = OwnTunnel{host, QString::fromUtf8(*token)};
        Q_EMIT ownChanged();
    }
    if (!chosen_) {
        assign(*this, passcode_, passcode.value_or(QString()), &LinkPresence::passcodeChanged);
        if (passcode) settings_.setValue(passcodeInUseKey, true);
        assign(*this, heldBack_, !passcode && settings_.value(passcodeInUseKey, false).toBool(),
               &LinkPresence::heldBackChanged);
        if (heldBack_) reread_.start();
        publishAccess();
        assign(*this, named_, named, &LinkPresence::namedChanged);
        assign(*this, kept_, kept, &LinkPresence::keptChanged);
        // The saved addresses decide the mode when none is stored.
        const auto stored = settings_.string(linkModeKey);
        if (!stored || !linkModeFrom(*stored))
            assign(*this, mode_,
                   named  ? LinkMode::Named
                   : kept ? LinkMode::Kept
                          : LinkMode::Fresh,
                   &LinkPresence::modeChanged);
    }
    assign(*this, ready_, true, &LinkPresence::readyChanged);
}

std::optional<SavedAddress> LinkPresence::inUse() const {
    switch (mode_) {
    case LinkMode::Named:
        return named_;
    case LinkMode::Kept:
        return kept_;
    case LinkMode::Fresh:
    case LinkMode::Own:
        break;
    }
    return std::nullopt;
}

QVariant LinkPresence::inUseValue() const {
    const auto address = inUse();
    return address ? QVariant::fromValue(*address) : QVariant();
}

std::optional<LinkPresence::OwnTunnel> LinkPresence::ownInUse() const {
    return mode_ == LinkMode::Own ? own_ : std::nullopt;
}

std::optional<QString> LinkPresence::setOwnTunnel(Settings& settings, const QString& host,
                                                  const QString& token) {
    if (host.isEmpty()) {
        settings.remove(ownHostKey);
        Keychain::remove(ownTokenAccount);
        return std::nullopt;
    }
    if (!validHost(host))
        return QStringLiteral("\"%1\" isn't a host name like radio.example.com").arg(host);
    if (!validToken(token))
        return QStringLiteral("That isn't a tunnel token: paste the long token the tunnel's "
                              "install command shows");
    Keychain::write(ownTokenAccount, token.toUtf8());
    if (Keychain::read(ownTokenAccount) != token.toUtf8())
        return QStringLiteral("Couldn't keep the token in the keyring");
    settings.setValue(ownHostKey, host);
    return std::nullopt;
}

// A keyring that was locked or away at start-up may answer later.
QCoro::Task<void> LinkPresence::readPasscodeAgain() {
    if (rereading_ || !heldBack_) co_return;
    QPointer<LinkPresence> self(this);
    rereading_ = true;
    const auto passcode = co_await addresses_.passcode();
    if (!self) co_return;
    rereading_ = false;
    if (!heldBack_) co_return; // the user chose a passcode meanwhile
    if (!passcode) co_return reread_.start();
    assign(*this, passcode_, *passcode, &LinkPresence::passcodeChanged);
    assign(*this, heldBack_, false, &LinkPresence::heldBackChanged);
    publishAccess();
}

QUrl LinkPresence::playerLink(const QUrl& tunnel) const {
    if (tunnel.isEmpty() || heldBack_) return {};
    auto link = tunnel;
    link.setPath(QStringLiteral("/listen.m3u"));
    link.setFragment({});
    link.setQuery(passcode_.isEmpty()
                      ? QString()
                      : QStringLiteral("k=") +
                            QString::fromStdString(percentEncoded(passcode_.toStdString())));
    return link;
}

void LinkPresence::copy(const QUrl& link) {
    if (link.isEmpty() || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return;
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(link.toString(QUrl::FullyEncoded));
}

std::optional<QUrl> LinkPresence::shareLink(const std::optional<QUrl>& tunnel) const {
    if (heldBack_) return std::nullopt;
    QString base;
    if (const auto address = inUse())
        base = address->address;
    else if (const auto own = ownInUse())
        base = QStringLiteral("https://") + own->host;
    else if (tunnel)
        base = tunnel->toString(QUrl::FullyEncoded);
    if (base.isEmpty()) return std::nullopt;
    const auto shared = lantern::shareLink(base.toStdString(), utf8(passcode_));
    if (shared.empty()) return std::nullopt;
    return QUrl(QString::fromStdString(shared), QUrl::StrictMode);
}

bool LinkPresence::serviceConfigured() const {
    return addresses_.configured();
}

QString LinkPresence::serviceHost() const {
    return addresses_.base().host();
}

QString LinkPresence::claimedName(const QString& typed) {
    auto lowered = typed.toLower();
    qsizetype begin = 0, end = lowered.size();
    const auto blank = [&](qsizetype at) { return lowered[at] == u' ' || lowered[at] == u'\t'; };
    while (begin < end && blank(begin))
        ++begin;
    while (end > begin && blank(end - 1))
        --end;
    return lowered.mid(begin, end - begin);
}

QCoro::Task<std::optional<QString>> LinkPresence::setLinkMode(LinkMode mode, QString name,
                                                              std::optional<QString> passcode,
                                                              QString stationName) {
    if (passcode && passcode->isEmpty()) passcode.reset();
    const auto wanted = claimedName(name);

    QPointer<LinkPresence> self(this);
    auto& addresses = addresses_;
    auto named = named_;
    auto kept = kept_;
    assign(*this, changing_, true, &LinkPresence::changingChanged);
    std::optional<QString> failure;
    if (mode == LinkMode::Own && !own_)
        failure = QStringLiteral("Your own address isn't set up.");
    else
        try {
            if (mode == LinkMode::Kept) {
                if (kept)
                    co_await addresses.update(passcode.has_value(), *kept);
                else
                    kept = co_await addresses.claim(std::nullopt, passcode.has_value(), false);
            } else if (mode == LinkMode::Named) {
                if (named && named->path == QStringLiteral("/") + wanted)
                    co_await addresses.update(passcode.has_value(), *named);
                else
                    named = co_await addresses.claim(wanted, passcode.has_value(), false);
            }
        } catch (const AddressError& error) {
            failure = error.description();
        }
    // The passcode is kept before anything changes; the keyring may ask the
    // user first (the panel stays open while it does).
    auto where = Keychain::Kept::keyring;
    if (!failure && passcode != (passcode_.isEmpty() ? std::nullopt : std::optional(passcode_))) {
        where = co_await addresses.setPasscode(passcode);
        if (where == Keychain::Kept::nowhere)
            failure = QStringLiteral("Couldn't keep the passcode, in the keyring or in a file.");
    }
    if (!self) co_return failure;
    assign(*this, changing_, false, &LinkPresence::changingChanged);
    if (failure) co_return failure;
    passcodeKept_ = where;

    chosen_ = true;
    assign(*this, named_, named, &LinkPresence::namedChanged);
    assign(*this, kept_, kept, &LinkPresence::keptChanged);
    rename(stationName);
    assign(*this, passcode_, passcode.value_or(QString()), &LinkPresence::passcodeChanged);
    settings_.setValue(passcodeInUseKey, passcode.has_value());
    reread_.stop();
    assign(*this, heldBack_, false, &LinkPresence::heldBackChanged);
    publishAccess();
    assign(*this, mode_, mode, &LinkPresence::modeChanged);
    settings_.setValue(linkModeKey, rawValue(mode));
    assign(*this, asked_, true, &LinkPresence::askedChanged);
    settings_.setValue(askedKey, true);
    announce();
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> LinkPresence::useService(QUrl base) {
    QPointer<LinkPresence> self(this);
    auto& addresses = addresses_;
    if (auto problem = co_await addresses.probe(base)) co_return problem;
    if (!self) co_return std::nullopt;
    addresses.setBase(base);
    settings_.setValue(QStringLiteral("addressBase"), base.toString());
    // This service's own claims, if it issued any; another's stay filed
    // under that one, and one announced there is withdrawn there.
    const auto named = co_await addresses.saved(true);
    const auto kept = co_await addresses.saved(false);
    if (!self) co_return std::nullopt;
    assign(*this, named_, named, &LinkPresence::namedChanged);
    assign(*this, kept_, kept, &LinkPresence::keptChanged);
    announce();
    Q_EMIT serviceChanged();
    co_return std::nullopt;
}

void LinkPresence::rename(const QString& name) {
    const auto trimmed = name.trimmed();
    assign(*this, stationName_, trimmed, &LinkPresence::stationNameChanged);
    settings_.setValue(stationNameKey, trimmed);
    shared_->set(&SharedState::name, trimmed.toStdString());
}

void LinkPresence::setOnAirLink(const std::optional<QUrl>& link) {
    link_ = link;
    announce();
}

// The live and off calls run on by themselves (their tasks start at once)
// and never throw.
void LinkPresence::announce() {
    const auto target = link_ ? inUse() : std::nullopt;
    if (announced_ && announced_ != target) addresses_.off(*announced_);
    announced_ = target;
    if (target && link_) addresses_.live(*link_, *target, stationName_);
}

void LinkPresence::reannounce() {
    if (announced_ && link_) addresses_.live(*link_, *announced_, stationName_);
}

QCoro::Task<void> LinkPresence::withdraw() {
    link_.reset();
    const auto withdrawn = std::exchange(announced_, std::nullopt);
    if (withdrawn) co_await addresses_.off(*withdrawn);
}

} // namespace lantern
