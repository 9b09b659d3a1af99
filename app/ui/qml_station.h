#pragma once

#include "station/station.h"

#include <QQmlEngine>

namespace lantern {

namespace ui {
// The station the panel shows: Station::shared() unless one was set (tests
// set their own before any QML is loaded).
Station& station();
void useStation(Station* station);
} // namespace ui

// The Station as the QML singleton "Station" of the module Lantern.
struct StationForeign {
    Q_GADGET
    QML_FOREIGN(lantern::Station)
    QML_NAMED_ELEMENT(Station)
    QML_SINGLETON

public:
    static Station* create(QQmlEngine*, QJSEngine* engine);
};

// The microphone as Station.mic: a type QML knows, never made there.
struct MicrophoneForeign {
    Q_GADGET
    QML_FOREIGN(lantern::Microphone)
    QML_ANONYMOUS
};

// Who can listen as Station.presence.
struct LinkPresenceForeign {
    Q_GADGET
    QML_FOREIGN(lantern::LinkPresence)
    QML_ANONYMOUS
};

// The cover as Station.cover.
struct CoverArtForeign {
    Q_GADGET
    QML_FOREIGN(lantern::CoverArt)
    QML_ANONYMOUS
};

// The kinds of link as the QML enum LinkMode (LinkMode.Fresh, .Kept, .Named).
namespace LinkModeForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(lantern::LinkModes)
QML_NAMED_ELEMENT(LinkMode)
} // namespace LinkModeForeign

} // namespace lantern
