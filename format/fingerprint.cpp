#include <array>

#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "format/format.h"

std::string key_fingerprint(std::span<const std::uint8_t> keyPart) {
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> digest{};
  QIV_SHA1_CTX ctx{};
  // A key part is at most a few hundred bytes, so its length fits the u32 count; an empty one
  // is skipped, since the primitive refuses a null pointer even for zero bytes.
  bool ok = QIV_SHA1_Init(&ctx) == 0;
  if (ok && !keyPart.empty()) {
    ok = QIV_SHA1_Update(&ctx, keyPart.data(), static_cast<std::uint32_t>(keyPart.size())) == 0;
  }
  if (!ok || QIV_SHA1_Final(&ctx, digest.data()) != 0) digest.fill(0);
  qiv::wipe_object(ctx);
  return hex_text(std::span(digest).first<kFingerprintBytes>());
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}
