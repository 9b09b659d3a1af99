#pragma once

#include "capture/mic_input.h"
#include "core/station/shared.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

namespace lantern {

class Settings;

// The user's voice: opening and closing the microphone, the talk switches
// (held or latched), the hold-to-talk key and the level meters. Switched off
// while the panel is open, the device keeps running until the panel closes.
// Main thread; the audio path sees only `talking` and reports `gain` through
// the shared state.
class Microphone : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool on READ on NOTIFY onChanged)
    Q_PROPERTY(bool talkOn READ talkOn NOTIFY talkOnChanged)
    Q_PROPERTY(bool holding READ holding NOTIFY holdingChanged)
    Q_PROPERTY(bool talking READ talking NOTIFY talkingChanged)
    Q_PROPERTY(float voiceLevel READ voiceLevel NOTIFY voiceLevelChanged)
    Q_PROPERTY(float musicLevel READ musicLevel NOTIFY musicLevelChanged)
    Q_PROPERTY(QString device READ device NOTIFY deviceChanged)
    Q_PROPERTY(bool hotKeyOK READ hotKeyOK NOTIFY hotKeyOKChanged)
    // The hold-to-talk key as the user types it ("Ctrl+Alt+Space"), while it works.
    Q_PROPERTY(QString hotKey READ hotKey NOTIFY hotKeyOKChanged)
public:
    Microphone(Settings& settings, std::shared_ptr<Shared> shared);
    ~Microphone() override;

    bool on() const { return on_; }
    bool talkOn() const { return talkOn_; }
    bool holding() const { return holding_; }
    bool talking() const { return on_ && (talkOn_ || holding_); }
    float voiceLevel() const { return voiceLevel_; }
    float musicLevel() const { return musicLevel_; }
    // The chosen input's id; empty for the system default input.
    const QString& device() const { return device_; }
    bool hotKeyOK() const { return hotKeyOK_; }
    const QString& hotKey() const { return hotKeyText_; }
    MicInput& input() { return *input_; }

    Q_INVOKABLE void setMic(bool on);
    Q_INVOKABLE void setTalkOn(bool on);
    Q_INVOKABLE void hold(bool on);
    Q_INVOKABLE void chooseMic(const QString& uid);
    // The panel opening and closing: closing ends a hold and stops a device
    // that was switched off while the panel was open.
    void setPanelOpen(bool open);
    // Going on air starts with nobody talking.
    void stopTalking();

Q_SIGNALS:
    void onChanged();
    void talkOnChanged();
    void holdingChanged();
    void talkingChanged();
    void voiceLevelChanged();
    void musicLevelChanged();
    void deviceChanged();
    void hotKeyOKChanged();
    // A start failed, or the running device was lost: the words for the user.
    void problem(const QString& message);

private:
    void setTalk(bool& flag, bool on, void (Microphone::*changed)());
    void started(MicInput::Started started);
    void showHotKey();

    Settings& settings_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<MicInput> input_;
    QTimer meter_;
    bool on_ = false, talkOn_ = false, holding_ = false;
    float voiceLevel_ = 0, musicLevel_ = 1.0f;
    QString device_;
    bool hotKeyOK_ = false;
    QString hotKeyText_;
    bool want_ = false;         // the user's latest choice
    bool starting_ = false;     // a start is under way
    bool closePending_ = false; // off with the panel open: the device still runs
    bool panelOpen_ = false;
};

} // namespace lantern
