#include "core/stream/stream_session.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <utility>

namespace lantern {

using asio::ip::tcp;

StreamSession::StreamSession(tcp::socket& socket, asio::io_context& lane,
                             asio::mutable_buffer scratch, std::weak_ptr<void> owner,
                             std::function<void()> close)
    : socket_(socket), lane_(lane), scratch_(scratch), owner_(std::move(owner)),
      close_(std::move(close)) {}

void StreamSession::start(std::uint64_t id, Fanout::Seat seat, std::string head,
                          const TitleAt* titleAt) {
    id_ = id;
    joined_ = std::chrono::steady_clock::now();
    seat_ = std::move(seat);
    icy_ = titleAt;
    head_ = std::move(head);
    unsent_.emplace_back(asio::buffer(head_));
    takeQueued();
    lastProgress_ = std::chrono::steady_clock::now();
    pump();
    watchPeer();
}

bool StreamSession::stalledSince(std::chrono::steady_clock::time_point before) const {
    return writing_ && lastProgress_ < before;
}

std::optional<UplinkWatch::Listener> StreamSession::uplinkSample() {
    if (!seat_) return std::nullopt;
    int waiting = 0;
    if (::ioctl(socket_.native_handle(), SIOCOUTQ, &waiting) != 0) waiting = 0;
    const auto unsent = std::min<std::uint64_t>(sent_, static_cast<std::uint64_t>(waiting));
    return UplinkWatch::Listener{.id = id_,
                                 .joined = joined_,
                                 .taken = sent_ - unsent,
                                 .waiting = unsent,
                                 .light = false,
                                 .remote = true,
                                 .heard = {}};
}

void StreamSession::finish() {
    seat_.leave();
    close_();
}

void StreamSession::letGo() {
    std::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    finish();
}

void StreamSession::pump() {
    while (seat_) {
        if (unsent_.empty()) {
            held_.clear();
            blocks_.clear();
            takeQueued();
            if (unsent_.empty()) return awaitChunk();
        }
        std::error_code error;
        const auto written = socket_.write_some(unsent_, error);
        if (error == asio::error::would_block) return awaitWritable();
        if (error) return finish();
        lastProgress_ = std::chrono::steady_clock::now();
        sent_ += written;
        consume(written);
    }
}

void StreamSession::takeQueued() {
    const auto from = held_.size();
    seat_->takeAll(held_);
    for (auto i = from; i < held_.size(); ++i)
        queue(held_[i]);
}

void StreamSession::queue(const Chunk& chunk) {
    if (!icy_) return unsent_.push_back(chunk.buffer());
    for (std::size_t at = 0; at < chunk.size();) {
        const auto piece = std::min(untilTitle_, chunk.size() - at);
        unsent_.emplace_back(chunk.bytes().data() + at, piece);
        at += piece;
        untilTitle_ -= piece;
        if (untilTitle_ > 0) continue;
        untilTitle_ = Icy::metaint;
        const auto when = chunk.publishedAt(std::min(at, chunk.size() - 1));
        auto title = when ? (*icy_)(*when).value_or("") : std::string();
        blocks_.push_back(title == shownTitle_ ? std::string(1, '\0') : Icy::block(title));
        shownTitle_ = std::move(title);
        unsent_.emplace_back(asio::buffer(blocks_.back()));
    }
}

void StreamSession::consume(std::size_t written) {
    std::size_t done = 0;
    while (done < unsent_.size() && written >= unsent_[done].size())
        written -= unsent_[done++].size();
    unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(done));
    if (!unsent_.empty()) unsent_.front() += written;
}

void StreamSession::awaitWritable() {
    writing_ = true;
    socket_.async_wait(tcp::socket::wait_write,
                       [this, owner = owner_.lock()](std::error_code error) {
                           writing_ = false;
                           if (error) return finish();
                           pump();
                       });
}

void StreamSession::awaitChunk() {
    seat_->next(
        asio::bind_executor(lane_, [this, owner = owner_.lock()](std::optional<Chunk> chunk) {
            // The stream may have been finished (the peer hung up, it
            // stalled) while the chunk was on its way.
            if (!chunk || !seat_) return finish();
            held_.clear();
            blocks_.clear();
            held_.push_back(std::move(*chunk));
            queue(held_.back());
            takeQueued();
            pump();
        }));
}

void StreamSession::watchPeer() {
    socket_.async_wait(tcp::socket::wait_read,
                       [this, owner = owner_.lock()](std::error_code error) {
                           if (!error) {
                               socket_.read_some(scratch_, error);
                               if (!error || error == asio::error::would_block) return watchPeer();
                               if (error == asio::error::eof) return;
                           }
                           finish();
                       });
}

} // namespace lantern
