// Every on-disk layout of the tool chain above the device's own records, and the pure operations
// that lay them out and check them: the key files, the build-information block and the signed
// stage-2 image. Both programs read them from here: Tarnwick_V21 writes and reads the files
// (core/key_store.h moves them between disk and its working buffers), sbinspect describes them.
//
// All integers are u32 little-endian. Big numbers (modulus, exponents, primes, signatures) are
// stored as their digit arrays, least significant byte first (sbl/layout.h). The records that
// travel inside these files (public key information records) are laid out in sbl/layout.h;
// this file only places them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "rsa/rsa.h"
#include "sbl/layout.h"
#include "sbl/private_key_blob.h"

// ---------------------------------------------------------------------------------------------
// v2.1 signed public key file: the maker's "publicKeyInfo_V21.dat" and a customer's
// "<base>_V21.spk" (read by the stage-1 command as "publicKeyInfo_V21_stage2.dat"). 548 bytes.
struct SignedPublicKeyFileV21 {
  static constexpr std::uint32_t kRecord = 0;  // public key information record, v2.1 layout
  static constexpr std::uint32_t kRecordSize = sbl::PublicKeyInfoV21::kSize;          // 288
  static constexpr std::uint32_t kKeyPartSize = sbl::PublicKeyInfoV21::kKeyPartSize;  // 268
  static constexpr std::uint32_t kSignatureLength = 288;  // u32, always kSignatureSize
  // CRT-form signature over [kRecord, kRecord + kRecordSize) with the pair's private key: the
  // proof that whoever made the file holds that key.
  static constexpr std::uint32_t kSignature = 292;
  static constexpr std::uint32_t kSignatureSize = 256;
  static constexpr std::uint32_t kSize = 548;
};

// v1.1 maker public key file "publicKeyInfo.dat": 280 bytes, no length field.
struct MakerPublicKeyFileV11 {
  static constexpr std::uint32_t kRecord = 0;  // public key information record, v1.1 layout
  static constexpr std::uint32_t kRecordSize = sbl::PublicKeyInfoV11::kSize;  // 152
  static constexpr std::uint32_t kSignature = 152;  // plain-form signature over the record
  static constexpr std::uint32_t kSignatureSize = 128;
  static constexpr std::uint32_t kSize = 280;
};

// v1.1 public key record: a customer's "<base>.spk" (read by the stage-1 command as
// "stage2_key.spk"). 308 bytes. The key data [kKeyData, kKeyData + kKeyDataSize) is signed.
struct PublicKeyRecordV11 {
  static constexpr std::uint32_t kHeaderSize = 0;  // u32 kHeaderSizeValue
  static constexpr std::uint32_t kHeaderText = 4;  // kHeaderTextValue, zero-filled
  static constexpr std::uint32_t kHeaderTextSize = 24;
  static constexpr std::uint32_t kReserved = 28;       // u32 0
  static constexpr std::uint32_t kKeyDataLength = 32;  // u32 kKeyDataSize
  static constexpr std::uint32_t kKeyData = 36;
  static constexpr std::uint32_t kModulusLength = 36;  // u32 kModulusSize
  static constexpr std::uint32_t kModulus = 40;
  static constexpr std::uint32_t kModulusSize = 128;
  static constexpr std::uint32_t kExponentLength = 168;  // u32 1..kExponentSize
  static constexpr std::uint32_t kExponent = 172;
  static constexpr std::uint32_t kExponentSize = 4;
  static constexpr std::uint32_t kSignatureLength = 176;  // u32 kSignatureSize
  static constexpr std::uint32_t kSignature = 180;        // plain-form signature over the key data
  static constexpr std::uint32_t kSignatureSize = 128;
  static constexpr std::uint32_t kSize = 308;

  static constexpr std::uint32_t kHeaderSizeValue = 28;
  static constexpr std::uint32_t kKeyDataSize = 140;
  static constexpr std::string_view kHeaderTextValue = "1.0, Pub, RSA-1024";
};

// v1.1 private key record: a customer's "<base>.prv" before protection. 640 bytes. The key data
// is the full-size plain-form blob (n, d, p, q, dP, dQ, qInv) at fixed offsets.
struct PrivateKeyRecordV11 {
  static constexpr std::uint32_t kHeaderSize = 0;  // u32 kHeaderSizeValue
  static constexpr std::uint32_t kHeaderText = 4;  // kHeaderTextValue, exactly 24 bytes
  static constexpr std::uint32_t kHeaderTextSize = 24;
  static constexpr std::uint32_t kReserved = 28;       // u32 0
  static constexpr std::uint32_t kKeyDataLength = 32;  // u32 kKeyDataSize
  static constexpr std::uint32_t kKeyData = 36;        // the plain-form blob
  static constexpr std::uint32_t kModulusLength = 36;  // u32 128
  static constexpr std::uint32_t kModulus = 40;
  static constexpr std::uint32_t kPrivateExponentLength = 168;  // u32 128
  static constexpr std::uint32_t kPrivateExponent = 172;
  static constexpr std::uint32_t kSize = 640;

  static constexpr std::uint32_t kHeaderSizeValue = 28;
  static constexpr std::uint32_t kKeyDataSize = sbl::PrivateKeyBlob::kPlainFullSize;  // 604
  static constexpr std::uint32_t kComponentSize = 128;  // modulus and private exponent
  static constexpr std::string_view kHeaderTextValue = "1.0, Priv, RSA-1024, CRT";
};

// Protected private key files. The plaintext is zero-filled to a whole number of AES blocks;
// readers drop the fill again by length.
struct ProtectedPrivateKeyFile {
  // "privateKey_V21.dat" and "<base>_V21.prv": CRT-form blob, 12 zero bytes.
  static constexpr std::uint32_t kFillV21 = 12;
  static constexpr std::uint32_t kSizeV21 = sbl::PrivateKeyBlob::kCrtFullSize + kFillV21;  // 1200
  // "privateKey.dat": plain-form blob, 4 zero bytes.
  static constexpr std::uint32_t kFillV11 = 4;
  static constexpr std::uint32_t kSizeV11 = sbl::PrivateKeyBlob::kPlainFullSize + kFillV11;  // 608
  // "<base>.prv": the private key record, no fill.
  static constexpr std::uint32_t kSizeV11Record = PrivateKeyRecordV11::kSize;  // 640
};

// ---------------------------------------------------------------------------------------------
// Private key blob.

// Lays out the key as a blob of the given form (CRT: n, e, d, p, q, dP, dQ, qInv; plain: the
// same without e) at the start of `out`. Every component must have the size the key generator
// gives a full-size key of that form (RSA-2048 with a one-digit exponent for CRT, RSA-1024 for
// plain). Returns the blob length (1188 or 604), or 0, writing nothing, when a component has
// another size or out is too small.
[[nodiscard]] std::uint32_t put_private_key_blob(sbl::KeyForm form, const QIV_RSA_PRIVATE_KEY& key,
                                                 std::span<std::uint8_t> out);

// True when `blob` is exactly a full-size blob of the form: every component length field holds
// the full size and the components fill the span to its end. A blob decrypted under the wrong
// key, or made for another key size, fails this.
[[nodiscard]] bool is_full_size_blob(sbl::KeyForm form, std::span<const std::uint8_t> blob);

// ---------------------------------------------------------------------------------------------
// v2.1 signed public key file.

// Clears the file and lays out the record and the signature length; the caller signs
// [kRecord, kRecord + kRecordSize) into kSignature.
void fill_sb20_signed_public_key_file(
    std::span<std::uint8_t, SignedPublicKeyFileV21::kSize> file,
    std::span<const std::uint8_t, sbl::PublicKeyInfoV21::kSize> record);

// True when the bytes start with a key part whose length fields are those of the system's v2.1
// keys: modulus 256 bytes, exponent 4 bytes. Later bytes are not looked at.
[[nodiscard]] bool sb20_key_part_ok(std::span<const std::uint8_t> file);

// True when the bytes hold a whole signed public key file: at least kSize bytes, a key part as
// above and a signature length of 256.
[[nodiscard]] bool sb20_signed_public_key_file_ok(std::span<const std::uint8_t> file);

// ---------------------------------------------------------------------------------------------
// v1.1 public key record.

// Clears the record and lays out header, key data (modulus and exponent from a v1.1 key part:
// 128-byte modulus, 4-byte exponent) and the signature length 128; the caller signs the key
// data into kSignature.
void fill_sb10_public_record(
    std::span<std::uint8_t, PublicKeyRecordV11::kSize> record,
    std::span<const std::uint8_t, sbl::PublicKeyInfoV11::kKeyPartSize> keyPart);

// Builds the key the verifier takes for 128-byte signatures, modulus followed directly by
// exponent, in `key`, which is cleared over its whole length first. Returns its length (128 +
// the exponent length, 132 for our files), or 0, leaving key zero, when the record's modulus
// length is not 128, its exponent length not 1 to 4, or key is shorter than 132 bytes.
[[nodiscard]] std::uint32_t sb10_verification_key(
    std::span<const std::uint8_t, PublicKeyRecordV11::kSize> record, std::span<std::uint8_t> key);

// True when the fields that delimit the record's self-signature are ours: key data length 140,
// signature length 128.
[[nodiscard]] bool sb10_public_record_signature_fields_ok(
    std::span<const std::uint8_t, PublicKeyRecordV11::kSize> record);

// ---------------------------------------------------------------------------------------------
// v1.1 private key record.

// Clears the record and lays out the header and a full-size plain-form blob. Returns false,
// leaving the record zero, when the blob is not one (is_full_size_blob).
[[nodiscard]] bool fill_sb10_private_record(
    std::span<std::uint8_t, PrivateKeyRecordV11::kSize> record,
    std::span<const std::uint8_t> plainBlob);

// True when the record carries exactly the header fill_sb10_private_record writes: header size
// 28, the header text, key data length 604, modulus and private exponent lengths 128. A record
// decrypted under the wrong key fails this.
[[nodiscard]] bool sb10_private_record_ok(
    std::span<const std::uint8_t, PrivateKeyRecordV11::kSize> record);

// Builds the blob the plain-form signature reads, n then d with their length fields (264
// bytes), in `blob`, which is cleared over its whole length first. Returns its length, or 0,
// leaving blob zero, when the record fails sb10_private_record_ok or blob is too small.
[[nodiscard]] std::uint32_t sb10_signing_blob(
    std::span<const std::uint8_t, PrivateKeyRecordV11::kSize> record, std::span<std::uint8_t> blob);

// ---------------------------------------------------------------------------------------------
// Build-information block: what the "-P" variant of the v2.1 stage-1 command places, in clear,
// between the encrypted code and the context, where the context's signature covers it.
// 48 bytes; integers little-endian.
struct BuildInfoBlock {
  static constexpr std::uint32_t kZeroWord0 = 0;  // u32 0
  static constexpr std::uint32_t kCreationTime =
      4;                                          // u32: seconds since the Unix epoch, low 32 bits
  static constexpr std::uint32_t kZeroWord1 = 8;  // u32 0
  static constexpr std::uint32_t kText = 12;      // kTextValue, then zeros to the end
  static constexpr std::uint32_t kTextSize = 36;
  static constexpr std::uint32_t kSize = 48;
  static constexpr std::string_view kTextValue = "Orvalle Tessik Stage2Key";
};
static_assert(BuildInfoBlock::kText + BuildInfoBlock::kTextSize == BuildInfoBlock::kSize);
static_assert(BuildInfoBlock::kTextValue.size() < BuildInfoBlock::kTextSize);

// Overwrites the 48 bytes at `block` with the block of the given creation time: the whole block
// is a function of it.
void fill_build_info(std::uint8_t* block, std::uint32_t creationTime);

// ---------------------------------------------------------------------------------------------
// Signed stage-2 image: the image, then the RSA-PSS signature over it; no header, no padding.
struct SignedStage2Image {
  static constexpr std::uint32_t kSignatureSizeV21 = 256;
  static constexpr std::uint32_t kSignatureSizeV11 = 128;
};

// The signatures in these files are the device's: one modulus long.
static_assert(SignedPublicKeyFileV21::kSignatureSize == sbl::ContextV21::kSignatureSize &&
              SignedStage2Image::kSignatureSizeV21 == sbl::ContextV21::kSignatureSize &&
              sbl::ContextV21::kSignatureSize == sbl::PublicKeyInfoV21::kModulusSize);
static_assert(MakerPublicKeyFileV11::kSignatureSize == sbl::ContextV11::kSignatureSize &&
              PublicKeyRecordV11::kSignatureSize == sbl::ContextV11::kSignatureSize &&
              SignedStage2Image::kSignatureSizeV11 == sbl::ContextV11::kSignatureSize &&
              sbl::ContextV11::kSignatureSize == sbl::PublicKeyInfoV11::kModulusSize);

// ---------------------------------------------------------------------------------------------
// Text from outside (file names, values decoded from a key reference) as it may be shown on a
// terminal: every control character (C0, DEL, the C1 range as UTF-8 encodes it) and every byte
// that is not part of a well-formed UTF-8 character becomes "\xNN", so nothing read from a file
// or an argument can end a line early, fake a result line or send an escape sequence. Printable
// ASCII and well-formed UTF-8 are kept as they are.
[[nodiscard]] std::string printable(std::string_view text);

// A key's fingerprint, the same wherever a key is shown: lower-case hex of the first
// kFingerprintBytes bytes of SHA-1 over its key part (v2.1: the 268-byte key part of its record;
// v1.1: the modulus followed by the exponent).
inline constexpr std::size_t kFingerprintBytes = 8;
[[nodiscard]] std::string key_fingerprint(std::span<const std::uint8_t> keyPart);

// Lower-case hex of every byte.
[[nodiscard]] std::string hex_text(std::span<const std::uint8_t> bytes);
