// Wiping secrets. A plain memset on a buffer that is never read again is a dead store the
// optimiser may delete. Here memset is called through a volatile function pointer: reading a
// volatile object is observable behaviour, so the compiler must load the pointer and make the
// call without knowing what it does, and cannot drop the stores. The library memset then clears
// whole words at a time instead of one volatile byte after another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace qiv {

inline void wipe(void* p, std::size_t n) {
  static void* (*const volatile clear)(void*, int, std::size_t) = std::memset;
  if (n != 0) clear(p, 0, n);
}

template <typename T>
void wipe_object(T& obj) {
  wipe(&obj, sizeof obj);
}

// A value-initialised (all-zero) T that is wiped on every path out of its scope: keys, their
// schedules, HMAC states, private key records. T is a plain record or array, trivially
// copyable, so wiping its bytes ends its contents.
template <typename T>
class Wiped {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Wiped() = default;
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { wipe(&value_, sizeof value_); }

  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }
  T* get() { return &value_; }

  // For an array T (SecretArray): its elements directly.
  auto* data() { return value_.data(); }
  const auto* data() const { return value_.data(); }
  decltype(auto) operator[](std::size_t i) { return value_[i]; }
  decltype(auto) operator[](std::size_t i) const { return value_[i]; }
  static constexpr std::size_t size() { return sizeof(T) / sizeof(value_[0]); }

 private:
  T value_{};
};

// A local array for secret material that is zeroed on every path out of its scope.
template <typename T, std::size_t N>
using SecretArray = Wiped<std::array<T, N>>;

// A zero-filled heap buffer for secret material (plain code, a decrypted key file), wiped
// before it is released. Allocation does not throw: ok() is false when the memory could not be
// had, and the caller fails the operation instead.
class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t size)
      : size_(size), bytes_(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]()) {}
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() {
    if (bytes_) wipe(bytes_.get(), size_);
  }

  [[nodiscard]] bool ok() const { return bytes_ != nullptr; }
  [[nodiscard]] std::uint8_t* data() { return bytes_.get(); }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

}  // namespace qiv
