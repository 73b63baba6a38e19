// "-STAGE2_VERIFY"'s path: a public key file of either set (v2.1 signed public key file, v1.1
// public key record) and a signed stage-2 image, through Verify_PSS_RSASignature2.
//
// Input: [choice: u8][key file length: u16][odd signature length: u16][key file][signed image]
//   choice bit 0: the v1.1 set (else v2.1); bit 1: the library call below uses the odd
//   signature length instead of the set's.
//
// The command's way, with the key built by the command core's own key-file code (key_store.h):
// - v2.1: the whole file (at most 1024 bytes) in a cleared 1024-byte key buffer; the file must
//   pass sb20_key_part_ok; then the first S - 256 image bytes are the message and the last 256
//   the signature, verified in place with key length 268.
// - v1.1: exactly 308 record bytes (a shorter file is refused as an input, so here it is
//   zero-padded; a longer one's tail is not read); sb10_verification_key builds
//   modulus-then-exponent in a cleared 1024-byte buffer; then as v2.1 with a 128-byte signature.
// The library's way, without the front end's gate: the first 268 (132) key file bytes as the
// key part, so that the v2.1 digit count comes from the record's own length fields.
// Invariants, both ways:
// - the result agrees with an independent verifier (ref::pss_verify, k and exponent read from
//   the key as the format says); a v2.1 modulus length that is not 4k with k in 6..64, or an
//   exponent length other than 4, fails;
// - a failure is exactly QIV_SBL_VERIFY_FAILED and zeroes exactly the signature; a signature
//   length other than 128 or 256 is QIV_SBL_VERIFY_BAD_LENGTH and touches nothing;
// - the key and the message are only read; nothing outside the buffers is written;
// - the key the front end builds is the record's modulus followed by its exponent bytes, and
//   nothing else, or nothing at all.
// Then the command itself (core::verify_bl2 in either set) on the same bytes written to files in
// a private folder: it must succeed exactly when the command's way above verified (and a v1.1
// key file was whole). Otherwise it is refused once: a v1.1 key file shorter than 308 bytes as
// an input, any other key file as a key, and an image that does not verify as such, each
// naming its file.
#include <array>

#include "core/commands.h"
#include "sbl/layout.h"
#include "format/format.h"
#include "fuzz/command_files.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"
#include "sbl/sbl.h"

namespace {

using Span = std::span<const std::uint8_t>;

constexpr std::uint32_t kKeyBuffer = 1024;
constexpr std::uint32_t kKeyPartV21 = 268;
constexpr std::uint32_t kKeyPartV11 = 132;
constexpr std::uint32_t kRecordV11 = 308;

// Where the verifier finds the modulus, its digit count and the exponent in a key.
struct KeyView {
  bool usable;
  Span modulus;   // 4k bytes
  Span exponent;  // one digit
};

KeyView v21_key(Span key) {
  const std::uint32_t modulusLength = fuzz::le32(key.data());
  const std::uint32_t exponentLength = fuzz::le32(key.data() + 260);
  const std::uint32_t k = modulusLength / 4;
  if (modulusLength % 4 != 0 || k < 6 || k > 64 || exponentLength != 4) return {false, {}, {}};
  return {true, key.subspan(4, 4 * k), key.subspan(264, 4)};
}

KeyView v11_key(Span key) {
  return {true, key.first(128), key.subspan(128, 4)};
}

// Splits a signed image as the commands do: message, then the last sigSize bytes.
struct SignedImage {
  explicit SignedImage(const fuzz::Bytes& file, std::uint32_t sigSize)
      : bytes(file), messageLen(fuzz::u32(file.size()) - sigSize) {}
  fuzz::Guarded bytes;
  std::uint32_t messageLen;
  std::uint8_t* signature() { return bytes.data() + messageLen; }
};

// Verifies in place and checks the outcome against the reference; true when it verified.
bool verify_and_check(Span key, std::uint32_t keyLen, const KeyView& view, const fuzz::Bytes& file,
                      std::uint32_t sigSize) {
  SignedImage image(file, sigSize);
  const fuzz::Bytes keyBefore(key.begin(), key.end());
  const Span message(image.bytes.data(), image.messageLen);
  const Span signature(file.data() + image.messageLen, sigSize);
  const std::int32_t rc = Verify_PSS_RSASignature2(key.data(), keyLen, image.bytes.data(),
                                                   image.messageLen, image.signature(), sigSize);

  const ref::Sha1 digest = ref::sha1(message);
  // An exponent that is even or below 3 proves no private key (e = 1 accepts the encoding
  // itself): refused whatever the signature, with its own code.
  const std::uint32_t e = view.usable ? fuzz::le32(view.exponent.data()) : 0;
  const bool exponentProves = e % 2 == 1 && e >= 3;
  const bool expected =
      view.usable && exponentProves &&
      ref::pss_verify(view.modulus, signature.first(view.modulus.size()), view.exponent, digest);
  FUZZ_CHECK(image.bytes.guards_intact());
  FUZZ_CHECK(std::equal(key.begin(), key.end(), keyBefore.begin()));
  FUZZ_CHECK(std::equal(message.begin(), message.end(), file.begin()));
  if (expected) {
    FUZZ_CHECK(rc == 0 && image.bytes.equals(file));
  } else {
    FUZZ_CHECK(rc ==
               (view.usable && !exponentProves ? QIV_SBL_VERIFY_BAD_KEY : QIV_SBL_VERIFY_FAILED));
    FUZZ_CHECK(fuzz::all_zero(Span(image.signature(), sigSize)));
  }
  return expected;
}

// The stage-2 command's way (see the file comment); true when the image verifies.
bool command_path(bool v11, const fuzz::Bytes& keyFile, const fuzz::Bytes& file) {
  const std::uint32_t sigSize = v11 ? 128 : 256;
  fuzz::Guarded publicKey(kKeyBuffer, 0);
  std::uint32_t keyLen = 0;
  KeyView view{};
  if (!v11) {
    if (keyFile.size() > kKeyBuffer) return false;  // refused before reading
    std::copy(keyFile.begin(), keyFile.end(), publicKey.data());
    if (!sb20_key_part_ok(Span(publicKey.data(), keyFile.size()))) return false;
    keyLen = kKeyPartV21;
    view = v21_key(publicKey.span());
  } else {
    std::array<std::uint8_t, kRecordV11> record{};
    std::copy_n(keyFile.begin(), std::min<std::size_t>(keyFile.size(), kRecordV11), record.begin());
    keyLen = sb10_verification_key(record, publicKey.span());
    FUZZ_CHECK(publicKey.guards_intact());
    if (keyLen == 0) {
      FUZZ_CHECK(fuzz::all_zero(publicKey.span()));
      return false;
    }
    const std::uint32_t modulusLength = fuzz::le32(record.data() + 36);
    const std::uint32_t exponentLength = fuzz::le32(record.data() + 168);
    FUZZ_CHECK(modulusLength == 128 && exponentLength >= 1 && exponentLength <= 4);
    FUZZ_CHECK(keyLen == modulusLength + exponentLength);
    FUZZ_CHECK(std::equal(record.begin() + 40, record.begin() + 168, publicKey.data()));
    FUZZ_CHECK(std::equal(record.begin() + 172, record.begin() + 172 + exponentLength,
                          publicKey.data() + 128));
    FUZZ_CHECK(fuzz::all_zero(publicKey.span().subspan(keyLen)));
    view = v11_key(publicKey.span());
  }
  if (file.size() < sigSize) return false;  // no message: refused
  const bool verified = verify_and_check(publicKey.span(), keyLen, view, file, sigSize);
  FUZZ_CHECK(publicKey.guards_intact());
  return verified;
}

// "-STAGE2_VERIFY" on the input written to files.
void run_command(bool v11, const fuzz::Bytes& keyFile, const fuzz::Bytes& file, bool verifies) {
  static fuzz::TempFolder folder("stage2-verify-fuzz");
  const std::string imagePath = folder.write("signed.bin", file);
  const std::string keyPath = folder.write("key.spk", keyFile);
  core::Report report;
  const std::int32_t rc = core::verify_bl2(report, v11 ? sbl::kKeySetV11 : sbl::kKeySetV21,
                                           imagePath.c_str(), keyPath.c_str());
  const bool keyShort = v11 && keyFile.size() < kRecordV11;
  verifies = verifies && !keyShort;
  FUZZ_CHECK(rc == (verifies ? 0 : -1));
  FUZZ_CHECK(report.refused() == !verifies);
  if (verifies) return;
  const core::Refusal& refusal = *report.refusal();
  if (keyShort) {
    FUZZ_CHECK(refusal.kind == core::Class::kInput && refusal.file == keyPath);
  } else {
    FUZZ_CHECK((refusal.kind == core::Class::kKey && refusal.file == keyPath) ||
               (refusal.kind == core::Class::kVerify && refusal.file == imagePath));
  }
}

// The library's contract, without the front end's gate.
void library_path(bool v11, std::uint32_t sigSize, const fuzz::Bytes& keyFile,
                  const fuzz::Bytes& file) {
  const std::uint32_t keyPartSize = v11 ? kKeyPartV11 : kKeyPartV21;
  fuzz::Bytes keyPart(keyPartSize, 0);
  std::copy_n(keyFile.begin(), std::min<std::size_t>(keyFile.size(), keyPartSize), keyPart.begin());
  const fuzz::Exact key(keyPart);

  if (sigSize != 128 && sigSize != 256) {
    fuzz::Guarded signature(sigSize, 0x33);
    const fuzz::Exact message(file);
    FUZZ_CHECK(Verify_PSS_RSASignature2(key.data(), keyPartSize, message.data(),
                                        fuzz::u32(message.size()), signature.data(),
                                        sigSize) == QIV_SBL_VERIFY_BAD_LENGTH);
    FUZZ_CHECK(signature.equals(fuzz::Bytes(sigSize, 0x33)) && signature.guards_intact());
    return;
  }
  // The layout follows the signature length, not the set the file came from.
  if (sigSize == 128 && keyPartSize < kKeyPartV11) return;
  if (sigSize == 256 && keyPartSize < kKeyPartV21) return;
  fuzz::Bytes padded = file;
  if (padded.size() < sigSize) padded.resize(sigSize, 0);
  const KeyView view = sigSize == 128 ? v11_key(key.span()) : v21_key(key.span());
  verify_and_check(key.span(), keyPartSize, view, padded, sigSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint8_t choice = in.u8();
  const std::uint16_t keyFileLen = in.u16();
  const std::uint16_t oddLength = in.u16();
  const fuzz::Bytes keyFile = in.bytes(std::min<std::size_t>(keyFileLen, in.remaining()));
  const fuzz::Bytes file = in.rest();
  const bool v11 = (choice & 1) != 0;
  const std::uint32_t setSize = v11 ? 128 : 256;

  run_command(v11, keyFile, file, command_path(v11, keyFile, file));
  library_path(v11, (choice & 2) != 0 ? oddLength : setSize, keyFile, file);
  return 0;
}
