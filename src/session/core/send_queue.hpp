#pragma once
// The tagged lines a session has to write, in order, kept in one buffer so that many lines
// leave in one write. A line can be taken out again as long as none of it has left: a
// request given up while the server does not read (timed out, cancelled) then costs nothing
// more, however many follow it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>

#include "commands/core/wire_line.hpp"
#include "net/line_buffer.hpp"

namespace qv {

class SendQueue {
 public:
  // Appends `text` as the wire line of request `tag`. Tags only grow from one line to the
  // next. Throws std::bad_alloc (the queue is then unchanged).
  void add(std::string_view text, std::uint64_t tag) {
    // Room first, so that nothing below can fail half-way.
    (void)bytes_.prepare(text.size() + kMaxTagSuffix);
    lines_.push_back(Segment{tag, bytes_.size(), 0, true});
    bytes_.append(text);
    append_tag_suffix(bytes_, tag);
    lines_.back().end = bytes_.size();
  }

  // Takes out the line of `tag` unless some of it has left already (or it is not queued):
  // the stream must stay whole lines. True when taken out.
  bool withdraw(std::uint64_t tag) noexcept {
    auto at = find(tag);
    if (at == lines_.end() || !at->live || at->begin < sent_) return false;
    at->live = false;
    dead_ += at->end - at->begin;
    ++dead_lines_;
    // Memory back once most of what waits is given up: each byte is moved a bounded number
    // of times.
    if (dead_ * 2 >= bytes_.size() - sent_) compact();
    return true;
  }

  bool empty() const noexcept { return sent_ == bytes_.size(); }

  // The bytes that can leave next in one piece (empty when nothing waits).
  std::string_view next() noexcept {
    skip_dead();
    std::size_t end = bytes_.size();
    if (dead_lines_ > 0) {
      for (const Segment& line : lines_) {
        if (!line.live && line.begin >= sent_) {
          end = line.begin;
          break;
        }
      }
    }
    return {bytes_.data() + sent_, end - sent_};
  }

  // `count` bytes of next() have left.
  void sent(std::size_t count) noexcept {
    sent_ += count;
    while (!lines_.empty() && lines_.front().end <= sent_) lines_.pop_front();
    skip_dead();
    if (empty()) clear();
  }

  // Everything is dropped (the connection is gone).
  void clear() noexcept {
    bytes_.release_if_large();
    lines_.clear();
    sent_ = dead_ = dead_lines_ = 0;
  }

  // Calls `each(line)` for every line that has not started to leave, in order (for a trace).
  template <class Each>
  void each_waiting(Each&& each) const {
    for (const Segment& line : lines_) {
      if (line.live && line.begin >= sent_)
        each(std::string_view(bytes_.data() + line.begin, line.end - line.begin));
    }
  }

  // Appends every line of `other` that has not started to leave, and empties it (lines
  // queued while connecting go out once logged in). Throws std::bad_alloc.
  void take_from(SendQueue& other) {
    for (const Segment& line : other.lines_) {
      if (!line.live || line.begin < other.sent_) continue;
      const std::size_t begin = bytes_.size();
      bytes_.append(std::string_view(other.bytes_.data() + line.begin, line.end - line.begin));
      lines_.push_back(Segment{line.tag, begin, bytes_.size(), true});
    }
    other.clear();
  }

 private:
  struct Segment {
    std::uint64_t tag;
    std::size_t begin, end;  // in bytes_
    bool live;
  };

  std::deque<Segment>::iterator find(std::uint64_t tag) noexcept {
    // Tags grow along the queue.
    std::size_t lo = 0, hi = lines_.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (lines_[mid].tag < tag) lo = mid + 1; else hi = mid;
    }
    if (lo < lines_.size() && lines_[lo].tag == tag) return lines_.begin() + lo;
    return lines_.end();
  }

  void skip_dead() noexcept {
    while (!lines_.empty() && !lines_.front().live && lines_.front().begin >= sent_) {
      dead_ -= lines_.front().end - lines_.front().begin;
      --dead_lines_;
      sent_ = lines_.front().end;
      lines_.pop_front();
    }
  }

  // Moves the lines still to leave to the front of a fresh buffer, without the dead ones.
  void compact() noexcept {
    try {
      LineBuffer fresh;
      std::deque<Segment> kept;
      std::size_t sent = 0;
      for (const Segment& line : lines_) {
        if (!line.live && line.begin >= sent_) continue;
        // A line partly sent is kept whole, with its sent part counted as sent again.
        if (line.begin < sent_) sent = fresh.size() + (sent_ - line.begin);
        const std::size_t begin = fresh.size();
        fresh.append(std::string_view(bytes_.data() + line.begin, line.end - line.begin));
        kept.push_back(Segment{line.tag, begin, fresh.size(), line.live});
      }
      bytes_ = std::move(fresh);
      lines_ = std::move(kept);
      sent_ = sent;
      dead_ = dead_lines_ = 0;
    } catch (...) {
      // No memory for the copy: the dead lines stay until they are skipped.
    }
  }

  LineBuffer bytes_;
  std::deque<Segment> lines_;  // the lines not wholly sent, in order
  std::size_t sent_ = 0;       // bytes_[0, sent_) have left
  std::size_t dead_ = 0;       // bytes of withdrawn lines still in bytes_
  std::size_t dead_lines_ = 0;
};

}  // namespace qv
