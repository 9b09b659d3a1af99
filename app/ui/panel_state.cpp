#include "ui/panel_state.h"

#include "settings/settings.h"
#include "station/station.h"
#include "ui/qml_station.h"

namespace lantern {

PanelState::PanelState(QObject* parent)
    : PanelState(ui::station(), Settings::shared().flag(QStringLiteral("debugShowChoice"))) {
    setParent(parent);
}

PanelState::PanelState(Station& station, bool showChoice)
    : station_(&station), choosing_(showChoice) {
    connect(&station, &Station::onAirChanged, this, &PanelState::screenChanged);
}

PanelState::Screen PanelState::screen() const {
    if (about_) return Screen::About;
    if (relay_) return Screen::Relay;
    if (choosing_ || firstRunAsked_) return Screen::Sheet;
    return station_ && station_->onAir() ? Screen::OnAir : Screen::OffAir;
}

void PanelState::set(bool choosing, bool firstRunAsked) {
    if (choosing == choosing_ && firstRunAsked == firstRunAsked_) return;
    choosing_ = choosing;
    firstRunAsked_ = firstRunAsked;
    Q_EMIT screenChanged();
}

void PanelState::goOnAir() {
    if (!station_) return;
    if (station_->presence().asked())
        station_->goOnAir();
    else
        set(choosing_, true);
}

void PanelState::change() {
    set(true, firstRunAsked_);
}

void PanelState::sheetDone(bool goOnAir) {
    set(false, false);
    if (goOnAir && station_) station_->goOnAir();
}

void PanelState::sheetCancelled() {
    set(false, false);
}

void PanelState::about() {
    about_ = true;
    relay_ = false;
    Q_EMIT screenChanged();
}

void PanelState::relay() {
    relay_ = true;
    about_ = false;
    Q_EMIT screenChanged();
}

void PanelState::back() {
    about_ = relay_ = false;
    Q_EMIT screenChanged();
}

} // namespace lantern
