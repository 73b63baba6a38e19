// The inspector: recognises every file the tool chain writes, lays out its fields with their
// offsets, and, given a device's eFuse value or a customer's public key, repeats the checks a
// device makes and says which one fails.
//
// Work is split in three steps so that tests and the fuzz harness can drive each in-process:
//   read_input     whole file into memory, bounded (nothing above kMaxFileSize is read);
//   inspect_bytes  recognition and description into a Report (no output, no file access);
//   render_text / render_json   the report for people or for scripts.
// run() is the whole command line on top of them; main() only calls it.
//
// Hostile input: every offset the inspector reads is either a named layout constant inside a
// record whose full size was established first, or an image position computed from the file
// size after it was compared against the record size. Length fields read from a file are shown
// and compared, never used to index.
//
// Secrets: the eFuse value is, together with the public tag of a record, the integrity key and
// the code key. It is never printed, and it lives in a buffer that is wiped when the inputs go
// away. Decrypted code is never shown, not even in part: only SHA-1 over all of it, and it is
// wiped once that is taken.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/wipe.h"
#include "format/format.h"
#include "sbl/layout.h"

namespace inspect {

using ByteView = std::span<const std::uint8_t>;

// No file of the tool chain comes near this: boot loaders are a few hundred KiB. Anything
// larger is refused without being read, so a huge or sparse file costs nothing.
inline constexpr std::uint64_t kMaxFileSize = std::uint64_t{64} << 20;

// The first bytes of SHA-1 over a key part: enough to tell keys apart at a glance.
inline constexpr std::size_t kFingerprintSize = kFingerprintBytes;

enum class KeySet { kV21, kV11 };

enum class Kind {
  kUnreadable,  // missing, a folder, a device, a pipe, or a read error
  kTooLarge,    // above kMaxFileSize: not read
  kUnknown,
  kEFuseV21,
  kEFuseV11,
  kSignedPublicKeyFileV21,     // maker's publicKeyInfo_V21.dat or a customer's _V21.spk
  kMakerPublicKeyFileV11,      // publicKeyInfo.dat
  kPublicKeyRecordV11,         // a customer's .spk
  kProtectedPrivateKeyV21,     // privateKey_V21.dat or a customer's _V21.prv
  kProtectedPrivateKeyV11,     // privateKey.dat
  kProtectedPrivateRecordV11,  // a customer's .prv
  kKeyReference,               // a private key file naming a key in a hardware token
  kSecuredBl1V21,
  kSecuredBl1V21BuildInfo,
  kSecuredBl1V11,
  kSignedBl2V21,  // recognised only through --key
  kSignedBl2V11,
  kPublicKeySpki,   // an RSA public key as X.509 SubjectPublicKeyInfo, PEM or DER
  kPublicKeyPkcs1,  // an RSA public key as PKCS#1 RSAPublicKey, PEM or DER
};

// Stable identifier for scripts ("secured-bl1-v21") and the words people read.
[[nodiscard]] std::string_view kind_id(Kind kind);
[[nodiscard]] std::string_view kind_text(Kind kind);

// A field value is a number or a text; numbers stay numbers in JSON.
using Value = std::variant<std::uint64_t, std::string>;

struct Field {
  std::string name;
  std::uint64_t offset = 0;  // from the start of the file
  std::uint64_t size = 0;
  Value value;
};

struct Section {
  std::string name;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::vector<Field> fields;
};

struct Check {
  std::string name;
  bool passed = false;
  std::string detail;
};

struct Report {
  std::string file;
  std::uint64_t size = 0;
  Kind kind = Kind::kUnknown;
  std::string note;  // one line about the whole file (why unreadable, what is not examined)
  std::vector<Section> sections;
  std::vector<Check> checks;
};

// A customer's stage-2 public key as a device compares it: the v2.1 key part (268 bytes), or
// the v1.1 modulus followed by the exponent (132 bytes).
struct StageKey {
  KeySet set = KeySet::kV21;
  std::array<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> keyPart{};
  std::uint32_t keyPartSize = 0;

  [[nodiscard]] ByteView bytes() const { return ByteView(keyPart).first(keyPartSize); }
};

// The key of a v2.1 signed public key file (548 bytes, modulus length 256, exponent length 4)
// or a v1.1 public key record (308 bytes, modulus length 128, exponent length 1 to 4); nullopt
// for anything else.
[[nodiscard]] std::optional<StageKey> stage_key_from_file(ByteView file);

// What --efuse and --key give. Not copyable: the eFuse value is wiped when this goes away.
class DeviceInputs {
 public:
  DeviceInputs() = default;
  DeviceInputs(const DeviceInputs&) = delete;
  DeviceInputs& operator=(const DeviceInputs&) = delete;

  // Takes a whole eFuse file: 20 bytes (v2.1) or 16 bytes (v1.1). False, keeping nothing, for
  // any other size.
  [[nodiscard]] bool set_efuse(ByteView file);
  // False, keeping nothing, when the file is not a public key file (stage_key_from_file).
  [[nodiscard]] bool set_key(ByteView file);

  [[nodiscard]] bool has_efuse() const { return eFuseLength_ != 0; }
  [[nodiscard]] KeySet efuse_set() const;
  [[nodiscard]] ByteView efuse() const { return ByteView(*eFuse_).first(eFuseLength_); }
  [[nodiscard]] const std::optional<StageKey>& key() const { return key_; }

 private:
  qiv::SecretArray<std::uint8_t, sbl::EFuseV21::kSize> eFuse_;
  std::uint32_t eFuseLength_ = 0;
  std::optional<StageKey> key_;
};

struct Input {
  enum class Status { kRead, kUnreadable, kTooLarge };
  Status status = Status::kUnreadable;
  std::uint64_t size = 0;  // as the file system reports it (also for kTooLarge)
  std::string reason;      // for kUnreadable
  qiv::SecretBuffer bytes;  // wiped: an inspected eFuse file is as secret as --efuse

  [[nodiscard]] ByteView view() const { return {bytes.data(), bytes.size()}; }
};

// Reads a regular file whole. Folders, devices and pipes are unreadable (a pipe is opened
// without waiting for a writer); a file above kMaxFileSize is not read at all, nor is one
// that grows past it while being read.
[[nodiscard]] Input read_input(const std::string& path);

// Recognises and describes the bytes; adds the device checks that the inputs allow.
[[nodiscard]] Report inspect_bytes(std::string_view name, ByteView file,
                                   const DeviceInputs& device);

// read_input, then inspect_bytes, or a report of kind kUnreadable / kTooLarge.
[[nodiscard]] Report inspect_file(const std::string& path, const DeviceInputs& device);

[[nodiscard]] std::string render_text(const Report& report);
// One JSON object on one line, ending with a line feed.
[[nodiscard]] std::string render_json(const Report& report);

// A JSON string: quotes, backslash and every control character escaped (C0, DEL, and C1, which
// a terminal may act on when a script prints a value); bytes that are not UTF-8 (a file name
// may hold any) become U+FFFD, so the output is always valid JSON.
[[nodiscard]] std::string json_string(std::string_view s);

// 2 when a file could not be inspected, else 1 when any check failed, else 0.
[[nodiscard]] int exit_status(std::span<const Report> reports);

inline constexpr int kExitUsage = 2;

// The whole command line (without the program name). What was asked for (the reports, or the
// usage for --help) goes to `out`, meant for standard output: with --json it holds JSON lines
// only. Usage errors, the usage that follows them and refused device inputs go to `err`, meant
// for standard error. Returns the exit status.
[[nodiscard]] int run(std::span<const std::string_view> args, std::string& out, std::string& err);

}  // namespace inspect
