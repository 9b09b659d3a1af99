#include "ui/relay_sheet.h"

#include "station/station.h"
#include "ui/qml_station.h"

namespace lantern {

RelaySheet::RelaySheet(QObject* parent) : RelaySheet(ui::station(), parent) {}

RelaySheet::RelaySheet(Station& station, QObject* parent)
    : QObject(parent), station_(&station), address_(station.relay().address()),
      listenAddress_(station.relay().listenAddress()), relaying_(!address_.isEmpty()) {}

QString RelaySheet::passcodeNote() const {
    if (!station_) return {};
    const auto& presence = station_->presence();
    return presence.passcode().isEmpty() && !presence.heldBack() ? QString()
                                                                 : RelayControl::passcodeNote();
}

void RelaySheet::save() {
    if (!notice_.isEmpty()) return Q_EMIT done(); // the notice has been read
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
        auto change = station->relay().set(server, secret, listenAt);
        const auto failure = co_await change;
        if (!self) co_return;
        self->working_ = false;
        self->problem_ = failure.value_or(QString());
        // Never kept elsewhere silently: the screen stays to say where it went.
        if (!failure && !secret.isEmpty() && station &&
            station->relay().passwordKept() == Keychain::Kept::refused)
            self->notice_ = QStringLiteral(
                "Your desktop's keyring didn't take the password, so Lantern FM keeps it in a "
                "private file in your home folder instead.");
        Q_EMIT self->stateChanged();
        if (!failure && self->notice_.isEmpty()) Q_EMIT self->done();
    }(this, station_, std::move(address), std::move(password), std::move(listenAddress));
}

} // namespace lantern
