// Inside the inspector: the pieces that recognition, description and the device checks share.
//
// Records are handed around as fixed-extent spans of exactly their layout size, and fields are
// read with field32<Offset>() / field<Offset, Size>(), whose bounds are checked at compile time
// against that size. A record span is only ever made by record_at(), which checks at run time
// that the file holds the whole record. So no file, of any size, can steer a read out of bounds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "format/format.h"
#include "inspect/inspect.h"

namespace inspect::detail {

template <std::size_t N>
using Record = std::span<const std::uint8_t, N>;

// Every length, exponent and zero field of the records is one u32.
inline constexpr std::uint32_t kWordSize = 4;
// Every v1.1 key of the tool chain has this public exponent; a v1.1 maker key file and context
// have no other mark.
inline constexpr std::uint32_t kExponentV11 = sbl::kKeySetV11.publicExponent;

// Everything that tells the two sets apart (sbl/layout.h).
constexpr const sbl::KeySetLayout& layout_of(KeySet set) {
  return set == KeySet::kV21 ? sbl::kKeySetV21 : sbl::kKeySetV11;
}
// AES-128-CBC works on 16-byte blocks.
inline constexpr std::uint32_t kAesBlockSize = 16;

// The N bytes at offset, when the file holds them all.
template <std::size_t N>
[[nodiscard]] std::optional<Record<N>> record_at(ByteView file, std::uint64_t offset) {
  if (offset > file.size() || file.size() - offset < N) return std::nullopt;
  return Record<N>(file.data() + offset, N);
}

template <std::uint32_t Offset, std::size_t N>
[[nodiscard]] std::uint32_t field32(Record<N> record) {
  static_assert(Offset + kWordSize <= N, "field outside its record");
  return qiv::load_le32(record.data() + Offset);
}

template <std::uint32_t Offset, std::uint32_t Size, std::size_t N>
[[nodiscard]] Record<Size> field(Record<N> record) {
  static_assert(Offset + Size <= N, "field outside its record");
  return record.template subspan<Offset, Size>();
}

// Lower-case hex of every byte.
[[nodiscard]] std::string hex(ByteView bytes);
// hex of the first kFingerprintSize bytes of SHA-1(keyPart).
[[nodiscard]] std::string fingerprint(ByteView keyPart);
// "2026-12-08 07:30:12 UTC" for seconds since the Unix epoch.
[[nodiscard]] std::string utc_date(std::uint32_t seconds);
// Bit length of a big number stored least significant byte first (0 for zero).
[[nodiscard]] std::uint32_t bit_length(ByteView number);
[[nodiscard]] bool all_bytes_are(ByteView bytes, std::uint8_t value);
// The bytes as text when they are printable ASCII up to the first zero and zero after it; else
// nullopt.
[[nodiscard]] std::optional<std::string> zero_padded_text(ByteView bytes);

// SHA-1 over up to two pieces, as the context signature covers image || next-stage key.
[[nodiscard]] std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> sha1(ByteView first,
                                                                 ByteView second = {});

// Appends fields to one section; offsets are given relative to the section's start.
class SectionBuilder {
 public:
  SectionBuilder(std::string name, std::uint64_t offset, std::uint64_t size) {
    section_.name = std::move(name);
    section_.offset = offset;
    section_.size = size;
  }
  SectionBuilder& number(std::string name, std::uint64_t at, std::uint64_t size,
                         std::uint64_t value) {
    return add(std::move(name), at, size, Value{value});
  }
  SectionBuilder& text(std::string name, std::uint64_t at, std::uint64_t size, std::string value) {
    return add(std::move(name), at, size, Value{std::move(value)});
  }
  Section done() { return std::move(section_); }

 private:
  SectionBuilder& add(std::string name, std::uint64_t at, std::uint64_t size, Value value) {
    section_.fields.push_back(Field{std::move(name), section_.offset + at, size, std::move(value)});
    return *this;
  }
  Section section_;
};

// ---------------------------------------------------------------------------------------------
// Descriptions (key_files.cpp, images.cpp). Each appends sections to the report.

void describe_signed_public_key_file_v21(Record<SignedPublicKeyFileV21::kSize> file,
                                         Report& report);
void describe_maker_public_key_file_v11(Record<MakerPublicKeyFileV11::kSize> file, Report& report);
void describe_public_key_record_v11(Record<PublicKeyRecordV11::kSize> file, Report& report);
void describe_efuse(ByteView file, Report& report);
// An RSA public key in a standard form (standard_keys.cpp); false, adding nothing, otherwise.
[[nodiscard]] bool describe_standard_public_key(ByteView file, Report& report);

// The public key information record's fields, placed at `offset` in the file.
Section describe_record_v21(Record<sbl::PublicKeyInfoV21::kSize> record, std::uint64_t offset,
                            std::string name);
Section describe_record_v11(Record<sbl::PublicKeyInfoV11::kSize> record, std::uint64_t offset,
                            std::string name);

// Plausibility of the files that carry no marker but their length fields.
[[nodiscard]] bool looks_like_signed_public_key_file_v21(
    Record<SignedPublicKeyFileV21::kSize> file);
[[nodiscard]] bool looks_like_maker_public_key_file_v11(Record<MakerPublicKeyFileV11::kSize> file);
[[nodiscard]] bool looks_like_public_key_record_v11(Record<PublicKeyRecordV11::kSize> file);

// Where the parts of a secured BL1 lie: code [0, codeLength), the optional build-information
// block right after it, the context at contextOffset up to the end.
struct Stage1Layout {
  KeySet set = KeySet::kV21;
  std::uint64_t codeLength = 0;
  bool buildInfo = false;
  std::uint64_t contextOffset = 0;
  // The bytes the context signs: code and build-information block.
  [[nodiscard]] std::uint64_t signedLength() const { return contextOffset; }
};

[[nodiscard]] std::optional<Stage1Layout> find_stage1_layout(ByteView file);
void describe_stage1(ByteView file, const Stage1Layout& layout, Report& report);
void describe_stage2(ByteView file, const StageKey& key, Report& report);

// ---------------------------------------------------------------------------------------------
// Device checks (device_checks.cpp).

// When the RSA layer refuses the public exponent of a key part (QIV_RSA_PublicExponentOk), why:
// "has public exponent 1, which is even or below 3, so it proves no private key", to follow
// the key's name. nullopt for an exponent it accepts. The exponent is read as the verifier
// reads it: one digit at the set's exponent offset, whatever the length fields say.
[[nodiscard]] std::optional<std::string> exponent_refusal(ByteView keyPart, KeySet set);

// A secured BL1 inspected without an eFuse value: the checks that need none run, but whether a
// device trusts the record's key (the maker key) is not known.
inline constexpr std::string_view kMakerKeyUnchecked =
    "maker key not checked against a device: no eFuse value given";

// The record's tag against the eFuse value, for a record that starts at `record` in the file.
Check check_record_tag(ByteView file, std::uint64_t record, KeySet set, const DeviceInputs& device);
// With an eFuse value: the tag, the context signature, the next-stage key (--key) and, for
// v2.1, the decryption. Without: the same but the tag, the length of the code in place of its
// decryption, and kMakerKeyUnchecked as the report's note.
void add_stage1_checks(ByteView file, const Stage1Layout& layout, const DeviceInputs& device,
                       Report& report);
// True when the trailing signature verifies with the key; the check itself as well.
[[nodiscard]] bool stage2_signature_verifies(ByteView file, const StageKey& key);
Check check_stage2_signature(ByteView file, const StageKey& key);

}  // namespace inspect::detail
