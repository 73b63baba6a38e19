#include "core/digest.h"

#include "crypto/crypto.h"

std::array<std::uint8_t, 32> sha256_of(std::span<const std::uint8_t> bytes) {
  static_assert(QIV_SHA256_DIGEST_LEN == 32);
  std::array<std::uint8_t, 32> digest{};
  if (QIV_SHA256(bytes.data(), bytes.size(), digest.data()) != 0) digest.fill(0);
  return digest;
}
