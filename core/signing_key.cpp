#include "core/signing_key.h"

#include <algorithm>
#include <array>
#include <memory>

#include "core/files.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "sbl/private_key_blob.h"
#include "format/format.h"
#include "token/token.h"

namespace core {

namespace {

constexpr std::string_view kScheme = "pkcs11:";
// A module's answers are kept in containers sized by what it reports; when one cannot be had
// (an absurd count that passed its bound, or a machine out of memory) the command fails.
constexpr std::string_view kNoRoomForAnswer = "out of memory for the token's answer";

token::KeyShape shape_of(const sbl::KeySetLayout& set) {
  return {set.modulusBits, set.publicExponent, set.name};
}

// The reference to a new key, with its line feed, must be read back as one (read_key_reference).
bool reference_fits(token::Token& token) {
  return token.new_key_reference().size() + 1 <= kMaxKeyReferenceSize;
}

// A number of `count` digits as a big-endian byte string of its significant bytes, in a buffer
// that is wiped whole when it goes (these are the key's secret parts).
std::span<const std::uint8_t> big_endian(const std::uint32_t* digits, std::uint32_t count,
                                         qiv::SecretBuffer& out) {
  if (count == 0 || !out.resize(std::size_t{count} * sbl::kDigitSize)) return {};
  qiv::store_digits(out.data(), digits, count);
  std::reverse(out.data(), out.data() + out.size());
  const std::span<const std::uint8_t> bytes(out.data(), out.size());
  const auto first = std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; });
  return bytes.subspan(std::min<std::size_t>(static_cast<std::size_t>(first - bytes.begin()),
                                             bytes.size() - 1));
}

}  // namespace

std::optional<std::string> read_key_reference(const char* path) {
  // One read of at most a reference's size through the command's reader, with a report of its
  // own: a file that is no reference is not this function's to refuse.
  Report quiet;
  std::array<std::uint8_t, kMaxKeyReferenceSize> room{};
  const WholeFile file = read_whole_file(quiet, path, room);
  if (file.status != WholeFile::kRead || file.length < kScheme.size()) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(room.data()), file.length);
  if (text.rfind(kScheme, 0) != 0) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

SigningKey::SigningKey() = default;
SigningKey::~SigningKey() = default;

bool SigningKey::use_blob(std::span<const std::uint8_t> blob) {
  token_.reset();
  signer_ = {};
  if (!blob_.resize(blob.size())) return false;
  std::copy(blob.begin(), blob.end(), blob_.data());
  return true;
}

// Causes carry values decoded from a URI (labels, paths); the faces escape them when shown.
bool SigningKey::token_failed(Report& report, const std::string& cause, const std::string& file) {
  report.refuse(Class::kToken, Event::kTokenError, file, cause);
  token_.reset();
  tokenSet_ = nullptr;
  signer_ = {};
  modulus_.fill(0);
  return false;
}

// sign() of the signer: the token's big-endian signature, stored least significant byte first.
std::int32_t SigningKey::sign_in_token(void* context, const std::uint8_t* digest,
                                       std::uint32_t digestLen, std::uint8_t* signature,
                                       std::uint32_t signatureLen) {
  auto& key = *static_cast<SigningKey*>(context);
  if (!key.token_ || signatureLen != key.token_->modulus().size()) return -1;
  const std::span<std::uint8_t> out(signature, signatureLen);
  bool signed_ = false;
  std::string cause;
  try {
    signed_ = key.token_->sign_digest(std::span(digest, digestLen), out);
    if (!signed_) cause = key.token_->error();
  } catch (const std::exception&) {
    cause = kNoRoomForAnswer;
  }
  if (!signed_) {
    if (key.report_ != nullptr) {
      key.report_->refuse(Class::kToken, Event::kTokenError, key.file_, cause);
    }
    return -1;
  }
  std::reverse(out.begin(), out.end());
  return 0;
}

// Makes the opened token's key this key.
bool SigningKey::take_token_key(Report& report, const sbl::KeySetLayout& set) {
  const auto n = token_->modulus();
  const auto digits = static_cast<std::uint32_t>(n.size() / sbl::kDigitSize);
  modulus_.fill(0);
  std::array<std::uint8_t, QIV_RSA_MAX_VERIFY_DIGITS * sbl::kDigitSize> stored{};
  std::reverse_copy(n.begin(), n.end(), stored.begin());
  qiv::load_digits(modulus_.data(), stored.data(), digits);
  signer_ = {sign_in_token, this, modulus_.data(), digits, token_->exponent()};
  tokenSet_ = &set;
  report_ = &report;
  return true;
}

bool SigningKey::open(Report& report, const std::string& uri, const std::string& file) {
  static_cast<void>(blob_.resize(0));
  token_.reset();
  file_ = file;
  const std::optional<token::Uri> parsed = token::Uri::parse(uri);
  if (!parsed) return token_failed(report, "the key reference is not a PKCS#11 URI", file);
  if (auto warning = token::pin_file_warning(*parsed)) {
    report.note(Event::kTokenWarning, file, *warning);
  }
  std::string error;
  token_ = token::Token::open(*parsed, error);
  if (!token_) return token_failed(report, error, file);
  return true;
}

bool SigningKey::use_token(Report& report, const std::string& uri, const sbl::KeySetLayout* set,
                           const std::string& file) try {
  if (!open(report, uri, file)) return false;
  if (set == nullptr) {
    const std::optional<std::uint32_t> bits = token_->key_modulus_bits();
    if (!bits) return token_failed(report, token_->error(), file);
    set = *bits == sbl::kKeySetV21.modulusBits   ? &sbl::kKeySetV21
          : *bits == sbl::kKeySetV11.modulusBits ? &sbl::kKeySetV11
                                                 : nullptr;
    if (set == nullptr) {
      return token_failed(report,
                          "the token key has " + std::to_string(*bits) +
                              " bits; a key set's has 2048 (v2.1) or 1024 (v1.1)",
                          file);
    }
  }
  if (!token_->use_key(shape_of(*set))) return token_failed(report, token_->error(), file);
  return take_token_key(report, *set);
} catch (const std::exception&) {
  return token_failed(report, std::string(kNoRoomForAnswer), file);
}

// Refuses, before anything is made, a key whose reference would not be read back as one.
bool SigningKey::open_for_new_key(Report& report, const std::string& uri, const std::string& file) {
  if (!open(report, uri, file)) return false;
  if (reference_fits(*token_)) return true;
  return token_failed(report, "the key reference would be longer than " +
                                  std::to_string(kMaxKeyReferenceSize) + " bytes", file_);
}

// The key the token made or stored becomes this key; when it failed, whatever it made goes.
bool SigningKey::take_new_key(Report& report, const sbl::KeySetLayout& set, bool made) {
  if (made) return take_token_key(report, set);
  token_->destroy_created();
  return token_failed(report, token_->error(), file_);
}

bool SigningKey::generate_in_token(Report& report, const std::string& uri,
                                   const sbl::KeySetLayout& set, const std::string& file) try {
  return open_for_new_key(report, uri, file) &&
         take_new_key(report, set, token_->generate_key(shape_of(set)));
} catch (const std::exception&) {
  undo_token_key();
  return token_failed(report, std::string(kNoRoomForAnswer), file_);
}

bool SigningKey::store_in_token(Report& report, const std::string& uri,
                                const sbl::KeySetLayout& set, const QIV_RSA_PRIVATE_KEY& key,
                                const std::string& file) try {
  if (!open_for_new_key(report, uri, file)) return false;
  std::array<qiv::SecretBuffer, 8> parts;
  const token::RsaKeyParts view{
      big_endian(key.n, key.n_count, parts[0]),   big_endian(key.e, key.e_count, parts[1]),
      big_endian(key.d, key.d_count, parts[2]),   big_endian(key.p, key.p_count, parts[3]),
      big_endian(key.q, key.q_count, parts[4]),   big_endian(key.dP, key.dP_count, parts[5]),
      big_endian(key.dQ, key.dQ_count, parts[6]), big_endian(key.qInv, key.qInv_count, parts[7])};
  for (const auto part : {view.n, view.e, view.d, view.p, view.q, view.dP, view.dQ, view.qInv}) {
    if (part.empty()) return token_failed(report, std::string(kNoRoomForAnswer), file_);
  }
  return take_new_key(report, set, token_->store_key(shape_of(set), view));
} catch (const std::exception&) {
  undo_token_key();
  return token_failed(report, std::string(kNoRoomForAnswer), file_);
}

void SigningKey::undo_token_key() {
  if (token_) token_->destroy_created();
}

std::span<const std::uint32_t> SigningKey::token_modulus_digits() const {
  return std::span(modulus_).first(signer_.modulusDigits);
}

std::string SigningKey::token_key_reference() const {
  return token_ ? token_->new_key_reference() + "\n" : std::string();
}

std::uint32_t SigningKey::key_part(
    const sbl::KeySetLayout& set,
    std::span<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> out) const {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const std::uint32_t digits = set.modulusBits / (8 * sbl::kDigitSize);
  std::span<const std::uint32_t> n;
  std::uint32_t e = 0;
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  if (token_) {
    n = token_modulus_digits();
    e = token_exponent();
  } else {
    const std::span<const std::uint8_t> blob(blob_.data(), blob_.size());
    const sbl::KeyForm form = set.crtSigning ? sbl::KeyForm::kCrt : sbl::KeyForm::kPlain;
    if (!sbl::load_private_key_blob(blob, form, *key)) return 0;
    n = std::span<const std::uint32_t>(key->n, key->n_count);
    e = set.crtSigning ? key->e[0] : set.publicExponent;
  }
  if (n.size() != digits) return 0;
  std::uint8_t* at = out.data();
  if (set.crtSigning) {
    qiv::store_le32(at, digits * sbl::kDigitSize);
    at += 4;
  }
  qiv::store_digits(at, n.data(), digits);
  at += digits * sbl::kDigitSize;
  if (set.crtSigning) {
    qiv::store_le32(at, sbl::kDigitSize);
    at += 4;
  }
  qiv::store_le32(at, e);
  return static_cast<std::uint32_t>(at + 4 - out.data());
}

std::int32_t SigningKey::sign(std::int32_t form, const std::uint8_t* message,
                              std::uint32_t messageLen, std::uint8_t* signature,
                              std::uint32_t* signatureLen) {
  if (token_) return Generate_PSS_RSASignature2_By(&signer_, message, messageLen, signature, signatureLen);
  return Generate_PSS_RSASignature2(form, blob_.data(), static_cast<std::uint32_t>(blob_.size()),
                                    message, messageLen, signature, signatureLen);
}

std::int32_t SigningKey::sign_digest(std::int32_t form, const std::uint8_t* digest,
                                     std::uint8_t* signature, std::uint32_t* signatureLen) {
  if (token_) {
    return Generate_PSS_RSASignature_By(&signer_, digest, QIV_SHA1_DIGEST_LEN, signature,
                                        signatureLen);
  }
  return Generate_PSS_RSASignature(form, blob_.data(), static_cast<std::uint32_t>(blob_.size()),
                                   digest, QIV_SHA1_DIGEST_LEN, signature, signatureLen);
}

std::int32_t SigningKey::sb20_context(const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                      std::uint32_t imageLen, std::uint8_t* context) {
  if (token_) return Generate_SB20_Context_By(&signer_, nextStageKey, image, imageLen, context);
  return Generate_SB20_Context(blob_.data(), static_cast<std::uint32_t>(blob_.size()),
                               nextStageKey, image, imageLen, context);
}

std::int32_t SigningKey::sb10_context(const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                      std::uint32_t imageLen, std::uint8_t* context) {
  if (token_) return Generate_SB10_Context_By(&signer_, nextStageKey, image, imageLen, context);
  return Generate_SB10_Context(blob_.data(), static_cast<std::uint32_t>(blob_.size()),
                               nextStageKey, image, imageLen, context);
}

}  // namespace core
