#pragma once

#include "core/stream/fanout.h"
#include "core/stream/http.h"
#include "core/stream/uplink_watch.h"

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lantern {

// One listener's stream on an accepted connection: its seat in the fan-out
// and the loop that sends what the seat is handed, with title blocks woven in
// for a player that asks for them.
//
// The connection that owns it keeps the socket, answers the request and
// closes. Everything here, its handlers included, runs on that connection's
// lane only, while the owner is held by a shared_ptr; abandon() also once the
// lane's thread has ended. Each handler holds the owner, so a stream waiting
// on its socket or its seat keeps the connection (and with it this session)
// alive until the wait completes or the lane that holds the handler is
// destroyed.
class StreamSession {
public:
    using TitleAt = std::function<std::optional<std::string>(Chunk::Clock::time_point)>;

    // Sends on `socket` from `lane`, reading into `scratch` whatever the
    // listener sends. `owner` is the connection that holds the session;
    // `close` closes that connection, once the stream is over.
    StreamSession(asio::ip::tcp::socket& socket, asio::io_context& lane,
                  asio::mutable_buffer scratch, std::weak_ptr<void> owner,
                  std::function<void()> close);
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Starts stream number `id` on `seat`: `head`, the response's head, goes
    // out in the same write as the burst that joining queued. With `titleAt`
    // (the player asks for titles) a block naming what plays follows every
    // Icy::metaint bytes of audio.
    void start(std::uint64_t id, Fanout::Seat seat, std::string head, const TitleAt* titleAt);

    // Whether the stream still holds its seat.
    bool ongoing() const { return static_cast<bool>(seat_); }
    // A stream write that has made no progress since `before`.
    bool stalledSince(std::chrono::steady_clock::time_point before) const;
    // How much of the stream the socket's peer has taken, and how much waits
    // in the socket; nothing once the stream is over.
    std::optional<UplinkWatch::Listener> uplinkSample();

    // Carries on in `to`, the same audio in another form, from the next frame.
    void moveTo(std::shared_ptr<Fanout> to) { seat_.moveTo(std::move(to)); }
    // The fan-out it gets its audio from.
    const Fanout* fanout() const { return seat_.fanout(); }
    // Gives up the seat and closes the connection.
    void finish();
    // The same with a reset, so that the tunnel drops what it still holds of
    // the stream instead of spending the uplink on it.
    void letGo();
    // Gives up the seat of a server that is going away.
    void abandon() { seat_.leave(); }

private:
    // The sending loop. Whatever the listener has queued goes out in one
    // gathered write straight from this thread's turn: a socket with room
    // takes it at once, so the usual publish costs one system call and no
    // trip through the event loop. Only a full socket waits to become
    // writable, and meanwhile chunks wait in the listener's bounded queue.
    void pump();
    // Appends every chunk the listener has queued to the write.
    void takeQueued();
    // Appends a held chunk to the write: as it is, or for a player that asks
    // for titles with a block after every Icy::metaint bytes of audio, naming
    // what plays in the audio after it.
    void queue(const Chunk& chunk);
    // Drops `written` bytes from the front of the write.
    void consume(std::size_t written);
    void awaitWritable();
    void awaitChunk();
    // Notices a listener that hangs up while nothing is being sent to it.
    // Whatever it sends after its head is read and ignored. A client that
    // only shut its sending side (end of file) still gets its stream: a real
    // hang-up shows as a failed write.
    void watchPeer();

    asio::ip::tcp::socket& socket_;
    asio::io_context& lane_;
    const asio::mutable_buffer scratch_;
    // Weak, so that a session never keeps its own connection alive: only
    // its handlers do, each holding it while it waits.
    const std::weak_ptr<void> owner_;
    const std::function<void()> close_;

    bool writing_ = false; // waiting for a full socket to take more
    std::uint64_t id_ = 0; // the stream's number, in the order they started
    std::chrono::steady_clock::time_point joined_;
    std::uint64_t sent_ = 0; // bytes of the stream the socket has taken
    std::chrono::steady_clock::time_point lastProgress_;
    std::string head_; // the response's head
    Fanout::Seat seat_;
    // The stream's write in progress: the chunks it holds and what of them
    // is still to go. Kept between writes, so a steady stream allocates nothing.
    std::vector<Chunk> held_;
    std::vector<asio::const_buffer> unsent_;
    // A player that asks for titles: what played when, audio bytes before its
    // next block, the blocks in the write (a deque: they stay put as more
    // come), the title the last one named.
    const TitleAt* icy_ = nullptr;
    std::size_t untilTitle_ = Icy::metaint;
    std::deque<std::string> blocks_;
    std::string shownTitle_;
};

} // namespace lantern
