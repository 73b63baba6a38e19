// A DER reader (X.690 distinguished encoding) for the few types key files use: INTEGER, OCTET
// STRING, NULL, OBJECT IDENTIFIER and SEQUENCE, nested to a bounded depth. Single-byte tags
// only; definite lengths of at most four bytes in minimal form; no indefinite lengths. Every
// length is checked against the bytes that remain before anything is taken.
//
// A Reader walks the contents of one element. It never owns bytes. The first failure is kept
// in the error string shared by the reader and the readers nested in it; every later call
// fails at once, so a caller may read a whole structure and look at the result once.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace format::der {

inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;
// Nesting deeper than any key structure the system reads (encrypted PKCS#8 goes to 5).
inline constexpr unsigned kMaxDepth = 8;

class Reader {
 public:
  // Reads `bytes` as the contents of an element at nesting `depth`; failures go to `error`.
  Reader(std::span<const std::uint8_t> bytes, std::string& error, unsigned depth = 0)
      : rest_(bytes), error_(&error), depth_(depth) {}

  [[nodiscard]] bool ok() const { return error_->empty(); }
  [[nodiscard]] bool at_end() const { return rest_.empty(); }
  // The next element's tag, or 0 at the end.
  [[nodiscard]] std::uint8_t peek() const { return rest_.empty() ? 0 : rest_[0]; }

  // The next element, which must carry `tag`; `contents` is its body. `what` names it in errors.
  bool element(std::uint8_t tag, std::span<const std::uint8_t>& contents, const char* what);
  // A SEQUENCE; `inner` reads its contents one level deeper.
  bool sequence(Reader& inner, const char* what);
  // A non-negative INTEGER in minimal form; `magnitude` is its big-endian value without the
  // sign byte (empty for zero).
  bool integer(std::span<const std::uint8_t>& magnitude, const char* what);
  // A non-negative INTEGER that fits 32 bits.
  bool small_integer(std::uint32_t& value, const char* what);
  bool octet_string(std::span<const std::uint8_t>& contents, const char* what);
  bool null(const char* what);
  // An OBJECT IDENTIFIER in dotted-decimal form ("1.2.840.113549.1.1.1").
  bool oid(std::string& dotted, const char* what);
  // Fails unless every byte was read.
  bool finish(const char* what);
  // Records a failure of the caller's own ("what: cause"); always false.
  bool fail(const char* what, const std::string& cause);

 private:
  std::span<const std::uint8_t> rest_;
  std::string* error_;
  unsigned depth_;
};

// The dotted form of an OBJECT IDENTIFIER's contents, or "" when they are malformed (empty,
// an arc not in minimal form, an arc beyond 64 bits, a last byte with the continuation bit).
std::string oid_text(std::span<const std::uint8_t> contents);

}  // namespace format::der
