// The key a command signs with, as an object the command holds: a private key blob (a copy in a
// buffer that is wiped when the key goes), or a key in a hardware token reached through its
// PKCS#11 module. A private key file may hold, instead of a protected key, a key reference: one
// line of text, a PKCS#11 URI ("pkcs11:..."); the command then signs inside the token it names.
//
// Token failures are refusals of class kToken, event kTokenError, whose cause is the token's
// own sentence.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/report.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"

namespace token {
class Token;
}

namespace core {

// The longest key reference file accepted.
inline constexpr std::uint32_t kMaxKeyReferenceSize = 2048;

// The URI a key reference file holds, when the file is one (its first bytes are "pkcs11:").
// Only a look: anything else, and any file that cannot be read, is nullopt and left to the key
// file loaders, which report it in their words.
[[nodiscard]] std::optional<std::string> read_key_reference(const char* path);

class SigningKey {
 public:
  SigningKey();
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The key is the blob (laid out in the form the signing calls name); false when no memory.
  [[nodiscard]] bool use_blob(std::span<const std::uint8_t> blob);

  // Opens the token `uri` names and makes its key this key, after checking that it is the
  // set's kind of key. With no set given, the set is the one whose modulus size the token key
  // has (set()). `file` is the reference file, for the refusal. False after the refusal.
  [[nodiscard]] bool use_token(Report& report, const std::string& uri,
                               const sbl::KeySetLayout* set, const std::string& file);
  // Generates the set's key pair in the token the URI names, or stores `key` there; the new key
  // is then this key. False after the refusal; whatever was made is gone again. `file` is the
  // file the key's reference is for, for the refusal.
  [[nodiscard]] bool generate_in_token(Report& report, const std::string& uri,
                                       const sbl::KeySetLayout& set, const std::string& file);
  [[nodiscard]] bool store_in_token(Report& report, const std::string& uri,
                                    const sbl::KeySetLayout& set, const QIV_RSA_PRIVATE_KEY& key,
                                    const std::string& file);
  // Removes what generate_in_token or store_in_token made (what it was for failed).
  void undo_token_key();

  [[nodiscard]] bool in_token() const { return token_ != nullptr; }
  // The set of a token key (as checked when it was opened), else null.
  [[nodiscard]] const sbl::KeySetLayout* token_set() const { return tokenSet_; }
  // A token key's modulus as the set's digits (least significant first) and its exponent.
  [[nodiscard]] std::span<const std::uint32_t> token_modulus_digits() const;
  [[nodiscard]] std::uint32_t token_exponent() const { return signer_.exponent; }
  // The reference to write for the key generate_in_token or store_in_token made: the URI
  // without its pin-value, naming the token's serial= and the key's id=, then a line feed.
  [[nodiscard]] std::string token_key_reference() const;

  // The key part a device compares (v2.1: modulus length, modulus, exponent length, exponent,
  // 268 bytes; v1.1: modulus then exponent, 132 bytes) of this key in the set's layout, written
  // to `out`; its size, or 0 when the key is not the set's.
  [[nodiscard]] std::uint32_t key_part(const sbl::KeySetLayout& set,
                                       std::span<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> out) const;

  // RSASSA-PSS over the message with this key (the form says how a blob is laid out).
  [[nodiscard]] std::int32_t sign(std::int32_t form, const std::uint8_t* message,
                                  std::uint32_t messageLen, std::uint8_t* signature,
                                  std::uint32_t* signatureLen);
  // The same over a 20-byte digest.
  [[nodiscard]] std::int32_t sign_digest(std::int32_t form, const std::uint8_t* digest,
                                         std::uint8_t* signature, std::uint32_t* signatureLen);
  [[nodiscard]] std::int32_t sb20_context(const std::uint8_t* nextStageKey,
                                          const std::uint8_t* image, std::uint32_t imageLen,
                                          std::uint8_t* context);
  [[nodiscard]] std::int32_t sb10_context(const std::uint8_t* nextStageKey,
                                          const std::uint8_t* image, std::uint32_t imageLen,
                                          std::uint8_t* context);

 private:
  bool open(Report& report, const std::string& uri, const std::string& file);
  bool take_token_key(Report& report, const sbl::KeySetLayout& set);
  bool open_for_new_key(Report& report, const std::string& uri, const std::string& file);
  bool take_new_key(Report& report, const sbl::KeySetLayout& set, bool made);
  bool token_failed(Report& report, const std::string& cause, const std::string& file = {});
  static std::int32_t sign_in_token(void* context, const std::uint8_t* digest,
                                    std::uint32_t digestLen, std::uint8_t* signature,
                                    std::uint32_t signatureLen);

  qiv::SecretBuffer blob_;
  std::unique_ptr<token::Token> token_;
  const sbl::KeySetLayout* tokenSet_ = nullptr;
  Report* report_ = nullptr;  // where a failed signature in the token is told
  std::string file_;          // the reference file, for that refusal
  std::array<std::uint32_t, QIV_RSA_MAX_VERIFY_DIGITS> modulus_{};
  QIV_SBL_SIGNER signer_{};
};

}  // namespace core
