#include "format/private_key_der.h"

#include <algorithm>
#include <string_view>

#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "format/der.h"
#include "format/pem.h"

namespace format {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::string_view kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr std::string_view kPbes2 = "1.2.840.113549.1.5.13";
constexpr std::string_view kPbkdf2 = "1.2.840.113549.1.5.12";
constexpr std::string_view kHmacSha1 = "1.2.840.113549.2.7";
constexpr std::string_view kHmacSha256 = "1.2.840.113549.2.9";
constexpr std::string_view kAes128Cbc = "2.16.840.1.101.3.4.1.2";
constexpr std::string_view kAes256Cbc = "2.16.840.1.101.3.4.1.42";

constexpr std::string_view kWrongPassphrase = "wrong passphrase or damaged file";

// Names of schemes met in key files that are refused, so the refusal says what the file uses.
struct Named {
  std::string_view oid;
  std::string_view name;
};
constexpr Named kKnownNames[] = {
    {"1.2.840.113549.1.5.3", "PBES1 pbeWithMD5AndDES-CBC"},
    {"1.2.840.113549.1.5.6", "PBES1 pbeWithMD5AndRC2-CBC"},
    {"1.2.840.113549.1.5.10", "PBES1 pbeWithSHA1AndDES-CBC"},
    {"1.2.840.113549.1.5.11", "PBES1 pbeWithSHA1AndRC2-CBC"},
    {"1.2.840.113549.1.12.1.1", "PKCS#12 pbeWithSHAAnd128BitRC4"},
    {"1.2.840.113549.1.12.1.2", "PKCS#12 pbeWithSHAAnd40BitRC4"},
    {"1.2.840.113549.1.12.1.3", "PKCS#12 pbeWithSHAAnd3-KeyTripleDES-CBC"},
    {"1.2.840.113549.1.12.1.4", "PKCS#12 pbeWithSHAAnd2-KeyTripleDES-CBC"},
    {"1.2.840.113549.1.12.1.5", "PKCS#12 pbeWithSHAAnd128BitRC2-CBC"},
    {"1.2.840.113549.1.12.1.6", "PKCS#12 pbeWithSHAAnd40BitRC2-CBC"},
    {"1.3.6.1.4.1.11591.4.11", "scrypt"},
    {"1.2.840.113549.3.7", "des-ede3-cbc"},
    {"1.3.14.3.2.7", "des-cbc"},
    {"2.16.840.1.101.3.4.1.22", "aes-192-cbc"},
    {"1.2.840.113549.2.8", "hmacWithSHA224"},
    {"1.2.840.113549.2.10", "hmacWithSHA384"},
    {"1.2.840.113549.2.11", "hmacWithSHA512"},
    {"1.2.840.113549.1.1.10", "RSASSA-PSS"},
    {"1.2.840.10045.2.1", "EC"},
    {"1.3.101.112", "Ed25519"},
    {"1.2.840.10040.4.1", "DSA"},
};

std::string named(const std::string& oid) {
  for (const Named& n : kKnownNames) {
    if (n.oid == oid) return std::string(n.name);
  }
  return oid;
}

bool unsupported(std::string& error, const char* what, const std::string& oid) {
  error = std::string(what) + " " + named(oid) + " is not supported";
  return false;
}

// Big-endian magnitude into little-endian digits, minimal count; false when it needs more than
// `capacity` digits.
bool put_number(Bytes magnitude, std::uint32_t* digits, std::uint32_t& count,
                std::uint32_t capacity) {
  while (!magnitude.empty() && magnitude[0] == 0) magnitude = magnitude.subspan(1);
  if (magnitude.size() > std::size_t{4} * capacity) return false;
  const auto n = static_cast<std::uint32_t>(magnitude.size());
  count = (n + 3) / 4;
  for (std::uint32_t i = 0; i < count; ++i) digits[i] = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    digits[i / 4] |= std::uint32_t{magnitude[n - 1 - i]} << (8 * (i % 4));
  }
  return true;
}

bool read_number(der::Reader& r, const char* what, std::uint32_t* digits, std::uint32_t& count,
                 std::uint32_t capacity) {
  Bytes magnitude;
  if (!r.integer(magnitude, what)) return false;
  if (!put_number(magnitude, digits, count, capacity)) {
    return r.fail(what, "longer than " + std::to_string(32 * capacity) + " bits");
  }
  return true;
}

bool wiped_failure(QIV_RSA_PRIVATE_KEY& key) {
  qiv::wipe_object(key);
  return false;
}

// AlgorithmIdentifier: SEQUENCE { OID, parameters ANY OPTIONAL }; `params` reads the rest.
bool algorithm(der::Reader& outer, der::Reader& params, std::string& oid, const char* what) {
  return outer.sequence(params, what) && params.oid(oid, what);
}

// The optional NULL parameters of an algorithm without parameters, and nothing else.
bool no_parameters(der::Reader& params, const char* what) {
  if (params.peek() == der::kNull && !params.null(what)) return false;
  return params.finish(what);
}

}  // namespace

bool read_rsa_private_key_der(Bytes der, QIV_RSA_PRIVATE_KEY& key, std::string& error) {
  qiv::wipe_object(key);
  error.clear();
  der::Reader file(der, error);
  der::Reader r(Bytes{}, error);
  std::uint32_t version = 0;
  if (!file.sequence(r, "RSAPrivateKey") || !file.finish("RSAPrivateKey") ||
      !r.small_integer(version, "RSAPrivateKey version")) {
    return wiped_failure(key);
  }
  if (version != 0) {
    error = version == 1 ? "multi-prime RSA keys are not supported"
                         : "RSAPrivateKey version " + std::to_string(version) + " is unknown";
    return wiped_failure(key);
  }
  constexpr std::uint32_t kFull = QIV_RSA_MAX_DIGITS;
  constexpr std::uint32_t kHalf = QIV_RSA_MAX_HALF_DIGITS;
  const bool ok = read_number(r, "modulus", key.n, key.n_count, kFull) &&
                  read_number(r, "public exponent", key.e, key.e_count, kFull) &&
                  read_number(r, "private exponent", key.d, key.d_count, kFull) &&
                  read_number(r, "prime1", key.p, key.p_count, kHalf) &&
                  read_number(r, "prime2", key.q, key.q_count, kHalf) &&
                  read_number(r, "exponent1", key.dP, key.dP_count, kHalf) &&
                  read_number(r, "exponent2", key.dQ, key.dQ_count, kHalf) &&
                  read_number(r, "coefficient", key.qInv, key.qInv_count, kHalf) &&
                  r.finish("RSAPrivateKey");
  return ok || wiped_failure(key);
}

bool read_private_key_info_der(Bytes der, QIV_RSA_PRIVATE_KEY& key, std::string& error) {
  qiv::wipe_object(key);
  error.clear();
  der::Reader file(der, error);
  der::Reader r(Bytes{}, error);
  der::Reader params(Bytes{}, error);
  std::uint32_t version = 0;
  std::string oid;
  Bytes inner;
  if (!file.sequence(r, "PrivateKeyInfo") || !file.finish("PrivateKeyInfo") ||
      !r.small_integer(version, "PrivateKeyInfo version")) {
    return wiped_failure(key);
  }
  // Version 1 (RFC 5958) only adds optional fields after the key.
  if (version > 1) {
    error = "PrivateKeyInfo version " + std::to_string(version) + " is unknown";
    return wiped_failure(key);
  }
  if (!algorithm(r, params, oid, "private key algorithm")) return wiped_failure(key);
  if (oid != kRsaEncryption) {
    unsupported(error, "key algorithm", oid);
    return wiped_failure(key);
  }
  if (!no_parameters(params, "rsaEncryption parameters") ||
      !r.octet_string(inner, "private key")) {
    return wiped_failure(key);
  }
  // Attributes [0] and a public key [1] may follow; they do not change the key.
  while (r.ok() && !r.at_end()) {
    const std::uint8_t tag = r.peek();
    Bytes skipped;
    if (tag != 0xA0 && tag != 0x81 && tag != 0xA1) break;
    r.element(tag, skipped, "PrivateKeyInfo attributes");
  }
  if (!r.finish("PrivateKeyInfo")) return wiped_failure(key);
  return read_rsa_private_key_der(inner, key, error);
}

namespace {

// The encrypted form; with `parametersOnly` it stops, true, once every parameter is known good,
// before any key is derived.
bool read_encrypted(Bytes der, Bytes passphrase, QIV_RSA_PRIVATE_KEY& key, std::string& error,
                    bool parametersOnly) {
  qiv::wipe_object(key);
  error.clear();
  der::Reader file(der, error);
  der::Reader r(Bytes{}, error);
  der::Reader pbes2(Bytes{}, error);
  der::Reader pbes2Params(Bytes{}, error);
  der::Reader kdf(Bytes{}, error);
  der::Reader kdfParams(Bytes{}, error);
  der::Reader cipher(Bytes{}, error);
  std::string oid;
  if (!file.sequence(r, "EncryptedPrivateKeyInfo") || !file.finish("EncryptedPrivateKeyInfo") ||
      !algorithm(r, pbes2, oid, "encryption algorithm")) {
    return wiped_failure(key);
  }
  if (oid != kPbes2) {
    unsupported(error, "encryption", oid);
    return wiped_failure(key);
  }
  // PBES2-params: SEQUENCE { keyDerivationFunc, encryptionScheme }.
  if (!pbes2.sequence(pbes2Params, "PBES2 parameters") || !pbes2.finish("PBES2 parameters") ||
      !algorithm(pbes2Params, kdf, oid, "key derivation")) {
    return wiped_failure(key);
  }
  if (oid != kPbkdf2) {
    unsupported(error, "key derivation", oid);
    return wiped_failure(key);
  }
  // PBKDF2-params: SEQUENCE { salt OCTET STRING, iterationCount, keyLength OPTIONAL,
  //                           prf AlgorithmIdentifier DEFAULT hmacWithSHA1 }.
  Bytes salt;
  std::uint32_t iterations = 0;
  std::uint32_t keyLength = 0;
  std::uint32_t prf = QIV_PRF_HMAC_SHA1;
  if (!kdf.sequence(kdfParams, "PBKDF2 parameters") || !kdf.finish("PBKDF2 parameters") ||
      !kdfParams.octet_string(salt, "PBKDF2 salt") ||
      !kdfParams.small_integer(iterations, "PBKDF2 iteration count")) {
    return wiped_failure(key);
  }
  if (salt.empty() || salt.size() > 64) {
    error = "PBKDF2 salt of " + std::to_string(salt.size()) + " bytes (1 to 64 accepted)";
    return wiped_failure(key);
  }
  if (iterations == 0 || iterations > kMaxPbkdf2Iterations) {
    error = "PBKDF2 iteration count " + std::to_string(iterations) + " (1 to " +
            std::to_string(kMaxPbkdf2Iterations) + " accepted)";
    return wiped_failure(key);
  }
  if (kdfParams.peek() == der::kInteger &&
      !kdfParams.small_integer(keyLength, "PBKDF2 key length")) {
    return wiped_failure(key);
  }
  if (kdfParams.peek() == der::kSequence) {
    der::Reader prfParams(Bytes{}, error);
    if (!algorithm(kdfParams, prfParams, oid, "PBKDF2 pseudo-random function")) {
      return wiped_failure(key);
    }
    if (oid == kHmacSha256) {
      prf = QIV_PRF_HMAC_SHA256;
    } else if (oid != kHmacSha1) {
      unsupported(error, "PBKDF2 pseudo-random function", oid);
      return wiped_failure(key);
    }
    if (!no_parameters(prfParams, "PBKDF2 pseudo-random function parameters")) {
      return wiped_failure(key);
    }
  }
  if (!kdfParams.finish("PBKDF2 parameters") ||
      !algorithm(pbes2Params, cipher, oid, "encryption scheme")) {
    return wiped_failure(key);
  }
  std::uint32_t aesKeyLength = 0;
  if (oid == kAes128Cbc) aesKeyLength = 16;
  if (oid == kAes256Cbc) aesKeyLength = 32;
  if (aesKeyLength == 0) {
    unsupported(error, "encryption scheme", oid);
    return wiped_failure(key);
  }
  if (keyLength != 0 && keyLength != aesKeyLength) {
    error = "PBKDF2 key length " + std::to_string(keyLength) + " does not fit the cipher";
    return wiped_failure(key);
  }
  Bytes iv;
  Bytes encrypted;
  if (!cipher.octet_string(iv, "AES-CBC IV") || !cipher.finish("AES-CBC parameters") ||
      !pbes2Params.finish("PBES2 parameters") ||
      !r.octet_string(encrypted, "encrypted key") || !r.finish("EncryptedPrivateKeyInfo")) {
    return wiped_failure(key);
  }
  if (iv.size() != QIV_AES_BLOCK_LEN) {
    error = "AES-CBC IV of " + std::to_string(iv.size()) + " bytes";
    return wiped_failure(key);
  }
  if (encrypted.empty() || encrypted.size() % QIV_AES_BLOCK_LEN != 0) {
    error = "encrypted key is not a whole number of cipher blocks";
    return wiped_failure(key);
  }

  if (parametersOnly) return true;
  qiv::SecretArray<std::uint8_t, 32> aesKey;
  if (QIV_PBKDF2(prf, passphrase.data(), static_cast<std::uint32_t>(passphrase.size()),
                 salt.data(), static_cast<std::uint32_t>(salt.size()), iterations,
                 aesKey.data(), aesKeyLength) != QIV_SUCCESS) {
    error = "key derivation failed";
    return wiped_failure(key);
  }
  qiv::SecretBuffer plain(encrypted.size());
  if (!plain.ok()) {
    error = "out of memory";
    return wiped_failure(key);
  }
  std::copy(encrypted.begin(), encrypted.end(), plain.data());
  qiv::Wiped<QIV_AES_CTX> aes;
  const auto n = static_cast<std::uint32_t>(plain.size());
  std::uint32_t head = 0;
  std::uint32_t tail = 0;
  if (QIV_AES_SetInfo(aes.get(), QIV_AES_ENC_DEC, aesKey.data(), aesKeyLength, iv.data(),
                      QIV_AES_BLOCK_LEN, QIV_PAD_PKCS7, 0) != QIV_SUCCESS ||
      QIV_AES_CBC_DecInit(aes.get()) != QIV_SUCCESS ||
      QIV_AES_CBC_DecUpdate(aes.get(), plain.data(), n, plain.data(), &head) != QIV_SUCCESS) {
    error = "decryption failed";
    return wiped_failure(key);
  }
  // A wrong key leaves random bytes: the padding check catches all but about 1 in 256, and the
  // strict parse of what remains catches those. Either way the cause is the same.
  if (QIV_AES_CBC_DecFinal(aes.get(), plain.data() + head, &tail) != QIV_SUCCESS ||
      !plain.resize(head + tail) ||
      !read_private_key_info_der({plain.data(), plain.size()}, key, error)) {
    error = kWrongPassphrase;
    return wiped_failure(key);
  }
  return true;
}

}  // namespace

bool read_encrypted_private_key_info_der(Bytes der, Bytes passphrase, QIV_RSA_PRIVATE_KEY& key,
                                         std::string& error) {
  return read_encrypted(der, passphrase, key, error, false);
}

namespace {

enum class Kind { kPkcs1, kPkcs8, kEncrypted, kUnknown };

// Which structure a DER key is, from its first field: PKCS#1 starts with version then the
// modulus, PKCS#8 with version then an AlgorithmIdentifier, the encrypted form with one.
Kind der_kind(Bytes der, std::string& error) {
  der::Reader file(der, error);
  der::Reader r(Bytes{}, error);
  if (!file.sequence(r, "key") || !file.finish("key")) return Kind::kUnknown;
  if (r.peek() == der::kSequence) return Kind::kEncrypted;
  std::uint32_t version = 0;
  if (!r.small_integer(version, "key version")) return Kind::kUnknown;
  return r.peek() == der::kSequence ? Kind::kPkcs8 : Kind::kPkcs1;
}

// The DER inside `file` (PEM decoded, or the file itself) and the kind the label names.
bool unwrap(Bytes file, qiv::SecretBuffer& der, Kind& kind, std::string& error) {
  if (file.size() > kMaxPrivateKeyFileBytes) {
    error = "longer than " + std::to_string(kMaxPrivateKeyFileBytes) + " bytes";
    return false;
  }
  if (!looks_like_pem(file)) {
    if (!der.resize(file.size())) {
      error = "out of memory";
      return false;
    }
    std::copy(file.begin(), file.end(), der.data());
    kind = der_kind(file, error);
    return kind != Kind::kUnknown;
  }
  std::string label;
  if (!pem_decode(file, label, der, error)) return false;
  if (label == "RSA PRIVATE KEY") {
    kind = Kind::kPkcs1;
  } else if (label == "PRIVATE KEY") {
    kind = Kind::kPkcs8;
  } else if (label == "ENCRYPTED PRIVATE KEY") {
    kind = Kind::kEncrypted;
  } else {
    error = "PEM \"" + label + "\" is not a private key";
    return false;
  }
  return true;
}

}  // namespace

bool private_key_is_encrypted(Bytes file) {
  qiv::SecretBuffer der(0);
  Kind kind = Kind::kUnknown;
  std::string error;
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> unused;
  // A scheme that is refused needs no passphrase: its refusal comes without a prompt.
  return unwrap(file, der, kind, error) && kind == Kind::kEncrypted &&
         read_encrypted({der.data(), der.size()}, {}, *unused, error, true);
}

bool read_private_key(Bytes file, Bytes passphrase, QIV_RSA_PRIVATE_KEY& key,
                      std::string& error) {
  qiv::wipe_object(key);
  error.clear();
  qiv::SecretBuffer der(0);
  Kind kind = Kind::kUnknown;
  if (!unwrap(file, der, kind, error)) return false;
  const Bytes bytes{der.data(), der.size()};
  switch (kind) {
    case Kind::kPkcs8:
      return read_private_key_info_der(bytes, key, error);
    case Kind::kEncrypted:
      return read_encrypted_private_key_info_der(bytes, passphrase, key, error);
    default:
      return read_rsa_private_key_der(bytes, key, error);
  }
}

}  // namespace format
