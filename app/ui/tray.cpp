#include "ui/tray.h"

#include "station/station.h"
#include "ui/menu_icon.h"
#include "ui/motion.h"

#include <QAction>
#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QScreen>
#include <algorithm>
#include <cmath>

namespace lantern {

namespace {

// 1 January 2001, 00:00 UTC: the pulse's epoch.
constexpr qint64 pulseEpochMs = 978307200000;

double pulseSeconds() {
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch() - pulseEpochMs) / 1000.0;
}

} // namespace

Tray::Tray(Station& station) : station_(station), menu_(std::make_unique<QMenu>()) {
    auto* open = menu_->addAction(QStringLiteral("Open Lantern FM"));
    auto* air = menu_->addAction(QString());
    menu_->addSeparator();
    auto* quit = menu_->addAction(QStringLiteral("Quit Lantern FM"));
    connect(open, &QAction::triggered, this, &Tray::openPanel);
    connect(air, &QAction::triggered, this, [this] {
        if (station_.onAir())
            station_.goOffAir();
        else
            Q_EMIT openPanel(); // who can listen may have to be asked first
    });
    connect(quit, &QAction::triggered, &station_, &Station::quit);
    connect(menu_.get(), &QMenu::aboutToShow, this, [this, air] {
        air->setText(station_.onAir() ? QStringLiteral("Go Off Air")
                                      : QStringLiteral("Go On Air\u2026"));
    });
    icon_.setContextMenu(menu_.get());
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                    Q_EMIT clicked(QCursor::pos());
            });

    pulse_.setInterval(2000 / 3);
    connect(&pulse_, &QTimer::timeout, this, &Tray::tick);
    connect(&station_, &Station::onAirChanged, this, [this] {
        if (station_.onAir()) {
            pulse_.start();
            tick();
        } else {
            pulse_.stop();
            frame_ = 2;
            refresh();
        }
    });
    refresh();
}

Tray::~Tray() = default;

bool Tray::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

int Tray::frameAt(bool onAir, bool reduceMotion, double seconds) {
    if (!onAir || reduceMotion) return 2;
    // Each frame shows for 2/3 s, the cycle lasts 2 s. A time before zero (or
    // not a number) would give a frame outside 0...2; those show the first.
    if (!std::isfinite(seconds) || seconds < 0) return 0;
    return std::min(2, static_cast<int>(std::fmod(seconds, 2.0) / (2.0 / 3.0)));
}

QColor Tray::tint() {
    // GNOME's top bar is dark whatever the theme; elsewhere the panel
    // follows the colour scheme.
    if (qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("GNOME")))
        return QColor(0xF2, 0xF2, 0xF2);
    const auto window = QGuiApplication::palette().color(QPalette::Window);
    return window.lightness() < 128 ? QColor(0xF2, 0xF2, 0xF2) : QColor(0x23, 0x24, 0x2A);
}

void Tray::show() {
    icon_.show();
}

void Tray::tick() {
    frame_ = frameAt(station_.onAir(), reduceMotion(), pulseSeconds());
    refresh();
}

void Tray::refresh() {
    // Drawn once per state and frame, then only handed over again.
    const auto key = (station_.onAir() ? 1 : 0) * 4 + frame_;
    auto& icon = icons_[key];
    if (icon.isNull()) icon = MenuIcon::icon(station_.onAir(), frame_, tint());
    icon_.setIcon(icon);
    icon_.setToolTip(MenuIcon::accessibleName(station_.onAir()));
}

} // namespace lantern
