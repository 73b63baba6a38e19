#include "format/der.h"

namespace format::der {

namespace {

// "tag 0x04 where 0x30 belongs", appended piece by piece.
std::string wrong_tag(std::uint8_t found, std::uint8_t wanted) {
  static const char* digits = "0123456789abcdef";
  const char text[] = {'t', 'a', 'g', ' ', '0', 'x', digits[found >> 4], digits[found & 15], '\0'};
  const char want[] = {'0', 'x', digits[wanted >> 4], digits[wanted & 15], '\0'};
  std::string s(text);
  s.append(" where ");
  s.append(want);
  s.append(" belongs");
  return s;
}

}  // namespace

bool Reader::fail(const char* what, const std::string& cause) {
  if (error_->empty()) {
    error_->assign(what);
    error_->append(": ");
    error_->append(cause);
  }
  return false;
}

bool Reader::element(std::uint8_t tag, std::span<const std::uint8_t>& contents, const char* what) {
  if (!ok()) return false;
  if (rest_.size() < 2) return fail(what, "truncated");
  if (rest_[0] != tag) return fail(what, wrong_tag(rest_[0], tag));
  const std::uint8_t first = rest_[1];
  std::size_t header = 2;
  std::uint32_t length = first;
  if (first == 0x80) return fail(what, "indefinite length");
  if (first > 0x80) {
    const std::uint32_t count = first & 0x7Fu;
    if (count > 4) return fail(what, "length field longer than 4 bytes");
    if (rest_.size() < header + count) return fail(what, "truncated");
    if (rest_[2] == 0) return fail(what, "length not in minimal form");
    length = 0;
    for (std::uint32_t i = 0; i < count; ++i) length = length << 8 | rest_[header + i];
    if (length < 0x80) return fail(what, "length not in minimal form");
    header += count;
  }
  if (length > rest_.size() - header) return fail(what, "length beyond the end of its container");
  contents = rest_.subspan(header, length);
  rest_ = rest_.subspan(header + length);
  return true;
}

bool Reader::sequence(Reader& inner, const char* what) {
  if (depth_ + 1 > kMaxDepth) return fail(what, "nested too deeply");
  std::span<const std::uint8_t> contents;
  if (!element(kSequence, contents, what)) return false;
  inner = Reader(contents, *error_, depth_ + 1);
  return true;
}

bool Reader::integer(std::span<const std::uint8_t>& magnitude, const char* what) {
  std::span<const std::uint8_t> c;
  if (!element(kInteger, c, what)) return false;
  if (c.empty()) return fail(what, "empty INTEGER");
  if (c.size() > 1 && ((c[0] == 0 && c[1] < 0x80) || (c[0] == 0xFF && c[1] >= 0x80)))
    return fail(what, "INTEGER not in minimal form");
  if (c[0] >= 0x80) return fail(what, "negative");
  magnitude = c[0] == 0 ? c.subspan(1) : c;
  return true;
}

bool Reader::small_integer(std::uint32_t& value, const char* what) {
  std::span<const std::uint8_t> m;
  if (!integer(m, what)) return false;
  if (m.size() > 4) return fail(what, "too large");
  value = 0;
  for (std::uint8_t b : m) value = value << 8 | b;
  return true;
}

bool Reader::octet_string(std::span<const std::uint8_t>& contents, const char* what) {
  return element(kOctetString, contents, what);
}

bool Reader::null(const char* what) {
  std::span<const std::uint8_t> c;
  if (!element(kNull, c, what)) return false;
  return c.empty() || fail(what, "NULL with contents");
}

bool Reader::oid(std::string& dotted, const char* what) {
  std::span<const std::uint8_t> c;
  if (!element(kOid, c, what)) return false;
  dotted = oid_text(c);
  return !dotted.empty() || fail(what, "malformed OBJECT IDENTIFIER");
}

bool Reader::finish(const char* what) {
  if (!ok()) return false;
  return rest_.empty() || fail(what, "unexpected bytes after its last field");
}

std::string oid_text(std::span<const std::uint8_t> contents) {
  if (contents.empty() || contents.size() > 64 || (contents.back() & 0x80) != 0) return {};
  std::string text;
  std::uint64_t arc = 0;
  bool first = true;
  bool fresh = true;  // at the first byte of an arc
  for (std::uint8_t b : contents) {
    if (fresh && b == 0x80) return {};  // a leading zero group: not minimal
    if (arc >> 57 != 0) return {};      // another 7 bits would overflow
    arc = arc << 7 | (b & 0x7Fu);
    fresh = (b & 0x80) == 0;
    if (!fresh) continue;
    if (first) {
      // The first arc packs two: 40 * X + Y with X in 0..2.
      const std::uint64_t x = arc < 80 ? arc / 40 : 2;
      text.append(std::to_string(x));
      text.push_back('.');
      text.append(std::to_string(arc - 40 * x));
      first = false;
    } else {
      text.push_back('.');
      text.append(std::to_string(arc));
    }
    arc = 0;
  }
  return text;
}

}  // namespace format::der
