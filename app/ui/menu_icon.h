#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>

namespace lantern {

// The tray icon's images: off air a still radio-waves symbol; on air a dot
// with two waves on each side and a "LIVE" badge, the waves lit one after the
// other (frame 0: both dim; 1: the inner lit; 2: both lit). Drawn in black on
// transparent, as a mask the tray can tint; tinted() colours it for trays
// that cannot. Main thread only.
namespace MenuIcon {

// The cached image for the state, drawn for the device pixel ratio `ratio`
// on first use. Four images at most are kept ("off", "on0", "on1", "on2");
// a new ratio redraws them.
QImage image(bool onAir, int frame, qreal ratio = 1.0);
QString cacheKey(bool onAir, int frame);
QStringList cachedKeys();

// The badge word's size in points, as the on-air image lays it out.
QSizeF wordSize();
QString accessibleName(bool onAir);
// `mask` with every pixel's colour replaced by `color`, alpha kept.
QImage tinted(const QImage& mask, const QColor& color);

} // namespace MenuIcon

} // namespace lantern
