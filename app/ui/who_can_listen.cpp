#include "ui/who_can_listen.h"

#include "station/station.h"
#include "ui/panel_text.h"
#include "ui/qml_station.h"

#include <QRandomGenerator>
#include <array>

namespace lantern {

namespace {

const QString fresh = QStringLiteral("fresh"), named = QStringLiteral("named");

// Lower-cased, then spaces and tabs trimmed at both ends: the name the
// station will claim.
QString claimed(const QString& name) {
    auto lowered = name.toLower();
    qsizetype begin = 0, end = lowered.size();
    const auto blank = [&](qsizetype at) { return lowered[at] == u' ' || lowered[at] == u'\t'; };
    while (begin < end && blank(begin))
        ++begin;
    while (end > begin && blank(end - 1))
        --end;
    return lowered.mid(begin, end - begin);
}

} // namespace

WhoCanListenModel::WhoCanListenModel(QObject* parent) : WhoCanListenModel(ui::station(), parent) {}

WhoCanListenModel::WhoCanListenModel(Station& station, QObject* parent)
    : QObject(parent), station_(&station), mode_(station.linkModeName()),
      passcode_(station.passcode()), stationName_(station.stationName()),
      usePasscode_(!station.passcode().isEmpty()) {
    if (const auto& address = station.namedLink()) name_ = address->path.mid(1);
    // Two link changes must never run at once, from this sheet or another.
    connect(&station, &Station::changingLinkChanged, this, &WhoCanListenModel::derivedChanged);
}

template <typename T>
void WhoCanListenModel::assign(T& field, T value, void (WhoCanListenModel::*changed)()) {
    if (field == value) return;
    field = std::move(value);
    Q_EMIT(this->*changed)();
    Q_EMIT derivedChanged();
}

void WhoCanListenModel::setFirstTime(bool on) {
    assign(firstTime_, on, &WhoCanListenModel::firstTimeChanged);
}
void WhoCanListenModel::setMode(const QString& mode) {
    if (!linkModeFrom(mode)) return;
    if (mode != fresh && !serviceConfigured()) return;
    assign(mode_, mode, &WhoCanListenModel::modeChanged);
}
void WhoCanListenModel::setName(const QString& name) {
    assign(name_, name, &WhoCanListenModel::nameChanged);
}
void WhoCanListenModel::setUsePasscode(bool on) {
    assign(usePasscode_, on, &WhoCanListenModel::usePasscodeChanged);
}
void WhoCanListenModel::setPasscode(const QString& passcode) {
    assign(passcode_, passcode, &WhoCanListenModel::passcodeChanged);
}
void WhoCanListenModel::setStationName(const QString& name) {
    assign(stationName_, name, &WhoCanListenModel::stationNameChanged);
}

bool WhoCanListenModel::serviceConfigured() const {
    return station_ && station_->addressServiceConfigured();
}

QString WhoCanListenModel::host() const {
    return station_ ? station_->addressHost() : QString();
}

// Texts as typed: a name of spaces is not empty here (the station trims it).
bool WhoCanListenModel::canConfirm() const {
    if (working_ || !station_ || station_->changingLink()) return false;
    if (mode_ != fresh && !serviceConfigured()) return false;
    if (mode_ == named && name_.isEmpty()) return false;
    return !(usePasscode_ && passcode_.isEmpty());
}

QString WhoCanListenModel::confirmLabel() const {
    return firstTime_ ? QStringLiteral("Go On Air") : QStringLiteral("Done");
}

QString WhoCanListenModel::keptDetail() const {
    if (!serviceConfigured())
        return QStringLiteral("Needs an address service: start Lantern FM with "
                              "--addressBase= and the address of one (lantern-addressd "
                              "runs one).");
    return QStringLiteral("Random letters, the same every time, so friends can save it.");
}

QString WhoCanListenModel::namedDetail() const {
    if (!serviceConfigured()) return keptDetail();
    return host() + u'/' + (name_.isEmpty() ? QStringLiteral("yourname") : name_) +
           QStringLiteral(" \u2014 easy to say, but anyone can guess it and it's linked to you.");
}

QString WhoCanListenModel::nameHint() const {
    if (mode_ != named || !name_.isEmpty()) return {};
    return QStringLiteral("Type the name you want after ") + host() + u'/' +
           QStringLiteral(" to finish.");
}

QString WhoCanListenModel::warning() const {
    if (mode_ != named || name_.isEmpty() || !station_) return {};
    const auto& current = station_->namedLink();
    if (!current || current->path == u'/' + claimed(name_)) return {};
    return QStringLiteral("This replaces ") + panel::shown(QUrl(current->address)) +
           QStringLiteral(" \u2014 that name won't be yours any more.");
}

void WhoCanListenModel::save() {
    if (!canConfirm()) return;
    assign(working_, true, &WhoCanListenModel::workingChanged);
    assign(problem_, QString(), &WhoCanListenModel::problemChanged);
    const auto mode = linkModeFrom(mode_).value_or(LinkMode::fresh);
    // Exactly as typed; with the switch off no passcode, whatever the field holds.
    const auto passcode = usePasscode_ ? std::optional(passcode_) : std::nullopt;
    [](QPointer<WhoCanListenModel> self, QPointer<Station> station, LinkMode mode, QString name,
       std::optional<QString> passcode, QString stationName) -> QCoro::Task<void> {
        auto change = station->setLinkMode(mode, name, passcode, stationName);
        const auto failure = co_await change;
        // A sheet closed meanwhile (Cancel) takes no further part: the
        // station has applied the change, and nothing goes on air.
        if (!self) co_return;
        self->assign(self->working_, false, &WhoCanListenModel::workingChanged);
        if (failure)
            self->assign(self->problem_, *failure + QStringLiteral(" Nothing changed."),
                         &WhoCanListenModel::problemChanged);
        else
            Q_EMIT self->done(self->firstTime_);
    }(this, station_, mode, name_, passcode, stationName_);
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
