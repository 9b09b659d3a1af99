#include "ui/relay_sheet.h"

#include "station/station.h"
#include "ui/qml_station.h"

namespace lantern {

RelaySheet::RelaySheet(QObject* parent) : RelaySheet(ui::station(), parent) {}

RelaySheet::RelaySheet(Station& station, QObject* parent)
    : QObject(parent), station_(&station), address_(station.relayAddress()),
      listenAddress_(station.relayListenAddress()), relaying_(!address_.isEmpty()) {}

void RelaySheet::save() {
    if (address_.trimmed().isEmpty()) {
        problem_ = QStringLiteral("Type the server's address, like icecast://host:8000/live");
        return Q_EMIT stateChanged();
    }
    apply(address_, password_, listenAddress_);
}

void RelaySheet::stopRelaying() {
    apply({}, {}, {});
}

void RelaySheet::apply(QString address, QString password, QString listenAddress) {
    if (working_ || !station_) return;
    working_ = true;
    problem_.clear();
    Q_EMIT stateChanged();
    [](QPointer<RelaySheet> self, QPointer<Station> station, QString server, QString secret,
       QString listenAt) -> QCoro::Task<void> {
        auto change = station->setRelay(server, secret, listenAt);
        const auto failure = co_await change;
        if (!self) co_return;
        self->working_ = false;
        self->problem_ = failure.value_or(QString());
        Q_EMIT self->stateChanged();
        if (!failure) Q_EMIT self->done();
    }(this, station_, std::move(address), std::move(password), std::move(listenAddress));
}

} // namespace lantern
