#include "ui/who_can_listen.h"

#include "station/assign.h"
#include "station/station.h"
#include "ui/panel_text.h"
#include "ui/qml_station.h"

#include <QRandomGenerator>
#include <array>

namespace lantern {

WhoCanListenModel::WhoCanListenModel(QObject* parent) : WhoCanListenModel(ui::station(), parent) {}

WhoCanListenModel::WhoCanListenModel(Station& station, QObject* parent)
    : QObject(parent), station_(&station), mode_(station.presence().mode()),
      passcode_(station.presence().passcode()), stationName_(station.presence().stationName()),
      usePasscode_(!station.presence().passcode().isEmpty()) {
    if (const auto& address = station.presence().named()) name_ = address->path.mid(1);
    // Two link changes must never run at once, from this sheet or another.
    connect(&station.presence(), &LinkPresence::changingChanged, this,
            &WhoCanListenModel::derivedChanged);
    connect(&station.presence(), &LinkPresence::serviceChanged, this,
            &WhoCanListenModel::derivedChanged);
    connect(this, &WhoCanListenModel::firstTimeChanged, this, &WhoCanListenModel::derivedChanged);
    keyring_ = Keychain::serviceAvailable();
}

QString WhoCanListenModel::keyringHint() const {
    if (!keyring_ || !usePasscode_ || passcode_.isEmpty() || !station_ ||
        passcode_ == station_->presence().passcode())
        return {};
    return QStringLiteral("Lantern FM keeps your passcode in your desktop's keyring, which may "
                          "ask you to choose or type its password.");
}

QString WhoCanListenModel::relayNote() const {
    if (!usePasscode_ || !station_ || station_->relay().address().isEmpty()) return {};
    return RelayControl::passcodeNote();
}

void WhoCanListenModel::useService(const QString& url) {
    if (checkingService_ || !station_) return;
    checkingService_ = true;
    serviceProblem_.clear();
    Q_EMIT serviceStateChanged();
    [](QPointer<WhoCanListenModel> self, QPointer<Station> station,
       QUrl base) -> QCoro::Task<void> {
        auto checking = station->presence().useService(std::move(base));
        const auto problem = co_await checking;
        if (!self) co_return;
        self->checkingService_ = false;
        self->serviceProblem_ = problem.value_or(QString());
        Q_EMIT self->serviceStateChanged();
    }(this, station_, QUrl::fromUserInput(url.trimmed()));
}

// A field's change also changes what is derived from the fields together.
template <typename T>
void WhoCanListenModel::update(T& field, T value, void (WhoCanListenModel::*changed)()) {
    if (field == value) return;
    assign(*this, field, std::move(value), changed);
    Q_EMIT derivedChanged();
}

void WhoCanListenModel::setFirstTime(bool on) {
    update(firstTime_, on, &WhoCanListenModel::firstTimeChanged);
}
void WhoCanListenModel::setMode(LinkMode mode) {
    if (!available(mode)) return;
    update(mode_, mode, &WhoCanListenModel::modeChanged);
}

// Kept and named links need an address service, the own address a tunnel set up.
bool WhoCanListenModel::available(LinkMode mode) const {
    if (mode == LinkMode::Own) return !ownHost().isEmpty();
    return mode == LinkMode::Fresh || serviceConfigured();
}

QString WhoCanListenModel::ownHost() const {
    return station_ ? station_->presence().ownHost() : QString();
}
void WhoCanListenModel::setName(const QString& name) {
    update(name_, name, &WhoCanListenModel::nameChanged);
}
void WhoCanListenModel::setUsePasscode(bool on) {
    update(usePasscode_, on, &WhoCanListenModel::usePasscodeChanged);
}
void WhoCanListenModel::setPasscode(const QString& passcode) {
    update(passcode_, passcode, &WhoCanListenModel::passcodeChanged);
}
void WhoCanListenModel::setStationName(const QString& name) {
    update(stationName_, name, &WhoCanListenModel::stationNameChanged);
}

bool WhoCanListenModel::serviceConfigured() const {
    return station_ && station_->presence().serviceConfigured();
}

QString WhoCanListenModel::host() const {
    return station_ ? station_->presence().serviceHost() : QString();
}

// Texts as typed: a name of spaces is not empty here (the station trims it).
bool WhoCanListenModel::canConfirm() const {
    if (!notice_.isEmpty()) return true;
    if (working_ || !station_ || station_->presence().changing()) return false;
    if (!available(mode_)) return false;
    if (mode_ == LinkMode::Named && name_.isEmpty()) return false;
    return !(usePasscode_ && passcode_.isEmpty());
}

QString WhoCanListenModel::confirmLabel() const {
    if (!notice_.isEmpty()) return QStringLiteral("OK");
    return firstTime_ ? QStringLiteral("Go On Air") : QStringLiteral("Done");
}

QString WhoCanListenModel::keptDetail() const {
    if (!serviceConfigured())
        return QStringLiteral("Needs an address service: a small server that keeps your link "
                              "the same every time.");
    return QStringLiteral("Random letters, the same every time, so friends can save it.");
}

QString WhoCanListenModel::namedDetail() const {
    if (!serviceConfigured()) return keptDetail();
    return host() + u'/' + (name_.isEmpty() ? QStringLiteral("yourname") : name_) +
           QStringLiteral(" \u2014 easy to say, but anyone can guess it and it's linked to you.");
}

QString WhoCanListenModel::nameHint() const {
    if (mode_ != LinkMode::Named || !name_.isEmpty()) return {};
    return QStringLiteral("Type the name you want after ") + host() + u'/' +
           QStringLiteral(" to finish.");
}

QString WhoCanListenModel::warning() const {
    if (mode_ != LinkMode::Named || name_.isEmpty() || !station_) return {};
    const auto& current = station_->presence().named();
    if (!current || current->path == u'/' + LinkPresence::claimedName(name_)) return {};
    return QStringLiteral("This replaces ") + panel::shown(QUrl(current->address)) +
           QStringLiteral(" \u2014 that name won't be yours any more.");
}

void WhoCanListenModel::save() {
    if (!notice_.isEmpty()) return Q_EMIT done(firstTime_); // the notice has been read
    if (!canConfirm()) return;
    update(working_, true, &WhoCanListenModel::workingChanged);
    update(problem_, QString(), &WhoCanListenModel::problemChanged);
    // Exactly as typed; with the switch off no passcode, whatever the field holds.
    const auto passcode = usePasscode_ ? std::optional(passcode_) : std::nullopt;
    [](QPointer<WhoCanListenModel> self, QPointer<Station> station, LinkMode linkMode, QString name,
       std::optional<QString> code, QString stationName) -> QCoro::Task<void> {
        auto change = station->setLinkMode(linkMode, name, code, stationName);
        const auto failure = co_await change;
        // A sheet closed meanwhile (Cancel) takes no further part: the
        // station has applied the change, and nothing goes on air.
        if (!self) co_return;
        self->update(self->working_, false, &WhoCanListenModel::workingChanged);
        if (failure)
            self->update(self->problem_, *failure + QStringLiteral(" Nothing changed."),
                         &WhoCanListenModel::problemChanged);
        else if (code && station && station->presence().passcodeKept() == Keychain::Kept::refused)
            // Never lost silently: the sheet stays to say where it went.
            self->update(self->notice_,
                         QStringLiteral("Your desktop's keyring didn't take the passcode, so "
                                        "Lantern FM keeps it in a private file in your home "
                                        "folder instead."),
                         &WhoCanListenModel::noticeChanged);
        else
            Q_EMIT self->done(self->firstTime_);
    }(this, station_, mode_, name_, passcode, stationName_);
}

// Sixteen characters from an alphabet of 32 (digits and lowercase letters
// without i, l, o and u, which are misread), in groups of four: 80 bits, which
// no guessing through the link gets through, and the link carries them, so
// their length costs the user nothing.
QString WhoCanListenModel::suggestion() {
    static constexpr char alphabet[] = "0123456789abcdefghjkmnpqrstvwxyz";
    static_assert(sizeof alphabet - 1 == 32);
    auto* random = QRandomGenerator::system();
    QString made;
    for (int i = 0; i < 16; ++i) {
        if (i > 0 && i % 4 == 0) made += u'-';
        made += QLatin1Char(alphabet[random->bounded(32u)]);
    }
    return made;
}

QString WhoCanListenModel::madeUp() const {
    return suggestion();
}

} // namespace lantern
