#include "station/relay_control.h"

#include "core/stream/http.h"
#include "link/secret_store.h"
#include "settings/settings.h"
#include "station/broadcast.h"
#include "station/link_presence.h"
#include "system/log.h"

namespace lantern {

namespace {

const QString addressKey = QStringLiteral("relayURL");
const QString listenKey = QStringLiteral("relayListenURL");
// The keychain entry of the relay server's password.
const QString passwordAccount = QStringLiteral("relay.password");

const QString couldNotRelay = QStringLiteral("Couldn't reach the relay server \u2014 retrying");
const QString refused = QStringLiteral("The relay server refused the password");
const QString untrusted =
    QStringLiteral("The relay server's certificate isn't trusted \u2014 nothing was sent");
const QString heldBack =
    QStringLiteral("Not relaying while listeners are held back for want of your passcode");
const QString notKept =
    QStringLiteral("Couldn't keep the relay server's password, in the keyring or in a file.");
const QString noPassword = QStringLiteral(
    "Couldn't read the relay server's password from the keyring \u2014 not relaying");

} // namespace

RelayControl::RelayControl(Settings& settings, LinkPresence& presence,
                           std::chrono::milliseconds passwordRetry)
    : settings_(settings), presence_(presence) {
    retry_.setSingleShot(true);
    retry_.setInterval(passwordRetry);
    connect(&retry_, &QTimer::timeout, this, [this] { begin(); });
    // Held back, the relay stops with the listeners, and starts again with them.
    connect(&presence_, &LinkPresence::heldBackChanged, this, [this] {
        if (!broadcast_) return;
        broadcast_->stopRelay();
        begin();
    });
    connect(&presence_, &LinkPresence::passcodeChanged, this, [this] {
        if (last_.state == Relay::State::relaying && broadcast_) show(last_);
    });
}

QString RelayControl::passcodeNote() {
    return QStringLiteral("Listeners of the relay server don't need your passcode");
}

QString RelayControl::address() const {
    const auto url = settings_.string(addressKey).value_or(QString());
    auto parsed = parseRelayURL(url.toStdString());
    if (const auto* target = std::get_if<RelayTarget>(&parsed))
        return QString::fromStdString(target->withoutPassword());
    return url;
}

QString RelayControl::listenAddress() const {
    return settings_.string(listenKey).value_or(QString());
}

void RelayControl::setLine(const QString& line) {
    if (line_ == line) return;
    line_ = line;
    Q_EMIT lineChanged();
}

void RelayControl::start(Broadcast& broadcast) {
    broadcast_ = &broadcast;
    last_ = {};
    connect(&broadcast, &Broadcast::relayChanged, this, &RelayControl::onReport);
    begin();
}

void RelayControl::stop() {
    ++run_;
    retry_.stop();
    if (broadcast_) disconnect(broadcast_, nullptr, this, nullptr);
    broadcast_ = nullptr;
    setLine({});
}

// The address given (or the settings' "relayURL") with the password it holds,
// else the one the keychain keeps. The page may play from the server from the
// start; the audio goes there once listeners are let in.
QCoro::Task<> RelayControl::begin() {
    const auto run = ++run_;
    retry_.stop();
    const auto url = settings_.string(addressKey).value_or(QString()).trimmed();
    if (url.isEmpty() || !broadcast_) co_return;
    auto parsed = parseRelayURL(url.toStdString());
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        Q_EMIT status(QString::fromStdString(*problem));
        co_return;
    }
    auto target = std::get<RelayTarget>(std::move(parsed));
    const auto listen =
        listenAddress().isEmpty() ? target.listenURL() : listenAddress().toStdString();
    broadcast_->allowRelayListening(listen);
    if (presence_.heldBack()) {
        setLine(heldBack);
        co_return;
    }
    if (target.password.empty()) {
        QPointer self(this);
        auto reading = SecretStore::shared().run([] { return Keychain::read(passwordAccount); });
        const auto password = co_await reading;
        // Gone, off air, or started again meanwhile.
        if (!self || run != run_ || !broadcast_) co_return;
        if (!password || password->isEmpty()) {
            setLine(noPassword);
            Q_EMIT status(noPassword);
            retry_.start();
            co_return;
        }
        target.password = password->toStdString();
    }
    broadcast_->relayTo(std::move(target), listen);
}

QString RelayControl::relayingLine(std::size_t listeners) const {
    auto line = QStringLiteral("Relaying \u00B7 ") +
                (listeners == 1 ? QStringLiteral("1 listener there")
                                : QStringLiteral("%1 listeners there").arg(listeners));
    if (!presence_.passcode().isEmpty()) line += QStringLiteral(". ") + passcodeNote();
    return line;
}

void RelayControl::onReport(const Relay::Report& report) {
    if (!report.detail.empty())
        qCInfo(stationLog).noquote() << "relay:" << QString::fromStdString(report.detail);
    last_ = report;
    show(report);
}

void RelayControl::show(const Relay::Report& report) {
    using State = Relay::State;
    switch (report.state) {
    case State::connecting:
        return setLine(QStringLiteral("Connecting to the relay server\u2026"));
    case State::relaying:
        Q_EMIT status({});
        return setLine(relayingLine(report.listeners.value_or(0)));
    case State::retrying:
        setLine(couldNotRelay);
        return Q_EMIT status(couldNotRelay);
    case State::refused:
        setLine(refused);
        return Q_EMIT status(refused);
    case State::untrusted:
        setLine(untrusted);
        return Q_EMIT status(untrusted);
    }
}

std::variant<RelayTarget, QString> RelayControl::target(const QString& address,
                                                        const QString& password,
                                                        const QString& listenAddress) {
    auto parsed = parseRelayURL(address.toStdString());
    if (const auto* problem = std::get_if<std::string>(&parsed))
        return QString::fromStdString(*problem);
    auto& target = std::get<RelayTarget>(parsed);
    if (!password.isEmpty()) target.password = password.toStdString();
    if (target.password.empty()) return QStringLiteral("The relay server needs its password");
    if (!listenAddress.isEmpty() && !originOf(listenAddress.toStdString()))
        return QStringLiteral("The listen address begins with http:// or https://");
    return std::move(target);
}

std::optional<QString> RelayControl::store(Settings& settings, const QString& address,
                                           const QString& password) {
    if (address.trimmed().isEmpty()) {
        settings.remove(addressKey);
        Keychain::remove(passwordAccount);
        return std::nullopt;
    }
    auto checked = target(address.trimmed(), password);
    if (const auto* problem = std::get_if<QString>(&checked)) return *problem;
    const auto& relay = std::get<RelayTarget>(checked);
    if (Keychain::write(passwordAccount, QByteArray::fromStdString(relay.password)) ==
        Keychain::Kept::nowhere)
        return notKept;
    settings.setValue(addressKey, QString::fromStdString(relay.withoutPassword()));
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> RelayControl::set(QString address, QString password,
                                                      QString listenAddress) {
    address = address.trimmed();
    listenAddress = listenAddress.trimmed();
    QPointer self(this);
    std::string plain;
    if (!address.isEmpty()) {
        auto checked = target(address, password, listenAddress);
        if (const auto* problem = std::get_if<QString>(&checked)) co_return *problem;
        const auto& relay = std::get<RelayTarget>(checked);
        // The password goes to the keychain, never to the settings file; a
        // keyring that refuses it leaves it in the private file, and the
        // screen says so.
        auto keeping =
            SecretStore::shared().run([password = QByteArray::fromStdString(relay.password)] {
                return Keychain::write(passwordAccount, password);
            });
        const auto kept = co_await keeping;
        if (kept == Keychain::Kept::nowhere) co_return notKept;
        if (!self) co_return std::nullopt;
        passwordKept_ = kept;
        plain = relay.withoutPassword();
    }
    if (plain.empty()) {
        settings_.remove(addressKey);
        auto forgetting = SecretStore::shared().run([] {
            Keychain::remove(passwordAccount);
            return true;
        });
        co_await forgetting;
        if (!self) co_return std::nullopt;
    } else {
        settings_.setValue(addressKey, QString::fromStdString(plain));
    }
    if (listenAddress.isEmpty())
        settings_.remove(listenKey);
    else
        settings_.setValue(listenKey, listenAddress);
    Q_EMIT changed();
    if (broadcast_) {
        broadcast_->stopRelay();
        last_ = {};
        setLine({});
        Q_EMIT status({});
        begin();
    }
    co_return std::nullopt;
}

} // namespace lantern
