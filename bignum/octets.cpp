// Conversion between big numbers and big-endian octet strings.

#include "bignum/bignum.h"

// Digit k comes from the four bytes ending 4k bytes before the end of the string, most
// significant byte first. Only whole 4-byte groups are read, counted from the end.
void OS2BN(std::uint32_t* dst, const std::uint8_t* src, std::uint32_t byteLen) {
  const std::uint32_t n = byteLen / 4;
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint8_t* s = src + (byteLen - 4 * k - 4);
    dst[k] = (std::uint32_t{s[0]} << 24) | (std::uint32_t{s[1]} << 16) |
             (std::uint32_t{s[2]} << 8) | std::uint32_t{s[3]};
  }
}

// Bytes 4k .. 4k+3 of the output are digit n-1-k, most significant byte first.
void BN2OS(std::uint8_t* dst, const std::uint32_t* src, std::uint32_t n) {
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t digit = src[n - 1 - k];
    std::uint8_t* o = dst + 4 * k;
    o[0] = static_cast<std::uint8_t>(digit >> 24);
    o[1] = static_cast<std::uint8_t>(digit >> 16);
    o[2] = static_cast<std::uint8_t>(digit >> 8);
    o[3] = static_cast<std::uint8_t>(digit);
  }
}
