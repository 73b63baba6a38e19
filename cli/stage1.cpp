// Stage-1 commands: securing a first-stage loader ("-STAGE1", and "-P" with a build-information
// block) and checking a secured one as a device does ("-VERIFY").
//
// Securing binds three things under the maker's key: the code (encrypted first in the v2.1
// set), the customer's stage-2 public key, which becomes the context's next-stage key, and the
// maker's public key information record, which a device trusts through its eFuse value. The
// customer key is embedded only after its self-signature proves that its owner holds the
// private key. The finished context is checked exactly as a device will check it before the
// command reports success; the dispatcher writes the image only then.
#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "cli/build_info.h"
#include "cli/commands.h"
#include "cli/files.h"
#include "cli/key_file_names.h"
#include "cli/key_store.h"
#include "cli/token_keys.h"
#include "cli/usage.h"
#include "cli/working_buffers.h"
#include "crypto/endian.h"
#include "format/format.h"
#include "sbl/sbl.h"

namespace {

constexpr std::string_view kPoppFailed =
    "Invalid Stage 2 Public Key: POPP(Proof of Posession Private Key) Failure\n";
constexpr std::string_view kGenerationFailed = "Stage 1: Signature generation is failed.\n";
constexpr std::string_view kVerificationFailed = "Stage 1: Signature verification is failed.\n";
constexpr std::string_view kVerificationOk = "Stage 1: Signature verification is successful.\n";

std::int32_t fail_with(std::string_view line, std::int32_t rc) {
  print_text(line);
  return rc;
}

// A maker private key the loader refuses (too large, not our layout) gets the generation
// failure line; a file that does not unprotect ends the command with the protection's code
// and no line of its own, as does a token that fails (it has printed its own line).
std::int32_t maker_key_failure(std::int32_t rc) {
  return rc == kKeyFileRejected ? fail_with(kGenerationFailed, rc) : rc;
}

// Reads the whole eFuse file into the set's cleared buffer. A file longer than the buffer is
// refused (false); a shorter one leaves a short length, which the code encryption and the
// context check refuse with their codes.
template <std::size_t N>
bool read_efuse(const char* path, std::array<std::uint8_t, N>& eFuse, std::uint32_t& eFuseLen) {
  const std::int32_t length = read_whole_file(path, eFuse);
  eFuseLen = length < 0 ? 0 : static_cast<std::uint32_t>(length);
  return length >= 0;
}

// ---------------------------------------------------------------------------------------------
// v2.1

// publicKey = the customer's signed public key file, its self-signature verified.
std::int32_t load_sb20_stage2_key() {
  using F = SignedPublicKeyFileV21;
  if (load_sb20_signed_public_key(kStage2PublicKeyV21) != 0) {
    return fail_with(kPoppFailed, kKeyFileRejected);
  }
  std::uint8_t* file = publicKey.data();
  const std::int32_t rc =
      Verify_PSS_RSASignature2(file, publicKeyLen, file + F::kRecord, F::kRecordSize,
                               file + F::kSignature, qiv::load_le32(file + F::kSignatureLength));
  return rc == 0 ? 0 : fail_with(kPoppFailed, rc);
}

// privateKey = the maker's blob; sb20_eFuseData = the maker's eFuse value; sb20_Context = zero
// but for the maker's public key information record.
std::int32_t load_sb20_maker() {
  std::fill(sb20_Context.begin(), sb20_Context.end(), std::uint8_t{0});
  if (const std::int32_t rc = load_sb20_private_key(kMakerPrivateKeyV21); rc != 0) {
    return maker_key_failure(rc);
  }
  if (!read_efuse(kMakerEFuseV21, sb20_eFuseData, sb20_eFuseDataLen)) {
    return fail_with(kGenerationFailed, kKeyFileRejected);
  }
  read_file(kMakerPublicKeyV21, sb20_Context.data() + sbl::ContextV21::kPublicKeyInfo,
            sbl::PublicKeyInfoV21::kSize);
  return 0;
}

// Signs image[0, imageLength) (encrypted code, and the block for -P) into sb20_Context, then
// checks the context with the eFuse value read afresh, as a device would.
std::int32_t sign_and_check_sb20(const std::uint8_t* image, std::uint32_t imageLength) {
  std::int32_t rc =
      generate_sb20_context(publicKey.data(), image, imageLength, sb20_Context.data());
  if (rc != 0) return fail_with(kGenerationFailed, rc);
  if (!read_efuse(kMakerEFuseV21, sb20_eFuseData, sb20_eFuseDataLen)) {
    return fail_with(kGenerationFailed, kKeyFileRejected);
  }
  rc = Check_SB20_Context(sb20_eFuseData.data(), sb20_eFuseDataLen, sb20_Context.data(), image,
                          imageLength);
  if (rc != 0) return fail_with(kGenerationFailed, rc);
  return 0;
}

// The code is image[0, codeLength); with a build-information block, the block follows it.
std::int32_t secure_sb20(std::uint8_t* image, std::uint32_t codeLength, bool withBuildInfo) {
  const PrivateKeyScope secrets;
  if (const std::int32_t rc = load_sb20_stage2_key(); rc != 0) return rc;
  if (const std::int32_t rc = load_sb20_maker(); rc != 0) return rc;
  // Fails, leaving the code unchanged, when codeLength is not a multiple of 16 or the eFuse
  // value is short: the command then ends with that code and writes nothing.
  if (const std::int32_t rc = Encrypt_Code(sb20_eFuseData.data(), sb20_eFuseDataLen,
                                           sb20_Context.data(), image, codeLength);
      rc != 0) {
    return rc == QIV_SBL_AES_NO_MEMORY ? fail_with(kOutOfMemory, -1) : rc;
  }
  std::uint32_t imageLength = codeLength;
  if (withBuildInfo) {
    mk_BL_Info(image + codeLength);  // in clear, but inside the signed bytes
    imageLength += BuildInfoBlock::kSize;
  }
  return sign_and_check_sb20(image, imageLength);
}

// ---------------------------------------------------------------------------------------------
// v1.1

// publicKey = the customer's key (modulus then exponent), its record's self-signature verified.
std::int32_t load_sb10_stage2_key() {
  using R = PublicKeyRecordV11;
  if (load_sb10_public_record(kStage2PublicKeyV11) != 0 ||
      !sb10_public_record_signature_fields_ok(sb10_pubkey_file)) {
    return fail_with(kPoppFailed, kKeyFileRejected);
  }
  std::uint8_t* record = sb10_pubkey_file.data();
  const std::int32_t rc =
      Verify_PSS_RSASignature2(publicKey.data(), publicKeyLen, record + R::kKeyData,
                               qiv::load_le32(record + R::kKeyDataLength), record + R::kSignature,
                               qiv::load_le32(record + R::kSignatureLength));
  return rc == 0 ? 0 : fail_with(kPoppFailed, rc);
}

std::int32_t secure_sb10(const std::uint8_t* image, std::uint32_t length) {
  const PrivateKeyScope secrets;
  if (const std::int32_t rc = load_sb10_stage2_key(); rc != 0) return rc;
  if (const std::int32_t rc = load_sb10_maker_private_key(kMakerPrivateKeyV11); rc != 0) {
    return maker_key_failure(rc);
  }
  std::fill(sb10_Context.begin(), sb10_Context.end(), std::uint8_t{0});
  read_file(kMakerPublicKeyV11, sb10_Context.data() + sbl::ContextV11::kPublicKeyInfo,
            sbl::PublicKeyInfoV11::kSize);

  std::int32_t rc = generate_sb10_context(publicKey.data(), image, length, sb10_Context.data());
  if (rc != 0) return fail_with(kGenerationFailed, rc);
  if (!read_efuse(kMakerEFuseV11, sb10_eFuseData, sb10_eFuseDataLen)) {
    return fail_with(kGenerationFailed, kKeyFileRejected);
  }
  rc = Check_SB10_Context(sb10_eFuseData.data(), sb10_eFuseDataLen, sb10_Context.data(), image,
                          length);
  if (rc != 0) return fail_with(kGenerationFailed, rc);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Verification

using CheckContextFn = std::int32_t (*)(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                        std::uint8_t* context, const std::uint8_t* image,
                                        std::uint32_t imageLen);

// The image is code followed by a context of the set's size; the context signs exactly the
// bytes before it, so the code is checked as stored (encrypted in the v2.1 set), never
// decrypted. The eFuse value is exactly the first eFuse.size() bytes of its file.
template <std::size_t ContextSize, std::size_t EFuseSize>
std::int32_t verify_stage1(const char* imageFile, const char* eFuseFile,
                           std::array<std::uint8_t, ContextSize>& context,
                           std::array<std::uint8_t, EFuseSize>& eFuse, std::uint32_t& eFuseLen,
                           CheckContextFn check) {
  const auto image = read_file_with_trailer(imageFile, 0);
  if (!image) return -1;  // "Out of memory." is the command's one line
  std::fill(eFuse.begin(), eFuse.end(), std::uint8_t{0});
  eFuseLen = EFuseSize;
  read_file(eFuseFile, eFuse.data(), static_cast<std::int32_t>(EFuseSize));
  if (image->size() < ContextSize) return fail_with(kVerificationFailed, -1);

  const std::size_t codeLength = image->size() - ContextSize;
  std::copy_n(image->data() + codeLength, ContextSize, context.begin());
  const std::int32_t rc = check(eFuse.data(), eFuseLen, context.data(), image->data(),
                                static_cast<std::uint32_t>(codeLength));
  if (rc != 0) return fail_with(kVerificationFailed, -1);
  print_text(kVerificationOk);
  return 0;
}

}  // namespace

std::int32_t sb20_Generate_Stage1(std::uint8_t* image, std::uint32_t length) {
  return secure_sb20(image, length, false);
}

std::int32_t sb20_Generate_Stage1_Polymorphic(std::uint8_t* image, std::uint32_t length) {
  if (length < BuildInfoBlock::kSize) return fail_with(kGenerationFailed, -1);
  return secure_sb20(image, length - BuildInfoBlock::kSize, true);
}

std::int32_t sb10_Generate_Stage1(std::uint8_t* image, std::uint32_t length) {
  return secure_sb10(image, length);
}

std::int32_t sb20_Verify_Stage1(const char* imageFile, const char* eFuseFile) {
  return verify_stage1(imageFile, eFuseFile, sb20_Context, sb20_eFuseData, sb20_eFuseDataLen,
                       Check_SB20_Context);
}

std::int32_t sb10_Verify_Stage1(const char* imageFile, const char* eFuseFile) {
  return verify_stage1(imageFile, eFuseFile, sb10_Context, sb10_eFuseData, sb10_eFuseDataLen,
                       Check_SB10_Context);
}
