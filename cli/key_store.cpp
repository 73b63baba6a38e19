#include "cli/key_store.h"

#include <algorithm>
#include <span>

#include "cli/files.h"
#include "cli/key_protection.h"
#include "cli/token_keys.h"
#include "cli/working_buffers.h"
#include "crypto/wipe.h"
#include "format/format.h"

namespace {

void drop_private_key() {
  qiv::wipe(privateKey.data(), privateKey.size());
  privateKeyLen = 0;
}

void drop_public_key() {
  std::fill(publicKey.begin(), publicKey.end(), std::uint8_t{0});
  publicKeyLen = 0;
}

// A protected blob file: the blob, then `fill` zero bytes that brought it to whole AES blocks.
// A key reference instead of a protected key makes the token key the command's key.
std::int32_t load_protected_blob(const char* path, std::int32_t mode, std::uint32_t fill,
                                 sbl::KeyForm form, const sbl::KeySetLayout& set) {
  drop_private_key();
  if (auto uri = read_key_reference(path)) return use_token_key(*uri, set);
  const std::int32_t length = read_whole_file(path, privateKey);
  if (length < 0) {
    drop_private_key();
    return kKeyFileRejected;
  }
  const auto fileLength = static_cast<std::uint32_t>(length);
  if (const std::int32_t rc = do_PrivateKey_Decrypt(mode, privateKey.data(), fileLength); rc != 0) {
    drop_private_key();
    return rc;
  }
  const std::span<const std::uint8_t> file(privateKey.data(), fileLength);
  if (fileLength < fill || !is_full_size_blob(form, file.first(fileLength - fill))) {
    drop_private_key();
    return kKeyFileRejected;
  }
  privateKeyLen = fileLength - fill;
  return 0;
}

}  // namespace

std::int32_t load_sb20_private_key(const char* path) {
  return load_protected_blob(path, kProtectionV21, ProtectedPrivateKeyFile::kFillV21,
                             sbl::KeyForm::kCrt, sbl::kKeySetV21);
}

std::int32_t load_sb10_maker_private_key(const char* path) {
  const std::int32_t rc = load_protected_blob(
      path, kProtectionV11, ProtectedPrivateKeyFile::kFillV11, sbl::KeyForm::kPlain,
      sbl::kKeySetV11);
  return rc == 0 || rc == kTokenFailed ? rc : kKeyFileRejected;
}

std::int32_t load_sb10_private_record(const char* path) {
  drop_private_key();
  if (auto uri = read_key_reference(path)) return use_token_key(*uri, sbl::kKeySetV11);
  std::fill(sb10_privkey_file.begin(), sb10_privkey_file.end(), std::uint8_t{0});
  read_file(path, sb10_privkey_file.data(), static_cast<std::int32_t>(sb10_privkey_file.size()));
  // A record unprotected under the wrong key is garbage, which the header check refuses.
  const std::int32_t rc =
      do_PrivateKey_Decrypt(kProtectionV11, sb10_privkey_file.data(),
                            static_cast<std::uint32_t>(sb10_privkey_file.size()));
  privateKeyLen = rc == 0 ? sb10_signing_blob(sb10_privkey_file, privateKey) : 0;
  if (privateKeyLen == 0) {
    qiv::wipe(sb10_privkey_file.data(), sb10_privkey_file.size());
    drop_private_key();
    return kKeyFileRejected;
  }
  return 0;
}

std::int32_t load_sb20_signed_public_key(const char* path) {
  const std::int32_t length = read_whole_file(path, publicKey);
  if (length < 0 || !sb20_signed_public_key_file_ok(
                        std::span(publicKey).first(static_cast<std::size_t>(length)))) {
    drop_public_key();
    return kKeyFileRejected;
  }
  publicKeyLen = static_cast<std::uint32_t>(length);
  return 0;
}

std::int32_t load_sb20_public_key(const char* path) {
  const std::int32_t length = read_whole_file(path, publicKey);
  if (length < 0 ||
      !sb20_key_part_ok(std::span(publicKey).first(static_cast<std::size_t>(length)))) {
    drop_public_key();
    return kKeyFileRejected;
  }
  publicKeyLen = static_cast<std::uint32_t>(length);
  return 0;
}

std::int32_t load_sb10_public_record(const char* path) {
  std::fill(sb10_pubkey_file.begin(), sb10_pubkey_file.end(), std::uint8_t{0});
  read_file(path, sb10_pubkey_file.data(), static_cast<std::int32_t>(sb10_pubkey_file.size()));
  publicKeyLen = sb10_verification_key(sb10_pubkey_file, publicKey);
  return publicKeyLen == 0 ? kKeyFileRejected : 0;
}

bool add_private_key_file(OutputSet& outputs, const char* path, std::int32_t mode,
                          std::uint8_t* plaintext, std::uint32_t length) {
  if (length > static_cast<std::uint32_t>(kMaxFileLength) ||
      do_PrivateKey_Encrypt(mode, plaintext, length) != 0) {
    return false;
  }
  return outputs.add(path, std::span(plaintext, length), FileAccess::kOwnerOnly, Existing::kRefuse);
}

std::int32_t write_private_key_file(const char* path, std::int32_t mode, std::uint8_t* plaintext,
                                    std::uint32_t length) {
  OutputSet outputs;
  if (!add_private_key_file(outputs, path, mode, plaintext, length)) return -1;
  return outputs.install() == OutputSet::Result::kInstalled ? 0 : -1;
}
