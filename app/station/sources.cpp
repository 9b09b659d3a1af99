#include "station/sources.h"

#include "capture/audio_processes.h"
#include "capture/sound_server.h"
#include "station/assign.h"

namespace lantern {

Sources::Sources() {
    refresh();
    std::lock_guard lock{SoundServer::shared()};
    soundEvents_ = SoundServer::shared().subscribe([this](const SoundServer::Event& event) {
        if (event.facility == PA_SUBSCRIPTION_EVENT_SOURCE ||
            event.facility == PA_SUBSCRIPTION_EVENT_SERVER)
            QMetaObject::invokeMethod(this, &Sources::refreshInputs, Qt::QueuedConnection);
    });
}

Sources::~Sources() {
    std::lock_guard lock{SoundServer::shared()};
    SoundServer::shared().unsubscribe(soundEvents_);
}

QVariantList Sources::list() const {
    QVariantList list;
    for (const auto& source : all_)
        list.append(QVariant::fromValue(source));
    return list;
}

QVariantList Sources::micInputs() const {
    QVariantList list;
    for (const auto& input : inputs_)
        list.append(QVariant::fromValue(input));
    return list;
}

void Sources::refresh() {
    auto fresh = AudioSources::current();
    if (fresh != all_) {
        all_ = std::move(fresh);
        Q_EMIT listChanged();
    }
    QStringList sounding;
    for (const auto& id : AudioProcesses::sounding())
        sounding.append(QString::fromStdString(id));
    assign(*this, sounding_, sounding, &Sources::soundingChanged);
    refreshInputs();
}

void Sources::refreshInputs() {
    auto inputs = AudioInputs::list();
    auto defaultName = AudioInputs::defaultName().value_or(QString());
    if (inputs != inputs_ || defaultName != defaultInputName_) {
        inputs_ = std::move(inputs);
        defaultInputName_ = std::move(defaultName);
        Q_EMIT micInputsChanged();
    }
}

} // namespace lantern
