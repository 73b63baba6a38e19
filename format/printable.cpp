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

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080..U+009F are C2 80..C2 9F in UTF-8; a terminal in UTF-8 mode reads 9B as CSI.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c1) {
      append_escape(out, byte);
      append_escape(out, static_cast<unsigned char>(text[++i]));
    } else if (byte < 0x20 || byte == 0x7F) {
      append_escape(out, byte);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}
