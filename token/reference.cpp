// The name a key made here goes by, and the reference that finds it again: the URI without its
// PIN, with the token's serial and the key's id added where the URI gives none.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>

#include "crypto/descriptor.h"
#include "token/token.h"

namespace token {

namespace {

// Bytes of a key's CKA_ID when the URI names none.
constexpr std::size_t kIdSize = 16;

// RFC 3986's unreserved characters stay; every other byte becomes %XX.
std::string percent_encode(std::string_view value, bool everyByte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (!everyByte && (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~')) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

// kIdSize bytes from the kernel's generator, none of them zero (a reference refuses %00, which
// would cut a value where C strings end); empty when the generator gives too few.
std::string random_id() {
  std::string id;
  const qiv::Descriptor fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  std::array<char, 4 * kIdSize> drawn{};
  for (int round = 0; fd.get() >= 0 && id.size() < kIdSize && round < 8; ++round) {
    const ssize_t n = ::read(fd.get(), drawn.data(), drawn.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (const char c : std::span(drawn).first(static_cast<std::size_t>(n))) {
      if (c != 0 && id.size() < kIdSize) id.push_back(c);
    }
  }
  return id.size() == kIdSize ? id : std::string();
}

}  // namespace

// Drawn once, and only when the URI gives no id.
const std::string& Token::new_key_id() {
  if (newId_.empty()) {
    const auto given = uri_.path("id");
    newId_ = given ? *given : random_id();
  }
  return newId_;
}

std::string Token::new_key_reference() {
  static_cast<void>(new_key_id());
  std::string added;
  if (!uri_.path("serial")) added += ";serial=" + percent_encode(serial_, false);
  if (!uri_.path("id")) added += ";id=" + percent_encode(newId_, true);
  const std::string& shown = uri_.shown();
  const std::size_t query = std::min(shown.find('?'), shown.size());
  // "pkcs11:" with an empty path takes the first attribute without its separator.
  const bool emptyPath = query == std::string_view("pkcs11:").size();
  return shown.substr(0, query) + (emptyPath ? added.substr(1) : added) + shown.substr(query);
}

}  // namespace token
