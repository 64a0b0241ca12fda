#pragma once
// The buffer an outgoing line (or a batch of lines) is built in before it is sent. Unlike
// std::string it hands out room at its end without filling it first, and it keeps its
// capacity between lines (up to a point: see release_if_large).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace qv {

class LineBuffer {
 public:
  // Up to this size the capacity doubles. Past it a buffer grows by half of what it holds,
  // or to exactly what is needed when that is more: many lines still cost few copies, while
  // one huge line takes no more memory than it needs (doubling could ask for more than the
  // machine has).
  static constexpr std::size_t kDoublingLimit = std::size_t{1} << 20;
  // What release_if_large lets a buffer keep between lines.
  static constexpr std::size_t kKeptCapacity = std::size_t{64} << 10;

  // Room for `bytes` more bytes at the end; commit() says how many were written.
  // Throws std::bad_alloc (the buffer is then unchanged).
  char* prepare(std::size_t bytes) {
    if (bytes > capacity_ - size_) grow(bytes);
    return data_.get() + size_;
  }
  void commit(std::size_t bytes) noexcept { size_ += bytes; }

  void clear() noexcept { size_ = 0; }
  void assign(std::string_view text) {
    clear();
    append(text);
  }
  void append(std::string_view text) {
    if (text.empty()) return;  // a buffer never grown has no memory: memcpy(nullptr, ...) is UB
    std::memcpy(prepare(text.size()), text.data(), text.size());
    commit(text.size());
  }
  // Empties the buffer, and gives its memory back when a long line made it large.
  void release_if_large() noexcept {
    clear();
    if (capacity_ > kKeptCapacity) {
      data_.reset();
      capacity_ = 0;
    }
  }

  const char* data() const noexcept { return data_.get(); }
  char* data() noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  void grow(std::size_t more) {
    if (more > SIZE_MAX - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + more;
    std::size_t capacity = needed;
    if (needed <= kDoublingLimit) {
      capacity = capacity_ ? capacity_ * 2 : 256;
      while (capacity < needed) capacity *= 2;
    } else if (capacity_ / 2 < SIZE_MAX - capacity_ && capacity_ + capacity_ / 2 > needed) {
      capacity = capacity_ + capacity_ / 2;
    }
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace qv
