#include "ui/qr_code.h"

#include <QPainter>
#include <QPainterPath>
#include <QQuickWindow>
#include <algorithm>
#include <cmath>
#include <memory>
#include <qrencode.h>

namespace lantern {

QrCode::QrCode(QQuickItem* parent) : QQuickPaintedItem(parent) {
    setAntialiasing(true);
}

void QrCode::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    modules_ = modules(text);
    Q_EMIT textChanged();
    update();
}

QImage QrCode::modules(const QString& text) {
    if (text.isEmpty()) return {};
    const auto bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(bytes.size()),
                          reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) return {};
    QImage image(code->width, code->width, QImage::Format_Mono);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            image.setPixel(x, y, code->data[y * code->width + x] & 1);
    return image;
}

void QrCode::paint(QPainter* painter) {
    const QRectF card(0, 0, width(), height());
    QPainterPath rounded;
    rounded.addRoundedRect(card, 6, 6);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->fillPath(rounded, Qt::white);
    if (modules_.isNull()) return;
    // Whole device pixels per module where the size allows, so every
    // module is as sharp and as large as its neighbours.
    const qreal inner = std::min(width(), height()) - 8;
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const qreal scale = std::max(1.0, std::floor(inner * ratio / modules_.width())) / ratio;
    const qreal side = inner * ratio >= modules_.width() ? scale * modules_.width() : inner;
    const QRectF target((width() - side) / 2, (height() - side) / 2, side, side);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->drawImage(target, modules_);
}

} // namespace lantern
