#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace lantern {

// The tray icon's images, for the square slot every tray gives an icon: a
// dot with two radio waves on each side. Off air all of it is drawn in the
// tint; on air the dot is red and the waves light up one after the other
// (frame 0: both dim; 1: the inner lit; 2: both lit). Drawn for each size a
// tray asks for (16, 22, 24 and 32 points) so that lines stay sharp, at the
// screen's scale. Main thread only.
namespace MenuIcon {

// The image of `size` points square at device pixel ratio `ratio`, drawn in
// `tint` (light on a dark panel, dark on a light one).
QImage image(bool onAir, int frame, int size, qreal ratio, const QColor& tint);
// Every size a tray may ask for, at ratios 1 and 2.
QIcon icon(bool onAir, int frame, const QColor& tint);
QString accessibleName(bool onAir);

} // namespace MenuIcon

} // namespace lantern
