#include "ui/menu_icon.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <map>

namespace lantern::MenuIcon {

namespace {

constexpr qreal height = 16;
constexpr QPointF centre{9, 8};
constexpr qreal innerRadius = 3.6, outerRadius = 6.8;

std::map<QString, QImage>& cache() {
    static std::map<QString, QImage> images;
    return images;
}
qreal& cachedRatio() {
    static qreal ratio = 1.0;
    return ratio;
}

QFont wordFont() {
    QFont font;
    font.setPixelSize(9); // a point is a pixel at ratio 1
    font.setWeight(QFont::ExtraBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QImage canvas(qreal width, qreal ratio) {
    QImage image(static_cast<int>(std::ceil(width * ratio)), static_cast<int>(height * ratio),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    return image;
}

// Two arcs about the centre, to the left (135° to 225°) and to the right
// (-45° to 45°).
void waves(QPainter& painter, qreal radius, qreal alpha, qreal width) {
    QPen pen(QColor::fromRgbF(0, 0, 0, static_cast<float>(alpha)), width, Qt::SolidLine,
             Qt::RoundCap);
    painter.setPen(pen);
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    painter.drawArc(box, 135 * 16, 90 * 16);
    painter.drawArc(box, -45 * 16, 90 * 16);
}

void dot(QPainter& painter) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(QRectF(7.2, 6.2, 3.6, 3.6));
}

QImage onAirImage(int frame, qreal ratio) {
    const auto word = wordSize();
    auto image = canvas(word.width() + 24 + 8, ratio);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    dot(painter);
    waves(painter, innerRadius, frame >= 1 ? 1.0 : 0.35, 2);
    waves(painter, outerRadius, frame >= 2 ? 1.0 : 0.35, 2);
    // The badge: centred vertically, its outline inside its rectangle.
    const QRectF badge(22, (height - word.height() - 2) / 2, word.width() + 6, word.height() + 2);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::black, 1.3));
    painter.drawRoundedRect(badge.adjusted(0.65, 0.65, -0.65, -0.65), 3, 3);
    painter.setFont(wordFont());
    painter.setPen(Qt::black);
    painter.drawText(QRectF(22 + 3, badge.top() + 1, word.width(), word.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("LIVE"));
    return image;
}

// The still symbol: the dot and both waves, lit.
QImage offAirImage(qreal ratio) {
    auto image = canvas(18, ratio);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    dot(painter);
    waves(painter, innerRadius, 1.0, 1.6);
    waves(painter, outerRadius, 1.0, 1.6);
    return image;
}

} // namespace

QSizeF wordSize() {
    const QFontMetricsF metrics(wordFont());
    // The spacing follows every letter, the last one too; the badge does not
    // need the trailing one.
    return {metrics.horizontalAdvance(QStringLiteral("LIVE")) - 0.6, metrics.height()};
}

QString cacheKey(bool onAir, int frame) {
    return onAir ? QStringLiteral("on%1").arg(frame) : QStringLiteral("off");
}

QImage image(bool onAir, int frame, qreal ratio) {
    frame = std::clamp(frame, 0, 2);
    auto& images = cache();
    if (ratio != cachedRatio()) {
        images.clear();
        cachedRatio() = ratio;
    }
    const auto key = cacheKey(onAir, frame);
    if (const auto found = images.find(key); found != images.end()) return found->second;
    auto drawn = onAir ? onAirImage(frame, ratio) : offAirImage(ratio);
    drawn.setText(QStringLiteral("Description"), accessibleName(onAir));
    images.emplace(key, drawn);
    return drawn;
}

QStringList cachedKeys() {
    QStringList keys;
    for (const auto& [key, image] : cache())
        keys.append(key);
    return keys;
}

QString accessibleName(bool onAir) {
    return onAir ? QStringLiteral("Lantern FM, on air") : QStringLiteral("Lantern FM");
}

QImage tinted(const QImage& mask, const QColor& color) {
    QImage image = mask.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(QPointF(0, 0), image.deviceIndependentSize()), color);
    return image;
}

} // namespace lantern::MenuIcon
