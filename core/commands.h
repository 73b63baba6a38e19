// The commands of the tool chain, as both programs call them: explicit inputs (file paths, the
// key set), a report (report.h) that receives every event, the refusal and what was written.
// The commands print nothing. Each returns the legacy command result: 0 for success, otherwise
// -1 or a library code (a face turns it into its exit status).
//
// Shared by every command:
// - It reads every input before it writes any output; an output is never one of the key files
//   the job names (the same file through any name or link), which is refused (kOutputIsKeyFile)
//   before anything is read.
// - Key files are never replaced: a key pair's files are created exclusively, all or none.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "core/files.h"
#include "core/report.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"
#include "sbl/layout.h"

namespace core {

// A customer's key file names: base name + the set's suffixes, or nullopt when either would not
// fit in kMaxFileNameBytes with its terminator (a longer name is refused, never cut short).
struct CustomerFiles {
  std::string publicKey;
  std::string privateKey;
};
inline constexpr std::size_t kMaxFileNameBytes = 128;
[[nodiscard]] std::optional<CustomerFiles> customer_files(const sbl::KeySetLayout& set,
                                                          const std::string& baseName);

// A key pair: the maker's (with an eFuse value) or a customer's. With a URI the private key is
// made inside the hardware token it names (sensitive, never extractable, sign-only) and the
// private key file becomes a key reference. Events: kKeyExists (any file of the set exists; the
// private key's named first), kNeedsRandomDevice, kTokenError, kKeyPairFailed.
struct KeyPairJob {
  const sbl::KeySetLayout* set = nullptr;
  bool maker = true;
  std::string privateKey, publicKey, eFuse;  // eFuse: maker only
  const char* uri = nullptr;
  // A key made elsewhere and checked (import_key.h): used instead of a freshly drawn one, laid
  // out as the set's blob or stored in the token the URI names.
  const QIV_RSA_PRIVATE_KEY* given = nullptr;
};
[[nodiscard]] std::int32_t make_key_pair(Report& report, const KeyPairJob& job);
// A key pair from a private key made elsewhere (PEM or DER; PKCS#1, PKCS#8 or PBES2-encrypted
// PKCS#8): read, checked as the set's key (size, exponent, consistency), made to sign once and
// verify, then written or stored exactly as make_key_pair does. `passphrase` is asked only for
// an encrypted file; it returns false, after saying why, when it has none.
struct ImportJob {
  KeyPairJob pair;
  const char* keyFile = nullptr;
  std::function<bool(qiv::SecretBuffer& passphrase)> passphrase;
};
[[nodiscard]] std::int32_t import_key_pair(Report& report, const ImportJob& job);

// Stores the key of the set's protected private key file keyFile in the token the URI names and
// writes referenceFile, a key reference to it. Events: kKeyExists, kKeyFileHoldsNoKey,
// kTokenError, kKeyStoredInToken.
[[nodiscard]] std::int32_t store_key_in_token(Report& report, const sbl::KeySetLayout& set,
                                              const char* keyFile, const char* uri,
                                              const char* referenceFile);

// Securing a BL1 with the maker's key: code (encrypted in the v2.1 set), the next-stage key
// (embedded once its self-signature verifies) and the maker's record, under one signature that
// is checked as a device would before the output is written.
struct SecureJob {
  const sbl::KeySetLayout* set = nullptr;
  const char* image = nullptr;
  const char* output = nullptr;
  const char* makerPrivateKey = nullptr;
  const char* makerEFuse = nullptr;
  const char* makerPublicKey = nullptr;
  const char* nextStageKey = nullptr;
  bool buildInfo = false;  // v2.1 only: the build-information block follows the code
  bool pad = false;        // v2.1 only: zero bytes up to whole AES blocks (kPadded)
  Existing existing = Existing::kReplace;
  std::span<const char* const> keyFiles;  // the output is never one of these
};
[[nodiscard]] std::int32_t secure_bl1(Report& report, const SecureJob& job);

// Signing a BL2 with a customer's private key file (or key reference).
struct SignJob {
  const sbl::KeySetLayout* set = nullptr;
  const char* image = nullptr;
  const char* output = nullptr;
  const char* privateKey = nullptr;
  Existing existing = Existing::kReplace;
  std::span<const char* const> keyFiles;
};
[[nodiscard]] std::int32_t sign_bl2(Report& report, const SignJob& job);

// Device checks: a secured BL1 against an eFuse value, a signed BL2 with a public key file.
// 0, or -1 after kStage1/2VerificationFailed (class kVerify, or the reader's class).
[[nodiscard]] std::int32_t verify_bl1(Report& report, const sbl::KeySetLayout& set,
                                      const char* image, const char* eFuse);
[[nodiscard]] std::int32_t verify_bl2(Report& report, const sbl::KeySetLayout& set,
                                      const char* image, const char* publicKey);

// The time the build-information block records: SOURCE_DATE_EPOCH when it is set (decimal
// seconds since the epoch, below 2^32, the field's range), else the clock. nullopt, with the
// cause, for a SOURCE_DATE_EPOCH that is not such a number.
[[nodiscard]] std::optional<std::uint32_t> build_time(std::string& cause);

}  // namespace core
