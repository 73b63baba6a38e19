// Wiping secrets. A plain memset on a buffer that is never read again is a dead store the
// optimiser may delete. Here memset is called through a volatile function pointer: reading a
// volatile object is observable behaviour, so the compiler must load the pointer and make the
// call without knowing what it does, and cannot drop the stores. The library memset then clears
// whole words at a time instead of one volatile byte after another.
#pragma once

#include <algorithm>
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

// A zero-filled heap buffer for secret material (plain code, a decrypted key file, a file read
// whole), wiped before it is released. Allocation does not throw: ok() is false when the memory
// could not be had, and resize() returns false, and the caller fails the operation instead.
// It may grow: resize() moves the contents to a larger block by hand and wipes the old one, so
// no copy is ever left to the allocator. Capacity at least doubles, so appending a file in
// chunks copies each byte a bounded number of times. Invariant: every byte past size() up to
// the capacity is zero.
class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t size = 0)
      : size_(size), capacity_(size), bytes_(allocate(size)) {}
  SecretBuffer(SecretBuffer&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), bytes_(std::move(other.bytes_)) {
    other.size_ = other.capacity_ = 0;
  }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  SecretBuffer& operator=(SecretBuffer&&) = delete;
  ~SecretBuffer() { release(); }

  [[nodiscard]] bool ok() const { return bytes_ != nullptr; }
  [[nodiscard]] std::uint8_t* data() { return bytes_.get(); }
  [[nodiscard]] const std::uint8_t* data() const { return bytes_.get(); }
  [[nodiscard]] std::size_t size() const { return size_; }

  // New bytes read as zero; bytes cut off are wiped at once. False (contents kept) when a
  // larger block could not be had.
  [[nodiscard]] bool resize(std::size_t size) {
    if (size > capacity_) {
      const std::size_t doubled = capacity_ <= SIZE_MAX / 2 ? 2 * capacity_ : size;
      if (!reserve(std::max(size, doubled))) return false;
    } else if (size < size_) {
      wipe(bytes_.get() + size, size_ - size);
    }
    size_ = size;
    return true;
  }

  // Room for `capacity` bytes without another move. False (contents kept) when it could not
  // be had.
  [[nodiscard]] bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    std::unique_ptr<std::uint8_t[]> larger = allocate(capacity);
    if (!larger || !bytes_) return false;
    std::memcpy(larger.get(), bytes_.get(), size_);
    release();
    bytes_ = std::move(larger);
    capacity_ = capacity;
    return true;
  }

 private:
  static std::unique_ptr<std::uint8_t[]> allocate(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]());
  }
  void release() {
    if (bytes_) wipe(bytes_.get(), capacity_);
    bytes_.reset();
  }

  std::size_t size_;
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

}  // namespace qiv
