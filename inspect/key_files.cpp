// Descriptions of the key files: public key information records, the signed public key files
// and records that carry them, and eFuse values.
#include <algorithm>

#include "inspect/describe.h"
#include "sbl/sbl.h"

namespace inspect::detail {

namespace {

std::string bits_text(ByteView modulus) {
  return std::to_string(bit_length(modulus)) + " bits";
}

// Verification clears a signature that fails; the file's bytes stay as they are.
bool verifies(ByteView key, ByteView message, ByteView signature) {
  std::array<std::uint8_t, sbl::PublicKeyInfoV21::kModulusSize> copy{};
  if (signature.size() > copy.size()) return false;
  std::copy(signature.begin(), signature.end(), copy.begin());
  return Verify_PSS_RSASignature2(key.data(), static_cast<std::uint32_t>(key.size()),
                                  message.data(), static_cast<std::uint32_t>(message.size()),
                                  copy.data(), static_cast<std::uint32_t>(signature.size())) == 0;
}

// The self-signature's state. A refused public exponent is named as the reason: the file then
// proves nothing about who made it, whatever its signature bytes.
std::string self_signature_text(ByteView key, KeySet set, ByteView message, ByteView signature) {
  if (verifies(key, message, signature)) return "verifies with the file's own key";
  if (const auto refusal = exponent_refusal(key, set)) {
    return "REFUSED: the file's own key " + *refusal;
  }
  return "DOES NOT VERIFY with the file's own key";
}

// The header text as text when it is printable and zero-padded, else its bytes in hex.
std::string text_or_hex(ByteView bytes) {
  if (auto text = zero_padded_text(bytes)) return "\"" + *text + "\"";
  return "bytes " + hex(bytes);
}

}  // namespace

Section describe_record_v21(Record<sbl::PublicKeyInfoV21::kSize> record, std::uint64_t offset,
                            std::string name) {
  using P = sbl::PublicKeyInfoV21;
  return SectionBuilder(std::move(name), offset, P::kSize)
      .number("modulus length", P::kModulusLength, kWordSize, field32<P::kModulusLength>(record))
      .text("modulus", P::kModulus, P::kModulusSize,
            bits_text(field<P::kModulus, P::kModulusSize>(record)))
      .number("exponent length", P::kExponentLength, kWordSize, field32<P::kExponentLength>(record))
      .number("exponent", P::kExponent, P::kExponentSize, field32<P::kExponent>(record))
      .text("key fingerprint", 0, P::kKeyPartSize, fingerprint(field<0, P::kKeyPartSize>(record)))
      .text("integrity tag", P::kTag, P::kTagSize, hex(field<P::kTag, P::kTagSize>(record)))
      .done();
}

Section describe_record_v11(Record<sbl::PublicKeyInfoV11::kSize> record, std::uint64_t offset,
                            std::string name) {
  using P = sbl::PublicKeyInfoV11;
  return SectionBuilder(std::move(name), offset, P::kSize)
      .text("modulus", P::kModulus, P::kModulusSize,
            bits_text(field<P::kModulus, P::kModulusSize>(record)))
      .number("exponent", P::kExponent, P::kExponentSize, field32<P::kExponent>(record))
      .text("key fingerprint", 0, P::kKeyPartSize, fingerprint(field<0, P::kKeyPartSize>(record)))
      .text("integrity tag", P::kTag, P::kTagSize, hex(field<P::kTag, P::kTagSize>(record)))
      .done();
}

// ---------------------------------------------------------------------------------------------

// The key's length fields mark the file; the signature length only delimits the
// self-signature, so a damaged one leaves the file recognisable.
bool looks_like_signed_public_key_file_v21(Record<SignedPublicKeyFileV21::kSize> file) {
  using P = sbl::PublicKeyInfoV21;
  return field32<P::kModulusLength>(file) == P::kModulusSize &&
         field32<P::kExponentLength>(file) == P::kExponentSize;
}

void describe_signed_public_key_file_v21(Record<SignedPublicKeyFileV21::kSize> file,
                                         Report& report) {
  using F = SignedPublicKeyFileV21;
  report.sections.push_back(describe_record_v21(field<F::kRecord, F::kRecordSize>(file), F::kRecord,
                                                "public key information record"));
  const std::uint32_t signatureLength = field32<F::kSignatureLength>(file);
  const std::string state =
      signatureLength != F::kSignatureSize
          ? "not checked: the signature length field is not " + std::to_string(F::kSignatureSize)
          : self_signature_text(field<0, F::kKeyPartSize>(file), KeySet::kV21,
                                field<F::kRecord, F::kRecordSize>(file),
                                field<F::kSignature, F::kSignatureSize>(file));
  report.sections.push_back(
      SectionBuilder("self-signature", F::kSignatureLength, F::kSize - F::kSignatureLength)
          .number("signature length", 0, kWordSize, signatureLength)
          .text("signature", F::kSignature - F::kSignatureLength, F::kSignatureSize, state)
          .done());
}

// ---------------------------------------------------------------------------------------------

// The v1.1 keys of the tool chain are 1024-bit with exponent 65537; the file has no other
// marker.
bool looks_like_maker_public_key_file_v11(Record<MakerPublicKeyFileV11::kSize> file) {
  using P = sbl::PublicKeyInfoV11;
  return field32<P::kExponent>(file) == kExponentV11 &&
         bit_length(field<P::kModulus, P::kModulusSize>(file)) == 8 * P::kModulusSize;
}

void describe_maker_public_key_file_v11(Record<MakerPublicKeyFileV11::kSize> file, Report& report) {
  using F = MakerPublicKeyFileV11;
  using P = sbl::PublicKeyInfoV11;
  report.sections.push_back(describe_record_v11(field<F::kRecord, F::kRecordSize>(file), F::kRecord,
                                                "public key information record"));
  std::string state = self_signature_text(field<0, P::kKeyPartSize>(file), KeySet::kV11,
                                          field<F::kRecord, F::kRecordSize>(file),
                                          field<F::kSignature, F::kSignatureSize>(file));
  report.sections.push_back(SectionBuilder("self-signature", F::kSignature, F::kSignatureSize)
                                .text("signature", 0, F::kSignatureSize, std::move(state))
                                .done());
}

// ---------------------------------------------------------------------------------------------

bool looks_like_public_key_record_v11(Record<PublicKeyRecordV11::kSize> file) {
  using R = PublicKeyRecordV11;
  const auto text = zero_padded_text(field<R::kHeaderText, R::kHeaderTextSize>(file));
  return field32<R::kHeaderSize>(file) == R::kHeaderSizeValue && text &&
         *text == R::kHeaderTextValue;
}

void describe_public_key_record_v11(Record<PublicKeyRecordV11::kSize> file, Report& report) {
  using R = PublicKeyRecordV11;
  report.sections.push_back(
      SectionBuilder("header", 0, R::kKeyData)
          .number("header size", R::kHeaderSize, kWordSize, field32<R::kHeaderSize>(file))
          .text("header text", R::kHeaderText, R::kHeaderTextSize,
                text_or_hex(field<R::kHeaderText, R::kHeaderTextSize>(file)))
          .number("reserved", R::kReserved, kWordSize, field32<R::kReserved>(file))
          .number("key data length", R::kKeyDataLength, kWordSize, field32<R::kKeyDataLength>(file))
          .done());

  const std::optional<StageKey> key = stage_key_from_file(file);
  SectionBuilder keyData("key data", R::kKeyData, R::kKeyDataSize);
  keyData
      .number("modulus length", R::kModulusLength - R::kKeyData, kWordSize,
              field32<R::kModulusLength>(file))
      .text("modulus", R::kModulus - R::kKeyData, R::kModulusSize,
            bits_text(field<R::kModulus, R::kModulusSize>(file)))
      .number("exponent length", R::kExponentLength - R::kKeyData, kWordSize,
              field32<R::kExponentLength>(file))
      .number("exponent", R::kExponent - R::kKeyData, R::kExponentSize, field32<R::kExponent>(file))
      .text("key fingerprint", 0, R::kKeyDataSize,
            key ? fingerprint(key->bytes()) : "none: modulus or exponent length not ours");
  report.sections.push_back(keyData.done());

  // The self-signature covers the key data; its extent comes from length fields, which are
  // only believed when they are the record's own sizes.
  const std::uint32_t signatureLength = field32<R::kSignatureLength>(file);
  std::string state;
  if (!key || field32<R::kKeyDataLength>(file) != R::kKeyDataSize ||
      signatureLength != R::kSignatureSize) {
    state = "not checked: its length fields are not the record's";
  } else {
    state =
        self_signature_text(key->bytes(), KeySet::kV11, field<R::kKeyData, R::kKeyDataSize>(file),
                            field<R::kSignature, R::kSignatureSize>(file));
  }
  report.sections.push_back(
      SectionBuilder("self-signature", R::kSignatureLength, R::kSize - R::kSignatureLength)
          .number("signature length", 0, kWordSize, signatureLength)
          .text("signature", R::kSignature - R::kSignatureLength, R::kSignatureSize, state)
          .done());
}

// ---------------------------------------------------------------------------------------------

void describe_efuse(ByteView file, Report& report) {
  report.sections.push_back(
      SectionBuilder("eFuse value", 0, file.size())
          .text("value", 0, file.size(),
                "not shown: with a record's integrity tag it gives the integrity and code keys")
          .text("fingerprint", 0, file.size(), fingerprint(file))
          .done());
}

}  // namespace inspect::detail
