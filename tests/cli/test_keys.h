// Key material for the key-file tests: records with the component sizes of full-size keys and
// distinct digits (component number in the top byte), so that any misplaced, reordered or
// truncated component shows in the bytes. Layouts are what is tested here, not arithmetic.
#pragma once

#include <cstdint>
#include <vector>

#include "format/format.h"
#include "rsa/rsa.h"

inline QIV_RSA_PRIVATE_KEY synthetic_key(sbl::KeyForm form) {
  QIV_RSA_PRIVATE_KEY key{};
  const std::uint32_t k = form == sbl::KeyForm::kCrt ? 64 : 32;
  const auto fill = [](std::uint32_t* digits, std::uint32_t& count, std::uint32_t n,
                       std::uint32_t tag) {
    count = n;
    for (std::uint32_t i = 0; i < n; ++i) digits[i] = tag << 24 | (i * 0x010203u + 1);
  };
  fill(key.n, key.n_count, k, 0x81);  // top bits set: a normalised modulus
  key.e[0] = form == sbl::KeyForm::kCrt ? 3 : 65537;
  key.e_count = 1;
  fill(key.d, key.d_count, k, 3);
  fill(key.p, key.p_count, k / 2, 0x85);  // p > q, as the CRT recombination needs
  fill(key.q, key.q_count, k / 2, 0x84);
  fill(key.dP, key.dP_count, k / 2, 6);
  fill(key.dQ, key.dQ_count, k / 2, 7);
  fill(key.qInv, key.qInv_count, k / 2, 8);
  return key;
}

inline std::vector<std::uint8_t> synthetic_blob(sbl::KeyForm form) {
  std::vector<std::uint8_t> blob(2048);
  blob.resize(put_private_key_blob(form, synthetic_key(form), blob));
  return blob;
}

inline std::uint32_t le32_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
         std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

// Bounds-checked: g++ 12 at -O3 cannot see that the offsets fit and warns on the plain store.
inline void set_le32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i)
    bytes.at(offset + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
