#include "format/pem.h"

#include <algorithm>
#include <string_view>

namespace format {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";
constexpr std::size_t kMaxLabel = 64;

bool blank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// 0..63 for an alphabet character, 64 for anything else.
std::uint8_t sextet(std::uint8_t c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 64;
}

std::string_view view(std::span<const std::uint8_t> s) {
  return {reinterpret_cast<const char*>(s.data()), s.size()};
}

// The line starting at `at` without its line break ("\n" or "\r\n"); `at` moves past it.
std::string_view next_line(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  at = end < text.size() ? end + 1 : end;
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// "<prefix><label>-----" with a label of printable characters other than '-'.
bool armour_line(std::string_view line, std::string_view prefix, std::string& label) {
  if (!line.starts_with(prefix) || !line.ends_with(kDashes)) return false;
  if (line.size() < prefix.size() + kDashes.size()) return false;
  const std::string_view name = line.substr(prefix.size(), line.size() - prefix.size() - 5);
  if (name.empty() || name.size() > kMaxLabel) return false;
  if (!std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c <= '~' && c != '-'; }))
    return false;
  label.assign(name);
  return true;
}

}  // namespace

bool looks_like_pem(std::span<const std::uint8_t> text) {
  std::size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  return view(text.subspan(i)).starts_with(kBegin);
}

bool base64_decode(std::span<const std::uint8_t> text, qiv::SecretBuffer& out) {
  if (text.size() % 4 != 0 || !out.resize(text.size() / 4 * 3)) return false;
  std::size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  std::size_t written = 0;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const bool padding = last && j >= 4 - pad;
      const std::uint8_t v = padding ? 0 : sextet(text[i + j]);
      if (v > 63) return false;  // includes '=' anywhere but the end
      group = group << 6 | v;
    }
    // The bits below the last whole byte must be zero, else two texts decode alike.
    if (last && pad == 1 && (group & 0xFF) != 0) return false;
    if (last && pad == 2 && (group & 0xFFFF) != 0) return false;
    out.data()[written++] = static_cast<std::uint8_t>(group >> 16);
    out.data()[written++] = static_cast<std::uint8_t>(group >> 8);
    out.data()[written++] = static_cast<std::uint8_t>(group);
  }
  return out.resize(written - pad);
}

bool pem_decode(std::span<const std::uint8_t> bytes, std::string& label,
                qiv::SecretBuffer& body, std::string& error) {
  if (bytes.size() > kMaxPemBytes) {
    error = "PEM text longer than " + std::to_string(kMaxPemBytes) + " bytes";
    return false;
  }
  const std::string_view text = view(bytes);
  std::size_t at = 0;
  bool begun = false;
  while (at < text.size() && !begun) begun = armour_line(next_line(text, at), kBegin, label);
  if (!begun) {
    error = "no PEM BEGIN line";
    return false;
  }

  // The body's characters, line breaks dropped; the whole text bounds it.
  qiv::SecretBuffer base64(0);
  if (!base64.reserve(text.size())) {
    error = "out of memory";
    return false;
  }
  std::string endLabel;
  bool ended = false;
  while (at < text.size() && !ended) {
    const std::string_view line = next_line(text, at);
    if (line.starts_with(kEnd)) {
      if (!armour_line(line, kEnd, endLabel) || endLabel != label) {
        error = "PEM END line does not match \"" + label + "\"";
        return false;
      }
      ended = true;
    } else if (line.find(':') != std::string_view::npos) {
      error = "PEM headers are not supported (legacy PEM encryption): use PKCS#8";
      return false;
    } else {
      const std::size_t old = base64.size();
      if (!base64.resize(old + line.size())) {
        error = "out of memory";
        return false;
      }
      std::copy(line.begin(), line.end(), base64.data() + old);
    }
  }
  if (!ended) {
    error = "PEM END line missing";
    return false;
  }
  while (at < text.size() && blank(static_cast<std::uint8_t>(text[at]))) ++at;
  if (at != text.size()) {
    error = "text after the PEM END line";
    return false;
  }
  if (!base64_decode({base64.data(), base64.size()}, body)) {
    error = "PEM body is not valid base64";
    return false;
  }
  if (body.size() == 0) {
    error = "PEM body is empty";
    return false;
  }
  return true;
}

}  // namespace format
