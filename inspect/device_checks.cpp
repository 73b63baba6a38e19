// The checks a device makes, repeated one by one so that each failure is seen on its own line:
// the record's tag against the eFuse value, the context signature, the next-stage key, the BL2
// signature, and (v2.1) the decryption of the code.
//
// The library's operations clear what they reject (a record that fails validation, a signature
// that fails verification), so every check works on copies and the file's bytes stay as read.
#include <algorithm>

#include "format/format.h"
#include "inspect/describe.h"
#include "rsa/rsa.h"
#include "sbl/sbl.h"

namespace inspect::detail {

namespace {

using C21 = sbl::ContextV21;
using C11 = sbl::ContextV11;

const char* set_name(KeySet set) {
  return set == KeySet::kV21 ? "v2.1" : "v1.1";
}

Check passed(std::string name, std::string detail) {
  return Check{std::move(name), true, std::move(detail)};
}
Check failed(std::string name, std::string detail) {
  return Check{std::move(name), false, std::move(detail)};
}

// A copy of part of the file that the library may clear.
template <std::size_t N>
std::array<std::uint8_t, N> copy_of(ByteView bytes) {
  std::array<std::uint8_t, N> out{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), N), out.begin());
  return out;
}

// The signature covers SHA-1(everything before the context || next-stage key) and is verified
// with the key of the context's own record, as the device's context check does it; the
// record's tag is a separate check, so a damaged tag and a bad signature are told apart.
Check check_context_signature(ByteView file, const Stage1Layout& layout) {
  static const std::string kName = "context signature";
  const sbl::ContextShape& l = layout_of(layout.set).context;
  const ByteView context = file.subspan(static_cast<std::size_t>(layout.contextOffset));
  if (layout.set == KeySet::kV21) {
    const std::uint32_t length = qiv::load_le32(context.data() + C21::kSignatureLength);
    if (length != C21::kSignatureSize) {
      return failed(kName, "signature length field holds " + std::to_string(length) +
                               "; a device checks only " + std::to_string(C21::kSignatureSize));
    }
  }
  auto digest = sha1(file.first(static_cast<std::size_t>(layout.signedLength())),
                     context.first(l.keyPartSize));
  auto record = copy_of<C21::kPublicKeyInfoSize>(
      context.subspan(l.publicKeyInfo, layout_of(layout.set).record.size));
  auto signature = copy_of<C21::kSignatureSize>(context.subspan(l.signature, l.signatureSize));
  const bool ok = Verify_PSS_RSASignature(record.data(), l.keyPartSize, digest.data(),
                                          static_cast<std::uint32_t>(digest.size()),
                                          signature.data(), l.signatureSize) == 0;
  const ByteView makerKey = context.subspan(l.publicKeyInfo, l.keyPartSize);
  const std::string maker = "maker key " + fingerprint(makerKey);
  if (ok) return passed(kName, "verifies with the " + maker);
  if (const auto refusal = exponent_refusal(makerKey, layout.set)) {
    return failed(kName, "refused: the " + maker + " " + *refusal);
  }
  return failed(kName,
                "does not verify with the " + maker + " over the image and the next-stage key");
}

std::string not_whole_blocks_text(std::uint64_t codeLength) {
  return "the code's " + std::to_string(codeLength) + " bytes are not a whole number of AES blocks";
}

std::string blocks_text(std::uint64_t codeLength) {
  const std::uint64_t blocks = codeLength / kAesBlockSize;
  return std::to_string(blocks) + (blocks == 1 ? " whole AES block" : " whole AES blocks");
}

Check check_next_stage_key(ByteView file, const Stage1Layout& layout, const StageKey& key) {
  static const std::string kName = "next-stage key is the --key key";
  if (key.set != layout.set) {
    return failed(kName, std::string("the --key file holds a ") + set_name(key.set) +
                             " key; this image is " + set_name(layout.set));
  }
  const ByteView inContext = file.subspan(static_cast<std::size_t>(layout.contextOffset),
                                          layout_of(layout.set).context.keyPartSize);
  const std::string given = fingerprint(key.bytes());
  if (std::equal(inContext.begin(), inContext.end(), key.bytes().begin(), key.bytes().end())) {
    return passed(kName, "key fingerprint " + given);
  }
  return failed(kName, "the context holds key " + fingerprint(inContext) + ", --key is " + given);
}

// The code key is the first half of the integrity key that the record's tag authenticates.
// Only when the tag check passed is it the device's key; with any other key CBC still
// "decrypts", into bytes that are not the code, so that case fails without decrypting.
// No plain byte is shown, since reports end up in logs: only SHA-1 over the whole plain code,
// which a user compares with the SHA-1 of the BL1 that was secured.
Check check_code_decrypts(ByteView file, const Stage1Layout& layout, const DeviceInputs& device,
                          bool tagPassed) {
  static const std::string kName = "code decrypts";
  if (device.efuse_set() != KeySet::kV21) {
    return failed(kName, "needs the 20-byte v2.1 eFuse value");
  }
  if (!tagPassed) {
    return failed(kName,
                  "not attempted: the record does not validate against this eFuse "
                  "value, so the key it gives is not the device's");
  }
  if (layout.codeLength % kAesBlockSize != 0) {
    return failed(kName, not_whole_blocks_text(layout.codeLength));
  }
  if (layout.codeLength == 0) return passed(kName, "no code bytes");
  qiv::SecretBuffer plain(layout.codeLength);
  if (!plain.ok()) return failed(kName, "not enough memory for the plain code");
  std::copy_n(file.begin(), layout.codeLength, plain.data());
  const ByteView eFuse = device.efuse();
  const std::int32_t rc = Decrypt_Code(eFuse.data(), static_cast<std::uint32_t>(eFuse.size()),
                                       file.data() + layout.contextOffset, plain.data(),
                                       static_cast<std::uint32_t>(layout.codeLength));
  if (rc != 0) return failed(kName, "decryption failed with code " + std::to_string(rc));
  // What passing proves: the decryption ran and the length holds (CBC without padding, so the
  // plain code is exactly as long as the cipher text). Not that the plain code is the original:
  // only a comparison of its SHA-1 with the secured BL1's says that.
  const auto digest = sha1(ByteView(plain.data(), plain.size()));
  return passed(kName, "ran over " + blocks_text(layout.codeLength) +
                           ", no padding; not compared with any BL1: plain code SHA-1 " +
                           hex(digest));
}

// Without an eFuse value the code key (tag XOR eFuse value) is unknown, so the code cannot be
// decrypted; what a device would refuse before decrypting, a length that is not whole blocks,
// is still seen.
Check check_code_blocks(const Stage1Layout& layout) {
  static const std::string kName = "code is whole AES blocks";
  if (layout.codeLength % kAesBlockSize != 0) {
    return failed(kName, not_whole_blocks_text(layout.codeLength));
  }
  return passed(kName, blocks_text(layout.codeLength) +
                           "; not decrypted: the code key needs the eFuse value");
}

}  // namespace

std::optional<std::string> exponent_refusal(ByteView keyPart, KeySet set) {
  const std::uint32_t at =
      set == KeySet::kV21 ? sbl::PublicKeyInfoV21::kExponent : sbl::PublicKeyInfoV11::kExponent;
  const auto digit = record_at<sbl::kDigitSize>(keyPart, at);
  if (!digit) return std::nullopt;
  const std::uint32_t exponent = qiv::load_le32(digit->data());
  if (QIV_RSA_PublicExponentOk(1, &exponent)) return std::nullopt;
  return "has public exponent " + std::to_string(exponent) +
         ", which is even or below 3, so it proves no private key";
}

Check check_record_tag(ByteView file, std::uint64_t record, KeySet set,
                       const DeviceInputs& device) {
  static const std::string kName = "record tag against eFuse value";
  if (device.efuse_set() != set) {
    return failed(kName, "the eFuse value has " + std::to_string(device.efuse().size()) +
                             " bytes; a " + set_name(set) + " device holds " +
                             std::to_string(set == KeySet::kV21 ? sbl::EFuseV21::kSize
                                                                : sbl::EFuseV11::kSize));
  }
  const ByteView eFuse = device.efuse();
  const auto size =
      set == KeySet::kV21 ? sbl::PublicKeyInfoV21::kSize : sbl::PublicKeyInfoV11::kSize;
  auto copy =
      copy_of<sbl::PublicKeyInfoV21::kSize>(file.subspan(static_cast<std::size_t>(record), size));
  const auto validate =
      set == KeySet::kV21 ? Validate_SB20_PublicKeyInfo : Validate_SB10_PublicKeyInfo;
  if (validate(eFuse.data(), static_cast<std::uint32_t>(eFuse.size()), copy.data()) == 0) {
    return passed(kName, "the tag recomputes under eFuse value XOR tag");
  }
  return failed(kName, "the tag does not recompute: this device does not trust this record");
}

void add_stage1_checks(ByteView file, const Stage1Layout& layout, const DeviceInputs& device,
                       Report& report) {
  const sbl::ContextShape& l = layout_of(layout.set).context;
  bool tagPassed = false;
  if (device.has_efuse()) {
    Check tag = check_record_tag(file, layout.contextOffset + l.publicKeyInfo, layout.set, device);
    tagPassed = tag.passed;
    report.checks.push_back(std::move(tag));
  } else {
    report.note = kMakerKeyUnchecked;
  }
  // The signature needs only the key of the record the image carries: it runs either way, so
  // a changed code byte fails even where no eFuse value is at hand.
  report.checks.push_back(check_context_signature(file, layout));
  if (device.key()) report.checks.push_back(check_next_stage_key(file, layout, *device.key()));
  if (layout.set != KeySet::kV21) return;
  report.checks.push_back(device.has_efuse() ? check_code_decrypts(file, layout, device, tagPassed)
                                             : check_code_blocks(layout));
}

bool stage2_signature_verifies(ByteView file, const StageKey& key) {
  const std::uint32_t size = layout_of(key.set).context.signatureSize;
  if (file.size() < size) return false;
  const std::size_t imageLength = file.size() - size;
  auto signature = copy_of<SignedStage2Image::kSignatureSizeV21>(file.subspan(imageLength));
  return Verify_PSS_RSASignature2(key.keyPart.data(), key.keyPartSize, file.data(),
                                  static_cast<std::uint32_t>(imageLength), signature.data(),
                                  size) == 0;
}

Check check_stage2_signature(ByteView file, const StageKey& key) {
  static const std::string kName = "BL2 signature with --key";
  const std::string which = "key " + fingerprint(key.bytes());
  if (stage2_signature_verifies(file, key)) return passed(kName, "verifies with " + which);
  if (const auto refusal = exponent_refusal(key.bytes(), key.set)) {
    return failed(kName, "refused: " + which + " " + *refusal);
  }
  return failed(kName, "does not verify with " + which);
}

}  // namespace inspect::detail
