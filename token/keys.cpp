// The key in use: the one RSA private key the URI names, checked against the shape a key set
// needs, and signing with it.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <bit>

#include "token/module.h"
#include "token/objects.h"
#include "token/token.h"

namespace token {

using detail::attribute;
using detail::describe;
using detail::find_objects;

namespace {

// No token offers more signing mechanisms; a module that reports more is at fault.
constexpr CK_ULONG kMaxMechanisms = 4096;

// A big-endian number of at most four significant bytes; nullopt when it is larger.
std::optional<std::uint32_t> small_number(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (const std::uint8_t byte : bytes) {
    if ((value >> 24) != 0) return std::nullopt;
    value = (value << 8) | byte;
  }
  return value;
}

std::span<const std::uint8_t> without_leading_zeros(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && bytes.front() == 0) bytes = bytes.subspan(1);
  return bytes;
}

// Asked both ways: some modules answer the information call for mechanisms they leave out of
// the list and then refuse them when signing.
bool offers_pss_signing(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) {
  CK_ULONG count = 0;
  std::vector<CK_MECHANISM_TYPE> offered;
  if (f->C_GetMechanismList(slot, nullptr, &count) == CKR_OK && count <= kMaxMechanisms) {
    offered.resize(count);
    if (f->C_GetMechanismList(slot, offered.data(), &count) != CKR_OK || count > offered.size()) {
      count = 0;
    }
    offered.resize(count);
  }
  CK_MECHANISM_INFO mechanism{};
  const CK_RV rv = f->C_GetMechanismInfo(slot, CKM_RSA_PKCS_PSS, &mechanism);
  return std::find(offered.begin(), offered.end(), CKM_RSA_PKCS_PSS) != offered.end() &&
         rv == CKR_OK && (mechanism.flags & CKF_SIGN) != 0;
}

// The RSA keys of one class that carry the URI's label and id.
std::optional<std::vector<CK_OBJECT_HANDLE>> rsa_keys_named(const Token::Module& module,
                                                            const Uri& uri,
                                                            CK_OBJECT_CLASS keyClass,
                                                            std::string& error) {
  CK_KEY_TYPE keyType = CKK_RSA;
  detail::Naming naming{uri.path("object"), uri.path("id")};
  std::vector<CK_ATTRIBUTE> templ = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                     {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  detail::add_naming(templ, naming);
  return find_objects(module.f, module.session, templ, error);
}

}  // namespace

// One search for use_key and key_modulus_bits.
std::optional<unsigned long> Token::find_key() {
  if (auto type = uri_.path("type"); type && *type != "private") {
    error_ = "the key reference names a " + *type + " object, not a private key";
    return std::nullopt;
  }
  const auto keys = rsa_keys_named(*module_, uri_, CKO_PRIVATE_KEY, error_);
  if (!keys) return std::nullopt;
  if (keys->size() != 1) {
    error_ = keys->empty() ? "no RSA private key in the token matches " + uri_.shown()
                           : "more than one private key matches " + uri_.shown() +
                                 "; name it with object= or id=";
    return std::nullopt;
  }
  return keys->front();
}

std::optional<std::uint32_t> Token::key_modulus_bits() {
  const auto key = find_key();
  if (!key) return std::nullopt;
  const auto modulus = attribute(module_->f, module_->session, *key, CKA_MODULUS);
  const auto n = modulus ? without_leading_zeros(*modulus) : std::span<const std::uint8_t>();
  if (n.empty()) {
    error_ = "the token key shows no modulus";
    return std::nullopt;
  }
  // Whole bytes below the first, and the first byte's significant bits.
  return static_cast<std::uint32_t>((n.size() - 1) * 8 + std::bit_width(n.front()));
}

bool Token::use_key(const KeyShape& shape) {
  CK_FUNCTION_LIST* f = module_->f;
  const auto found = find_key();
  if (!found) return false;
  key_ = *found;

  auto modulus = attribute(f, module_->session, key_, CKA_MODULUS);
  auto exponent = attribute(f, module_->session, key_, CKA_PUBLIC_EXPONENT);
  if (!exponent) {
    // Some tokens keep the exponent on the public half only.
    const auto halves = rsa_keys_named(*module_, uri_, CKO_PUBLIC_KEY, error_);
    if (!halves) return false;
    if (halves->size() == 1) {
      exponent = attribute(f, module_->session, halves->front(), CKA_PUBLIC_EXPONENT);
    }
  }
  const auto n = modulus ? without_leading_zeros(*modulus) : std::span<const std::uint8_t>();
  const auto e = exponent ? small_number(without_leading_zeros(*exponent)) : std::nullopt;
  if (n.size() * 8 != shape.modulusBits || (n.front() & 0x80) == 0 || !e || *e != shape.exponent) {
    error_ = "the token key is not a " + std::string(shape.setName) + " key (" +
             std::to_string(shape.modulusBits) + " bits, exponent " +
             std::to_string(shape.exponent) + ")";
    return false;
  }
  modulus_.assign(n.begin(), n.end());
  exponent_ = *e;
  if (!offers_pss_signing(f, module_->slot)) {
    error_ = describe(CKR_MECHANISM_INVALID);
    return false;
  }
  return true;
}

bool Token::sign_digest(std::span<const std::uint8_t> digest, std::span<std::uint8_t> out) {
  CK_FUNCTION_LIST* f = module_->f;
  CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA_1, CKG_MGF1_SHA1, 20};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_PSS, &params, sizeof params};
  CK_RV rv = f->C_SignInit(module_->session, &mechanism, key_);
  // The module gets a copy: whatever it does to its input, the caller checks the signature
  // against its own digest, never against bytes the module could have changed.
  std::vector<std::uint8_t> input(digest.begin(), digest.end());
  std::vector<std::uint8_t> signature(modulus_.size());
  auto length = static_cast<CK_ULONG>(signature.size());
  if (rv == CKR_OK) {
    rv = f->C_Sign(module_->session, input.data(), static_cast<CK_ULONG>(input.size()),
                   signature.data(), &length);
  }
  if (rv != CKR_OK || length > signature.size() || out.size() != signature.size()) {
    error_ = rv != CKR_OK ? describe(rv) : "the token's signature has the wrong length";
    return false;
  }
  // A shorter answer is the same number without its leading zero bytes.
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy_n(signature.begin(), length, out.end() - static_cast<std::ptrdiff_t>(length));
  return true;
}

std::optional<Token::KeyAttributes> Token::key_attributes() {
  const auto flag = [this](CK_ATTRIBUTE_TYPE type) {
    const auto value = attribute(module_->f, module_->session, key_, type);
    return value && value->size() == 1 && value->front() == CK_TRUE;
  };
  if (key_ == 0) return std::nullopt;
  return KeyAttributes{flag(CKA_SENSITIVE),        flag(CKA_EXTRACTABLE), flag(CKA_ALWAYS_SENSITIVE),
                       flag(CKA_NEVER_EXTRACTABLE), flag(CKA_SIGN),        flag(CKA_DECRYPT)};
}

}  // namespace token
