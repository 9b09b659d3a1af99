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
        capture,    // what keeps the capture from the sound
        running,    // the source application is not running
        silence,    // the captured sound has been silent
        microphone, // the microphone failed or was lost
    };

    const QString& text() const { return text_; }
    Kind kind() const { return kind_; }

    // Each returns whether the text changed.
    bool show(Kind kind, const QString& text) {
        kind_ = text.isEmpty() ? Kind::none : kind;
        return replace(text);
    }
    bool clear(Kind kind) { return kind_ == kind ? show(Kind::none, {}) : false; }
    bool clearAll() { return show(Kind::none, {}); }

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
