#pragma once

#include <QImage>
#include <QQmlEngine>
#include <QQuickPaintedItem>
#include <QString>

namespace lantern {

// A QR code of `text` on a white rounded card: error correction level M,
// modules drawn crisp (scaled without interpolation).
class QrCode : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)

public:
    explicit QrCode(QQuickItem* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    void paint(QPainter* painter) override;

    // One pixel per module (black on white, no quiet zone), or a null image
    // when the text cannot be encoded.
    static QImage modules(const QString& text);

Q_SIGNALS:
    void textChanged();

private:
    QString text_;
    QImage modules_;
};

} // namespace lantern
