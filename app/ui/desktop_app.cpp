#include "ui/desktop_app.h"

#include "settings/settings.h"
#include "station/station.h"
#include "ui/cover_provider.h"
#include "ui/debug_switches.h"
#include "ui/panel_window.h"
#include "ui/qml_station.h"
#include "ui/tray.h"

#include <QCursor>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>

namespace lantern {

DesktopApp::DesktopApp(Station& station) : station_(station), engine_(makeEngine(station)) {
    if (Tray::available()) {
        tray_ = std::make_unique<Tray>(station_);
        panel_ = std::make_unique<PanelWindow>(*engine_, station_, PanelWindow::Kind::dropDown);
        connect(tray_.get(), &Tray::clicked, this, [this](QPoint at) { panel_->toggleAt(at); });
        connect(tray_.get(), &Tray::openPanel, this, &DesktopApp::activate);
    } else {
        panel_ = std::make_unique<PanelWindow>(*engine_, station_, PanelWindow::Kind::window);
    }
}

DesktopApp::~DesktopApp() = default;

std::unique_ptr<QQmlEngine> DesktopApp::makeEngine(Station& station) {
    auto engine = std::make_unique<QQmlEngine>();
    setUpEngine(*engine, station);
    return engine;
}

void DesktopApp::setUpEngine(QQmlEngine& engine, Station& station) {
    ui::useStation(&station);
    // The panel draws every control itself, over the Basic style's logic.
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    // Flat shapes, text and images need no GPU: drawn in software the panel
    // costs no graphics driver in a process that stays up all day (a GL
    // driver, once loaded, stays mapped after its last window is gone).
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.addImageProvider(QStringLiteral("lantern"), new CoverProvider(station));
}

void DesktopApp::start() {
    if (tray_)
        tray_->show();
    else
        panel_->show();
    if (Settings::shared().flag(QStringLiteral("debugPanelWindow"))) {
        QTimer::singleShot(0, this, [this] {
            debugWindow_ =
                std::make_unique<PanelWindow>(*engine_, station_, PanelWindow::Kind::window);
            debugWindow_->setGeometry({200, 120, 356, 780});
            debugWindow_->show();
            DebugSwitches::reportPanelWindow(debugWindow_->window()->winId());
        });
    }
    QTimer::singleShot(0, this, [this] { DebugSwitches::goOnAirIfAsked(station_); });
}

void DesktopApp::activate() {
    if (tray_)
        panel_->showAt(QCursor::pos());
    else
        panel_->show();
}

} // namespace lantern
