// PKCS#11 URIs (RFC 7512): "pkcs11:" path-attr *(";" path-attr) ["?" query-attr *("&" query-attr)],
// each attribute name "=" percent-encoded value.
#include <algorithm>
#include <array>

#include "crypto/wipe.h"
#include "token/token.h"

namespace token {

namespace {

constexpr std::string_view kScheme = "pkcs11:";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decoded value is never longer than its text: reserving that much up front means the string
// never reallocates, so no copy of a secret value (a pin-value) is left behind unwiped. A decoded
// NUL is refused: the value would be cut where the module or the C library reads it.
std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex_value(text[i + 1]);
    const int lo = hex_value(text[i + 2]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// Splits "a=1<sep>b=2" into decoded pairs; false for an attribute without "=", a bad escape or a
// name given twice (which of the two a reader would use is not something to guess).
bool split_attributes(std::string_view text, char separator,
                      std::vector<std::pair<std::string, std::string>>& out) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(separator), text.size());
    const std::string_view item = text.substr(0, end);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    auto value = percent_decode(item.substr(equals + 1));
    const std::string_view name = item.substr(0, equals);
    if (!value || std::any_of(out.begin(), out.end(), [&](const auto& a) { return a.first == name; })) {
      return false;
    }
    out.emplace_back(std::string(item.substr(0, equals)), std::move(*value));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return true;
}

std::optional<std::string> find(const std::vector<std::pair<std::string, std::string>>& items,
                                std::string_view name) {
  for (const auto& [key, value] : items) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace

namespace {

// Appends the items of one part ("a=1<sep>b=2") to out, each after `lead` and then `separator`,
// leaving out every pin-value and every empty item (so that the result is its own result).
void append_without_pin(std::string_view part, char lead, char separator, std::string& out) {
  while (!part.empty()) {
    const std::size_t end = std::min(part.find(separator), part.size());
    const std::string_view item = part.substr(0, end);
    if (!item.empty() && item.substr(0, item.find('=')) != "pin-value") {
      if (lead != '\0') out.push_back(lead);
      out.append(item);
      lead = separator;
    }
    part.remove_prefix(std::min(end + 1, part.size()));
  }
}

}  // namespace

std::string without_pin_value(std::string_view text) {
  const std::size_t query = std::min(text.find('?'), text.size());
  std::string out;
  if (text.substr(0, kScheme.size()) == kScheme) {
    // A pin-value has no place in the path, but one written there is a secret all the same.
    out.append(kScheme);
    append_without_pin(text.substr(kScheme.size(), query - kScheme.size()), '\0', ';', out);
  } else {
    out.append(text.substr(0, query));
  }
  if (query < text.size()) append_without_pin(text.substr(query + 1), '?', '&', out);
  return out;
}

std::optional<Uri> Uri::parse(std::string_view text) {
  if (text.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  // Printable ASCII only: a reference is one line of text, and nothing in it may steer a terminal.
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; })) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(kScheme.size());
  const std::size_t query = std::min(rest.find('?'), rest.size());
  Uri uri;
  if (!split_attributes(rest.substr(0, query), ';', uri.path_) ||
      !split_attributes(rest.substr(std::min(query + 1, rest.size())), '&', uri.query_)) {
    return std::nullopt;
  }
  // Two PINs: which one the user meant is not something to guess.
  if (uri.query("pin-value") && uri.query("pin-source")) return std::nullopt;
  uri.shown_ = without_pin_value(text);
  return uri;
}

void Uri::wipe_values() {
  for (auto& [key, value] : query_) qiv::wipe(value.data(), value.size());
  for (auto& [key, value] : path_) qiv::wipe(value.data(), value.size());
}

Uri& Uri::operator=(const Uri& other) {
  if (this != &other) {
    wipe_values();
    path_ = other.path_;
    query_ = other.query_;
    shown_ = other.shown_;
  }
  return *this;
}

Uri::~Uri() {
  wipe_values();
}

std::optional<std::string> Uri::path(std::string_view name) const {
  return find(path_, name);
}

std::optional<std::string> Uri::query(std::string_view name) const {
  return find(query_, name);
}

std::optional<std::string> Uri::unknown_attribute() const {
  static constexpr std::array<std::string_view, 12> kPath = {
      "token",        "manufacturer",      "serial",         "model", "object", "id", "type",
      "slot-id",      "slot-description",  "slot-manufacturer", "library-manufacturer",
      "library-description"};
  static constexpr std::array<std::string_view, 4> kQuery = {"module-path", "module-name",
                                                             "pin-source", "pin-value"};
  for (const auto& [key, value] : path_) {
    if (std::find(kPath.begin(), kPath.end(), key) == kPath.end()) return key;
  }
  for (const auto& [key, value] : query_) {
    if (std::find(kQuery.begin(), kQuery.end(), key) == kQuery.end()) return key;
  }
  return std::nullopt;
}

}  // namespace token
