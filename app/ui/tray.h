#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>

class QMenu;

namespace lantern {

class Station;

// The tray icon: the still symbol off air, the red dot with its waves lit in
// turn (every 2/3 s) on air. A click asks for the panel; the context
// menu opens it, goes on or off air and quits.
class Tray : public QObject {
    Q_OBJECT

public:
    explicit Tray(Station& station);
    ~Tray() override;

    // Whether the desktop shows tray icons at all.
    static bool available();
    // The frame to show: the pulse of `seconds` (since 1 January 2001) on air
    // with motion allowed, else the full frame 2.
    static int frameAt(bool onAir, bool reduceMotion, double seconds);
    // The colour the icon is drawn in: light on a dark panel, dark on a light one.
    static QColor tint();

    void show();
    int frame() const { return frame_; }

Q_SIGNALS:
    // The user clicked the icon (at the pointer's position).
    void clicked(QPoint at);
    void openPanel();

private:
    void tick();
    void refresh();

    Station& station_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon icon_;
    QTimer pulse_;
    int frame_ = 2;
    std::map<int, QIcon> icons_; // by state and frame
};

} // namespace lantern
