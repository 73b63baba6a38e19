// Wiping secrets. A plain memset on a buffer that is never read again is a dead store the
// optimiser may delete; stores through a volatile lvalue are observable behaviour and stay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qiv {

inline void wipe(void* p, std::size_t n) {
  auto* v = static_cast<volatile std::uint8_t*>(p);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0;
}

template <typename T>
void wipe_object(T& obj) {
  wipe(&obj, sizeof obj);
}

// A local array for secret material that is zeroed on every path out of its scope.
template <typename T, std::size_t N>
struct SecretArray {
  std::array<T, N> v{};

  SecretArray() = default;
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;
  ~SecretArray() { wipe(v.data(), sizeof v); }

  T* data() { return v.data(); }
  const T* data() const { return v.data(); }
  T& operator[](std::size_t i) { return v[i]; }
  const T& operator[](std::size_t i) const { return v[i]; }
  static constexpr std::size_t size() { return N; }
};

}  // namespace qiv
