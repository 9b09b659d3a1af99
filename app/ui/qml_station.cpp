#include "ui/qml_station.h"

namespace lantern {

namespace {
Station* chosen = nullptr;
} // namespace

Station& ui::station() {
    return chosen ? *chosen : Station::shared();
}

void ui::useStation(Station* station) {
    chosen = station;
}

Station* StationForeign::create(QQmlEngine*, QJSEngine* engine) {
    auto* station = &ui::station();
    // The engine must not delete the station it was lent.
    QJSEngine::setObjectOwnership(station, QJSEngine::CppOwnership);
    Q_ASSERT(!engine || station->thread() == engine->thread());
    return station;
}

} // namespace lantern
