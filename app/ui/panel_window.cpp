#include "ui/panel_window.h"

#include "station/station.h"
#include "ui/debug_switches.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <algorithm>
#include <malloc.h>
#include <utility>

namespace lantern {

namespace {
constexpr int panelWidth = 356;
constexpr int gap = 6; // between the click and the panel
} // namespace

PanelWindow::PanelWindow(QQmlEngine& engine, Station& station, Kind kind)
    : engine_(engine), station_(&station), kind_(kind) {
    release_.setSingleShot(true);
    release_.setInterval(keepClosed);
    connect(&release_, &QTimer::timeout, this, &PanelWindow::release);
}

PanelWindow::~PanelWindow() {
    if (view_) view_->disconnect(this); // a window that closes as it goes is not news
    view_.reset();
    if (open_ && station_) station_->panel(false);
}

QQuickView& PanelWindow::view() {
    if (view_) return *view_;
    view_ = std::make_unique<QQuickView>(&engine_, nullptr);
    builtForShow_ = true;
    view_->setTitle(QStringLiteral("Lantern FM"));
    view_->setColor(QColor(0x17, 0x18, 0x1D));
    view_->setResizeMode(QQuickView::SizeViewToRootObject);
    if (kind_ == Kind::dropDown)
        view_->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    view_->setSource(QUrl(QStringLiteral("qrc:/qt/qml/Lantern/Panel.qml")));
    if (auto* root = view_->rootObject()) {
        root->setWidth(panelWidth);
        connect(root, SIGNAL(closeRequested()), this, SLOT(hide()));
    }
    connect(view_.get(), &QWindow::visibleChanged, this, &PanelWindow::shown);
    connect(view_.get(), &QWindow::activeChanged, this, [this] {
        // A drop-down goes away when the user turns to something else, but
        // not for a prompt that a change under way brought up (the keyring
        // asking for its password).
        if (kind_ == Kind::dropDown && view_->isVisible() && !view_->isActive() &&
            !(station_ && station_->presence().changing()))
            hide();
    });
    if (DebugSwitches::timesPanel())
        connect(view_.get(), &QQuickWindow::frameSwapped, this, [this] {
            if (!asked_.isValid()) return;
            DebugSwitches::reportPanelFrame(double(asked_.nsecsElapsed()) / 1e6,
                                            std::exchange(builtForShow_, false));
            asked_.invalidate();
        });
    return *view_;
}

// The scene, its window and what the engine cached for them go; the next
// show builds them again.
void PanelWindow::release() {
    if (!view_ || view_->isVisible()) return;
    view_.reset();
    engine_.collectGarbage();
    engine_.trimComponentCache();
    ::malloc_trim(0); // give the freed scene back to the system, not only to malloc
}

QQuickWindow* PanelWindow::window() {
    return &view();
}

bool PanelWindow::visible() const {
    return view_ && view_->isVisible();
}

int PanelWindow::maximumHeight(QRect available, Kind kind) {
    // A window keeps room for its title bar; a drop-down for its gap.
    return available.height() - (kind == Kind::window ? 48 : 2 * gap);
}

void PanelWindow::fitTo(const QScreen* screen) {
    if (auto* root = view().rootObject(); root && screen)
        root->setProperty("maximumHeight", maximumHeight(screen->availableGeometry(), kind_));
}

QPoint PanelWindow::place(QPoint anchor, QSize panel, QRect available) {
    const bool below = anchor.y() < available.center().y();
    int x = anchor.x() - panel.width() / 2;
    int y = below ? anchor.y() + gap : anchor.y() - gap - panel.height();
    x = std::clamp(x, available.left(),
                   std::max(available.left(), available.right() + 1 - panel.width()));
    y = std::clamp(y, available.top(),
                   std::max(available.top(), available.bottom() + 1 - panel.height()));
    return {x, y};
}

void PanelWindow::showAt(QPoint anchor) {
    if (!asked_.isValid()) asked_.start();
    if (kind_ == Kind::dropDown) {
        auto* screen = QGuiApplication::screenAt(anchor);
        if (!screen) screen = QGuiApplication::primaryScreen();
        fitTo(screen);
        if (screen) view_->setPosition(place(anchor, view_->size(), screen->availableGeometry()));
    }
    show();
}

void PanelWindow::setGeometry(QRect geometry) {
    view().setResizeMode(QQuickView::SizeRootObjectToView);
    view_->setGeometry(geometry);
}

void PanelWindow::show() {
    if (!asked_.isValid()) asked_.start();
    if (kind_ == Kind::window) fitTo(view().screen());
    // A window minimised or unmapped behind Qt's back is still "visible" to
    // it: hide it first so that showing maps it again.
    if (view_->isVisible() && !view_->isExposed()) view_->hide();
    if (kind_ == Kind::window)
        view_->showNormal();
    else
        view_->show();
    view_->raise();
    view_->requestActivate();
}

void PanelWindow::hide() {
    if (view_) view_->hide();
}

void PanelWindow::toggleAt(QPoint anchor) {
    if (visible())
        hide();
    else
        showAt(anchor);
}

void PanelWindow::shown(bool visible) {
    if (visible)
        release_.stop();
    else
        release_.start();
    if (visible == open_) return;
    open_ = visible;
    if (station_) station_->panel(visible);
}

} // namespace lantern
