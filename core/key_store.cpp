#include "core/key_store.h"

#include <algorithm>
#include <span>
#include <string>

#include "core/files.h"
#include "core/key_protection.h"
#include "core/working_buffers.h"
#include "crypto/wipe.h"
#include "format/format.h"

namespace {

using core::Class;

void drop_private_key() {
  qiv::wipe(privateKey.data(), privateKey.size());
  privateKeyLen = 0;
}

void drop_public_key() {
  std::fill(publicKey.begin(), publicKey.end(), std::uint8_t{0});
  publicKeyLen = 0;
}

std::string bytes_text(std::size_t length) {
  return std::to_string(length) + (length == 1 ? " byte" : " bytes");
}

std::int32_t refuse_key(core::Report& report, core::Event refused, const char* path,
                        std::string cause) {
  return report.refuse(Class::kKey, refused, path, std::move(cause), kKeyFileRejected);
}

// Reads a whole key file into `room`; false after the refusal (an unreadable file, or one longer
// than the room, which no file of ours is).
bool read_key_file(core::Report& report, core::Event refused, const char* path,
                   std::span<std::uint8_t> room, std::string_view what, std::size_t& length) {
  const WholeFile file = read_whole_file(report, path, room);
  if (file.status == WholeFile::kTooLong) {
    refuse_key(report, refused, path,
               bytes_text(file.length) + "; " + std::string(what) + " has at most " +
                   std::to_string(room.size()));
  }
  length = file.length;
  return file.status == WholeFile::kRead;
}

// A key reference instead of a protected key makes the token key the command's key.
std::int32_t use_reference(core::Report& report, const char* path, const std::string& uri,
                           const sbl::KeySetLayout& set, core::SigningKey& key) {
  return key.use_token(report, uri, &set, path) ? 0 : kKeyFileRejected;
}

// A protected blob file: the blob, then `fill` zero bytes that brought it to whole AES blocks.
// A file that does not unprotect at all (its length is not whole AES blocks) is told under
// `notUnprotected` and ends the command with `notUnprotectedResult`.
std::int32_t load_protected_blob(core::Report& report, core::Event refused, const char* path,
                                 std::int32_t mode, std::uint32_t fill, sbl::KeyForm form,
                                 const sbl::KeySetLayout& set, core::SigningKey& key,
                                 core::Event notUnprotected, bool keepProtectionCode) {
  drop_private_key();
  if (auto uri = core::read_key_reference(path)) return use_reference(report, path, *uri, set, key);
  const std::string what = std::string("a ") + set.name + " private key file";
  std::size_t length = 0;
  if (!read_key_file(report, refused, path, privateKey, what, length)) {
    drop_private_key();
    return kKeyFileRejected;
  }
  const auto fileLength = static_cast<std::uint32_t>(length);
  if (const std::int32_t rc = do_PrivateKey_Decrypt(mode, privateKey.data(), fileLength); rc != 0) {
    drop_private_key();
    return report.refuse(Class::kKey, notUnprotected, path,
                         bytes_text(length) + ", not whole AES blocks: not " + what,
                         keepProtectionCode ? rc : kKeyFileRejected);
  }
  const std::span<const std::uint8_t> file(privateKey.data(), fileLength);
  if (fileLength < fill || !is_full_size_blob(form, file.first(fileLength - fill))) {
    drop_private_key();
    return refuse_key(report, refused, path, "not " + what + " (no full-size key inside)");
  }
  privateKeyLen = fileLength - fill;
  if (!key.use_blob(file.first(privateKeyLen))) {
    drop_private_key();
    return report.refuse(Class::kSystem, core::Event::kOutOfMemory, path, "no memory for the key");
  }
  return 0;
}

}  // namespace

std::int32_t load_sb20_private_key(core::Report& report, core::Event refused, const char* path,
                                   core::SigningKey& key) {
  return load_protected_blob(report, refused, path, kProtectionV21,
                             ProtectedPrivateKeyFile::kFillV21, sbl::KeyForm::kCrt,
                             sbl::kKeySetV21, key, core::Event::kSilent, true);
}

std::int32_t load_sb10_maker_private_key(core::Report& report, core::Event refused,
                                         const char* path, core::SigningKey& key) {
  // A file that does not unprotect cannot hold a valid blob: the command's line, like any other.
  return load_protected_blob(report, refused, path, kProtectionV11,
                             ProtectedPrivateKeyFile::kFillV11, sbl::KeyForm::kPlain,
                             sbl::kKeySetV11, key, refused, false);
}

std::int32_t load_sb10_private_record(core::Report& report, core::Event refused, const char* path,
                                      core::SigningKey& key) {
  drop_private_key();
  if (auto uri = core::read_key_reference(path)) {
    return use_reference(report, path, *uri, sbl::kKeySetV11, key);
  }
  std::fill(sb10_privkey_file.begin(), sb10_privkey_file.end(), std::uint8_t{0});
  if (!read_file(report, path, sb10_privkey_file.data(),
                 static_cast<std::int32_t>(sb10_privkey_file.size()))) {
    return kKeyFileRejected;
  }
  // A record unprotected under the wrong key is garbage, which the header check refuses.
  const std::int32_t rc =
      do_PrivateKey_Decrypt(kProtectionV11, sb10_privkey_file.data(),
                            static_cast<std::uint32_t>(sb10_privkey_file.size()));
  privateKeyLen = rc == 0 ? sb10_signing_blob(sb10_privkey_file, privateKey) : 0;
  if (privateKeyLen == 0 || !key.use_blob(std::span(privateKey).first(privateKeyLen))) {
    qiv::wipe(sb10_privkey_file.data(), sb10_privkey_file.size());
    drop_private_key();
    return refuse_key(report, refused, path, "not a v1.1 private key record");
  }
  return 0;
}

std::int32_t load_sb20_signed_public_key(core::Report& report, core::Event refused,
                                         const char* path) {
  std::size_t length = 0;
  if (!read_key_file(report, refused, path, publicKey, "a v2.1 public key file", length)) {
    drop_public_key();
    return kKeyFileRejected;
  }
  if (!sb20_signed_public_key_file_ok(std::span(publicKey).first(length))) {
    drop_public_key();
    return refuse_key(report, refused, path, "not a v2.1 signed public key file");
  }
  publicKeyLen = static_cast<std::uint32_t>(length);
  return 0;
}

std::int32_t load_sb20_public_key(core::Report& report, core::Event refused, const char* path) {
  std::size_t length = 0;
  if (!read_key_file(report, refused, path, publicKey, "a v2.1 public key file", length)) {
    drop_public_key();
    return kKeyFileRejected;
  }
  if (!sb20_key_part_ok(std::span(publicKey).first(length))) {
    drop_public_key();
    return refuse_key(report, refused, path, "not a v2.1 public key file");
  }
  publicKeyLen = static_cast<std::uint32_t>(length);
  return 0;
}

std::int32_t load_sb10_public_record(core::Report& report, core::Event refused, const char* path) {
  drop_public_key();  // a file that cannot be read leaves no earlier key behind
  std::fill(sb10_pubkey_file.begin(), sb10_pubkey_file.end(), std::uint8_t{0});
  if (!read_file(report, path, sb10_pubkey_file.data(),
                 static_cast<std::int32_t>(sb10_pubkey_file.size()))) {
    return kKeyFileRejected;
  }
  publicKeyLen = sb10_verification_key(sb10_pubkey_file, publicKey);
  if (publicKeyLen == 0) {
    return refuse_key(report, refused, path,
                      "not a v1.1 public key record (modulus or exponent length out of bounds)");
  }
  return 0;
}

bool add_private_key_file(OutputSet& outputs, const char* path, std::int32_t mode,
                          std::uint8_t* plaintext, std::uint32_t length, std::string what) {
  if (length > static_cast<std::uint32_t>(kMaxFileLength) ||
      do_PrivateKey_Encrypt(mode, plaintext, length) != 0) {
    return false;
  }
  return outputs.add(path, std::span(plaintext, length), FileAccess::kOwnerOnly, Existing::kRefuse,
                     std::move(what));
}
