// Wiping secrets. A plain memset on a buffer that is never read again is a dead store the
// optimiser may delete. Here memset is called through a volatile function pointer: reading a
// volatile object is observable behaviour, so the compiler must load the pointer and make the
// call without knowing what it does, and cannot drop the stores. The library memset then clears
// whole words at a time instead of one volatile byte after another.
#pragma once

#include <sys/mman.h>

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
// For tests: called with every block a SecretBuffer gives back, just before it goes, so that a
// test can see it was wiped. The programs never set it.
namespace wipe_seam {
inline void (*released)(const std::uint8_t* block, std::size_t size) = nullptr;
}  // namespace wipe_seam

class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t size = 0)
      : size_(size), capacity_(size), bytes_(allocate(capacity_)) {}
  SecretBuffer(SecretBuffer&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), bytes_(other.bytes_) {
    other.size_ = other.capacity_ = 0;
    other.bytes_ = nullptr;
  }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  SecretBuffer& operator=(SecretBuffer&&) = delete;
  ~SecretBuffer() { release(); }

  [[nodiscard]] bool ok() const { return bytes_ != nullptr; }
  [[nodiscard]] std::uint8_t* data() { return bytes_; }
  [[nodiscard]] const std::uint8_t* data() const { return bytes_; }
  [[nodiscard]] std::size_t size() const { return size_; }

  // New bytes read as zero; bytes cut off are wiped at once. False (contents kept) when a
  // larger block could not be had.
  [[nodiscard]] bool resize(std::size_t size) {
    if (size > capacity_) {
      const std::size_t doubled = capacity_ <= SIZE_MAX / 2 ? 2 * capacity_ : size;
      if (!reserve(std::max(size, doubled))) return false;
    } else if (size < size_) {
      wipe(bytes_ + size, size_ - size);
    }
    size_ = size;
    return true;
  }

  // Room for `capacity` bytes without another move. False (contents kept) when it could not
  // be had.
  [[nodiscard]] bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    std::uint8_t* larger = allocate(capacity);
    if (larger == nullptr || bytes_ == nullptr) {
      free_block(larger, capacity);
      return false;
    }
    std::memcpy(larger, bytes_, size_);
    release();
    bytes_ = larger;
    capacity_ = capacity;
    return true;
  }

 private:
  // Blocks from this size on are mapped straight from the kernel, zero already, and asked to
  // be backed by 2 MiB pages: a whole image then costs a few dozen page faults instead of tens
  // of thousands, which on a virtual machine took longer than hashing it.
  static constexpr std::size_t kMapped = std::size_t{2} << 20;

  static std::uint8_t* allocate(std::size_t size) {
    if (size < kMapped) return new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]();
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    static_cast<void>(::madvise(block, size, MADV_HUGEPAGE));  // a hint: ignored where unsupported
#endif
    return static_cast<std::uint8_t*>(block);
  }
  static void free_block(std::uint8_t* block, std::size_t size) {
    if (block == nullptr) return;
    if (wipe_seam::released != nullptr) wipe_seam::released(block, size);
    if (size < kMapped) {
      delete[] block;
    } else {
      ::munmap(block, size);
    }
  }
  void release() {
    if (bytes_ != nullptr) wipe(bytes_, capacity_);
    free_block(bytes_, capacity_);
    bytes_ = nullptr;
  }

  std::size_t size_;
  std::size_t capacity_;
  std::uint8_t* bytes_;
};

}  // namespace qiv
