// A destination buffer with guard bytes on both sides, to prove an operation writes nothing
// outside the record it was given. The buffer is exactly the record's size inside a larger
// allocation; the sanitizer build catches reads past it, the guards catch writes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

class Guarded {
 public:
  static constexpr std::size_t kGuard = 64;
  static constexpr std::uint8_t kGuardByte = 0xE7;

  explicit Guarded(std::size_t size, std::uint8_t fill = 0)
      : size_(size), bytes_(size + 2 * kGuard, kGuardByte) {
    std::fill_n(data(), size, fill);
  }
  std::uint8_t* data() { return bytes_.data() + kGuard; }
  const std::uint8_t* data() const { return bytes_.data() + kGuard; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data(), size_}; }
  std::vector<std::uint8_t> contents() const { return {data(), data() + size_}; }
  bool guards_intact() const {
    auto intact = [](auto first, auto last) {
      return std::all_of(first, last, [](std::uint8_t b) { return b == kGuardByte; });
    };
    return intact(bytes_.begin(), bytes_.begin() + kGuard) &&
           intact(bytes_.end() - kGuard, bytes_.end());
  }

 private:
  std::size_t size_;
  std::vector<std::uint8_t> bytes_;
};
