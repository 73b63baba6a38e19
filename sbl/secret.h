// Handling of secret material inside the record library: integrity keys, AES keys and their
// schedules, HMAC states and private key records live in Wiped<> locals, which are zeroed on
// every path out of their scope by a store the optimiser may not remove.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sbl {

// Zeroes n bytes. The stores go through a volatile pointer and are followed by a compiler
// barrier, so a wipe of a buffer that is never read again is not a dead store.
void secure_wipe(void* p, std::size_t n);

// A value-initialised (all-zero) T that is wiped when it goes out of scope. T is a plain record
// or array: trivially copyable, so wiping its bytes ends its contents.
template <typename T>
class Wiped {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Wiped() = default;
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { secure_wipe(&value_, sizeof value_); }

  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }
  T* get() { return &value_; }

 private:
  T value_{};
};

// True when the n bytes are equal. Examines every byte whatever it finds, so the time taken
// does not tell how many leading bytes of a tag were right.
[[nodiscard]] bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b,
                                          std::uint32_t n);

}  // namespace sbl
