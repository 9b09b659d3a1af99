#include "ui/panel_window.h"

#include "station/station.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <algorithm>

namespace lantern {

namespace {
constexpr int panelWidth = 356;
constexpr int gap = 6; // between the click and the panel
} // namespace

PanelWindow::PanelWindow(QQmlEngine& engine, Station& station, Kind kind)
    : station_(&station), kind_(kind), view_(std::make_unique<QQuickView>(&engine, nullptr)) {
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
}

PanelWindow::~PanelWindow() {
    if (open_ && station_) station_->panel(false);
}

QQuickWindow* PanelWindow::window() const {
    return view_.get();
}

bool PanelWindow::visible() const {
    return view_->isVisible();
}

int PanelWindow::maximumHeight(QRect available, Kind kind) {
    // A window keeps room for its title bar; a drop-down for its gap.
    return available.height() - (kind == Kind::window ? 48 : 2 * gap);
}

void PanelWindow::fitTo(const QScreen* screen) {
    if (auto* root = view_->rootObject(); root && screen)
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
    if (kind_ == Kind::dropDown) {
        auto* screen = QGuiApplication::screenAt(anchor);
        if (!screen) screen = QGuiApplication::primaryScreen();
        fitTo(screen);
        if (screen) view_->setPosition(place(anchor, view_->size(), screen->availableGeometry()));
    }
    show();
}

void PanelWindow::setGeometry(QRect geometry) {
    view_->setResizeMode(QQuickView::SizeRootObjectToView);
    view_->setGeometry(geometry);
}

void PanelWindow::show() {
    if (kind_ == Kind::window) fitTo(view_->screen());
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
    view_->hide();
}

void PanelWindow::toggleAt(QPoint anchor) {
    if (view_->isVisible())
        hide();
    else
        showAt(anchor);
}

void PanelWindow::shown(bool visible) {
    if (visible == open_) return;
    open_ = visible;
    if (station_) station_->panel(visible);
}

} // namespace lantern
