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

#include "core/commands.h"
#include "core/files.h"
#include "core/key_protection.h"
#include "core/key_store.h"
#include "core/process_guard.h"
#include "core/signing_key.h"
#include "core/working_buffers.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "format/format.h"
#include "random/random.h"
#include "rsa/rsa.h"
#include "sbl/sbl.h"

namespace core {

std::optional<CustomerFiles> customer_files(const sbl::KeySetLayout& set,
                                            const std::string& baseName) {
  const std::string_view publicSuffix = set.files.customerPublicSuffix;
  const std::string_view privateSuffix = set.files.customerPrivateSuffix;
  if (baseName.size() + std::max(publicSuffix.size(), privateSuffix.size()) + 1 >
      kMaxFileNameBytes) {
    return std::nullopt;
  }
  // The suffix is appended to the whole name, so a base name with a folder part writes there.
  return CustomerFiles{baseName + std::string(publicSuffix), baseName + std::string(privateSuffix)};
}

namespace {

std::int32_t fail(Report& report, const std::string& file, std::string cause, std::int32_t rc) {
  return report.refuse(Class::kKey, Event::kKeyPairFailed, file, std::move(cause), rc);
}

// No file of a key set is ever replaced. The private key cannot be made again (devices fused
// with the maker's eFuse value, and customers' images, trust only that key), and neither can the
// eFuse value: it is random and exists only in its file and in fused devices. A set whose
// private key was moved to a safe place must not have its other files replaced either.
std::int32_t key_exists(Report& report, const std::string& file) {
  return report.refuse(Class::kOutput, Event::kKeyExists, file,
                       "exists already: key files are never replaced; move or remove it first",
                       kKeyFileRejected);
}

// The end of a command whose cleanup signal came while the token held its new key: the key
// goes, nothing is installed, and the signal ends the process when the hold ends.
std::int32_t undo_for_signal(SigningKey& key) {
  key.undo_token_key();
  return kKeyFileRejected;
}

// Installs the set's files all together, or none; every file is created exclusively (the
// private key's first), so of two commands racing in one folder exactly one installs its set.
std::int32_t install(Report& report, OutputSet& outputs, SigningKey& key,
                     const std::string& privateKey) {
  // A cleanup signal held since the token made its key ends the command now: the key goes
  // again, and no file naming it is installed.
  if (SignalsHeld::signal_pending()) return undo_for_signal(key);
  const OutputSet::Result result = outputs.install();
  // A key made in a token for files that could not be written would only block its label.
  if (result != OutputSet::Result::kInstalled) key.undo_token_key();
  switch (result) {
    case OutputSet::Result::kInstalled:
      return 0;
    case OutputSet::Result::kExists:
      return key_exists(report, outputs.existing_path());
    case OutputSet::Result::kFailed:
      break;
  }
  return fail(report, privateKey, "the key files could not be written", kKeyFileRejected);
}

std::string described(const sbl::KeySetLayout& set, const char* what) {
  return std::string(set.name) + " " + what;
}

// Adds the eFuse value, which derives the integrity and code keys: as secret as the private key.
void add_efuse(OutputSet& outputs, const KeyPairJob& job, std::span<const std::uint8_t> eFuse) {
  outputs.add(job.eFuse.c_str(), eFuse, FileAccess::kOwnerOnly, Existing::kRefuse,
              described(*job.set, "eFuse value"));
}

// A public key file of a new set: its name must be free as well.
void add_public_key(OutputSet& outputs, const KeyPairJob& job, std::span<const std::uint8_t> bytes) {
  outputs.add(job.publicKey.c_str(), bytes, FileAccess::kShared, Existing::kRefuse,
              described(*job.set, job.maker ? "maker public key" : "customer public key"));
}

// The private key file: the protected key, or the reference to the token key. Either is
// owner-only and never replaces a file.
void add_private_key(OutputSet& outputs, const KeyPairJob& job, const SigningKey& key,
                     std::int32_t mode, std::span<std::uint8_t> plaintext) {
  const std::string what =
      described(*job.set, key.in_token() ? (job.maker ? "maker key reference" : "customer key reference")
                                         : (job.maker ? "maker private key" : "customer private key"));
  if (key.in_token()) {
    const std::string reference = key.token_key_reference();
    outputs.add(job.privateKey.c_str(),
                std::span(reinterpret_cast<const std::uint8_t*>(reference.data()), reference.size()),
                FileAccess::kOwnerOnly, Existing::kRefuse, what);
    return;
  }
  static_cast<void>(add_private_key_file(outputs, job.privateKey.c_str(), mode, plaintext.data(),
                                         static_cast<std::uint32_t>(plaintext.size()), what));
}

// Without the kernel random device the generator would be stirred with the clock, usage
// counters and a rand() with a known seed alone: primes and integrity keys that an attacker who
// knows roughly when and where the key was made could reproduce. Checked after the name and
// before any randomness is drawn, so nothing is generated or written, and the refusal follows
// the dispatcher's generating line as the command's only line.
bool refuse_without_random_device(Report& report) {
  if (qiv_RandomDeviceGivesBytes()) return false;
  report.refuse(Class::kSystem, Event::kNeedsRandomDevice, "/dev/urandom",
                "gives no bytes: keys are made only from the kernel random device");
  return true;
}

// The checks both sets make before any key is drawn: every file name of the set free (the
// private key's named first when several are taken), then the random device. False after the
// refusal.
bool ready_to_generate(Report& report, const KeyPairJob& job) {
  const std::array<const std::string*, 3> written = {&job.privateKey, &job.eFuse, &job.publicKey};
  for (const std::string* file : written) {
    if (!file->empty() && name_is_taken(file->c_str())) {
      key_exists(report, *file);
      return false;
    }
  }
  return !refuse_without_random_device(report);
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

// Lays out the key's blob at the start of the cleared privateKey and makes it the signing key;
// false if it does not fit the full-size layout of its form.
bool put_blob(sbl::KeyForm form, const QIV_RSA_PRIVATE_KEY& key, SigningKey& signingKey) {
  std::fill(privateKey.begin(), privateKey.end(), std::uint8_t{0});
  privateKeyLen = put_private_key_blob(form, key, privateKey);
  return privateKeyLen != 0 && signingKey.use_blob(std::span(privateKey).first(privateKeyLen));
}

// Makes the key: in the token the URI names, or drawn here and laid out as the set's blob. Its
// public part then goes to `n` (digits) and `e`.
std::int32_t make_key(Report& report, const KeyPairJob& job, QIV_RSA_PRIVATE_KEY& key,
                      SigningKey& signingKey, const std::uint32_t*& n, std::uint32_t& e) {
  const sbl::KeySetLayout& set = *job.set;
  if (job.uri != nullptr) {
    if (job.given != nullptr) {
      if (!signingKey.store_in_token(report, job.uri, set, *job.given, job.privateKey)) {
        return kKeyFileRejected;
      }
    } else if (!signingKey.generate_in_token(report, job.uri, set, job.privateKey)) {
      return kKeyFileRejected;
    }
    n = signingKey.token_modulus_digits().data();
    e = signingKey.token_exponent();
    return 0;
  }
  if (job.given != nullptr) {
    key = *job.given;
  } else if (const std::int32_t rc = generate_key(key, set); rc != 0) {
    return fail(report, job.privateKey, "the key generation failed", rc);
  }
  if (!put_blob(set.crtSigning ? sbl::KeyForm::kCrt : sbl::KeyForm::kPlain, key, signingKey)) {
    return fail(report, job.privateKey, "the key does not fit the set's key layout",
                kKeyFileRejected);
  }
  n = key.n;
  e = key.e[0];
  return 0;
}

// Signs message into signature with the new key; 0 only for a signature of exactly `expected`
// bytes.
std::int32_t self_sign(Report& report, const KeyPairJob& job, SigningKey& key, std::int32_t form,
                       std::span<const std::uint8_t> message, std::uint8_t* signature,
                       std::uint32_t expected) {
  std::uint32_t signatureLength = expected;
  std::int32_t rc = key.sign(form, message.data(), static_cast<std::uint32_t>(message.size()),
                             signature, &signatureLength);
  if (rc == 0 && signatureLength != expected) rc = kKeyFileRejected;
  if (rc != 0) {
    return fail(report, job.publicKey, "the new key's self-signature does not verify", rc);
  }
  return 0;
}

void report_new_key(Report& report, const KeyPairJob& job, std::span<const std::uint8_t> keyPart) {
  report.used_key({job.maker ? "maker" : "customer", job.set->name, key_fingerprint(keyPart)});
}

// ---------------------------------------------------------------------------------------------
// v2.1

// Key, record with eFuse value (a customer's is drawn and kept by nobody), self-signed public
// key file; then the set's files.
std::int32_t make_sb20_pair(Report& report, const KeyPairJob& job, QIV_RSA_PRIVATE_KEY& key,
                            SigningKey& signingKey) {
  using F = SignedPublicKeyFileV21;
  const std::uint32_t* n = nullptr;
  std::uint32_t e = 0;
  if (const std::int32_t rc = make_key(report, job, key, signingKey, n, e); rc != 0) return rc;
  sb20_eFuseDataLen = sbl::EFuseV21::kSize;
  std::fill(sb20_eFuseData.begin(), sb20_eFuseData.end(), std::uint8_t{0});
  const auto record =
      std::span(sb20_Context).subspan<sbl::ContextV21::kPublicKeyInfo, sbl::PublicKeyInfoV21::kSize>();
  if (const std::int32_t rc = Generate_SB20_PublicKeyInfo(
          nullptr, 0, n, digits_of(sbl::kKeySetV21.modulusBits), &e, 1, sb20_eFuseData.data(),
          &sb20_eFuseDataLen, record.data());
      rc != 0) {
    return fail(report, job.publicKey, "the public key record could not be made", rc);
  }
  std::fill(publicKey.begin(), publicKey.end(), std::uint8_t{0});
  const auto file = std::span(publicKey).first<F::kSize>();
  fill_sb20_signed_public_key_file(file, record);
  if (const std::int32_t rc =
          self_sign(report, job, signingKey, QIV_SBL_FORM_CRT, file.subspan(F::kRecord, F::kRecordSize),
                    file.data() + F::kSignature, F::kSignatureSize);
      rc != 0) {
    return rc;
  }
  publicKeyLen = F::kSize;
  report_new_key(report, job, record.first(sbl::PublicKeyInfoV21::kKeyPartSize));

  // The blob is followed by zero bytes up to whole AES blocks: privateKey was cleared.
  OutputSet out(report);
  add_private_key(out, job, signingKey, kProtectionV21,
                  std::span(privateKey).first<ProtectedPrivateKeyFile::kSizeV21>());
  if (job.maker) add_efuse(out, job, std::span(sb20_eFuseData).first(sb20_eFuseDataLen));
  add_public_key(out, job, std::span(publicKey).first(publicKeyLen));
  return install(report, out, signingKey, job.privateKey);
}

// ---------------------------------------------------------------------------------------------
// v1.1

// The maker's files: "publicKeyInfo.dat" (the record, self-signed), the eFuse value and the
// protected blob. A customer's: "<base>.spk" (the public key record, self-signed over its key
// data) and "<base>.prv" (the private key record). Nothing is written when a self-signature
// fails: a set whose public key file no check accepts would only block the name of its key.
std::int32_t make_sb10_pair(Report& report, const KeyPairJob& job, QIV_RSA_PRIVATE_KEY& key,
                            SigningKey& signingKey) {
  const std::uint32_t* n = nullptr;
  std::uint32_t e = 0;
  if (const std::int32_t rc = make_key(report, job, key, signingKey, n, e); rc != 0) return rc;
  sb10_eFuseDataLen = sbl::EFuseV11::kSize;
  std::fill(sb10_eFuseData.begin(), sb10_eFuseData.end(), std::uint8_t{0});
  const auto record =
      std::span(sb10_Context).subspan<sbl::ContextV11::kPublicKeyInfo, sbl::PublicKeyInfoV11::kSize>();
  if (const std::int32_t rc = Generate_SB10_PublicKeyInfo(
          nullptr, 0, n, digits_of(sbl::kKeySetV11.modulusBits), &e, 1, sb10_eFuseData.data(),
          &sb10_eFuseDataLen, record.data());
      rc != 0) {
    return fail(report, job.publicKey, "the public key record could not be made", rc);
  }
  const auto keyPart = record.first<sbl::PublicKeyInfoV11::kKeyPartSize>();
  OutputSet out(report);
  if (job.maker) {
    using F = MakerPublicKeyFileV11;
    std::fill_n(publicKey.begin(), F::kSize, std::uint8_t{0});
    publicKeyLen = F::kSize;
    std::copy(record.begin(), record.end(), publicKey.begin() + F::kRecord);
    if (const std::int32_t rc = self_sign(report, job, signingKey, QIV_SBL_FORM_PLAIN,
                                          std::span(publicKey).subspan(F::kRecord, F::kRecordSize),
                                          publicKey.data() + F::kSignature, F::kSignatureSize);
        rc != 0) {
      return rc;
    }
    report_new_key(report, job, keyPart);
    // The blob is followed by zero bytes up to whole AES blocks: privateKey was cleared.
    privateKeyLen = ProtectedPrivateKeyFile::kSizeV11;
    add_private_key(out, job, signingKey, kProtectionV11, std::span(privateKey).first(privateKeyLen));
    add_public_key(out, job, std::span(publicKey).first(publicKeyLen));
    add_efuse(out, job, std::span(sb10_eFuseData).first(sb10_eFuseDataLen));
    return install(report, out, signingKey, job.privateKey);
  }
  using R = PublicKeyRecordV11;
  fill_sb10_public_record(sb10_pubkey_file, keyPart);
  std::uint8_t* file = sb10_pubkey_file.data();
  if (const std::int32_t rc = self_sign(report, job, signingKey, QIV_SBL_FORM_PLAIN,
                                        std::span(sb10_pubkey_file).subspan(R::kKeyData, R::kKeyDataSize),
                                        file + R::kSignature, R::kSignatureSize);
      rc != 0) {
    return rc;
  }
  qiv::store_le32(file + R::kSignatureLength, R::kSignatureSize);
  report_new_key(report, job, keyPart);
  const auto blob = std::span(privateKey).first(privateKeyLen);
  if (!signingKey.in_token() && !fill_sb10_private_record(sb10_privkey_file, blob)) {
    return fail(report, job.privateKey, "the key does not fit the v1.1 private key record",
                kKeyFileRejected);
  }
  add_private_key(out, job, signingKey, kProtectionV11, sb10_privkey_file);
  add_public_key(out, job, sb10_pubkey_file);
  return install(report, out, signingKey, job.privateKey);
}

}  // namespace

std::int32_t make_key_pair(Report& report, const KeyPairJob& job) {
  if (!ready_to_generate(report, job)) return kKeyFileRejected;
  const PrivateKeyScope secrets;
  SigningKey signingKey;
  // From before the token makes the key until its files are installed or it is destroyed
  // again, a cleanup signal waits: it must not leave a key in the token that no file names.
  std::optional<SignalsHeld> held;
  if (job.uri != nullptr) held.emplace();
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  const std::int32_t rc = job.set->crtSigning ? make_sb20_pair(report, job, *key, signingKey)
                                              : make_sb10_pair(report, job, *key, signingKey);
  if (rc != 0) signingKey.undo_token_key();
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Moving a key into a token

namespace {

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

// Loads the key of a protected key file of the set into `key`; false when the file holds no
// such key (the refusal is the caller's; a file that cannot be read has been refused). A
// reference is not a key: the key is in a token already.
bool load_file_key(Report& report, const char* keyFile, const sbl::KeySetLayout& set,
                   QIV_RSA_PRIVATE_KEY& key) {
  // Every blob that leaves for the token is checked full-size first, whichever loader read it:
  // the copies made for the token take each component's last byte, so none may be empty.
  if (read_key_reference(keyFile)) return false;
  SigningKey fileKey;
  if (set.crtSigning) {
    if (load_sb20_private_key(report, Event::kSilent, keyFile, fileKey) != 0) return false;
    const auto blob = std::span<const std::uint8_t>(privateKey).first(privateKeyLen);
    return is_full_size_blob(sbl::KeyForm::kCrt, blob) &&
           sbl::load_private_key_blob(blob, sbl::KeyForm::kCrt, key);
  }
  // A customer's record or the maker's blob file: the record is the one of 640 bytes.
  std::span<const std::uint8_t> plain;
  struct stat info {};
  if (::stat(keyFile, &info) == 0 && info.st_size == PrivateKeyRecordV11::kSize) {
    if (load_sb10_private_record(report, Event::kSilent, keyFile, fileKey) != 0) return false;
    plain = std::span(sb10_privkey_file)
                .subspan<PrivateKeyRecordV11::kKeyData, PrivateKeyRecordV11::kKeyDataSize>();
  } else {
    if (load_sb10_maker_private_key(report, Event::kSilent, keyFile, fileKey) != 0) return false;
    plain = std::span(privateKey).first(privateKeyLen);
  }
  qiv::SecretArray<std::uint8_t, sbl::PrivateKeyBlob::kCrtFullSize> crt;
  const std::span<const std::uint8_t> crtBlob(crt.data(), crt.size());
  return is_full_size_blob(sbl::KeyForm::kPlain, plain) &&
         crt_blob_from_plain(plain, std::span(crt.data(), crt.size())) &&
         sbl::load_private_key_blob(crtBlob, sbl::KeyForm::kCrt, key);
}

}  // namespace

std::int32_t store_key_in_token(Report& report, const sbl::KeySetLayout& set, const char* keyFile,
                                const char* uri, const char* referenceFile) {
  if (name_is_taken(referenceFile)) return key_exists(report, referenceFile);
  const PrivateKeyScope secrets;
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  // The file's own refusals are not this command's: whatever was wrong, it holds no key of the
  // set, which is the one line the command gives (an unreadable file has said so already).
  Report loading;
  if (!load_file_key(loading, keyFile, set, *key)) {
    if (loading.refused_as(Class::kInput)) {
      const Refusal& refusal = *loading.refusal();
      const Note& note = loading.notes().front();
      return report.refuse(refusal.kind, note.event, refusal.file, refusal.cause, kKeyFileRejected);
    }
    return report.refuse(Class::kKey, Event::kKeyFileHoldsNoKey, keyFile,
                         std::string("holds no ") + set.name + " private key", kKeyFileRejected);
  }
  SigningKey tokenKey;
  const SignalsHeld held;  // as for a key pair: no stored key without its reference
  if (!tokenKey.store_in_token(report, uri, set, *key, referenceFile)) return kKeyFileRejected;
  // The token now signs with what it stored: its modulus must be the file's, and a signature it
  // makes must verify (the signer checks each one).
  const auto n = tokenKey.token_modulus_digits();
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> probe{};
  std::array<std::uint8_t, sbl::ContextV21::kSignatureSize> signature{};
  std::uint32_t signatureLen = 0;
  if (n.size() != key->n_count || !std::equal(n.begin(), n.end(), key->n) ||
      tokenKey.sign_digest(QIV_SBL_FORM_CRT, probe.data(), signature.data(), &signatureLen) != 0) {
    tokenKey.undo_token_key();
    return report.refuse(Class::kToken, Event::kTokenError, referenceFile,
                         "the stored key does not sign as the key file does", kKeyFileRejected);
  }
  const std::string reference = tokenKey.token_key_reference();
  // A cleanup signal held since the token stored the key: the key goes, no reference is made.
  if (SignalsHeld::signal_pending()) return undo_for_signal(tokenKey);
  OutputSet out(report);
  out.add(referenceFile,
          std::span(reinterpret_cast<const std::uint8_t*>(reference.data()), reference.size()),
          FileAccess::kOwnerOnly, Existing::kRefuse, std::string(set.name) + " key reference");
  if (const OutputSet::Result result = out.install(); result != OutputSet::Result::kInstalled) {
    tokenKey.undo_token_key();
    if (result == OutputSet::Result::kExists) return key_exists(report, referenceFile);
    return kKeyFileRejected;
  }
  report.note(Event::kKeyStoredInToken, referenceFile);
  return 0;
}

}  // namespace core
