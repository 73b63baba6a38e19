// Small renderings shared by every description: hex, key fingerprints, dates, and the names of
// the kinds.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "crypto/crypto.h"
#include "inspect/describe.h"

namespace inspect {

std::string_view kind_id(Kind kind) {
  switch (kind) {
    case Kind::kUnreadable:
      return "unreadable";
    case Kind::kTooLarge:
      return "too-large";
    case Kind::kUnknown:
      return "unknown";
    case Kind::kEFuseV21:
      return "efuse-v21";
    case Kind::kEFuseV11:
      return "efuse-v11";
    case Kind::kSignedPublicKeyFileV21:
      return "public-key-file-v21";
    case Kind::kMakerPublicKeyFileV11:
      return "maker-public-key-file-v11";
    case Kind::kPublicKeyRecordV11:
      return "public-key-record-v11";
    case Kind::kProtectedPrivateKeyV21:
      return "protected-private-key-v21";
    case Kind::kProtectedPrivateKeyV11:
      return "protected-private-key-v11";
    case Kind::kProtectedPrivateRecordV11:
      return "protected-private-key-record-v11";
    case Kind::kKeyReference:
      return "key-reference";
    case Kind::kSecuredBl1V21:
      return "secured-bl1-v21";
    case Kind::kSecuredBl1V21BuildInfo:
      return "secured-bl1-v21-build-info";
    case Kind::kSecuredBl1V11:
      return "secured-bl1-v11";
    case Kind::kSignedBl2V21:
      return "signed-bl2-v21";
    case Kind::kSignedBl2V11:
      return "signed-bl2-v11";
    case Kind::kPublicKeySpki:
      return "public-key-spki";
    case Kind::kPublicKeyPkcs1:
      return "public-key-pkcs1";
  }
  return "unknown";
}

std::string_view kind_text(Kind kind) {
  switch (kind) {
    case Kind::kUnreadable:
      return "cannot be read";
    case Kind::kTooLarge:
      return "too large to inspect";
    case Kind::kUnknown:
      return "not a file of this tool chain";
    case Kind::kEFuseV21:
      return "eFuse value, v2.1";
    case Kind::kEFuseV11:
      return "eFuse value, v1.1";
    case Kind::kSignedPublicKeyFileV21:
      return "v2.1 signed public key file (maker publicKeyInfo_V21.dat or customer _V21.spk)";
    case Kind::kMakerPublicKeyFileV11:
      return "v1.1 maker public key file (publicKeyInfo.dat)";
    case Kind::kPublicKeyRecordV11:
      return "v1.1 customer public key record (.spk)";
    case Kind::kProtectedPrivateKeyV21:
      return "v2.1 protected private key file (privateKey_V21.dat or customer _V21.prv)";
    case Kind::kProtectedPrivateKeyV11:
      return "v1.1 protected maker private key (privateKey.dat)";
    case Kind::kProtectedPrivateRecordV11:
      return "v1.1 protected customer private key (.prv)";
    case Kind::kKeyReference:
      return "key reference: a private key kept in a hardware token (PKCS#11)";
    case Kind::kSecuredBl1V21:
      return "secured BL1 image, v2.1";
    case Kind::kSecuredBl1V21BuildInfo:
      return "secured BL1 image, v2.1, with build-information block";
    case Kind::kSecuredBl1V11:
      return "secured BL1 image, v1.1";
    case Kind::kSignedBl2V21:
      return "signed BL2 image, v2.1 (checked with --key)";
    case Kind::kSignedBl2V11:
      return "signed BL2 image, v1.1 (checked with --key)";
    case Kind::kPublicKeySpki:
      return "RSA public key, X.509 SubjectPublicKeyInfo";
    case Kind::kPublicKeyPkcs1:
      return "RSA public key, PKCS#1 RSAPublicKey";
  }
  return "not a file of this tool chain";
}

namespace detail {

std::string hex(ByteView bytes) {
  return hex_text(bytes);
}

std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> sha1(ByteView first, ByteView second) {
  // Every input is a file of at most kMaxFileSize bytes, so each length fits the u32 counts.
  // An empty piece is skipped: the primitive refuses a null pointer even for zero bytes.
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> digest{};
  QIV_SHA1_CTX ctx{};
  bool ok = QIV_SHA1_Init(&ctx) == 0;
  for (const ByteView piece : {first, second}) {
    if (ok && !piece.empty()) {
      ok = QIV_SHA1_Update(&ctx, piece.data(), static_cast<std::uint32_t>(piece.size())) == 0;
    }
  }
  if (!ok || QIV_SHA1_Final(&ctx, digest.data()) != 0) digest.fill(0);
  // The state may still hold bytes of the input, and an eFuse value is fingerprinted too.
  qiv::wipe_object(ctx);
  return digest;
}

std::string fingerprint(ByteView keyPart) {
  return key_fingerprint(keyPart);
}

std::string utc_date(std::uint32_t seconds) {
  using namespace std::chrono;
  const sys_seconds at{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(at);
  const year_month_day ymd{day};
  const hh_mm_ss<std::chrono::seconds> time{at - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC", int{ymd.year()},
                unsigned{ymd.month()}, unsigned{ymd.day()}, static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return text;
}

std::uint32_t bit_length(ByteView number) {
  for (std::size_t i = number.size(); i-- > 0;) {
    if (number[i] == 0) continue;
    std::uint32_t bits = 8;
    while ((number[i] & (1u << (bits - 1))) == 0) --bits;
    return static_cast<std::uint32_t>(8 * i) + bits;
  }
  return 0;
}

bool all_bytes_are(ByteView bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

std::optional<std::string> zero_padded_text(ByteView bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  const ByteView text(bytes.data(), static_cast<std::size_t>(end - bytes.begin()));
  const auto printable = [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; };
  if (!std::all_of(text.begin(), text.end(), printable)) return std::nullopt;
  if (!all_bytes_are(bytes.subspan(text.size()), 0)) return std::nullopt;
  return std::string(text.begin(), text.end());
}

}  // namespace detail
}  // namespace inspect
