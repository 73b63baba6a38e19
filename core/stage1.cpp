// Stage-1 commands: securing a first-stage loader ("-STAGE1", and "-P" with a build-information
// block) and checking a secured one as a device does ("-VERIFY").
//
// Securing binds three things under the maker's key: the code (encrypted first in the v2.1
// set), the customer's stage-2 public key, which becomes the context's next-stage key, and the
// maker's public key information record, which a device trusts through its eFuse value. The
// customer key is embedded only after its self-signature proves that its owner holds the
// private key. The finished context is checked exactly as a device will check it before the
// command reports success; the image is written only then.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "core/build_info.h"
#include "core/commands.h"
#include "core/image_jobs.h"
#include "core/key_store.h"
#include "core/secure_steps.h"
#include "core/signing_key.h"
#include "core/working_buffers.h"
#include "crypto/endian.h"
#include "format/format.h"
#include "rsa/rsa.h"
#include "sbl/sbl.h"

namespace core {

namespace {

constexpr Event kGenerationFailed = Event::kStage1GenerationFailed;
constexpr Event kPoppFailed = Event::kProofOfPossessionFailed;

std::string bytes_text(std::size_t length) {
  return std::to_string(length) + (length == 1 ? " byte" : " bytes");
}

// Reads the whole eFuse file into the set's cleared buffer. A file longer than the buffer is
// refused; a shorter one leaves a short length, which the code encryption and the context
// check refuse with their codes.
template <std::size_t N>
bool read_efuse(Report& report, const char* path, std::array<std::uint8_t, N>& eFuse,
                std::uint32_t& eFuseLen, const char* setName) {
  const WholeFile file = read_whole_file(report, path, eFuse);
  eFuseLen = file.status == WholeFile::kRead ? static_cast<std::uint32_t>(file.length) : 0;
  if (file.status == WholeFile::kTooLong) {
    report.refuse(Class::kKey, kGenerationFailed, path,
                  bytes_text(file.length) + "; a " + setName + " eFuse value has " +
                      std::to_string(N));
  }
  return file.status == WholeFile::kRead;
}

// A step of the library that failed after every input was read: the command's failure line,
// with the cause the step's inputs explain best.
std::int32_t generation_failed(Report& report, const char* file, std::string cause,
                               std::int32_t rc) {
  return report.refuse(Class::kKey, kGenerationFailed, file, std::move(cause), rc);
}

// Signs image[0, imageLength) (the code, encrypted in the v2.1 set, and any build-information
// block) into the set's context, then checks the context with the eFuse value read afresh, as a
// device would.
std::int32_t sign_and_check(Report& report, const SecureJob& job, SigningKey& key,
                            const std::uint8_t* image, std::uint32_t imageLength) {
  const bool v21 = job.set->crtSigning;
  std::int32_t rc = v21 ? key.sb20_context(publicKey.data(), image, imageLength, sb20_Context.data())
                        : key.sb10_context(publicKey.data(), image, imageLength, sb10_Context.data());
  if (rc != 0) {
    return generation_failed(report, job.makerPrivateKey,
                             "the maker key's signature does not verify with its record", rc);
  }
  const bool read = v21 ? read_efuse(report, job.makerEFuse, sb20_eFuseData, sb20_eFuseDataLen, "v2.1")
                        : read_efuse(report, job.makerEFuse, sb10_eFuseData, sb10_eFuseDataLen, "v1.1");
  if (!read) return kKeyFileRejected;
  rc = v21 ? Check_SB20_Context(sb20_eFuseData.data(), sb20_eFuseDataLen, sb20_Context.data(),
                                image, imageLength)
           : Check_SB10_Context(sb10_eFuseData.data(), sb10_eFuseDataLen, sb10_Context.data(),
                                image, imageLength);
  if (rc != 0) {
    return generation_failed(report, job.makerPublicKey,
                             "the secured BL1 does not pass a device's check with this eFuse "
                             "value: the maker files are not one set",
                             rc);
  }
  return 0;
}

// Why a next-stage key's self-signature does not verify: an exponent that proves nothing (with
// e = 1 the PSS encoding is its own signature, so the RSA layer refuses it), or a signature that
// is not its key's.
std::int32_t proof_failed(Report& report, const char* path, std::uint32_t exponent,
                          std::int32_t rc) {
  const std::string cause =
      QIV_RSA_PublicExponentOk(1, &exponent)
          ? "its self-signature does not verify: no proof that its owner holds the private key"
          : "exponent " + std::to_string(exponent) + " proves no private key";
  return report.refuse(Class::kKey, kPoppFailed, path, cause, rc);
}

// ---------------------------------------------------------------------------------------------
// v2.1

// publicKey = the customer's signed public key file, its self-signature verified.
std::int32_t load_sb20_stage2_key(Report& report, const char* path) {
  using F = SignedPublicKeyFileV21;
  if (load_sb20_signed_public_key(report, kPoppFailed, path) != 0) return kKeyFileRejected;
  std::uint8_t* file = publicKey.data();
  const std::int32_t rc =
      Verify_PSS_RSASignature2(file, publicKeyLen, file + F::kRecord, F::kRecordSize,
                               file + F::kSignature, qiv::load_le32(file + F::kSignatureLength));
  if (rc != 0) {
    return proof_failed(report, path,
                        qiv::load_le32(file + F::kRecord + sbl::PublicKeyInfoV21::kExponent), rc);
  }
  return 0;
}

// The maker's key into `key`, the eFuse value into sb20_eFuseData, sb20_Context zero but for the
// maker's public key information record.
std::int32_t load_sb20_maker(Report& report, const SecureJob& job, SigningKey& key) {
  std::fill(sb20_Context.begin(), sb20_Context.end(), std::uint8_t{0});
  if (const std::int32_t rc = load_sb20_private_key(report, kGenerationFailed,
                                                    job.makerPrivateKey, key);
      rc != 0) {
    return rc;
  }
  if (!read_efuse(report, job.makerEFuse, sb20_eFuseData, sb20_eFuseDataLen, "v2.1")) {
    return kKeyFileRejected;
  }
  if (!read_file(report, job.makerPublicKey, sb20_Context.data() + sbl::ContextV21::kPublicKeyInfo,
                 sbl::PublicKeyInfoV21::kSize)) {
    return kKeyFileRejected;
  }
  return 0;
}

// Why the code encryption refused: the code's length or the eFuse value's.
std::int32_t encryption_refused(Report& report, const SecureJob& job, std::uint32_t codeLength,
                                std::int32_t rc) {
  if (rc == QIV_SBL_AES_NO_MEMORY) {
    return report.refuse(Class::kSystem, Event::kOutOfMemory, job.image,
                         "no memory to encrypt the code", -1);
  }
  if (codeLength % 16 != 0) {
    return report.refuse(Class::kInput, Event::kSilent, job.image,
                         bytes_text(codeLength) +
                             ", not a multiple of 16 (a v2.1 BL1 is encrypted in AES blocks); "
                             "--pad pads it with zero bytes",
                         rc);
  }
  if (sb20_eFuseDataLen != sbl::EFuseV21::kSize) {
    return report.refuse(Class::kKey, Event::kSilent, job.makerEFuse,
                         bytes_text(sb20_eFuseDataLen) + "; a v2.1 eFuse value has " +
                             std::to_string(sbl::EFuseV21::kSize),
                         rc);
  }
  return report.refuse(Class::kKey, Event::kSilent, job.makerEFuse,
                       "the code could not be encrypted with this eFuse value", rc);
}

// The code is image[0, codeLength); with a build-information block, the block follows it.
std::int32_t secure_sb20(Report& report, const SecureJob& job, std::uint8_t* image,
                         std::uint32_t codeLength, std::uint32_t buildTime) {
  const PrivateKeyScope secrets;
  SigningKey key;
  if (const std::int32_t rc = load_sb20_stage2_key(report, job.nextStageKey); rc != 0) return rc;
  if (const std::int32_t rc = load_sb20_maker(report, job, key); rc != 0) return rc;
  // Fails, leaving the code unchanged, when codeLength is not a multiple of 16 or the eFuse
  // value is short: the command then ends with that code and writes nothing.
  if (const std::int32_t rc = Encrypt_Code(sb20_eFuseData.data(), sb20_eFuseDataLen,
                                           sb20_Context.data(), image, codeLength);
      rc != 0) {
    return encryption_refused(report, job, codeLength, rc);
  }
  std::uint32_t imageLength = codeLength;
  if (job.buildInfo) {
    mk_BL_Info(image + codeLength, buildTime);  // in clear, but inside the signed bytes
    imageLength += BuildInfoBlock::kSize;
  }
  return sign_and_check(report, job, key, image, imageLength);
}

// ---------------------------------------------------------------------------------------------
// v1.1

// publicKey = the customer's key (modulus then exponent), its record's self-signature verified.
std::int32_t load_sb10_stage2_key(Report& report, const char* path) {
  using R = PublicKeyRecordV11;
  if (load_sb10_public_record(report, kPoppFailed, path) != 0) return kKeyFileRejected;
  if (!sb10_public_record_signature_fields_ok(sb10_pubkey_file)) {
    return report.refuse(Class::kKey, kPoppFailed, path,
                         "its self-signature's length fields are not a v1.1 record's",
                         kKeyFileRejected);
  }
  std::uint8_t* record = sb10_pubkey_file.data();
  const std::int32_t rc =
      Verify_PSS_RSASignature2(publicKey.data(), publicKeyLen, record + R::kKeyData,
                               qiv::load_le32(record + R::kKeyDataLength), record + R::kSignature,
                               qiv::load_le32(record + R::kSignatureLength));
  if (rc != 0) {
    return proof_failed(report, path,
                        qiv::load_le32(publicKey.data() + sbl::PublicKeyInfoV11::kExponent), rc);
  }
  return 0;
}

std::int32_t secure_sb10(Report& report, const SecureJob& job, const std::uint8_t* image,
                         std::uint32_t length) {
  const PrivateKeyScope secrets;
  SigningKey key;
  if (const std::int32_t rc = load_sb10_stage2_key(report, job.nextStageKey); rc != 0) return rc;
  if (const std::int32_t rc = load_sb10_maker_private_key(report, kGenerationFailed,
                                                          job.makerPrivateKey, key);
      rc != 0) {
    return rc;
  }
  std::fill(sb10_Context.begin(), sb10_Context.end(), std::uint8_t{0});
  if (!read_file(report, job.makerPublicKey, sb10_Context.data() + sbl::ContextV11::kPublicKeyInfo,
                 sbl::PublicKeyInfoV11::kSize)) {
    return kKeyFileRejected;
  }
  return sign_and_check(report, job, key, image, length);
}

// The keys a secured context binds, by their fingerprints: the maker's (its record's key part)
// and the next-stage key.
void report_keys(Report& report, const sbl::KeySetLayout& set, std::span<const std::uint8_t> context) {
  const sbl::ContextShape& shape = set.context;
  report.used_key({"maker", set.name,
                   key_fingerprint(context.subspan(shape.publicKeyInfo, shape.keyPartSize))});
  report.used_key({"next-stage", set.name,
                   key_fingerprint(context.subspan(shape.nextStageKey, shape.keyPartSize))});
}

}  // namespace

std::optional<std::uint32_t> build_time(std::string& cause) {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr) {
    // The field holds the low 32 bits of the clock; the truncation is the format's.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr)) & 0xFFFFFFFFu);
  }
  const std::string_view value(text);
  std::uint64_t seconds = 0;
  const bool digits = !value.empty() && value.size() <= 10 &&
                      std::all_of(value.begin(), value.end(),
                                  [](char c) { return c >= '0' && c <= '9'; });
  for (const char c : digits ? value : std::string_view()) {
    seconds = seconds * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (!digits || seconds > 0xFFFFFFFFu) {
    cause = "not a decimal number of seconds below 2^32";
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(seconds);
}

bool job_build_time(Report& report, const SecureJob& job, std::uint32_t& time) {
  if (!job.buildInfo) return true;
  std::string cause;
  const std::optional<std::uint32_t> taken = build_time(cause);
  if (!taken) {
    report.refuse(Class::kUsage, Event::kBuildTimeRefused, "SOURCE_DATE_EPOCH", cause);
    return false;
  }
  time = *taken;
  return true;
}

std::int32_t secure_bl1(Report& report, const SecureJob& job) {
  const sbl::KeySetLayout& set = *job.set;
  const bool v21 = set.crtSigning;
  std::uint32_t buildTime = 0;
  if (!job_build_time(report, job, buildTime)) return -1;
  if (output_is_a_key_file(report, job.output, job.keyFiles)) return -1;

  const std::uint32_t contextSize = v21 ? sbl::ContextV21::kSize : sbl::ContextV11::kSize;
  const std::uint32_t blockSize = job.buildInfo ? BuildInfoBlock::kSize : 0;
  // Room for up to 15 zero bytes of padding after the code; the bytes used follow the length
  // actually read, so the file is looked at once.
  const std::uint32_t padRoom = v21 && job.pad ? 15 : 0;
  auto buffer = read_file_with_trailer(report, job.image, padRoom + blockSize + contextSize);
  if (!buffer) return -1;
  const auto readLength = static_cast<std::uint32_t>(buffer->size() - padRoom - blockSize - contextSize);
  const std::uint32_t codeLength = padRoom != 0 ? (readLength + 15) / 16 * 16 : readLength;
  if (codeLength != readLength) {
    report.note(Event::kPadded, job.image,
                std::to_string(readLength) + " bytes to " + std::to_string(codeLength));
  }
  const std::uint32_t imageLength = codeLength + blockSize;
  const std::span<std::uint8_t> out(buffer->data(), imageLength + contextSize);
  const std::int32_t rc = v21 ? secure_sb20(report, job, buffer->data(), codeLength, buildTime)
                              : secure_sb10(report, job, buffer->data(), imageLength);
  if (rc != 0) return rc;
  const std::span<const std::uint8_t> context =
      v21 ? std::span<const std::uint8_t>(sb20_Context) : std::span<const std::uint8_t>(sb10_Context);
  std::copy(context.begin(), context.end(), out.data() + imageLength);
  report_keys(report, set, context);
  return write_image(report, job.output, out, job.existing,
                     Event::kStage1GenerationOk, std::string(set.name) + " secured BL1");
}

// ---------------------------------------------------------------------------------------------
// Verification

namespace {

using CheckContextFn = std::int32_t (*)(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                        std::uint8_t* context, const std::uint8_t* image,
                                        std::uint32_t imageLen);

// The image is code followed by a context of the set's size; the context signs exactly the
// bytes before it, so the code is checked as stored (encrypted in the v2.1 set), never
// decrypted. The eFuse value is exactly the first eFuse.size() bytes of its file.
template <std::size_t ContextSize, std::size_t EFuseSize>
std::int32_t verify_stage1(Report& report, const sbl::KeySetLayout& set, const char* imageFile,
                           const char* eFuseFile, std::array<std::uint8_t, ContextSize>& context,
                           std::array<std::uint8_t, EFuseSize>& eFuse, std::uint32_t& eFuseLen,
                           CheckContextFn check) {
  const Event failed = Event::kStage1VerificationFailed;
  const auto image = read_file_with_trailer(report, imageFile, 0);
  if (!image) return -1;
  std::fill(eFuse.begin(), eFuse.end(), std::uint8_t{0});
  eFuseLen = EFuseSize;
  if (!read_file(report, eFuseFile, eFuse.data(), static_cast<std::int32_t>(EFuseSize))) return -1;
  if (image->size() < ContextSize) {
    return report.refuse(Class::kVerify, failed, imageFile,
                         bytes_text(image->size()) + ", shorter than a " + set.name +
                             " context of " + std::to_string(ContextSize));
  }
  const std::size_t codeLength = image->size() - ContextSize;
  std::copy_n(image->data() + codeLength, ContextSize, context.begin());
  report_keys(report, set, context);
  const std::int32_t rc = check(eFuse.data(), eFuseLen, context.data(), image->data(),
                                static_cast<std::uint32_t>(codeLength));
  if (rc != 0) {
    return report.refuse(Class::kVerify, failed, imageFile,
                         std::string("does not pass a device's check with the eFuse value ") +
                             eFuseFile);
  }
  report.note(Event::kStage1VerificationOk, imageFile);
  return 0;
}

}  // namespace

std::int32_t verify_bl1(Report& report, const sbl::KeySetLayout& set, const char* image,
                        const char* eFuse) {
  if (set.crtSigning) {
    return verify_stage1(report, set, image, eFuse, sb20_Context, sb20_eFuseData,
                         sb20_eFuseDataLen, Check_SB20_Context);
  }
  return verify_stage1(report, set, image, eFuse, sb10_Context, sb10_eFuseData, sb10_eFuseDataLen,
                       Check_SB10_Context);
}

// ---------------------------------------------------------------------------------------------
// The steps the detached flow (external.cpp) shares with securing, so that both refuse the same
// files in the same words.

std::int32_t load_next_stage_key(Report& report, const sbl::KeySetLayout& set, const char* path) {
  return set.crtSigning ? load_sb20_stage2_key(report, path) : load_sb10_stage2_key(report, path);
}

bool read_maker_efuse(Report& report, const sbl::KeySetLayout& set, const char* path) {
  return set.crtSigning ? read_efuse(report, path, sb20_eFuseData, sb20_eFuseDataLen, "v2.1")
                        : read_efuse(report, path, sb10_eFuseData, sb10_eFuseDataLen, "v1.1");
}

std::int32_t refuse_encryption(Report& report, const SecureJob& job, std::uint32_t codeLength,
                               std::int32_t rc) {
  return encryption_refused(report, job, codeLength, rc);
}

void report_stage1_keys(Report& report, const sbl::KeySetLayout& set,
                        std::span<const std::uint8_t> context) {
  report_keys(report, set, context);
}

}  // namespace core
