// Explicit byte-order loads and stores for 32-bit words. Every multi-byte field the primitives
// read or write goes through these; no word is ever read by casting a byte pointer, so the code
// is free of alignment and aliasing assumptions and compilers still emit single moves.
#pragma once

#include <cstdint>

namespace qiv {

constexpr std::uint32_t load_be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
         std::uint32_t{p[3]};
}

constexpr void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

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

// count 32-bit words from their stored form (4 bytes each, least significant word first): how
// every big number and signature lies in a record or file.
constexpr void load_digits(std::uint32_t* dst, const std::uint8_t* src, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) dst[i] = load_le32(src + 4 * i);
}
constexpr void store_digits(std::uint8_t* dst, const std::uint32_t* src, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) store_le32(dst + 4 * i, src[i]);
}

}  // namespace qiv
