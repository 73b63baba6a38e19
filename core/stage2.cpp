// Stage-2 commands: signing a second-stage loader with a customer's private key file and
// checking a signed one with the matching public key file.
//
// A signed image is the loader byte for byte, followed by an RSASSA-PSS signature over it
// (SHA-1, MGF1-SHA-1, 20-byte salt) stored least significant byte first: 256 bytes in the v2.1
// set, 128 in the v1.1 set. There is no header: the signature is found by its size alone.
// Verification uses only the public key; the public key file's own tag and self-signature are
// not needed to check an image.
#include <string>

#include "core/commands.h"
#include "core/image_jobs.h"
#include "core/key_store.h"
#include "core/signing_key.h"
#include "core/working_buffers.h"
#include "format/format.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"

namespace core {

namespace {

std::uint32_t signature_size(const sbl::KeySetLayout& set) {
  return set.crtSigning ? SignedStage2Image::kSignatureSizeV21 : SignedStage2Image::kSignatureSizeV11;
}

// The customer's key as the report names it; v2.1: the key part at the start of the public
// key file, v1.1: the modulus then the exponent.
void report_key(Report& report, const char* role, const sbl::KeySetLayout& set,
                std::span<const std::uint8_t> keyPart) {
  report.used_key({role, set.name, key_fingerprint(keyPart)});
}

}  // namespace

std::int32_t sign_bl2(Report& report, const SignJob& job) {
  const Event failed = Event::kStage2GenerationFailed;
  if (output_is_a_key_file(report, job.output, job.keyFiles)) return -1;
  const PrivateKeyScope secrets;
  SigningKey key;
  // Without a set, the key is a reference whose token key's size names the set: the token is
  // asked first, once.
  const sbl::KeySetLayout* chosen = job.set;
  if (chosen == nullptr) {
    const auto uri = read_key_reference(job.privateKey);
    if (!uri) {
      return report.refuse(Class::kKey, failed, job.privateKey,
                           "no private key file of either set", kKeyFileRejected);
    }
    if (!key.use_token(report, *uri, nullptr, job.privateKey)) return kKeyFileRejected;
    chosen = key.token_set();
  }
  const sbl::KeySetLayout& set = *chosen;
  const std::uint32_t signatureSize = signature_size(set);
  auto buffer = read_file_with_trailer(report, job.image, signatureSize);
  if (!buffer) return -1;
  const auto length = static_cast<std::uint32_t>(buffer->size() - signatureSize);
  if (job.set != nullptr) {
    const std::int32_t rc =
        set.crtSigning ? load_sb20_private_key(report, failed, job.privateKey, key)
                       : load_sb10_private_record(report, failed, job.privateKey, key);
    if (rc != 0) return rc;
  }
  // The loaders accept only full-size keys, so the signature is exactly signatureSize bytes.
  std::uint32_t written = signatureSize;
  // The signing call checks the signature with the key's public part: a key damaged inside its
  // protection signs, but nothing would accept what it signed.
  if (key.sign(set.crtSigning ? QIV_SBL_FORM_CRT : QIV_SBL_FORM_PLAIN, buffer->data(), length,
               buffer->data() + length, &written) != 0 ||
      written != signatureSize) {
    return report.refuse(Class::kKey, failed, job.privateKey,
                         "the key's signature does not verify with its own public part");
  }
  // The signing key's fingerprint is its public part's: n (and e) as the device compares them.
  std::array<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> part{};
  if (const std::uint32_t size = key.key_part(set, part); size != 0) {
    report_key(report, "signing", set, std::span(part).first(size));
  }
  return write_image(report, job.output, {buffer->data(), buffer->size()}, job.existing,
                     Event::kStage2GenerationOk, std::string(set.name) + " signed BL2");
}

std::int32_t verify_bl2(Report& report, const sbl::KeySetLayout& set, const char* image,
                        const char* publicKeyFile) {
  const Event failed = Event::kStage2VerificationFailed;
  auto bytes = read_file_with_trailer(report, image, 0);
  if (!bytes) return -1;
  // The key is the 268-byte key part at the start of a v2.1 public key file; the modulus
  // followed by the exponent, built by the loader, in the v1.1 set.
  const std::int32_t loaded = set.crtSigning ? load_sb20_public_key(report, failed, publicKeyFile)
                                             : load_sb10_public_record(report, failed, publicKeyFile);
  if (loaded != 0) return -1;
  const std::uint32_t signatureSize = signature_size(set);
  const std::uint32_t keyLength =
      set.crtSigning ? sbl::PublicKeyInfoV21::kKeyPartSize : publicKeyLen;
  report_key(report, "customer", set, std::span(publicKey).first(keyLength));
  if (bytes->size() < signatureSize) {
    return report.refuse(Class::kVerify, failed, image,
                         std::to_string(bytes->size()) + " bytes, shorter than a " +
                             std::to_string(signatureSize) + "-byte signature");
  }
  const auto messageLength = static_cast<std::uint32_t>(bytes->size() - signatureSize);
  if (Verify_PSS_RSASignature2(publicKey.data(), keyLength, bytes->data(), messageLength,
                               bytes->data() + messageLength, signatureSize) != 0) {
    return report.refuse(Class::kVerify, failed, image,
                         "the signature does not verify with the key " +
                             key_fingerprint(std::span(publicKey).first(keyLength)));
  }
  report.note(Event::kStage2VerificationOk, image);
  return 0;
}

}  // namespace core
