#pragma once

#include "link/keychain.h"

#include <QCoro/QCoroTask>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <chrono>
#include <exception>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

class QNetworkAccessManager;

namespace lantern {

// A claimed stable address. It and its secret belong to the service that
// issued it, and are only ever sent there.
struct SavedAddress {
    Q_GADGET
    Q_PROPERTY(QString path MEMBER path)
    Q_PROPERTY(QString address MEMBER address)
    Q_PROPERTY(bool showLast MEMBER showLast)

public:
    QString path;    // as the service gave it, starting with "/"; kept ones start with "/s/"
    QString address; // the public address: the path under the service's base
    QString secret;  // proves ownership to the service; never shown
    bool showLast = false;
    QString service; // the issuing service's base (see serviceKey); kept in the account's name

    friend bool operator==(const SavedAddress&, const SavedAddress&) = default;
};

// A service's base as claims are filed under it: scheme, host, a port other
// than the scheme's own, and the path without a trailing slash.
QString serviceKey(const QUrl& base);

// JSON with exactly "path", "address", "secret" and "showLast" (the service
// is the name it is filed under).
QByteArray encode(const SavedAddress& saved);
// Nothing unless all four keys are there with the right types.
std::optional<SavedAddress> decodeSavedAddress(const QByteArray& bytes);

// What went wrong with the address service, in words for the user.
class AddressError : public std::exception {
public:
    // `server`: a status the service does not give on success; `badReply`: a
    // success whose body is not the service's JSON.
    enum class Kind { server, badReply, taken, badName, tooMany, offline };

    explicit AddressError(Kind kind, int status = 0);
    Kind kind() const { return kind_; }
    int status() const { return status_; }
    QString description() const;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    int status_;
    std::string message_;
};

// The station's client of the address service, which gives it a stable public
// address in front of the tunnel. The asynchronous operations run on the main
// thread; claimed addresses and the passcode live in the keychain.
class AddressClient {
public:
    static AddressClient& shared();
    // The base from the setting "addressBase" (or "debugAddressBase"), else
    // the build's LANTERN_ADDRESS_BASE.
    static QUrl configuredBase();

    explicit AddressClient(QUrl base, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    ~AddressClient();

    const QUrl& base() const { return base_; }
    // From now on the service at `base` (one that answered probe()).
    void setBase(QUrl base) { base_ = std::move(base); }
    // Whether an address service answers at `base`: nothing when it does,
    // else why not, in the user's words.
    QCoro::Task<std::optional<QString>> probe(QUrl base);
    // Whether a real address service is configured: the build's default base
    // (a host under .invalid) stands for none.
    bool configured() const;

    // The claimed address of the kind asked for from this base's service,
    // read from the keychain; a claim of another service is none of its.
    QCoro::Task<std::optional<SavedAddress>> saved(bool named);
    // The service learns only whether the station has a passcode, never the
    // passcode. Throws AddressError, also for a reply that is not the
    // service's JSON.
    QCoro::Task<SavedAddress> claim(std::optional<QString> name, bool hasPasscode, bool showLast);
    // To the service that issued `at`, whatever the base is now. Never
    // throw; a refusal or failure is logged.
    QCoro::Task<void> live(QUrl url, SavedAddress at, QString name);
    QCoro::Task<void> off(SavedAddress at);
    // Throws AddressError.
    QCoro::Task<void> update(bool hasPasscode, SavedAddress at);

    // The station's passcode in the keychain. Keychain work runs off the main
    // thread; a write is in place before any later read.
    QCoro::Task<std::optional<QString>> passcode() const;
    // Where the passcode was kept (a removal counts as kept in the keyring).
    QCoro::Task<Keychain::Kept> setPasscode(std::optional<QString> passcode);

private:
    struct Reply {
        QByteArray body;
        int status = 0;
    };
    // `path` of the service at `service` (a serviceKey).
    QCoro::Task<Reply> send(QString service, QString method, QString path, nlohmann::json body);
    QCoro::Task<void> announce(QString service, QString method, QString path, nlohmann::json body);
    QString addressOf(const QString& path) const;

    QUrl base_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<QNetworkAccessManager> network_;
};

} // namespace lantern
