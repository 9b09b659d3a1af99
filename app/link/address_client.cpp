#include "link/address_client.h"

#include "core/link/share_link.h"
#include "link/keychain.h"
#include "link/secret_store.h"
#include "settings/settings.h"
#include "system/log.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <nlohmann/json.hpp>

#ifndef LANTERN_ADDRESS_BASE
#define LANTERN_ADDRESS_BASE "https://address.lantern-fm.invalid"
#endif

namespace lantern {

using nlohmann::json;

namespace {

const QString namedAccount = QStringLiteral("address.named");
const QString privateAccount = QStringLiteral("address.private");
const QString oldAccount = QStringLiteral("address");
const QString passcodeAccount = QStringLiteral("passcode");

bool isKept(const QString& path) {
    return path.startsWith("/s/");
}

// Claims are filed by kind and by the service that issued them.
QString accountFor(bool named, const QString& service) {
    return (named ? namedAccount : privateAccount) + u'@' + service;
}

// The service a record filed before claims were filed by service came from:
// its address less its path.
std::optional<QString> issuerOf(const SavedAddress& record) {
    const QUrl address(record.address, QUrl::StrictMode);
    auto path = address.path();
    if (!address.isValid() || address.host().isEmpty() || !path.endsWith(record.path)) return {};
    auto base = address;
    base.setPath(path.chopped(record.path.size()));
    if (QString::fromStdString(keptLinkAddress(base.toString().toStdString(),
                                               record.path.toStdString())) != record.address)
        return {};
    return serviceKey(base);
}

// Moves the records of the accounts before claims were filed by service to
// the service each came from. One that cannot be read, or names no service,
// stays where it is, used by none.
void fileOldRecords() {
    for (const auto& account : {oldAccount, namedAccount, privateAccount}) {
        const auto bytes = Keychain::read(account);
        const auto record = bytes ? decodeSavedAddress(*bytes) : std::nullopt;
        const auto service = record ? issuerOf(*record) : std::nullopt;
        if (!service) continue;
        if (Keychain::write(accountFor(!isKept(record->path), *service), encode(*record)) !=
            Keychain::Kept::nowhere)
            Keychain::remove(account);
    }
}

} // namespace

QString serviceKey(const QUrl& base) {
    auto key = base.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment |
                             QUrl::NormalizePathSegments);
    auto path = key.path();
    while (path.endsWith(u'/'))
        path.chop(1);
    key.setPath(path);
    if ((key.scheme() == QLatin1String("https") && key.port() == 443) ||
        (key.scheme() == QLatin1String("http") && key.port() == 80))
        key.setPort(-1);
    return key.toString(QUrl::FullyEncoded);
}

QByteArray encode(const SavedAddress& saved) {
    const json object{{"path", saved.path.toStdString()},
                      {"address", saved.address.toStdString()},
                      {"secret", saved.secret.toStdString()},
                      {"showLast", saved.showLast}};
    return QByteArray::fromStdString(object.dump());
}

std::optional<SavedAddress> decodeSavedAddress(const QByteArray& bytes) {
    const auto object = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!object.is_object()) return std::nullopt;
    const auto text = [&](const char* key) -> std::optional<QString> {
        const auto found = object.find(key);
        if (found == object.end() || !found->is_string()) return std::nullopt;
        return QString::fromStdString(found->get<std::string>());
    };
    const auto path = text("path"), address = text("address"), secret = text("secret");
    const auto showLast = object.find("showLast");
    if (!path || !address || !secret || showLast == object.end() || !showLast->is_boolean())
        return std::nullopt;
    return SavedAddress{*path, *address, *secret, showLast->get<bool>(), {}};
}

AddressError::AddressError(Kind kind, int status) : kind_(kind), status_(status) {
    message_ = description().toStdString();
}

QString AddressError::description() const {
    switch (kind_) {
    case Kind::server:
        return QStringLiteral("The address service answered %1.").arg(status_);
    case Kind::badReply:
        return QStringLiteral("The address service gave an answer Lantern FM doesn't understand.");
    case Kind::taken:
        return QStringLiteral("That name is taken. Try another.");
    case Kind::badName:
        return QStringLiteral(
            "3\u201330 lowercase letters, numbers or dashes (not starting or ending with a dash).");
    case Kind::tooMany:
        return QStringLiteral("Too many tries for now. Try again in an hour.");
    case Kind::offline:
        return QStringLiteral("Couldn't reach the address service.");
    }
    return {};
}

QUrl AddressClient::configuredBase() {
    for (const char* key : {"addressBase", "debugAddressBase"})
        if (const auto base = Settings::shared().string(QLatin1String(key))) return QUrl(*base);
    return QUrl(QStringLiteral(LANTERN_ADDRESS_BASE));
}

AddressClient& AddressClient::shared() {
    static AddressClient client(configuredBase());
    return client;
}

AddressClient::AddressClient(QUrl base, std::chrono::milliseconds timeout)
    : base_(std::move(base)), timeout_(timeout),
      network_(std::make_unique<QNetworkAccessManager>()) {}

AddressClient::~AddressClient() = default;

bool AddressClient::configured() const {
    return base_.isValid() && !base_.host().isEmpty() && !base_.host().endsWith(".invalid");
}

QString AddressClient::addressOf(const QString& path) const {
    return QString::fromStdString(
        keptLinkAddress(base_.toString().toStdString(), path.toStdString()));
}

QCoro::Task<std::optional<SavedAddress>> AddressClient::saved(bool named) {
    const auto service = serviceKey(base_);
    auto reading = SecretStore::shared().run([named, service] {
        fileOldRecords();
        return Keychain::read(accountFor(named, service));
    });
    const auto bytes = co_await reading;
    if (!bytes) co_return std::nullopt;
    auto record = decodeSavedAddress(*bytes);
    if (record) {
        record->address = addressOf(record->path);
        record->service = service;
    }
    co_return record;
}

QCoro::Task<std::optional<QString>> AddressClient::probe(QUrl base) {
    if (!base.isValid() || base.host().isEmpty() ||
        (base.scheme() != QLatin1String("https") && base.scheme() != QLatin1String("http")))
        co_return QStringLiteral("Type the service's address, like https://links.example.org");
    QUrl url(QString::fromStdString(keptLinkAddress(base.toString().toStdString(), "/api")));
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(timeout_.count()));
    QNetworkReply* reply = network_->get(request);
    co_await reply;
    reply->deleteLater();
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isNull())
        co_return QStringLiteral("Couldn't reach ") + base.host() + u'.';
    const auto answer = json::parse(reply->read(4096).toStdString(), nullptr, false);
    const auto service = answer.is_object() ? answer.find("service") : answer.end();
    if (service == answer.end() || *service != "lantern-addressd")
        co_return base.host() + QStringLiteral(" isn't an address service.");
    co_return std::nullopt;
}

QCoro::Task<AddressClient::Reply> AddressClient::send(QString service, QString method, QString path,
                                                      json body) {
    QUrl url(QString::fromStdString(keptLinkAddress(service.toStdString(), path.toStdString())));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setTransferTimeout(static_cast<int>(timeout_.count()));
    const auto payload = QByteArray::fromStdString(body.dump());
    QNetworkReply* reply = network_->sendCustomRequest(request, method.toLatin1(), payload);
    co_await reply;
    reply->deleteLater();
    const auto status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // An HTTP status means the service answered, whatever it said; no status
    // means the request itself failed (no connection, time-out...).
    if (!status.isValid()) throw AddressError(AddressError::Kind::offline);
    co_return Reply{reply->readAll(), status.toInt()};
}

QCoro::Task<SavedAddress> AddressClient::claim(std::optional<QString> name, bool hasPasscode,
                                               bool showLast) {
    json body;
    body["showLast"] = showLast;
    if (name) body["name"] = name->toStdString();
    body["hasPasscode"] = hasPasscode;
    const auto service = serviceKey(base_);
    const auto reply = co_await send(service, "POST", "/api/claim", std::move(body));
    switch (reply.status) {
    case 201:
        break;
    case 400:
        throw AddressError(AddressError::Kind::badName);
    case 409:
        throw AddressError(AddressError::Kind::taken);
    case 429:
        throw AddressError(AddressError::Kind::tooMany);
    default:
        throw AddressError(AddressError::Kind::server, reply.status);
    }
    const auto object = json::parse(reply.body.begin(), reply.body.end(), nullptr, false);
    const auto path = object.is_object() ? object.find("path") : object.end();
    const auto secret = object.is_object() ? object.find("secret") : object.end();
    if (!object.is_object() || path == object.end() || !path->is_string() ||
        secret == object.end() || !secret->is_string())
        throw AddressError(AddressError::Kind::badReply, reply.status);
    SavedAddress saved{QString::fromStdString(path->get<std::string>()),
                       {},
                       QString::fromStdString(secret->get<std::string>()),
                       showLast,
                       service};
    saved.address = addressOf(saved.path);
    auto storing =
        SecretStore::shared().run([account = accountFor(!isKept(saved.path), service),
                                   bytes = encode(saved)] { Keychain::write(account, bytes); });
    co_await storing;
    co_return saved;
}

QCoro::Task<void> AddressClient::announce(QString service, QString method, QString path,
                                          json body) {
    QString outcome;
    try {
        const auto reply = co_await send(std::move(service), method, path, std::move(body));
        if (reply.status <= 299) co_return;
        outcome = QString::number(reply.status);
    } catch (const AddressError& error) {
        outcome = error.description();
    }
    qCInfo(linkLog).noquote() << "address service:" << method << path << outcome;
}

// Bodies are built before co_await: g++ 12 miscompiles braced lists inside
// a co_await expression.
QCoro::Task<void> AddressClient::live(QUrl url, SavedAddress at, QString name) {
    json body;
    body["url"] = url.toString().toStdString();
    body["name"] = name.toStdString();
    body["path"] = at.path.toStdString();
    body["secret"] = at.secret.toStdString();
    co_await announce(at.service, "PUT", "/api/live", std::move(body));
}

QCoro::Task<void> AddressClient::off(SavedAddress at) {
    json body;
    body["path"] = at.path.toStdString();
    body["secret"] = at.secret.toStdString();
    co_await announce(at.service, "DELETE", "/api/live", std::move(body));
}

QCoro::Task<void> AddressClient::update(bool hasPasscode, SavedAddress at) {
    json body;
    body["path"] = at.path.toStdString();
    body["secret"] = at.secret.toStdString();
    body["hasPasscode"] = hasPasscode;
    body["showLast"] = at.showLast;
    const auto reply = co_await send(at.service, "PATCH", "/api/settings", std::move(body));
    if (reply.status == 204) co_return;
    if (reply.status == 429) throw AddressError(AddressError::Kind::tooMany);
    throw AddressError(AddressError::Kind::server, reply.status);
}

QCoro::Task<std::optional<QString>> AddressClient::passcode() const {
    auto reading = SecretStore::shared().run([] { return Keychain::read(passcodeAccount); });
    const auto bytes = co_await reading;
    if (!bytes) co_return std::nullopt;
    const auto text = QString::fromUtf8(*bytes); // malformed bytes become U+FFFD
    if (text.isEmpty()) co_return std::nullopt;
    co_return text;
}

QCoro::Task<Keychain::Kept> AddressClient::setPasscode(std::optional<QString> passcode) {
    auto storing = SecretStore::shared().run([passcode] {
        if (!passcode || passcode->isEmpty()) {
            Keychain::remove(passcodeAccount);
            return Keychain::Kept::keyring;
        }
        return Keychain::write(passcodeAccount, passcode->toUtf8());
    });
    co_return co_await storing;
}

} // namespace lantern
