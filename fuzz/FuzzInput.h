// SPDX-License-Identifier: Apache-2.0
#pragma once

// Reads a fuzz input as a sequence of choices: bytes, small numbers and strings. Once the input
// is used up every read gives zero / empty, so any input is a complete script.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace uvq::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
  // A string of up to `max` bytes; its length comes first.
  std::string text(size_t max) {
    size_t n = byte();
    if (n > max) n = max;
    if (n > size_ - pos_) n = size_ - pos_;
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Splits `text` at the first `separator`; the rest goes back into `text`.
inline std::string_view TakeUntil(std::string_view& text, char separator) {
  const size_t at = text.find(separator);
  const std::string_view head = text.substr(0, at);
  text = at == std::string_view::npos ? std::string_view{} : text.substr(at + 1);
  return head;
}

}  // namespace uvq::fuzz
