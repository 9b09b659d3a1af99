#pragma once

#include "core/nowplaying/cover.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace lantern {

// A player's artwork file as a cover to serve. The path comes from the player
// (and so from a track's tags or a web page), so it is taken only when it
// names a regular file outside /proc, /sys and /dev, of at most 10 MiB, that
// decodes as an image; what is served is that image encoded afresh (JPEG, or
// PNG when it has transparency), at most 1024 pixels on its longer side, never
// the file's own bytes. Anything else gives nothing. Any thread.
std::optional<Cover> coverFromFile(const QString& path);

// Image bytes from anywhere else (a download, a companion's note) as a cover
// to serve, the same way: decoded, at most 1024 pixels on its longer side,
// encoded afresh; nothing when they are not an image. Any thread.
std::optional<Cover> coverFromBytes(QByteArray bytes);

} // namespace lantern
