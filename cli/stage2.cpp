// Stage-2 commands: signing a second-stage loader with a customer's private key file
// ("-STAGE2") and checking a signed one with the matching public key file ("-STAGE2_VERIFY").
//
// A signed image is the loader byte for byte, followed by an RSASSA-PSS signature over it
// (SHA-1, MGF1-SHA-1, 20-byte salt) stored least significant byte first: 256 bytes in the v2.1
// set, 128 in the v1.1 set. There is no header: the signature is found by its size alone.
// Verification uses only the public key; the public key file's own tag and self-signature are
// not needed to check an image.
#include <string_view>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/image_jobs.h"
#include "cli/key_store.h"
#include "cli/token_keys.h"
#include "cli/usage.h"
#include "cli/working_buffers.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"

namespace {

constexpr std::string_view kGenerationFailed = "Stage 2: Signature generation is failed.\n";
constexpr std::string_view kVerificationFailed = "Stage 2: Signature verification is failed.\n";
constexpr std::string_view kVerificationOk = "Stage 2: Signature verification is successful.\n";

std::int32_t fail_with(std::string_view line, std::int32_t rc) {
  print_text(line);
  return rc;
}

using LoadKeyFn = std::int32_t (*)(const char* path);

// Loads the private key file into privateKey and signs image[0, length) with it. A file the
// loader refuses (too large, not our layout, protected under the other set's key) gets the
// generation failure line; one that does not unprotect at all (its length is not a whole
// number of AES blocks) ends the command with the protection's code and no line of its own.
std::int32_t sign_stage2(LoadKeyFn load, std::int32_t form, std::uint32_t signatureSize,
                         const char* keyFile, const std::uint8_t* image, std::uint32_t length,
                         std::uint8_t* signature, std::uint32_t* signatureLen) {
  const PrivateKeyScope secrets;
  if (signature == nullptr || signatureLen == nullptr || *signatureLen < signatureSize) {
    return fail_with(kGenerationFailed, -1);
  }
  if (const std::int32_t rc = load(keyFile); rc != 0) {
    return rc == kKeyFileRejected ? fail_with(kGenerationFailed, rc) : rc;
  }
  // The loaders accept only full-size keys, so the signature is exactly signatureSize bytes.
  std::uint32_t written = signatureSize;
  const std::int32_t rc = sign_with_command_key(form, image, length, signature, &written);
  // The wrapper has checked the signature with the key's public part: a key damaged inside
  // its protection signs, but nothing would accept what it signed. Status 255 like every
  // refusal of this command.
  if (rc != 0) return fail_with(kGenerationFailed, -1);
  *signatureLen = written;
  return 0;
}

// Reads the signed image and the public key file (through `load`, into publicKey) and checks
// the trailing signatureSize bytes over the bytes before them.
std::int32_t verify_stage2(const char* imageFile, const char* keyFile, LoadKeyFn load,
                           std::uint32_t signatureSize, bool keyPartOnly) {
  auto image = read_file_with_trailer(imageFile, 0);
  if (!image) return -1;  // "Out of memory." is the command's one line
  if (load(keyFile) != 0 || image->size() < signatureSize) {
    return fail_with(kVerificationFailed, -1);
  }
  const auto messageLength = static_cast<std::uint32_t>(image->size() - signatureSize);
  const std::uint32_t keyLength = keyPartOnly ? sbl::PublicKeyInfoV21::kKeyPartSize : publicKeyLen;
  const std::int32_t rc =
      Verify_PSS_RSASignature2(publicKey.data(), keyLength, image->data(), messageLength,
                               image->data() + messageLength, signatureSize);
  if (rc != 0) return fail_with(kVerificationFailed, -1);
  print_text(kVerificationOk);
  return 0;
}

}  // namespace

std::int32_t sb20_Generate_Stage2(const char* keyFile, std::uint8_t* image, std::uint32_t length,
                                  std::uint8_t* signature, std::uint32_t* signatureLen) {
  return sign_stage2(load_sb20_private_key, QIV_SBL_FORM_CRT, SignedStage2Image::kSignatureSizeV21,
                     keyFile, image, length, signature, signatureLen);
}

std::int32_t sb10_Generate_Stage2(const char* keyFile, std::uint8_t* image, std::uint32_t length,
                                  std::uint8_t* signature, std::uint32_t* signatureLen) {
  return sign_stage2(load_sb10_private_record, QIV_SBL_FORM_PLAIN,
                     SignedStage2Image::kSignatureSizeV11, keyFile, image, length, signature,
                     signatureLen);
}

std::int32_t sb20_Verify_Stage2(const char* imageFile, const char* keyFile) {
  // The key is the 268-byte key part at the start of a v2.1 public key file.
  return verify_stage2(imageFile, keyFile, load_sb20_public_key,
                       SignedStage2Image::kSignatureSizeV21, true);
}

std::int32_t sb10_Verify_Stage2(const char* imageFile, const char* keyFile) {
  // The key is the record's modulus followed by its exponent, built by the loader.
  return verify_stage2(imageFile, keyFile, load_sb10_public_record,
                       SignedStage2Image::kSignatureSizeV11, false);
}
