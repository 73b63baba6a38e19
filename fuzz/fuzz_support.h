// Shared pieces of the fuzzing harnesses: a reader that turns the fuzzer's bytes into fields,
// buffers with guard bytes, and the check that stops the run when an invariant breaks.
//
// Every harness defines LLVMFuzzerTestOneInput. Under libFuzzer (QIV_FUZZ=ON) each harness is
// its own fuzzer; otherwise replay_main.cpp feeds it every file of its committed corpus.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// A broken invariant is a finding: report where and abort, so that libFuzzer keeps the input
// and the replay test fails.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::abort();
}
#define FUZZ_CHECK(cond)                                 \
  do {                                                   \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond); \
  } while (0)

// Reads fields front to back. A field that runs past the end of the input is filled with
// zeros, so every input, however short, decodes to some well-defined case.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t u8() {
    std::uint8_t b = 0;
    take(&b, 1);
    return b;
  }
  std::uint16_t u16() {  // little-endian
    std::uint8_t b[2] = {};
    take(b, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
  }
  // Exactly n bytes: the input's next bytes, zero-filled past its end.
  Bytes bytes(std::size_t n) {
    Bytes out(n, 0);
    take(out.data(), n);
    return out;
  }
  // Whatever is left.
  Bytes rest() {
    Bytes out(data_ + pos_, data_ + size_);
    pos_ = size_;
    return out;
  }
  std::size_t remaining() const { return size_ - pos_; }

 private:
  void take(std::uint8_t* dst, std::size_t n) {
    const std::size_t got = std::min(n, remaining());
    if (got != 0) std::memcpy(dst, data_ + pos_, got);
    pos_ += got;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A heap buffer of exactly `size` bytes between two guard zones. AddressSanitizer sees the
// guards as ordinary memory, so the guards are what catch a stray write just past either end;
// ASan still catches anything further out. A zero-size buffer has a valid, unique address.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 32;
  static constexpr std::uint8_t kGuardByte = 0xE7;

  explicit Guarded(std::span<const std::uint8_t> contents)
      : size_(contents.size()), bytes_(contents.size() + 2 * kGuard, kGuardByte) {
    std::copy(contents.begin(), contents.end(), data());
  }
  explicit Guarded(std::size_t size, std::uint8_t fill = 0)
      : size_(size), bytes_(size + 2 * kGuard, kGuardByte) {
    std::fill_n(data(), size, fill);
  }

  std::uint8_t* data() { return bytes_.data() + kGuard; }
  const std::uint8_t* data() const { return bytes_.data() + kGuard; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data(), size_}; }
  std::span<const std::uint8_t> span() const { return {data(), size_}; }
  bool equals(std::span<const std::uint8_t> other) const {
    return other.size() == size_ && std::equal(other.begin(), other.end(), data());
  }
  bool guards_intact() const {
    const auto is_guard = [](std::uint8_t b) { return b == kGuardByte; };
    return std::all_of(bytes_.begin(), bytes_.begin() + kGuard, is_guard) &&
           std::all_of(bytes_.end() - kGuard, bytes_.end(), is_guard);
  }

 private:
  std::size_t size_;
  Bytes bytes_;
};

// An exact-size heap copy without guards, for inputs that are only read: reading one byte past
// it is an AddressSanitizer report.
class Exact {
 public:
  explicit Exact(std::span<const std::uint8_t> contents)
      : size_(contents.size()), bytes_(new std::uint8_t[contents.size()]) {
    std::copy(contents.begin(), contents.end(), bytes_.get());
  }
  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> span() const { return {bytes_.get(), size_}; }
  bool equals(std::span<const std::uint8_t> other) const {
    return other.size() == size_ && std::equal(other.begin(), other.end(), bytes_.get());
  }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

inline bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

inline std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline std::uint32_t u32(std::size_t n) { return static_cast<std::uint32_t>(n); }

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
