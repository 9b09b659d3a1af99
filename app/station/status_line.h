#pragma once

#include <QString>

namespace lantern {

// The one line under the controls, and what put it there: each kind of line
// is taken back only by what put that kind up, never by matching its words.
class StatusLine {
public:
    enum class Kind {
        none,
        message,    // a one-off outcome: a failed start, a missing tool
        broadcast,  // going on air, the tunnel reconnecting
        encoder,    // the encoder stopped: the listeners get no audio
        capture,    // what keeps the capture from the sound
        running,    // the source application is not running
        silence,    // the captured sound has been silent
        microphone, // the microphone failed or was lost
        keyring,    // listeners are held back: the passcode could not be read
        relay,      // the Icecast server the station is relayed to
        recording,  // the recording stopped, or one a crash left was finished
    };

    const QString& text() const { return text_; }
    Kind kind() const { return kind_; }

    // Each returns whether the text changed. Listeners held back outweigh
    // every other line: it stays until its own code takes it back.
    bool show(Kind kind, const QString& text) {
        if (kind_ == Kind::keyring && kind != Kind::keyring && !text.isEmpty()) return false;
        kind_ = text.isEmpty() ? Kind::none : kind;
        return replace(text);
    }
    bool clear(Kind kind) { return kind_ == kind ? show(Kind::none, {}) : false; }
    bool clearAll() {
        kind_ = Kind::none;
        return replace({});
    }

private:
    bool replace(const QString& text) {
        if (text_ == text) return false;
        text_ = text;
        return true;
    }

    QString text_;
    Kind kind_ = Kind::none;
};

} // namespace lantern
