// The report for people (text) and for scripts (one JSON object per line).
#include <cstdio>

#include "format/format.h"
#include "inspect/inspect.h"

namespace inspect {

namespace {

constexpr std::size_t kNameWidth = 26;
constexpr std::size_t kCheckWidth = 34;

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Text from outside (a file name may hold any byte but the slash and zero; a key reference's
// URI is the file's own text) passes through printable(), so that no control character can end
// a line early, fake a line of the report or reach the terminal as an escape sequence. Our own
// texts hold none and come out unchanged.
std::string value_text(const Value& value) {
  if (const auto* number = std::get_if<std::uint64_t>(&value)) return std::to_string(*number);
  return printable(std::get<std::string>(value));
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes there are not one
// (overlong forms, surrogates and code points above U+10FFFF included).
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

// "\u00XX" for a code point below U+0100.
void append_escape(std::string& out, unsigned char code) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code));
  out += escaped;
}

std::string json_value(const Value& value) {
  if (const auto* number = std::get_if<std::uint64_t>(&value)) return std::to_string(*number);
  return json_string(std::get<std::string>(value));
}

}  // namespace

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 1;
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b < 0x20 || b == 0x7F) {
      append_escape(out, b);
    } else if (b < 0x80) {
      out += static_cast<char>(b);
    } else if (n = utf8_sequence(s, i); n == 0) {
      out += "\\ufffd";
      n = 1;
    } else if (const auto second = static_cast<unsigned char>(s[i + 1]);
               b == 0xC2 && second < 0xA0) {
      append_escape(out, second);  // U+0080..U+009F: C2 80..C2 9F
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out + "\"";
}

std::string render_text(const Report& report) {
  std::string out = printable(report.file) + ": " + std::string(kind_text(report.kind));
  if (report.kind == Kind::kUnreadable) {
    out += ": " + printable(report.note) + "\n";
    return out;
  }
  out += ", " + std::to_string(report.size) + " bytes\n";
  if (report.kind == Kind::kTooLarge) {
    out += "  not read: files above " + std::to_string(kMaxFileSize) + " bytes are refused\n";
    return out;
  }
  if (!report.note.empty()) out += "  " + printable(report.note) + "\n";
  for (const Section& section : report.sections) {
    out += "  " + section.name + " @" + std::to_string(section.offset) + ", " +
           std::to_string(section.size) + " bytes\n";
    for (const Field& field : section.fields) {
      // Appended, not "@" + string: g++ 12 at -O3 sees a false overlap in the latter.
      std::string at = "@";
      at += std::to_string(field.offset);
      out +=
          "    " + padded(at, 9) + padded(field.name, kNameWidth) + value_text(field.value) + "\n";
    }
  }
  for (const Check& check : report.checks) {
    out += "  check " + padded(check.name, kCheckWidth) + (check.passed ? "PASS" : "FAIL") + "  " +
           printable(check.detail) + "\n";
  }
  return out;
}

std::string render_json(const Report& report) {
  std::string out = "{\"file\":" + json_string(report.file) +
                    ",\"size\":" + std::to_string(report.size) +
                    ",\"kind\":" + json_string(kind_id(report.kind)) +
                    ",\"description\":" + json_string(kind_text(report.kind));
  if (!report.note.empty()) out += ",\"note\":" + json_string(report.note);
  out += ",\"sections\":[";
  for (std::size_t s = 0; s < report.sections.size(); ++s) {
    const Section& section = report.sections[s];
    if (s != 0) out += ',';
    out += "{\"name\":" + json_string(section.name) +
           ",\"offset\":" + std::to_string(section.offset) +
           ",\"size\":" + std::to_string(section.size) + ",\"fields\":[";
    for (std::size_t f = 0; f < section.fields.size(); ++f) {
      const Field& field = section.fields[f];
      if (f != 0) out += ',';
      out +=
          "{\"name\":" + json_string(field.name) + ",\"offset\":" + std::to_string(field.offset) +
          ",\"size\":" + std::to_string(field.size) + ",\"value\":" + json_value(field.value) + "}";
    }
    out += "]}";
  }
  out += "],\"checks\":[";
  for (std::size_t c = 0; c < report.checks.size(); ++c) {
    const Check& check = report.checks[c];
    if (c != 0) out += ',';
    out += "{\"name\":" + json_string(check.name) +
           ",\"result\":" + json_string(check.passed ? "PASS" : "FAIL") +
           ",\"detail\":" + json_string(check.detail) + "}";
  }
  return out + "]}\n";
}

}  // namespace inspect
