#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <memory>

class QQmlEngine;
class QQuickView;
class QQuickWindow;
class QScreen;

namespace lantern {

class Station;

// The panel in its window: frameless and dropped from the tray icon (hidden
// on Escape or when it loses focus), or an ordinary window where there is no
// tray. The window follows the panel's height.
class PanelWindow : public QObject {
    Q_OBJECT

public:
    enum class Kind { dropDown, window };

    PanelWindow(QQmlEngine& engine, Station& station, Kind kind);
    ~PanelWindow() override;

    // Shows the drop-down under (or above) `anchor`, the point the user
    // clicked; the window kind shows itself where the desktop puts it.
    void showAt(QPoint anchor);
    void show();
    Q_SLOT void hide();
    void toggleAt(QPoint anchor);
    // A fixed place and size; the panel fills it.
    void setGeometry(QRect geometry);
    bool visible() const;
    QQuickWindow* window() const;

    // Where a `panel`-sized drop-down goes for a click at `anchor` on a
    // screen whose free area is `available`: centred under the point, or
    // above it in the screen's lower half, and kept on the screen.
    static QPoint place(QPoint anchor, QSize panel, QRect available);
    // The tallest a panel may be on a screen whose free area is `available`.
    static int maximumHeight(QRect available, Kind kind);

private:
    void shown(bool visible);
    // Fits the panel to the screen it shows on.
    void fitTo(const QScreen* screen);

    QPointer<Station> station_; // may go first at the end of the process
    Kind kind_;
    std::unique_ptr<QQuickView> view_;
    bool open_ = false;
};

} // namespace lantern
