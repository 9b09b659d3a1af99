#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <chrono>
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
//
// The panel's scene is built when it is first shown and released once it
// has been closed for `keepClosed`: a tray app runs all day with its panel
// closed, and holds only what a closed panel needs.
class PanelWindow : public QObject {
    Q_OBJECT

public:
    enum class Kind { dropDown, window };

    PanelWindow(QQmlEngine& engine, Station& station, Kind kind);
    ~PanelWindow() override;

    static constexpr std::chrono::seconds keepClosed{30};
    // Another time to keep a closed panel's scene.
    void keepClosedFor(std::chrono::milliseconds time) { release_.setInterval(time); }

    // Shows the drop-down under (or above) `anchor`, the point the user
    // clicked; the window kind shows itself where the desktop puts it.
    void showAt(QPoint anchor);
    void show();
    Q_SLOT void hide();
    void toggleAt(QPoint anchor);
    // A fixed place and size; the panel fills it.
    void setGeometry(QRect geometry);
    bool visible() const;
    // The panel's window, its scene built if it was not.
    QQuickWindow* window();
    // Whether the scene is built now.
    bool built() const { return view_ != nullptr; }

    // Where a `panel`-sized drop-down goes for a click at `anchor` on a
    // screen whose free area is `available`: centred under the point, or
    // above it in the screen's lower half, and kept on the screen.
    static QPoint place(QPoint anchor, QSize panel, QRect available);
    // The tallest a panel may be on a screen whose free area is `available`.
    static int maximumHeight(QRect available, Kind kind);

private:
    QQuickView& view();
    void release();
    void shown(bool visible);
    // Fits the panel to the screen it shows on.
    void fitTo(const QScreen* screen);

    QQmlEngine& engine_;
    QPointer<Station> station_; // may go first at the end of the process
    Kind kind_;
    std::unique_ptr<QQuickView> view_;
    QTimer release_;
    QElapsedTimer asked_; // since the panel was asked for, while its first frame is due
    bool builtForShow_ = false;
    bool open_ = false;
};

} // namespace lantern
