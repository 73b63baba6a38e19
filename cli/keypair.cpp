// Key-pair commands: the maker's stage-1 key pair with the eFuse value devices will carry
// ("-KEYGEN"), and a customer's stage-2 key pair named after a base name ("-STAGE2_KEYGEN").
//
// Every public key file carries a signature over its own key, made with the private key of the
// same pair: the stage-1 commands check it before they embed a customer key (proof of
// possession). Private key files are protected (key_protection.h) and created 0600.
//
// The files of a pair are written as a set (files.h): every file is prepared, each failure
// reported, and only when all are complete are they installed together; the private key file
// is never replaced.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/key_file_names.h"
#include "cli/key_protection.h"
#include "cli/key_store.h"
#include "cli/process_guard.h"
#include "cli/token_keys.h"
#include "cli/usage.h"
#include "cli/working_buffers.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "format/format.h"
#include "random/random.h"
#include "rsa/rsa.h"
#include "sbl/sbl.h"

namespace {

constexpr std::string_view kFailed = "Key pair generation is failed.\n";
constexpr std::string_view kNameTooLong = "Key file name is too long.\n";
constexpr std::string_view kNeedsRandomDevice =
    "Key pair generation needs the kernel random device.\n";

struct CustomerFileNames {
  std::string publicKey;
  std::string privateKey;
};

// Both names, or nullopt when either would not fit kMaxFileNameBytes with its terminator. The
// suffix is appended to the whole argument, so a base name with a folder part writes there.
std::optional<CustomerFileNames> customer_file_names(const char* baseName,
                                                     std::string_view publicSuffix,
                                                     std::string_view privateSuffix) {
  if (baseName == nullptr) return std::nullopt;
  const std::size_t longest = std::max(publicSuffix.size(), privateSuffix.size());
  const std::size_t baseLength = std::strlen(baseName);
  if (baseLength + longest + 1 > kMaxFileNameBytes) return std::nullopt;
  return CustomerFileNames{std::string(baseName).append(publicSuffix),
                           std::string(baseName).append(privateSuffix)};
}

std::int32_t fail(std::int32_t rc) {
  print_text(kFailed);
  return rc;
}

// No file of a key set is ever replaced. The private key cannot be made again (devices fused
// with the maker's eFuse value, and customers' images, trust only that key), and neither can the
// eFuse value: it is random and exists only in its file and in fused devices. A set whose
// private key was moved to a safe place must not have its other files replaced either.
void say_key_exists(std::string_view file) {
  print_text("Key file " + printable(file) + " exists already: move or remove it first.\n");
}

// The end of a command whose cleanup signal came while the token held its new key: the key
// goes, nothing is installed, and the signal ends the process when the hold ends.
std::int32_t undo_for_signal() {
  undo_token_key();
  return kKeyFileRejected;
}

// Installs the set's files all together, or none; every file is created exclusively (the
// private key's first), so of two commands racing in one folder exactly one installs its set.
std::int32_t install(OutputSet& outputs) {
  // A cleanup signal held since the token made its key ends the command now: the key goes
  // again, and no file naming it is installed.
  if (SignalsHeld::signal_pending()) return undo_for_signal();
  const OutputSet::Result result = outputs.install();
  // A key made in a token for files that could not be written would only block its label.
  if (result != OutputSet::Result::kInstalled) undo_token_key();
  switch (result) {
    case OutputSet::Result::kInstalled:
      return 0;
    case OutputSet::Result::kExists:
      say_key_exists(outputs.existing_path());
      return kKeyFileRejected;
    case OutputSet::Result::kFailed:
      break;
  }
  return fail(kKeyFileRejected);
}

// Adds the eFuse value, which derives the integrity and code keys: as secret as the private key.
void add_efuse(OutputSet& outputs, const char* path, std::span<const std::uint8_t> eFuse) {
  outputs.add(path, eFuse, FileAccess::kOwnerOnly, Existing::kRefuse);
}

// A public key file of a new set: its name must be free as well.
void add_public_key(OutputSet& outputs, const char* path, std::span<const std::uint8_t> bytes) {
  outputs.add(path, bytes, FileAccess::kShared, Existing::kRefuse);
}

// The key reference written in place of a private key file when the key is in a token.
std::string keyReference;

// The private key file: the protected key, or the reference to the token key. Either is
// owner-only and never replaces a file.
void add_private_key(OutputSet& outputs, const char* path, std::int32_t mode,
                     std::span<std::uint8_t> plaintext) {
  if (token_signer() != nullptr) {
    outputs.add(path, std::span(reinterpret_cast<const std::uint8_t*>(keyReference.data()),
                                keyReference.size()),
                FileAccess::kOwnerOnly, Existing::kRefuse);
    return;
  }
  static_cast<void>(add_private_key_file(outputs, path, mode, plaintext.data(),
                                         static_cast<std::uint32_t>(plaintext.size())));
}

// Without the kernel random device the generator would be stirred with the clock, usage
// counters and a rand() with a known seed alone: primes and integrity keys that an attacker who
// knows roughly when and where the key was made could reproduce. Checked after the name and
// before any randomness is drawn, so nothing is generated or written, and the refusal follows
// the dispatcher's generating line as the command's only line.
bool refuse_without_random_device() {
  if (qiv_RandomDeviceGivesBytes()) return false;
  print_text(kNeedsRandomDevice);
  return true;
}

// The checks both sets make before any key is drawn: customer names that fit (customer mode),
// every file name of the set free (the private key's named first when several are taken), then
// the random device. False after printing why not.
bool ready_to_generate(std::int32_t mode, const char* baseName, const sbl::KeySetLayout& set,
                       std::optional<CustomerFileNames>& names) {
  const sbl::KeyFileNames& files = set.files;
  if (mode != kMakerMode) {
    names = customer_file_names(baseName, files.customerPublicSuffix, files.customerPrivateSuffix);
    if (!names) {
      print_text(kNameTooLong);
      return false;
    }
  }
  const std::array<const char*, 3> written =
      names ? std::array{names->privateKey.c_str(), names->publicKey.c_str(), ""}
            : std::array{files.makerPrivateKey, files.makerEFuse, files.makerPublicKey};
  for (const char* file : written) {
    if (*file != '\0' && name_is_taken(file)) {
      say_key_exists(file);
      return false;
    }
  }
  return !refuse_without_random_device();
}

// The set's key: RSA-2048 with e = 3 (v2.1), RSA-1024 with e = 65537 (v1.1).
std::int32_t generate_key(QIV_RSA_PRIVATE_KEY& key, const sbl::KeySetLayout& set) {
  key.e[0] = set.publicExponent;
  key.e_count = 1;
  return QIV_RSA_KeyGen(&key, set.modulusBits);
}

std::uint32_t digits_of(std::uint32_t bits) {
  return bits / (8 * sbl::kDigitSize);
}

// Lays out the key's blob at the start of the cleared privateKey; false if it does not fit
// the full-size layout of its form.
bool put_blob(sbl::KeyForm form, const QIV_RSA_PRIVATE_KEY& key) {
  std::fill(privateKey.begin(), privateKey.end(), std::uint8_t{0});
  privateKeyLen = put_private_key_blob(form, key, privateKey);
  return privateKeyLen != 0;
}

// ---------------------------------------------------------------------------------------------
// v2.1

// publicKey = signed public key file for the record in sb20_Context, self-signed with the blob
// in privateKey.
std::int32_t sign_sb20_public_key_file() {
  using F = SignedPublicKeyFileV21;
  std::fill(publicKey.begin(), publicKey.end(), std::uint8_t{0});
  const auto file = std::span(publicKey).first<F::kSize>();
  const auto record = std::span(sb20_Context)
                          .subspan<sbl::ContextV21::kPublicKeyInfo, sbl::PublicKeyInfoV21::kSize>();
  fill_sb20_signed_public_key_file(file, record);
  std::uint32_t signatureLength = F::kSignatureSize;
  const std::int32_t rc =
      sign_with_command_key(QIV_SBL_FORM_CRT, file.data() + F::kRecord, F::kRecordSize,
                            file.data() + F::kSignature, &signatureLength);
  if (rc != 0) return rc;
  if (signatureLength != F::kSignatureSize) return kKeyFileRejected;
  publicKeyLen = F::kSignature + signatureLength;
  return 0;
}

// The record with its eFuse value for (n, e), in sb20_Context and sb20_eFuseData.
std::int32_t make_sb20_record(const std::uint32_t* n, const std::uint32_t* e) {
  sb20_eFuseDataLen = sbl::EFuseV21::kSize;
  std::fill(sb20_eFuseData.begin(), sb20_eFuseData.end(), std::uint8_t{0});
  return Generate_SB20_PublicKeyInfo(nullptr, 0, n, digits_of(sbl::kKeySetV21.modulusBits), e, 1,
                                     sb20_eFuseData.data(), &sb20_eFuseDataLen,
                                     sb20_Context.data() + sbl::ContextV21::kPublicKeyInfo);
}

// Key, record with eFuse value, blob (or, with a URI, the key in the token) and self-signed
// public key file, in the working buffers.
std::int32_t make_sb20_pair(QIV_RSA_PRIVATE_KEY& key, const char* uri) {
  if (uri != nullptr) {
    if (const std::int32_t rc = generate_token_key(uri, sbl::kKeySetV21); rc != 0) return rc;
    const std::uint32_t e = token_exponent();
    if (const std::int32_t rc = make_sb20_record(token_modulus_digits().data(), &e); rc != 0) {
      return rc;
    }
    return sign_sb20_public_key_file();
  }
  if (const std::int32_t rc = generate_key(key, sbl::kKeySetV21); rc != 0) return rc;
  if (const std::int32_t rc = make_sb20_record(key.n, key.e); rc != 0) return rc;
  if (!put_blob(sbl::KeyForm::kCrt, key)) return kKeyFileRejected;
  return sign_sb20_public_key_file();
}

}  // namespace

std::int32_t sb20_Generate_KeyPair(std::int32_t mode, const char* baseName) {
  return sb20_Generate_KeyPair_InToken(mode, baseName, nullptr);
}

std::int32_t sb20_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri) {
  std::optional<CustomerFileNames> names;
  if (!ready_to_generate(mode, baseName, sbl::kKeySetV21, names)) {
    return kKeyFileRejected;
  }
  const PrivateKeyScope secrets;
  // From before the token makes the key until its files are installed or it is destroyed
  // again, a cleanup signal waits: it must not leave a key in the token that no file names.
  std::optional<SignalsHeld> held;
  if (uri != nullptr) held.emplace();
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  if (const std::int32_t rc = make_sb20_pair(*key, uri); rc != 0) {
    undo_token_key();
    return rc == kTokenFailed ? rc : fail(rc);
  }
  keyReference = uri != nullptr ? token_key_reference() : std::string();

  // The blob is followed by zero bytes up to whole AES blocks: privateKey was cleared.
  const auto privateFile = std::span(privateKey).first<ProtectedPrivateKeyFile::kSizeV21>();
  const auto publicFile = std::span(publicKey).first(publicKeyLen);
  OutputSet out;
  if (!names) {
    add_private_key(out, kMakerPrivateKeyV21, kProtectionV21, privateFile);
    add_efuse(out, kMakerEFuseV21, std::span(sb20_eFuseData).first(sb20_eFuseDataLen));
    add_public_key(out, kMakerPublicKeyV21, publicFile);
    return install(out);
  }
  // A customer pair has no eFuse value: its integrity key is random and kept by nobody.
  add_private_key(out, names->privateKey.c_str(), kProtectionV21, privateFile);
  add_public_key(out, names->publicKey.c_str(), publicFile);
  return install(out);
}

// ---------------------------------------------------------------------------------------------
// v1.1

namespace {

// The record with its eFuse value for (n, e), in sb10_Context and sb10_eFuseData.
std::int32_t make_sb10_record(const std::uint32_t* n, const std::uint32_t* e) {
  sb10_eFuseDataLen = sbl::EFuseV11::kSize;
  std::fill(sb10_eFuseData.begin(), sb10_eFuseData.end(), std::uint8_t{0});
  return Generate_SB10_PublicKeyInfo(nullptr, 0, n, digits_of(sbl::kKeySetV11.modulusBits), e, 1,
                                     sb10_eFuseData.data(), &sb10_eFuseDataLen,
                                     sb10_Context.data() + sbl::ContextV11::kPublicKeyInfo);
}

// Key, record with eFuse value and blob (or, with a URI, the key in the token), in the working
// buffers.
std::int32_t make_sb10_pair(QIV_RSA_PRIVATE_KEY& key, const char* uri) {
  if (uri != nullptr) {
    if (const std::int32_t rc = generate_token_key(uri, sbl::kKeySetV11); rc != 0) return rc;
    const std::uint32_t e = token_exponent();
    return make_sb10_record(token_modulus_digits().data(), &e);
  }
  if (const std::int32_t rc = generate_key(key, sbl::kKeySetV11); rc != 0) return rc;
  if (const std::int32_t rc = make_sb10_record(key.n, key.e); rc != 0) return rc;
  return put_blob(sbl::KeyForm::kPlain, key) ? 0 : kKeyFileRejected;
}

std::span<const std::uint8_t, sbl::PublicKeyInfoV11::kSize> sb10_record() {
  return std::span(sb10_Context)
      .subspan<sbl::ContextV11::kPublicKeyInfo, sbl::PublicKeyInfoV11::kSize>();
}

// Signs message into signature with the plain-form blob in privateKey; 0 only for a signature
// of exactly `expected` bytes.
std::int32_t sign_plain(std::span<const std::uint8_t> message, std::uint8_t* signature,
                        std::uint32_t expected) {
  std::uint32_t signatureLength = expected;
  const std::int32_t rc =
      sign_with_command_key(QIV_SBL_FORM_PLAIN, message.data(),
                            static_cast<std::uint32_t>(message.size()), signature, &signatureLength);
  if (rc != 0) return rc;
  return signatureLength == expected ? 0 : kKeyFileRejected;
}

// publicKeyInfo.dat, eFuseData.dat, privateKey.dat. Nothing is written when the self-signature
// fails: a set whose public key file no check accepts would only block the name of its key.
std::int32_t write_sb10_maker_files() {
  using F = MakerPublicKeyFileV11;
  std::fill_n(publicKey.begin(), F::kSize, std::uint8_t{0});
  publicKeyLen = F::kSize;
  std::copy(sb10_record().begin(), sb10_record().end(), publicKey.begin() + F::kRecord);
  const std::int32_t rc = sign_plain(std::span(publicKey).subspan(F::kRecord, F::kRecordSize),
                                     publicKey.data() + F::kSignature, F::kSignatureSize);
  if (rc != 0) return fail(rc);

  OutputSet out;
  // The blob is followed by zero bytes up to whole AES blocks: privateKey was cleared.
  privateKeyLen = ProtectedPrivateKeyFile::kSizeV11;
  add_private_key(out, kMakerPrivateKeyV11, kProtectionV11,
                  std::span(privateKey).first(privateKeyLen));
  add_public_key(out, kMakerPublicKeyV11, std::span(publicKey).first(publicKeyLen));
  add_efuse(out, kMakerEFuseV11, std::span(sb10_eFuseData).first(sb10_eFuseDataLen));
  return install(out);
}

// "<base>.spk" (the public key record, self-signed over its key data) and "<base>.prv" (the
// private key record). Nothing is written when the self-signature fails.
std::int32_t write_sb10_customer_files(const CustomerFileNames& names) {
  using R = PublicKeyRecordV11;
  const auto keyPart = sb10_record().first<sbl::PublicKeyInfoV11::kKeyPartSize>();
  fill_sb10_public_record(sb10_pubkey_file, keyPart);
  std::uint8_t* record = sb10_pubkey_file.data();
  const std::int32_t rc =
      sign_plain(std::span(sb10_pubkey_file).subspan(R::kKeyData, R::kKeyDataSize),
                 record + R::kSignature, R::kSignatureSize);
  if (rc != 0) return fail(rc);
  qiv::store_le32(record + R::kSignatureLength, R::kSignatureSize);

  const auto blob = std::span(privateKey).first(privateKeyLen);
  if (token_signer() == nullptr && !fill_sb10_private_record(sb10_privkey_file, blob)) {
    return fail(kKeyFileRejected);
  }
  OutputSet out;
  add_private_key(out, names.privateKey.c_str(), kProtectionV11, sb10_privkey_file);
  add_public_key(out, names.publicKey.c_str(), sb10_pubkey_file);
  return install(out);
}

}  // namespace

std::int32_t sb10_Generate_KeyPair(std::int32_t mode, const char* baseName) {
  return sb10_Generate_KeyPair_InToken(mode, baseName, nullptr);
}

std::int32_t sb10_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri) {
  std::optional<CustomerFileNames> names;
  if (!ready_to_generate(mode, baseName, sbl::kKeySetV11, names)) {
    return kKeyFileRejected;
  }
  const PrivateKeyScope secrets;
  // From before the token makes the key until its files are installed or it is destroyed
  // again, a cleanup signal waits: it must not leave a key in the token that no file names.
  std::optional<SignalsHeld> held;
  if (uri != nullptr) held.emplace();
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  if (const std::int32_t rc = make_sb10_pair(*key, uri); rc != 0) {
    undo_token_key();
    return rc == kTokenFailed ? rc : fail(rc);
  }
  keyReference = uri != nullptr ? token_key_reference() : std::string();
  const std::int32_t rc = names ? write_sb10_customer_files(*names) : write_sb10_maker_files();
  if (rc != 0) undo_token_key();
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Moving a key into a token

namespace {

constexpr std::string_view kStored = "Key stored in the token; key reference written.\n";

// The CRT-form blob of a full-size plain-form blob: e (the v1.1 set's) inserted after n, so the
// blob loader checks every component of the key before it leaves for the token.
bool crt_blob_from_plain(std::span<const std::uint8_t> plain, std::span<std::uint8_t> out) {
  using B = sbl::PrivateKeyBlob;
  const std::uint32_t nPart = B::kLengthFieldSize + B::kPlainFullSizes[0];
  const std::uint32_t ePart = B::kLengthFieldSize + B::kCrtFullSizes[1];
  if (plain.size() != B::kPlainFullSize || out.size() < plain.size() + ePart ||
      qiv::load_le32(plain.data()) != B::kPlainFullSizes[0]) {
    return false;
  }
  std::copy_n(plain.begin(), nPart, out.begin());
  qiv::store_le32(out.data() + nPart, B::kCrtFullSizes[1]);
  qiv::store_le32(out.data() + nPart + B::kLengthFieldSize, sbl::kKeySetV11.publicExponent);
  std::copy(plain.begin() + nPart, plain.end(), out.begin() + nPart + ePart);
  return true;
}

// Loads the key of a protected key file of the set into `key`; false (nothing printed) when the
// file holds no such key. A reference is not a key: the key is in a token already.
bool load_file_key(const char* keyFile, const sbl::KeySetLayout& set, QIV_RSA_PRIVATE_KEY& key) {
  // Every blob that leaves for the token is checked full-size first, whichever loader read it:
  // the copies made for the token take each component's last byte, so none may be empty.
  if (read_key_reference(keyFile)) return false;
  if (set.crtSigning) {
    if (load_sb20_private_key(keyFile) != 0) return false;
    const auto blob = std::span<const std::uint8_t>(privateKey).first(privateKeyLen);
    return is_full_size_blob(sbl::KeyForm::kCrt, blob) &&
           sbl::load_private_key_blob(blob, sbl::KeyForm::kCrt, key);
  }
  // A customer's record or the maker's blob file: the record is the one of 640 bytes.
  std::span<const std::uint8_t> plain;
  struct stat info {};
  if (::stat(keyFile, &info) == 0 && info.st_size == PrivateKeyRecordV11::kSize) {
    if (load_sb10_private_record(keyFile) != 0) return false;
    plain = std::span(sb10_privkey_file)
                .subspan<PrivateKeyRecordV11::kKeyData, PrivateKeyRecordV11::kKeyDataSize>();
  } else {
    if (load_sb10_maker_private_key(keyFile) != 0) return false;
    plain = std::span(privateKey).first(privateKeyLen);
  }
  qiv::SecretArray<std::uint8_t, sbl::PrivateKeyBlob::kCrtFullSize> crt;
  const std::span<const std::uint8_t> crtBlob(crt.data(), crt.size());
  return is_full_size_blob(sbl::KeyForm::kPlain, plain) &&
         crt_blob_from_plain(plain, std::span(crt.data(), crt.size())) &&
         sbl::load_private_key_blob(crtBlob, sbl::KeyForm::kCrt, key);
}

}  // namespace

std::int32_t Store_Key_InToken(const sbl::KeySetLayout& set, const char* keyFile,
                               const char* uri, const char* referenceFile) {
  if (name_is_taken(referenceFile)) {
    say_key_exists(referenceFile);
    return kKeyFileRejected;
  }
  const PrivateKeyScope secrets;
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  if (!load_file_key(keyFile, set, *key)) {
    print_text("Key file " + printable(keyFile) + " holds no " + set.name + " private key.\n");
    return kKeyFileRejected;
  }
  drop_token_key();  // loading used the file's key, not a token's
  const SignalsHeld held;  // as for a key pair: no stored key without its reference
  if (const std::int32_t rc = store_token_key(uri, set, *key); rc != 0) return rc;
  // The token now signs with what it stored: its modulus must be the file's, and a signature it
  // makes must verify (the signer checks each one).
  const auto n = token_modulus_digits();
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> probe{};
  std::array<std::uint8_t, sbl::ContextV21::kSignatureSize> signature{};
  std::uint32_t signatureLen = 0;
  if (n.size() != key->n_count || !std::equal(n.begin(), n.end(), key->n) ||
      Generate_PSS_RSASignature_By(token_signer(), probe.data(), QIV_SHA1_DIGEST_LEN,
                                   signature.data(), &signatureLen) != 0) {
    undo_token_key();
    print_text("Hardware token: the stored key does not sign as the key file does.\n");
    return kTokenFailed;
  }
  keyReference = token_key_reference();
  // A cleanup signal held since the token stored the key: the key goes, no reference is made.
  if (SignalsHeld::signal_pending()) {
    return undo_for_signal();
  }
  OutputSet out;
  out.add(referenceFile,
          std::span(reinterpret_cast<const std::uint8_t*>(keyReference.data()),
                    keyReference.size()),
          FileAccess::kOwnerOnly, Existing::kRefuse);
  if (const OutputSet::Result result = out.install(); result != OutputSet::Result::kInstalled) {
    undo_token_key();
    if (result == OutputSet::Result::kExists) say_key_exists(referenceFile);
    return kKeyFileRejected;
  }
  print_text(kStored);
  return 0;
}
