#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace lantern {

// Secrets of service "com.brindle.lanternfm", one item per account: in the
// Secret Service when one answers, otherwise in files readable only by the
// user under $XDG_DATA_HOME/lantern-fm/. Reads try the Secret Service first.
namespace Keychain {

std::optional<QByteArray> read(const QString& account);
// Whether a Secret Service is there (running, or started on demand).
bool serviceAvailable();

// Where a write left the secret.
enum class Kept {
    keyring, // in the Secret Service
    file,    // in the private file: there is no Secret Service
    refused, // in the private file: the Secret Service refused it (a prompt cancelled, locked)
    nowhere, // neither took it; the old item is still in place
};
// Replaces the account's item, storing the new one before the old one goes;
// failures are logged and leave the old item in place.
Kept write(const QString& account, const QByteArray& bytes);
void remove(const QString& account);

} // namespace Keychain

} // namespace lantern
