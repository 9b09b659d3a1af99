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
// Replaces the account's item, storing the new one before the old one goes;
// failures are logged, never reported, and leave the old item in place.
void write(const QString& account, const QByteArray& bytes);
void remove(const QString& account);

} // namespace Keychain

} // namespace lantern
