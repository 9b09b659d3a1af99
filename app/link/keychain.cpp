#include "link/keychain.h"

#include "system/log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <libsecret/secret.h>

namespace lantern {

namespace {

const SecretSchema* schema() {
    static const SecretSchema lantern = {
        .name = "com.brindle.lanternfm.Secret",
        .flags = SECRET_SCHEMA_DONT_MATCH_NAME,
        .attributes = {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        .reserved = 0,
        .reserved1 = nullptr,
        .reserved2 = nullptr,
        .reserved3 = nullptr,
        .reserved4 = nullptr,
        .reserved5 = nullptr,
        .reserved6 = nullptr,
        .reserved7 = nullptr,
    };
    return &lantern;
}

constexpr const char* service = "com.brindle.lanternfm";

QString folder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/lantern-fm";
}

// An account's file: its name with whatever could leave the folder or hide
// the file (an account may name a service's address) percent-encoded.
QString fileOf(const QString& account) {
    return folder() + "/" + QString::fromLatin1(account.toUtf8().toPercentEncoding("@"));
}

std::optional<QByteArray> readSecretService(const QString& account) {
    GError* error = nullptr;
    const auto name = account.toUtf8();
    SecretValue* value = secret_password_lookup_binary_sync(
        schema(), nullptr, &error, "service", service, "account", name.constData(), nullptr);
    if (error) g_error_free(error);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    QByteArray result(bytes, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return result;
}

void clearSecretService(const QString& account) {
    GError* error = nullptr;
    const auto name = account.toUtf8();
    secret_password_clear_sync(schema(), nullptr, &error, "service", service, "account",
                               name.constData(), nullptr);
    if (error) g_error_free(error); // nothing to clear, or no service: either way it is gone
}

// Why a write failed: the status as the log line shows it, and whether no
// Secret Service answered at all.
struct WriteFailure {
    QString message;
    bool noService = false;
};

std::optional<WriteFailure> writeSecretService(const QString& account, const QByteArray& bytes) {
    GError* error = nullptr;
    const auto name = account.toUtf8();
    SecretValue* value =
        secret_value_new(bytes.constData(), bytes.size(), "application/octet-stream");
    const bool stored = secret_password_store_binary_sync(
        schema(), SECRET_COLLECTION_DEFAULT, ("Lantern FM " + account).toUtf8().constData(), value,
        nullptr, &error, "service", service, "account", name.constData(), nullptr);
    secret_value_unref(value);
    if (stored) return std::nullopt;
    WriteFailure failure{error ? QString::fromUtf8(error->message) : QStringLiteral("failed")};
    // No service on the bus: D-Bus says the name has no owner.
    failure.noService =
        error && (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                  g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
                  g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND) ||
                  failure.message.contains(QLatin1String("not provided by any")) ||
                  failure.message.contains(QLatin1String("Could not connect")));
    if (error) g_error_free(error);
    return failure;
}

std::optional<QString> writeFile(const QString& account, const QByteArray& bytes) {
    if (!QDir().mkpath(folder())) return QStringLiteral("cannot create ") + folder();
    QFile::setPermissions(folder(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSaveFile file(fileOf(account));
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    // Readable by the user alone, before any secret is in it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // A short write (a full disk) must not replace the old secret with part of the new.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const auto why = file.errorString();
        file.cancelWriting();
        return why;
    }
    if (!file.commit()) return file.errorString();
    return std::nullopt;
}

} // namespace

bool Keychain::serviceAvailable() {
    auto* bus = QDBusConnection::sessionBus().interface();
    if (!bus) return false;
    const auto name = QStringLiteral("org.freedesktop.secrets");
    if (bus->isServiceRegistered(name)) return true;
    const auto startable = bus->call(QStringLiteral("ListActivatableNames"));
    return !startable.arguments().isEmpty() &&
           startable.arguments().constFirst().toStringList().contains(name);
}

std::optional<QByteArray> Keychain::read(const QString& account) {
    if (auto secret = readSecretService(account)) return secret;
    QFile file(fileOf(account));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll();
}

// The new secret is stored before the one it replaces goes, so that a crash
// or a refused unlock in between leaves the old one rather than none. The
// Secret Service replaces an item of the same attributes in one step; the file
// is replaced by a rename.
Keychain::Kept Keychain::write(const QString& account, const QByteArray& bytes) {
    const auto failure = writeSecretService(account, bytes);
    if (!failure) {
        QFile::remove(fileOf(account)); // an older copy from a time without the service
        return Kept::keyring;
    }
    qCWarning(linkLog).noquote() << "keychain (sync true):" << failure->message;
    if (const auto fileFailure = writeFile(account, bytes)) {
        qCWarning(linkLog).noquote() << "keychain (sync false):" << *fileFailure;
        return Kept::nowhere;
    }
    // Reads try the service first: an older item there would hide the file.
    clearSecretService(account);
    return failure->noService ? Kept::file : Kept::refused;
}

void Keychain::remove(const QString& account) {
    clearSecretService(account);
    QFile::remove(fileOf(account));
}

} // namespace lantern
