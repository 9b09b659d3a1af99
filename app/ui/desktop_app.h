#pragma once

#include <QObject>
#include <memory>

class QQmlEngine;

namespace lantern {

class PanelWindow;
class SingleInstance;
class Station;
class Tray;

// Lantern FM on a desktop: the tray icon and its drop-down panel, or, where
// the desktop shows no tray icons, the panel as an ordinary window that a
// second launch brings back. No other window of its own.
class DesktopApp : public QObject {
    Q_OBJECT

public:
    explicit DesktopApp(Station& station);
    ~DesktopApp() override;

    // A QML engine set up for the panel: the module Lantern, the cover
    // images, the Basic controls.
    static std::unique_ptr<QQmlEngine> makeEngine(Station& station);
    static void setUpEngine(QQmlEngine& engine, Station& station);

    // Shows what a launch shows; runs the diagnostic switches.
    void start();
    // What a second launch does: the panel comes forward.
    void activate();

    PanelWindow& panel() { return *panel_; }
    Tray* tray() { return tray_.get(); }

private:
    Station& station_;
    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<Tray> tray_;
    std::unique_ptr<PanelWindow> panel_;
    std::unique_ptr<PanelWindow> debugWindow_;
};

} // namespace lantern
