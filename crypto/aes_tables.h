// The constant tables of the AES round functions, computed by the compiler from the field
// arithmetic that defines them, so every entry is right by construction and none is computed
// at run time. Internal to the AES module.
//
// Words are little-endian column images: byte 0 of a table word is the low 8 bits and belongs
// to row 0 of the state column.
#pragma once

#include <array>
#include <cstdint>

namespace qiv {
namespace aes_detail {

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t xtime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b = static_cast<std::uint8_t>(b >> 1), a = xtime(a)) {
    if ((b & 1) != 0) product ^= a;
  }
  return product;
}

// The multiplicative group has order 255, so a^254 = a^-1 for a != 0 (and 0 maps to 0).
constexpr std::uint8_t gf_inverse(std::uint8_t a) {
  std::uint8_t result = 1;
  for (int bit = 7; bit >= 0; --bit) {
    result = gf_mul(result, result);
    if (((254 >> bit) & 1) != 0) result = gf_mul(result, a);
  }
  return a == 0 ? 0 : result;
}

constexpr std::uint8_t rotl8(std::uint8_t v, int n) {
  return static_cast<std::uint8_t>(v << n | v >> (8 - n));
}

// S(a) = affine map of a^-1: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
constexpr std::array<std::uint8_t, 256> make_sbox() {
  std::array<std::uint8_t, 256> s{};
  for (unsigned x = 0; x < 256; ++x) {
    const std::uint8_t b = gf_inverse(static_cast<std::uint8_t>(x));
    s[x] = static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^
                                     0x63);
  }
  return s;
}

constexpr std::array<std::uint8_t, 256> make_inverse(const std::array<std::uint8_t, 256>& s) {
  std::array<std::uint8_t, 256> inv{};
  for (unsigned x = 0; x < 256; ++x) inv[s[x]] = static_cast<std::uint8_t>(x);
  return inv;
}

// One column of MixColumns (or InvMixColumns) applied to a single byte in row 0: the column
// coefficients c0..c3 times the byte, packed little-endian.
constexpr std::array<std::uint32_t, 256> make_round_table(const std::array<std::uint8_t, 256>& s,
                                                          std::array<std::uint8_t, 4> c) {
  std::array<std::uint32_t, 256> t{};
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned row = 0; row < 4; ++row) {
      t[x] |= std::uint32_t{gf_mul(c[row], s[x])} << (8 * row);
    }
  }
  return t;
}

}  // namespace aes_detail

inline constexpr std::array<std::uint8_t, 256> sbx_tab = aes_detail::make_sbox();
inline constexpr std::array<std::uint8_t, 256> isb_tab = aes_detail::make_inverse(sbx_tab);
// Bytes 2·S[x], S[x], S[x], 3·S[x]: MixColumns' first column times S[x].
inline constexpr std::array<std::uint32_t, 256> ft_tab =
    aes_detail::make_round_table(sbx_tab, {0x02, 0x01, 0x01, 0x03});
// Bytes 0E·IS[x], 09·IS[x], 0D·IS[x], 0B·IS[x]: InvMixColumns' first column times IS[x].
inline constexpr std::array<std::uint32_t, 256> it_tab =
    aes_detail::make_round_table(isb_tab, {0x0E, 0x09, 0x0D, 0x0B});

// Spot checks against the published tables; the known-answer tests check the rest.
static_assert(sbx_tab[0x00] == 0x63 && sbx_tab[0x53] == 0xED && sbx_tab[0xFF] == 0x16);
static_assert(isb_tab[0x63] == 0x00 && isb_tab[0xED] == 0x53 && isb_tab[0x00] == 0x52);
static_assert(ft_tab[0x00] == 0xA56363C6u && ft_tab[0xFF] == 0x3A16162Cu);
static_assert(it_tab[0x00] == 0x50A7F451u);

}  // namespace qiv
