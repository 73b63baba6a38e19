// Little-endian access to record fields. Records are byte buffers of any alignment; every u32
// field and every digit of a stored big number goes through these helpers, never through a
// cast pointer, so the code holds on any host byte order and alignment.
#pragma once

#include <cstdint>

namespace sbl {

constexpr std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

constexpr void store_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// count digits from their stored form (4 bytes each, least significant digit first).
constexpr void load_digits(std::uint32_t* dst, const std::uint8_t* src, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) dst[i] = load_le32(src + 4 * i);
}

constexpr void store_digits(std::uint8_t* dst, const std::uint32_t* src, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) store_le32(dst + 4 * i, src[i]);
}

}  // namespace sbl
