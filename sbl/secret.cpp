// Secret wiping and constant-time comparison.
#include "sbl/secret.h"

namespace sbl {

void secure_wipe(void* p, std::size_t n) {
  auto* v = static_cast<volatile std::uint8_t*>(p);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0;
  // The barrier tells the compiler the zeroed memory may be read by code it cannot see.
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n) {
  std::uint8_t diff = 0;
  for (std::uint32_t i = 0; i < n; ++i) diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

}  // namespace sbl
