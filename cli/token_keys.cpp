#include "cli/token_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <memory>

#include "cli/files.h"
#include "cli/usage.h"
#include "crypto/descriptor.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"
#include "cli/working_buffers.h"
#include "format/format.h"
#include "token/token.h"

namespace {

constexpr std::string_view kScheme = "pkcs11:";
constexpr std::uint32_t kMaxDigits = QIV_RSA_MAX_VERIFY_DIGITS;
// A module's answers are kept in containers sized by what it reports; when one cannot be had
// (an absurd count that passed its bound, or a machine out of memory) the command fails.
constexpr std::string_view kNoRoomForAnswer = "out of memory for the token's answer";

// The command's token key: one per process, as the working buffers are.
struct TokenKey {
  std::optional<token::Uri> uri;
  std::unique_ptr<token::Token> token;
  std::array<std::uint32_t, kMaxDigits> modulus{};
  QIV_SBL_SIGNER signer{};
};
TokenKey current;

// Causes carry values decoded from a URI (labels, paths): shown with control characters escaped.
std::int32_t failed(const std::string& cause) {
  print_text("Hardware token: " + printable(cause) + ".\n");
  drop_token_key();
  return kTokenFailed;
}

token::KeyShape shape_of(const sbl::KeySetLayout& set) {
  return {set.modulusBits, set.publicExponent, set.name};
}

// sign() of the signer: the token's big-endian signature, stored least significant byte first.
std::int32_t sign_in_token(void* /*context*/, const std::uint8_t* digest, std::uint32_t digestLen,
                           std::uint8_t* signature, std::uint32_t signatureLen) {
  if (!current.token || signatureLen != current.token->modulus().size()) return -1;
  const std::span<std::uint8_t> out(signature, signatureLen);
  bool signed_ = false;
  try {
    signed_ = current.token->sign_digest(std::span(digest, digestLen), out);
  } catch (const std::exception&) {
    print_text("Hardware token: " + std::string(kNoRoomForAnswer) + ".\n");
    return -1;
  }
  if (!signed_) {
    print_text("Hardware token: " + printable(current.token->error()) + ".\n");
    return -1;
  }
  std::reverse(out.begin(), out.end());
  return 0;
}

// Makes the opened token's key the command's key.
std::int32_t take_key() {
  const auto n = current.token->modulus();
  const auto digits = static_cast<std::uint32_t>(n.size() / sbl::kDigitSize);
  current.modulus.fill(0);
  std::array<std::uint8_t, kMaxDigits * sbl::kDigitSize> stored{};
  std::reverse_copy(n.begin(), n.end(), stored.begin());
  qiv::load_digits(current.modulus.data(), stored.data(), digits);
  current.signer = {sign_in_token, nullptr, current.modulus.data(), digits,
                    current.token->exponent()};
  return 0;
}

// Parses and opens; the failure line is printed here.
bool open_token(const std::string& uri) {
  drop_token_key();
  current.uri = token::Uri::parse(uri);
  if (!current.uri) {
    failed("the key reference is not a PKCS#11 URI");
    return false;
  }
  if (auto warning = token::pin_file_warning(*current.uri)) {
    print_text("Warning: " + printable(*warning) + ".\n");
  }
  std::string error;
  current.token = token::Token::open(*current.uri, error);
  if (!current.token) {
    failed(error);
    return false;
  }
  return true;
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

// Refuses, before anything is made, a key whose reference would not be read back as one.
bool reference_fits() {
  if (current.token->new_key_reference().size() + 1 <= kMaxKeyReferenceSize) return true;
  failed("the key reference would be longer than " + std::to_string(kMaxKeyReferenceSize) +
         " bytes");
  return false;
}

}  // namespace

std::optional<std::string> read_key_reference(const char* path) {
  // Only a look: anything that is not a small regular file starting with the scheme is left to
  // the key file loaders, which report it as they always have.
  const qiv::Descriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size < static_cast<off_t>(kScheme.size()) || info.st_size > kMaxKeyReferenceSize) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  if (text.rfind(kScheme, 0) != 0) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::int32_t use_token_key(const std::string& uri, const sbl::KeySetLayout& set) try {
  if (!open_token(uri)) return kTokenFailed;
  if (!current.token->use_key(shape_of(set))) return failed(current.token->error());
  return take_key();
} catch (const std::exception&) {
  return failed(std::string(kNoRoomForAnswer));
}

std::int32_t generate_token_key(const std::string& uri, const sbl::KeySetLayout& set) try {
  if (!open_token(uri)) return kTokenFailed;
  if (!reference_fits()) return kTokenFailed;
  if (!current.token->generate_key(shape_of(set))) {
    current.token->destroy_created();
    return failed(current.token->error());
  }
  return take_key();
} catch (const std::exception&) {
  undo_token_key();
  return failed(std::string(kNoRoomForAnswer));
}

std::int32_t store_token_key(const std::string& uri, const sbl::KeySetLayout& set,
                             const QIV_RSA_PRIVATE_KEY& key) try {
  if (!open_token(uri)) return kTokenFailed;
  if (!reference_fits()) return kTokenFailed;
  std::array<qiv::SecretBuffer, 8> parts;
  const token::RsaKeyParts view{
      big_endian(key.n, key.n_count, parts[0]),   big_endian(key.e, key.e_count, parts[1]),
      big_endian(key.d, key.d_count, parts[2]),   big_endian(key.p, key.p_count, parts[3]),
      big_endian(key.q, key.q_count, parts[4]),   big_endian(key.dP, key.dP_count, parts[5]),
      big_endian(key.dQ, key.dQ_count, parts[6]), big_endian(key.qInv, key.qInv_count, parts[7])};
  for (const auto part : {view.n, view.e, view.d, view.p, view.q, view.dP, view.dQ, view.qInv}) {
    if (part.empty()) return failed(std::string(kNoRoomForAnswer));
  }
  if (!current.token->store_key(shape_of(set), view)) {
    current.token->destroy_created();
    return failed(current.token->error());
  }
  return take_key();
} catch (const std::exception&) {
  undo_token_key();
  return failed(std::string(kNoRoomForAnswer));
}

void undo_token_key() {
  if (current.token) current.token->destroy_created();
}

const QIV_SBL_SIGNER* token_signer() {
  return current.token ? &current.signer : nullptr;
}

void drop_token_key() {
  current.token.reset();
  current.uri.reset();
  current.modulus.fill(0);
  current.signer = {};
}

std::span<const std::uint32_t> token_modulus_digits() {
  return std::span(current.modulus).first(current.signer.modulusDigits);
}

std::uint32_t token_exponent() {
  return current.signer.exponent;
}

std::string token_key_reference() {
  return current.token ? current.token->new_key_reference() + "\n" : std::string();
}

std::int32_t sign_with_command_key(std::int32_t form, const std::uint8_t* message,
                                   std::uint32_t messageLen, std::uint8_t* signature,
                                   std::uint32_t* signatureLen) {
  if (const QIV_SBL_SIGNER* signer = token_signer()) {
    return Generate_PSS_RSASignature2_By(signer, message, messageLen, signature, signatureLen);
  }
  return Generate_PSS_RSASignature2(form, privateKey.data(), privateKeyLen, message, messageLen,
                                    signature, signatureLen);
}

std::int32_t generate_sb20_context(const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                   std::uint32_t imageLen, std::uint8_t* context) {
  if (const QIV_SBL_SIGNER* signer = token_signer()) {
    return Generate_SB20_Context_By(signer, nextStageKey, image, imageLen, context);
  }
  return Generate_SB20_Context(privateKey.data(), privateKeyLen, nextStageKey, image, imageLen,
                               context);
}

std::int32_t generate_sb10_context(const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                   std::uint32_t imageLen, std::uint8_t* context) {
  if (const QIV_SBL_SIGNER* signer = token_signer()) {
    return Generate_SB10_Context_By(signer, nextStageKey, image, imageLen, context);
  }
  return Generate_SB10_Context(privateKey.data(), privateKeyLen, nextStageKey, image, imageLen,
                               context);
}
