#include "ui/menu_icon.h"

#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <array>
#include <cmath>

namespace lantern::MenuIcon {

namespace {

// The design, in a square of 16 units.
constexpr qreal units = 16;
constexpr QPointF centre{8, 8};
constexpr qreal innerRadius = 3.9, outerRadius = 6.6;
constexpr std::array<int, 4> sizes{16, 22, 24, 32};
const QColor onAirRed(0xE5, 0x48, 0x4D);

// Two arcs about the centre, to the left (135° to 225°) and to the right
// (-45° to 45°).
void waves(QPainter& painter, qreal radius, QColor color, qreal alpha, qreal width) {
    color.setAlphaF(static_cast<float>(alpha));
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    painter.drawArc(box, 135 * 16, 90 * 16);
    painter.drawArc(box, -45 * 16, 90 * 16);
}

} // namespace

QImage image(bool onAir, int frame, int size, qreal ratio, const QColor& tint) {
    frame = onAir ? std::clamp(frame, 0, 2) : 2;
    QImage image(static_cast<int>(std::lround(size * ratio)),
                 static_cast<int>(std::lround(size * ratio)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / units, size / units);
    // Lines keep at least a device pixel and a half at the smallest sizes.
    const qreal line = std::max(1.6, 1.5 * units / (size * ratio));
    waves(painter, innerRadius, tint, frame >= 1 ? 1.0 : 0.35, line);
    waves(painter, outerRadius, tint, frame >= 2 ? 1.0 : 0.35, line);
    painter.setPen(Qt::NoPen);
    painter.setBrush(onAir ? onAirRed : tint);
    const qreal dot = onAir ? 2.5 : 1.9;
    painter.drawEllipse(centre, dot, dot);
    painter.end();
    image.setText(QStringLiteral("Description"), accessibleName(onAir));
    return image;
}

QIcon icon(bool onAir, int frame, const QColor& tint) {
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0})
        for (const int size : sizes)
            icon.addPixmap(QPixmap::fromImage(image(onAir, frame, size, ratio, tint)));
    return icon;
}

QString accessibleName(bool onAir) {
    return onAir ? QStringLiteral("Lantern FM, on air") : QStringLiteral("Lantern FM");
}

} // namespace lantern::MenuIcon
