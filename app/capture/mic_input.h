#pragma once

#include "core/signal/voice_ring.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lantern {

// A microphone: a sound-server source that is not a monitor.
struct AudioInput {
    Q_GADGET
    Q_PROPERTY(QString uid MEMBER uid)
    Q_PROPERTY(QString name MEMBER name)

public:
    QString uid;          // the source's name
    QString name;         // its description
    std::uint32_t id = 0; // its index

    friend bool operator==(const AudioInput&, const AudioInput&) = default;
};

// The sound server's inputs as last reported (never waits on the server).
namespace AudioInputs {
std::vector<AudioInput> list();
std::optional<std::uint32_t> device(const QString& uid);
// The description of the server's default source, when that is a real input
// (with no microphone, servers make a sink's monitor the default source).
std::optional<QString> defaultName();
} // namespace AudioInputs

// The user's voice: records the chosen (or default) source, converts it to
// interleaved stereo float at `rate` and pushes it into `ring` for the audio
// path, keeping the running peak for the meter.
//
// start(), stop() and the callbacks they take belong to the thread that made
// the object (the main thread); setRate() and the peak are for any thread.
class MicInput : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t ringCapacity = 38400;
    static constexpr int fragmentFrames = 1024;

    MicInput();
    ~MicInput() override;

    // How a start ended: started (or already running), cancelled by a stop()
    // before it finished, or failed with the message to show.
    struct Started {
        enum class Outcome { started, cancelled, failed };
        Outcome outcome = Outcome::started;
        QString message;
        bool ok() const { return outcome == Outcome::started; }
    };

    // Starts capturing; `done` is told how that went. `onLost` is told when a
    // running microphone goes away and cannot be opened again. While the sound
    // server restarts, a running microphone waits for it and goes on.
    void start(std::function<void(QString)> onLost, std::function<void(Started)> done);
    void stop();
    bool running() const { return running_; }

    void setRate(double rate);
    double rate() const;
    // The largest absolute sample pushed since the last call; resets it.
    float takePeak();

    // The source to record (a source name); nothing means the default source.
    std::optional<QString> deviceUID;

    VoiceRing ring{ringCapacity};

private:
    class Stream;
    void open(std::function<void(Started)> done);
    void release();
    void lost(const QString& message);

    bool running_ = false;
    bool starting_ = false;
    std::uint64_t attempts_ = 0; // start() calls, so a stop() can outrun one
    std::function<void(QString)> onLost_;
    std::shared_ptr<Stream> stream_; // the record stream while running

    friend class Stream;
    mutable std::mutex mutex_; // guards peak_, rate_ and the converter inside Stream
    float peak_ = 0;
    double rate_ = 48000.0;
};

} // namespace lantern
