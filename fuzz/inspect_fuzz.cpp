// sbinspect's recognition, description, device checks and both renderings over arbitrary
// bytes, with or without an eFuse value and a customer key.
//
// Input: [choice: u8][eFuse value][key file][file: the rest]
//   choice bits 0-1: no eFuse value (0, 3), a v2.1 one of 20 bytes (1), a v1.1 one of 16 (2);
//   bits 2-3: no key file (0, 3), 548 bytes taken as a v2.1 key file (1), 308 bytes as a v1.1
//   public key record (2). Missing bytes read as zero.
// The seeds (corpus/inspect) are small real files made by Tarnwick_V21 (a 64-byte BL1 secured
// in both sets and with "-P", a 100-byte BL2 signed in both sets, key files, eFuse values)
// with the matching eFuse value and customer key, laid out as above.
//
// Whatever the bytes: no read outside the file (the file is an exact-size heap copy, so one
// byte past it is an AddressSanitizer report), the file is not changed, every section and field
// lies inside the file, checks appear only for the inputs given or for a secured BL1, a signed
// BL2 only with a key, the JSON rendering is one valid JSON object on one line, the text holds no
// control character but its line ends, and a second inspection renders the same.
#include <cctype>
#include <string>
#include <string_view>

#include "format/format.h"
#include "fuzz/fuzz_support.h"
#include "inspect/inspect.h"

namespace {

// A strict recogniser of one JSON value (RFC 8259), enough to prove the rendering well formed.
class JsonChecker {
 public:
  explicit JsonChecker(std::string_view text) : s_(text) {}

  bool one_object_line() {
    if (s_.empty() || s_.back() != '\n') return false;
    s_.remove_suffix(1);
    if (s_.find('\n') != std::string_view::npos) return false;
    return peek() == '{' && value() && pos_ == s_.size();
  }

 private:
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  bool eat(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  bool value() {
    switch (peek()) {
      case '{':
        return members('}', true);
      case '[':
        return members(']', false);
      case '"':
        return string();
      default:
        return number();
    }
  }
  bool members(char close, bool object) {
    ++pos_;
    if (eat(close)) return true;
    do {
      if (object && !(string() && eat(':'))) return false;
      if (!value()) return false;
    } while (eat(','));
    return eat(close);
  }
  bool string() {
    if (!eat('"')) return false;
    while (pos_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        const char e = peek();
        ++pos_;
        if (e == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(peek()))) return false;
            ++pos_;
          }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
    }
    return false;
  }
  bool number() {  // the renderer writes only unsigned integers
    const std::size_t start = pos_;
    while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    if (pos_ == start) return false;
    return !(s_[start] == '0' && pos_ - start > 1);
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

bool is_stage1(inspect::Kind kind) {
  return kind == inspect::Kind::kSecuredBl1V21 || kind == inspect::Kind::kSecuredBl1V21BuildInfo ||
         kind == inspect::Kind::kSecuredBl1V11;
}

bool is_stage2(inspect::Kind kind) {
  return kind == inspect::Kind::kSignedBl2V21 || kind == inspect::Kind::kSignedBl2V11;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint8_t choice = in.u8();
  const std::uint32_t eFuseChoice = choice & 3u;
  const std::uint32_t keyChoice = (choice >> 2) & 3u;
  const std::size_t eFuseLength = eFuseChoice == 1   ? sbl::EFuseV21::kSize
                                  : eFuseChoice == 2 ? sbl::EFuseV11::kSize
                                                     : 0;
  const std::size_t keyLength = keyChoice == 1   ? SignedPublicKeyFileV21::kSize
                                : keyChoice == 2 ? PublicKeyRecordV11::kSize
                                                 : 0;
  const fuzz::Bytes eFuse = in.bytes(eFuseLength);
  const fuzz::Bytes keyFile = in.bytes(keyLength);
  const fuzz::Bytes fileBytes = in.rest();

  inspect::DeviceInputs device;
  if (eFuseLength != 0) FUZZ_CHECK(device.set_efuse(eFuse));
  const bool keyTaken = keyLength != 0 && device.set_key(fuzz::Exact(keyFile).span());
  FUZZ_CHECK(keyTaken == device.key().has_value());

  const fuzz::Exact file(fileBytes);
  const inspect::Report report = inspect::inspect_bytes("input", file.span(), device);
  FUZZ_CHECK(file.equals(fileBytes));
  FUZZ_CHECK(report.size == fileBytes.size());
  for (const inspect::Section& section : report.sections) {
    FUZZ_CHECK(section.offset <= report.size && section.size <= report.size - section.offset);
    for (const inspect::Field& field : section.fields) {
      FUZZ_CHECK(field.offset >= section.offset);
      FUZZ_CHECK(field.offset - section.offset <= section.size);
      FUZZ_CHECK(field.size <= section.size - (field.offset - section.offset));
    }
  }
  // Without inputs only a secured BL1 has checks (those that need none), and it says that its
  // maker key was not checked against a device.
  FUZZ_CHECK(report.checks.empty() || device.has_efuse() || keyTaken || is_stage1(report.kind));
  FUZZ_CHECK(!is_stage1(report.kind) || device.has_efuse() ||
             (!report.checks.empty() && !report.note.empty()));
  FUZZ_CHECK(!is_stage2(report.kind) || keyTaken);
  FUZZ_CHECK(report.kind != inspect::Kind::kUnreadable && report.kind != inspect::Kind::kTooLarge);

  const std::string json = inspect::render_json(report);
  FUZZ_CHECK(JsonChecker(json).one_object_line());
  const std::string text = inspect::render_text(report);
  FUZZ_CHECK(text.rfind("input: ", 0) == 0 && text.back() == '\n');
  // Nothing from the file reaches the terminal as a control character: only line ends.
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    FUZZ_CHECK(c == '\n' || (b >= 0x20 && b != 0x7F));
  }

  const inspect::Report again = inspect::inspect_bytes("input", file.span(), device);
  FUZZ_CHECK(inspect::render_json(again) == json);
  return 0;
}
