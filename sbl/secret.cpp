// Constant-time comparison.
#include "sbl/secret.h"

namespace sbl {

bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n) {
  std::uint8_t diff = 0;
  for (std::uint32_t i = 0; i < n; ++i) diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

}  // namespace sbl
