#pragma once
// The buffer a client builds each outgoing line in. Unlike std::string it hands out room at
// its end without filling it first, and it keeps its capacity between lines.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace qv {

class LineBuffer {
 public:
  // Room for `bytes` more bytes at the end; commit() says how many were written.
  char* prepare(std::size_t bytes) {
    if (size_ + bytes > capacity_) grow(size_ + bytes);
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

  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  void grow(std::size_t needed) {
    std::size_t capacity = capacity_ ? capacity_ * 2 : 256;
    while (capacity < needed) capacity *= 2;
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
