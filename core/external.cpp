// Signatures made elsewhere: preparing an image and its digest, and attaching the signature that
// comes back (external.h).
#include "core/external.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/build_info.h"
#include "core/image_jobs.h"
#include "core/key_store.h"
#include "core/secure_steps.h"
#include "core/working_buffers.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "format/format.h"
#include "sbl/sbl.h"

namespace core {

namespace {

using Digest = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;

std::string bytes_text(std::size_t length) {
  return std::to_string(length) + (length == 1 ? " byte" : " bytes");
}

// SHA-1 over the pieces in order; false when the hash fails.
bool sha1_of(std::initializer_list<std::span<const std::uint8_t>> pieces, Digest& digest) {
  QIV_SHA1_CTX ctx{};
  if (QIV_SHA1_Init(&ctx) != 0) return false;
  for (const auto piece : pieces) {
    if (QIV_SHA1_Update(&ctx, piece.data(), static_cast<std::uint32_t>(piece.size())) != 0) {
      return false;
    }
  }
  return QIV_SHA1_Final(&ctx, digest.data()) == 0;
}

// The signed image and the digest file, installed together: a digest never stands beside an
// image other than the one it covers.
std::int32_t write_prepared(Report& report, const char* output, std::span<const std::uint8_t> image,
                            std::string what, const DigestOut& out, const Digest& digest,
                            Existing existing) {
  std::string text;
  std::span<const std::uint8_t> bytes(digest);
  if (out.hex) {
    text = hex_text(digest) + "\n";
    bytes = {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
  }
  OutputSet set(report);
  const bool added =
      set.add_borrowed(output, image, FileAccess::kShared, existing, std::move(what)) &&
      set.add(out.path, bytes, FileAccess::kShared, existing,
              out.hex ? "SHA-1 digest to sign, hex" : "SHA-1 digest to sign");
  if (!added) return -1;
  switch (set.install()) {
    case OutputSet::Result::kInstalled:
      return 0;
    case OutputSet::Result::kExists:
      return report.refuse(Class::kOutput, Event::kFileOpenError, set.existing_path(),
                           "exists already; --force replaces it");
    case OutputSet::Result::kFailed:
      break;
  }
  return -1;
}

bool outputs_are_key_files(Report& report, std::initializer_list<const char*> outputs,
                           std::span<const char* const> keyFiles) {
  return std::any_of(outputs.begin(), outputs.end(), [&](const char* output) {
    return output_is_a_key_file(report, output, keyFiles);
  });
}

std::uint32_t signature_size(const sbl::KeySetLayout& set) {
  return set.context.signatureSize;  // one modulus long, a BL2's too
}

// The key part a BL2 is checked with, in publicKey (v2.1: the file's first 268 bytes; v1.1: the
// modulus then the exponent, built by the loader); its length, or 0 after the refusal.
std::uint32_t load_bl2_key(Report& report, const sbl::KeySetLayout& set, const char* path,
                           Event refused) {
  const std::int32_t rc = set.crtSigning ? load_sb20_public_key(report, refused, path)
                                         : load_sb10_public_record(report, refused, path);
  if (rc != 0) return 0;
  const std::uint32_t length = set.crtSigning ? sbl::PublicKeyInfoV21::kKeyPartSize : publicKeyLen;
  report.used_key({"signing", set.name, key_fingerprint(std::span(publicKey).first(length))});
  return length;
}

// The next-stage key into publicKey (its self-signature verified), the eFuse value into the
// set's buffer and the maker's record into the context, once the record validates with the
// eFuse value as a device would validate it: a context signed over another record would verify
// on no device.
std::int32_t load_trusted_maker(Report& report, const SecureJob& job, std::uint8_t* context) {
  const sbl::KeySetLayout& set = *job.set;
  const bool v21 = set.crtSigning;
  const std::uint32_t publicKeyInfo = set.context.publicKeyInfo;
  if (load_next_stage_key(report, set, job.nextStageKey) != 0) return -1;
  if (!read_maker_efuse(report, set, job.makerEFuse)) return -1;
  const std::uint32_t eFuseLen = v21 ? sb20_eFuseDataLen : sb10_eFuseDataLen;
  const std::uint8_t* eFuse = v21 ? sb20_eFuseData.data() : sb10_eFuseData.data();
  if (eFuseLen != set.eFuseSize) {
    return report.refuse(Class::kKey, Event::kSilent, job.makerEFuse,
                         bytes_text(eFuseLen) + "; a " + set.name + " eFuse value has " +
                             std::to_string(set.eFuseSize));
  }
  if (!read_file(report, job.makerPublicKey, context + publicKeyInfo,
                 static_cast<std::int32_t>(set.record.size))) {
    return -1;
  }
  // Validation clears a record it refuses, so a copy is tried.
  std::array<std::uint8_t, sbl::PublicKeyInfoV21::kSize> record{};
  std::copy_n(context + publicKeyInfo, set.record.size, record.begin());
  const std::int32_t valid = v21 ? Validate_SB20_PublicKeyInfo(eFuse, eFuseLen, record.data())
                                 : Validate_SB10_PublicKeyInfo(eFuse, eFuseLen, record.data());
  if (valid != 0) {
    return report.refuse(Class::kKey, Event::kStage1GenerationFailed, job.makerPublicKey,
                         std::string("its record does not validate with the eFuse value ") +
                             job.makerEFuse + ": the maker files are not one set",
                         valid);
  }
  return 0;
}

// The context as generation leaves it (trailer, next-stage key from publicKey, signature
// length) and as the device check leaves it (service table), with the signature still zero.
void lay_out_unsigned_context(const sbl::KeySetLayout& set, std::uint8_t* context) {
  const sbl::ContextShape& shape = set.context;
  std::fill_n(context + shape.trailer, shape.size - shape.trailer, sbl::kContextFillerByte);
  std::copy_n(shape.tagText->data(), sbl::kContextTagSize, context + shape.tag);
  qiv::store_le32(context + shape.zero, 0);
  std::copy_n(publicKey.data(), shape.keyPartSize, context + shape.nextStageKey);
  if (shape.hasSignatureLength) {
    qiv::store_le32(context + sbl::ContextV21::kSignatureLength, shape.signatureSize);
  }
  if (set.crtSigning) {
    save_SB20_FuncPtr(context + shape.serviceTable);
  } else {
    save_SB10_FuncPtr(context + shape.serviceTable);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Preparing

std::int32_t prepare_bl2(Report& report, const PrepareBl2Job& job) {
  const sbl::KeySetLayout& set = *job.set;
  if (outputs_are_key_files(report, {job.output, job.digest.path}, job.keyFiles)) return -1;
  // Room for the signature that attaching appends: the signed image must stay readable.
  auto buffer = read_file_with_trailer(report, job.image, signature_size(set));
  if (!buffer) return -1;
  if (load_bl2_key(report, set, job.publicKey, Event::kStage2GenerationFailed) == 0) return -1;
  const std::span<const std::uint8_t> image(buffer->data(), buffer->size() - signature_size(set));
  Digest digest{};
  if (!sha1_of({image}, digest)) {
    return report.refuse(Class::kSystem, Event::kSilent, job.image, "SHA-1 failed");
  }
  return write_prepared(report, job.output, image, std::string(set.name) + " BL2 to be signed",
                        job.digest, digest, job.existing);
}

std::int32_t prepare_bl1(Report& report, const SecureJob& job, DigestOut digestOut) {
  const sbl::KeySetLayout& set = *job.set;
  const sbl::ContextShape& shape = set.context;
  const bool v21 = set.crtSigning;
  std::uint32_t buildTime = 0;
  if (!job_build_time(report, job, buildTime)) return -1;
  if (outputs_are_key_files(report, {job.output, digestOut.path}, job.keyFiles)) return -1;

  // The image as securing lays it out: code, zero padding to whole AES blocks (v2.1, --pad),
  // the build-information block, the context.
  const std::uint32_t blockSize = job.buildInfo ? BuildInfoBlock::kSize : 0;
  const std::uint32_t padRoom = v21 && job.pad ? 15 : 0;
  auto buffer = read_file_with_trailer(report, job.image, padRoom + blockSize + shape.size);
  if (!buffer) return -1;
  const auto readLength =
      static_cast<std::uint32_t>(buffer->size() - padRoom - blockSize - shape.size);
  const std::uint32_t codeLength = padRoom != 0 ? (readLength + 15) / 16 * 16 : readLength;
  if (codeLength != readLength) {
    report.note(Event::kPadded, job.image,
                std::to_string(readLength) + " bytes to " + std::to_string(codeLength));
  }
  const std::uint32_t imageLength = codeLength + blockSize;
  std::uint8_t* code = buffer->data();
  std::uint8_t* context = code + imageLength;

  if (load_trusted_maker(report, job, context) != 0) return -1;
  if (v21) {
    // Encrypt_Code reads only the record of the context, which is in place.
    if (const std::int32_t rc =
            Encrypt_Code(sb20_eFuseData.data(), sb20_eFuseDataLen, context, code, codeLength);
        rc != 0) {
      return refuse_encryption(report, job, codeLength, rc);
    }
  }
  if (job.buildInfo) mk_BL_Info(code + codeLength, buildTime);

  lay_out_unsigned_context(set, context);

  Digest digest{};
  if (!sha1_of({{code, imageLength}, {context + shape.nextStageKey, shape.keyPartSize}}, digest)) {
    return report.refuse(Class::kSystem, Event::kSilent, job.image, "SHA-1 failed");
  }
  report_stage1_keys(report, set, {context, shape.size});
  return write_prepared(report, job.output, {code, imageLength + shape.size},
                        std::string(set.name) + " BL1 to be signed", digestOut, digest,
                        job.existing);
}

// ---------------------------------------------------------------------------------------------
// Attaching

namespace {

// The signature file, exactly one modulus of the set long, into `stored` least significant byte
// first. The set is the job's, else the one whose signatures have the file's length.
bool read_signature(Report& report, const AttachJob& job, const sbl::KeySetLayout*& set,
                    std::array<std::uint8_t, sbl::ContextV21::kSignatureSize>& stored) {
  std::array<std::uint8_t, sbl::ContextV21::kSignatureSize + 1> room{};
  const WholeFile file = read_whole_file(report, job.signature, room);
  if (file.status == WholeFile::kFailed) return false;
  if (set == nullptr) {
    for (const sbl::KeySetLayout* candidate : {&sbl::kKeySetV21, &sbl::kKeySetV11}) {
      if (file.length == signature_size(*candidate)) set = candidate;
    }
  }
  if (set == nullptr) {
    report.refuse(Class::kKey, Event::kSilent, job.signature,
                  bytes_text(file.length) + ": no signature of either set has that length");
    return false;
  }
  const std::uint32_t size = signature_size(*set);
  if (file.status != WholeFile::kRead || file.length != size) {
    report.refuse(Class::kKey, Event::kSilent, job.signature,
                  bytes_text(file.length) + "; a " + set->name + " signature has " +
                      std::to_string(size) + " (the key's modulus length)");
    return false;
  }
  // PKCS #1 writes the most significant byte first; the records keep the digits' order.
  std::reverse_copy(room.begin(), room.begin() + size, stored.begin());
  return true;
}

std::int32_t attach_bl2(Report& report, const AttachJob& job, const sbl::KeySetLayout& set,
                        const std::uint8_t* signature, Attached& out) {
  const std::uint32_t size = signature_size(set);
  auto buffer = read_file_with_trailer(report, job.image, size);
  if (!buffer) return -1;
  const std::uint32_t keyLength =
      load_bl2_key(report, set, job.publicKey, Event::kStage2VerificationFailed);
  if (keyLength == 0) return -1;
  const auto length = static_cast<std::uint32_t>(buffer->size() - size);
  std::copy_n(signature, size, buffer->data() + length);
  // Verification clears a signature it refuses: a copy is checked.
  std::array<std::uint8_t, sbl::ContextV21::kSignatureSize> copy{};
  std::copy_n(signature, size, copy.begin());
  if (Verify_PSS_RSASignature2(publicKey.data(), keyLength, buffer->data(), length, copy.data(),
                               size) != 0) {
    return report.refuse(Class::kVerify, Event::kStage2VerificationFailed, job.signature,
                         "does not verify over " + std::string(job.image) + " with the key " +
                             key_fingerprint(std::span(publicKey).first(keyLength)) +
                             ": another key's signature, or over other bytes");
  }
  out.checks.push_back({"BL2 signature with --key", "verifies"});
  return write_image(report, job.output, {buffer->data(), buffer->size()}, job.existing,
                     Event::kStage2GenerationOk, std::string(set.name) + " signed BL2");
}

std::int32_t attach_bl1(Report& report, const AttachJob& job, const sbl::KeySetLayout& set,
                        const std::uint8_t* signature, Attached& out) {
  const sbl::ContextShape& shape = set.context;
  const bool v21 = set.crtSigning;
  auto buffer = read_file_with_trailer(report, job.image, 0);
  if (!buffer) return -1;
  if (buffer->size() < shape.size) {
    return report.refuse(Class::kInput, Event::kSilent, job.image,
                         bytes_text(buffer->size()) + ", shorter than a " + set.name +
                             " context of " + std::to_string(shape.size));
  }
  const auto imageLength = static_cast<std::uint32_t>(buffer->size() - shape.size);
  std::uint8_t* context = buffer->data() + imageLength;
  if (shape.hasSignatureLength &&
      qiv::load_le32(context + sbl::ContextV21::kSignatureLength) != shape.signatureSize) {
    return report.refuse(Class::kInput, Event::kSilent, job.image,
                         "its context's signature length field is not " +
                             std::to_string(shape.signatureSize) +
                             ": not a BL1 prepared by secure --external");
  }
  std::copy_n(signature, shape.signatureSize, context + shape.signature);
  report_stage1_keys(report, set, {context, shape.size});
  const std::string maker = key_fingerprint({context + shape.publicKeyInfo, shape.keyPartSize});

  // The check runs on a copy: it fills the service table and clears what it refuses.
  std::uint8_t* copy = v21 ? sb20_Context.data() : sb10_Context.data();
  std::copy_n(context, shape.size, copy);
  std::int32_t rc = 0;
  if (job.eFuse != nullptr) {
    if (!read_maker_efuse(report, set, job.eFuse)) return -1;
    if (const std::uint32_t length = v21 ? sb20_eFuseDataLen : sb10_eFuseDataLen;
        length != set.eFuseSize) {
      return report.refuse(Class::kKey, Event::kSilent, job.eFuse,
                           bytes_text(length) + "; a " + set.name + " eFuse value has " +
                               std::to_string(set.eFuseSize));
    }
    rc = v21 ? Check_SB20_Context(sb20_eFuseData.data(), sb20_eFuseDataLen, copy, buffer->data(),
                                  imageLength)
             : Check_SB10_Context(sb10_eFuseData.data(), sb10_eFuseDataLen, copy, buffer->data(),
                                  imageLength);
    if (rc != 0 && rc != QIV_SBL_CTX_CHK_BAD_SIGNATURE) {
      return report.refuse(
          Class::kVerify, Event::kStage1VerificationFailed, job.image,
          std::string("its record does not validate with the eFuse value ") + job.eFuse);
    }
  } else {
    Digest digest{};
    if (!sha1_of({{buffer->data(), imageLength}, {context + shape.nextStageKey, shape.keyPartSize}},
                 digest)) {
      return report.refuse(Class::kSystem, Event::kSilent, job.image, "SHA-1 failed");
    }
    rc = Verify_PSS_RSASignature(context + shape.publicKeyInfo, shape.keyPartSize, digest.data(),
                                 QIV_SHA1_DIGEST_LEN, copy + shape.signature, shape.signatureSize);
  }
  if (rc != 0) {
    return report.refuse(Class::kVerify, Event::kStage1VerificationFailed, job.signature,
                         "does not verify over " + std::string(job.image) + " with the maker key " +
                             maker +
                             " in its record: another key's signature, or over other bytes");
  }
  if (job.eFuse != nullptr) {
    out.checks.push_back({"record tag against eFuse value", "passes"});
    out.checks.push_back({"context signature", "verifies with the maker key in the record"});
  } else {
    out.checks.push_back({"context signature",
                          "verifies with the maker key in the record; the record was not checked "
                          "against an eFuse value (no --efuse)"});
  }
  return write_image(report, job.output, {buffer->data(), buffer->size()}, job.existing,
                     Event::kStage1GenerationOk, std::string(set.name) + " secured BL1");
}

}  // namespace

std::int32_t attach_signature(Report& report, const AttachJob& job, Attached& out) {
  if (output_is_a_key_file(report, job.output, job.keyFiles)) return -1;
  std::array<std::uint8_t, sbl::ContextV21::kSignatureSize> signature{};
  out.set = job.set;
  if (!read_signature(report, job, out.set, signature)) return -1;
  return job.publicKey != nullptr ? attach_bl2(report, job, *out.set, signature.data(), out)
                                  : attach_bl1(report, job, *out.set, signature.data(), out);
}

}  // namespace core
