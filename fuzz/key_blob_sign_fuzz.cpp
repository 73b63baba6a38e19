// The private key blob loader and the signing wrappers fed unprotected garbage: arbitrary
// blobs, in either form, over an arbitrary message or digest.
//
// Input: [form: u8, as a signed value][mode: u8][message length: u16][message][blob: the rest]
// mode bit 0 selects Generate_PSS_RSASignature2 (hashes the message) over
// Generate_PSS_RSASignature (the message bytes are the digest, of any length).
// The blob sits in a heap buffer of exactly its length: a read past the blob is a sanitizer
// report. The generator is reset per input, so every input signs with the same salt each run.
// Invariants:
// - the result is 0 or QIV_SBL_SIGN_FAILED; 0 only when sbl::load_private_key_blob accepts the
//   blob, and always when the blob is also a consistent key whose public part (the blob's e,
//   or 65537 for the plain form) matches it: the wrapper checks each signature with that public
//   part, so a key whose private values disagree with it signs nothing;
// - a refusal writes neither the signature nor its length;
// - a success stores 4k in the length and writes exactly 4k signature bytes (guards);
// - when the blob is a mathematically consistent key (ref::crt_key_consistent, or for the
//   plain form a public exponent derivable from its primes), the signature verifies under an
//   independent verifier. A key the loader accepts must never yield a wrong signature.
#include <optional>
#include <vector>

#include "crypto/crypto.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"
#include "rsa/rsa.h"
#include "sbl/private_key_blob.h"
#include "sbl/sbl.h"
#include "tests/support/fixed_noise.h"

namespace {

constexpr std::uint32_t kSignatureRoom = 256;
constexpr std::uint8_t kUnwritten = 0x5A;
constexpr std::uint32_t kUnwrittenLength = 0xDEADBEEF;

// An independent walk over the blob's components: each u32 length and its bytes, as long as
// they lie inside the blob.
std::vector<std::span<const std::uint8_t>> components(std::span<const std::uint8_t> blob) {
  std::vector<std::span<const std::uint8_t>> out;
  std::size_t at = 0;
  while (blob.size() - at >= 4) {
    const std::uint32_t len = fuzz::le32(blob.data() + at);
    at += 4;
    if (blob.size() - at < len) break;
    out.push_back(blob.subspan(at, len));
    at += len;
  }
  return out;
}

// The public exponent under which the signer's output must verify, when the blob is a whole,
// consistent key; nothing otherwise.
std::optional<fuzz::Bytes> public_exponent(bool crt, std::span<const std::uint8_t> blob) {
  const auto c = components(blob);
  if (crt) {
    if (c.size() < 8) return std::nullopt;
    if (!ref::crt_key_consistent({c[0], c[1], c[3], c[4], c[5], c[6], c[7]})) return std::nullopt;
    return fuzz::Bytes(c[1].begin(), c[1].end());
  }
  if (c.size() < 4) return std::nullopt;
  fuzz::Bytes e = ref::plain_key_public_exponent(c[0], c[1], c[2], c[3]);
  if (e.empty()) return std::nullopt;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const auto form = static_cast<std::int32_t>(static_cast<std::int8_t>(in.u8()));
  const std::uint8_t mode = in.u8();
  const fuzz::Bytes messageBytes = in.bytes(in.u16());
  const fuzz::Bytes blobBytes = in.rest();
  const fuzz::Exact message(messageBytes);
  const fuzz::Exact blob(blobBytes);
  const bool crt = form == QIV_SBL_FORM_CRT;
  const bool hashFirst = (mode & 1) != 0;

  QIV_RSA_PRIVATE_KEY key{};
  const bool loads =
      sbl::load_private_key_blob(blob.span(), crt ? sbl::KeyForm::kCrt : sbl::KeyForm::kPlain, key);
  const std::uint32_t k = key.n_count;

  qiv_test_reset_random();
  fuzz::Guarded signature(kSignatureRoom, kUnwritten);
  std::uint32_t signatureLen = kUnwrittenLength;
  const std::int32_t rc =
      hashFirst
          ? Generate_PSS_RSASignature2(form, blob.data(), fuzz::u32(blob.size()), message.data(),
                                       fuzz::u32(message.size()), signature.data(), &signatureLen)
          : Generate_PSS_RSASignature(form, blob.data(), fuzz::u32(blob.size()), message.data(),
                                      fuzz::u32(message.size()), signature.data(), &signatureLen);

  FUZZ_CHECK(rc == 0 || rc == QIV_SBL_SIGN_FAILED);
  FUZZ_CHECK(rc != 0 || loads);
  const std::optional<fuzz::Bytes> consistentE =
      loads ? public_exponent(crt, blob.span()) : std::nullopt;
  if (consistentE && (crt || *consistentE == fuzz::Bytes{0x01, 0x00, 0x01, 0x00})) {
    FUZZ_CHECK(rc == 0);
  }
  FUZZ_CHECK(blob.equals(blobBytes) && message.equals(messageBytes));
  FUZZ_CHECK(signature.guards_intact());
  const auto untouched = [&](std::size_t from) {
    return std::all_of(signature.data() + from, signature.data() + kSignatureRoom,
                       [](std::uint8_t b) { return b == kUnwritten; });
  };
  if (rc != 0) {
    FUZZ_CHECK(signatureLen == kUnwrittenLength && untouched(0));
    return 0;
  }
  FUZZ_CHECK(k >= 11 && k <= 64 && signatureLen == 4 * k && untouched(4 * k));

  if (const auto& e = consistentE) {
    const auto c = components(blob.span());
    const ref::Sha1 hashed = ref::sha1(message.span());
    const std::span<const std::uint8_t> digest =
        hashFirst ? std::span<const std::uint8_t>(hashed) : message.span();
    FUZZ_CHECK(ref::pss_verify(c[0], std::span(signature.data(), 4 * k), *e, digest));
  }
  return 0;
}
