// The key-reference path over arbitrary bytes: the reference recogniser (read_key_reference,
// on the bytes as a file) and the PKCS#11 URI parser (token::Uri::parse, on the bytes as text).
//
// Whatever the bytes:
// - a recognised reference starts with "pkcs11:", ends in no line end and is no longer than
//   kMaxKeyReferenceSize;
// - a parsed URI's shown() is printable ASCII, holds no pin-value (in the path or the query)
//   and parses again to the same attributes, less the pin-value;
// - no decoded value holds a NUL byte;
// - without_pin_value is idempotent.
// The seeds (corpus/key_reference) are references as the program writes and reads them, with
// pin-values in either part, escapes, line ends, and a few that must be refused.
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/signing_key.h"
#include "fuzz/fuzz_support.h"
#include "token/token.h"

namespace {

constexpr std::array<std::string_view, 12> kPathNames = {
    "token",   "manufacturer",     "serial",            "model",
    "object",  "id",               "type",              "slot-id",
    "slot-description", "slot-manufacturer", "library-manufacturer", "pin-value"};
constexpr std::array<std::string_view, 5> kQueryNames = {"module-path", "module-name",
                                                         "pin-source", "pin-value", "colour"};

bool printable_ascii(std::string_view text) {
  for (const char c : text) {
    if (c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

void check_uri(std::string_view text) {
  const std::string once = token::without_pin_value(text);
  FUZZ_CHECK(token::without_pin_value(once) == once);
  const auto uri = token::Uri::parse(text);
  if (!uri) return;
  FUZZ_CHECK(printable_ascii(uri->shown()));
  const auto again = token::Uri::parse(uri->shown());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->shown() == uri->shown());
  for (const std::string_view name : kPathNames) {
    const auto value = uri->path(name);
    FUZZ_CHECK(!value || value->find('\0') == std::string::npos);
    FUZZ_CHECK(name == "pin-value" ? !again->path(name) : again->path(name) == value);
  }
  for (const std::string_view name : kQueryNames) {
    const auto value = uri->query(name);
    FUZZ_CHECK(!value || value->find('\0') == std::string::npos);
    FUZZ_CHECK(name == "pin-value" ? !again->query(name) : again->query(name) == value);
  }
}

void check_reference(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/qiv_key_reference_fuzz." +
           std::to_string(::getpid());
  }();
  FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
  std::fclose(file);
  const auto reference = core::read_key_reference(path.c_str());
  ::unlink(path.c_str());
  if (!reference) return;
  FUZZ_CHECK(reference->rfind("pkcs11:", 0) == 0);
  FUZZ_CHECK(reference->size() <= core::kMaxKeyReferenceSize);
  FUZZ_CHECK(reference->back() != '\n' && reference->back() != '\r');
  check_uri(*reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_uri(std::string_view(reinterpret_cast<const char*>(data), size));
  check_reference(data, size);
  return 0;
}
