// Control characters made visible.
#include <array>
#include <cstdio>

#include "format/format.h"

namespace {

void append_escape(std::string& out, unsigned char byte) {
  std::array<char, 5> hex{};
  std::snprintf(hex.data(), hex.size(), "\\x%02x", byte);
  out.append(hex.data());
}

unsigned char at(std::string_view text, std::size_t i) {
  return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
}

// The length of the well-formed UTF-8 sequence at text[i] (lead byte 0x80 or above), 0 when it
// is none. The second byte's range excludes overlong forms, surrogates and code points past
// U+10FFFF, so that every byte a terminal could take as a control is either part of a proper
// character or escaped.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const unsigned char lead = at(text, i);
  const unsigned char second = at(text, i + 1);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((at(text, i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(text[i++]);
      continue;
    }
    const std::size_t length = byte >= 0x80 ? utf8_length(text, i) : 0;
    // U+0080..U+009F (C2 80..C2 9F) are the C1 controls: 9B is CSI to a terminal in UTF-8 mode.
    const bool c1 = length == 2 && byte == 0xC2 && at(text, i + 1) < 0xA0;
    if (length == 0 || c1) {
      // A C0 control, DEL, a C1 control, or a byte that is no part of a character (which a
      // terminal with an 8-bit character set may read as a C1 control): all shown as \xNN.
      for (std::size_t k = 0; k < (c1 ? 2u : 1u); ++k) append_escape(out, at(text, i + k));
      i += c1 ? 2 : 1;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}
