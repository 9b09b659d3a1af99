#pragma once

#include "capture/audio_source.h"
#include "capture/mic_input.h"

#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <vector>

namespace lantern {

// What can go on air and which microphones there are, as the sound server
// has them: taken afresh when the panel asks, the microphones also whenever
// the server's inputs change (one plugged in shows at once). Main thread.
class Sources : public QObject {
    Q_OBJECT
    // The choosable sources (AudioSource values), the whole computer first.
    Q_PROPERTY(QVariantList list READ list NOTIFY listChanged)
    // Ids of the applications making sound now.
    Q_PROPERTY(QStringList sounding READ sounding NOTIFY soundingChanged)
    // The microphones (AudioInput values), and the system default input's
    // name (empty when there is no real input).
    Q_PROPERTY(QVariantList micInputs READ micInputs NOTIFY micInputsChanged)
    Q_PROPERTY(QString defaultInputName READ defaultInputName NOTIFY micInputsChanged)
public:
    Sources();
    ~Sources() override;

    const std::vector<AudioSource>& all() const { return all_; }
    QVariantList list() const;
    const QStringList& sounding() const { return sounding_; }
    QVariantList micInputs() const;
    const QString& defaultInputName() const { return defaultInputName_; }

    // Takes the sources, the sounding set and the microphones afresh.
    Q_INVOKABLE void refresh();

Q_SIGNALS:
    void listChanged();
    void soundingChanged();
    void micInputsChanged();

private:
    void refreshInputs();

    std::vector<AudioSource> all_;
    QStringList sounding_;
    std::vector<AudioInput> inputs_;
    QString defaultInputName_;
    int soundEvents_ = 0; // the subscription to the sound server's changes
};

} // namespace lantern
