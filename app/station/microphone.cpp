#include "station/microphone.h"

#include "capture/hot_key.h"
#include "settings/settings.h"
#include "station/assign.h"

#include <QPointer>

namespace lantern {

namespace {
const QString micDeviceKey = QStringLiteral("micDevice");
constexpr int meterPeriodMs = 100;
} // namespace

Microphone::Microphone(Settings& settings, std::shared_ptr<Shared> shared)
    : settings_(settings), shared_(std::move(shared)), input_(std::make_unique<MicInput>()),
      device_(settings_.string(micDeviceKey).value_or(QString())) {
    meter_.setInterval(meterPeriodMs);
    connect(&meter_, &QTimer::timeout, this, [this] {
        assign(*this, voiceLevel_, input_->takePeak(), &Microphone::voiceLevelChanged);
        assign(*this, musicLevel_, shared_->get(&SharedState::gain),
               &Microphone::musicLevelChanged);
    });
    // The portal answers later, and the user may rebind its shortcut.
    connect(&HotKey::shared(), &HotKey::changed, this, &Microphone::showHotKey);
}

Microphone::~Microphone() {
    input_->stop();
}

// Every change of a talk flag may change `talking`, which the audio path reads.
void Microphone::setTalk(bool& flag, bool on, void (Microphone::*changed)()) {
    const bool before = talking();
    assign(*this, flag, on, changed);
    shared_->set(&SharedState::talking, talking());
    if (talking() != before) Q_EMIT talkingChanged();
}

void Microphone::setMic(bool on) {
    want_ = on;
    if (!on) {
        if (panelOpen_)
            closePending_ = true;
        else
            input_->stop();
        HotKey::shared().unregisterKey();
        showHotKey();
        const bool before = talking();
        assign(*this, on_, false, &Microphone::onChanged);
        assign(*this, talkOn_, false, &Microphone::talkOnChanged);
        assign(*this, holding_, false, &Microphone::holdingChanged);
        shared_->set(&SharedState::talking, false);
        if (before) Q_EMIT talkingChanged();
        meter_.stop();
        assign(*this, voiceLevel_, 0.0f, &Microphone::voiceLevelChanged);
        return;
    }
    if (on_ || starting_) return;
    starting_ = true;
    closePending_ = false;
    const auto device = device_.isEmpty() ? std::nullopt : std::optional(device_);
    if (input_->running() && input_->deviceUID != device) input_->stop();
    input_->deviceUID = device;
    input_->start(
        [self = QPointer<Microphone>(this)](QString message) {
            if (!self) return;
            self->setMic(false);
            Q_EMIT self->problem(message);
        },
        [this](MicInput::Started result) { started(result); });
}

void Microphone::started(MicInput::Started result) {
    starting_ = false;
    if (result.outcome == MicInput::Started::Outcome::cancelled) {
        // Turned off and on again before the first start finished: the
        // device was stopped, so start it again.
        if (want_) setMic(true);
        return;
    }
    if (!want_) {
        if (result.ok()) input_->stop(); // switched off while it was starting
        return;
    }
    if (!result.ok()) return Q_EMIT problem(result.message);
    const bool before = talking();
    assign(*this, on_, true, &Microphone::onChanged);
    if (talking() != before) Q_EMIT talkingChanged();
    if (panelOpen_) meter_.start(); // the meter is only looked at in the panel
    auto& key = HotKey::shared();
    key.onPress = [self = QPointer<Microphone>(this)] {
        if (self) self->hold(true);
    };
    key.onRelease = [self = QPointer<Microphone>(this)] {
        if (self) self->hold(false);
    };
    // The setting "talkKey" names another key; one that cannot be read, or
    // that another program holds, is not offered.
    const auto chosen = settings_.string(QStringLiteral("talkKey"))
                            .value_or(QString::fromLatin1(HotKey::defaultKey));
    if (chosen == key.key() || key.setKey(chosen)) key.registerKey();
    showHotKey();
}

// The hint promises the key only while it is registered.
void Microphone::showHotKey() {
    const auto& key = HotKey::shared();
    const bool ok = on_ && key.registered();
    assign(*this, hotKeyText_, ok ? key.shown() : QString(), &Microphone::hotKeyOKChanged);
    assign(*this, hotKeyOK_, ok, &Microphone::hotKeyOKChanged);
}

void Microphone::setTalkOn(bool on) {
    setTalk(talkOn_, on, &Microphone::talkOnChanged);
}

void Microphone::hold(bool on) {
    setTalk(holding_, on, &Microphone::holdingChanged);
}

void Microphone::stopTalking() {
    setTalk(talkOn_, false, &Microphone::talkOnChanged);
    setTalk(holding_, false, &Microphone::holdingChanged);
}

void Microphone::chooseMic(const QString& uid) {
    assign(*this, device_, uid, &Microphone::deviceChanged);
    if (uid.isEmpty())
        settings_.remove(micDeviceKey);
    else
        settings_.setValue(micDeviceKey, uid);
    if (on_) {
        setMic(false);
        setMic(true);
    }
}

void Microphone::setPanelOpen(bool open) {
    panelOpen_ = open;
    if (open) {
        if (on_) meter_.start();
        return;
    }
    meter_.stop();
    if (holding_) hold(false);
    if (closePending_ && !on_) {
        input_->stop();
        closePending_ = false;
    }
}

} // namespace lantern
