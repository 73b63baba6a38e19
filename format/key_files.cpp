#include <algorithm>
#include <array>

#include "crypto/endian.h"
#include "format/format.h"

namespace {

using qiv::load_le32;
using qiv::store_le32;
using Blob = sbl::PrivateKeyBlob;
constexpr std::uint32_t kLengthField = Blob::kLengthFieldSize;

static_assert(PublicKeyRecordV11::kHeaderTextValue.size() <= PublicKeyRecordV11::kHeaderTextSize);
static_assert(PrivateKeyRecordV11::kHeaderTextValue.size() == PrivateKeyRecordV11::kHeaderTextSize);
static_assert(PublicKeyRecordV11::kKeyData + PublicKeyRecordV11::kKeyDataSize ==
              PublicKeyRecordV11::kSignatureLength);
static_assert(PublicKeyRecordV11::kSignature + PublicKeyRecordV11::kSignatureSize ==
              PublicKeyRecordV11::kSize);
static_assert(PrivateKeyRecordV11::kKeyData + PrivateKeyRecordV11::kKeyDataSize ==
              PrivateKeyRecordV11::kSize);
static_assert(SignedPublicKeyFileV21::kSignatureLength == SignedPublicKeyFileV21::kRecordSize);
static_assert(SignedPublicKeyFileV21::kSignature + SignedPublicKeyFileV21::kSignatureSize ==
              SignedPublicKeyFileV21::kSize);
static_assert(MakerPublicKeyFileV11::kSignature + MakerPublicKeyFileV11::kSignatureSize ==
              MakerPublicKeyFileV11::kSize);
static_assert(ProtectedPrivateKeyFile::kSizeV21 % 16 == 0 &&
              ProtectedPrivateKeyFile::kSizeV11 % 16 == 0 &&
              ProtectedPrivateKeyFile::kSizeV11Record % 16 == 0);

// One number of the key record, in blob order.
struct Component {
  const std::uint32_t* digits;
  std::uint32_t count;
};

// The key's numbers in the order the form stores them; the plain form has no public exponent.
struct Components {
  std::array<Component, 8> items;
  std::uint32_t size;
};

Components components_of(sbl::KeyForm form, const QIV_RSA_PRIVATE_KEY& k) {
  if (form == sbl::KeyForm::kCrt) {
    return {{{{k.n, k.n_count},
              {k.e, k.e_count},
              {k.d, k.d_count},
              {k.p, k.p_count},
              {k.q, k.q_count},
              {k.dP, k.dP_count},
              {k.dQ, k.dQ_count},
              {k.qInv, k.qInv_count}}},
            8};
  }
  return {{{{k.n, k.n_count},
            {k.d, k.d_count},
            {k.p, k.p_count},
            {k.q, k.q_count},
            {k.dP, k.dP_count},
            {k.dQ, k.dQ_count},
            {k.qInv, k.qInv_count},
            {nullptr, 0}}},
          7};
}

std::span<const std::uint32_t> full_sizes(sbl::KeyForm form) {
  if (form == sbl::KeyForm::kCrt) return Blob::kCrtFullSizes;
  return Blob::kPlainFullSizes;
}

std::uint32_t full_blob_size(sbl::KeyForm form) {
  return form == sbl::KeyForm::kCrt ? Blob::kCrtFullSize : Blob::kPlainFullSize;
}

void copy_bytes(std::span<const std::uint8_t> from, std::uint8_t* to) {
  std::copy(from.begin(), from.end(), to);
}

void zero(std::span<std::uint8_t> bytes) {
  std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Private key blob.

std::uint32_t put_private_key_blob(sbl::KeyForm form, const QIV_RSA_PRIVATE_KEY& key,
                                   std::span<std::uint8_t> out) {
  const std::span<const std::uint32_t> sizes = full_sizes(form);
  const Components components = components_of(form, key);
  if (out.size() < full_blob_size(form)) return 0;
  for (std::uint32_t i = 0; i < components.size; ++i) {
    if (components.items[i].count != sizes[i] / sbl::kDigitSize) return 0;
  }
  std::uint8_t* at = out.data();
  for (std::uint32_t i = 0; i < components.size; ++i) {
    qiv::store_le32(at, sizes[i]);
    qiv::store_digits(at + kLengthField, components.items[i].digits, components.items[i].count);
    at += kLengthField + sizes[i];
  }
  return full_blob_size(form);
}

bool is_full_size_blob(sbl::KeyForm form, std::span<const std::uint8_t> blob) {
  // The walk never reads a length field that does not lie wholly inside the blob.
  std::size_t offset = 0;
  for (const std::uint32_t size : full_sizes(form)) {
    if (blob.size() - offset < kLengthField) return false;
    if (qiv::load_le32(blob.data() + offset) != size) return false;
    offset += kLengthField;
    if (blob.size() - offset < size) return false;
    offset += size;
  }
  return offset == blob.size();
}

// ---------------------------------------------------------------------------------------------
// v2.1 signed public key file.

void fill_sb20_signed_public_key_file(
    std::span<std::uint8_t, SignedPublicKeyFileV21::kSize> file,
    std::span<const std::uint8_t, sbl::PublicKeyInfoV21::kSize> record) {
  using F = SignedPublicKeyFileV21;
  zero(file);
  copy_bytes(record, file.data() + F::kRecord);
  qiv::store_le32(file.data() + F::kSignatureLength, F::kSignatureSize);
}

bool sb20_key_part_ok(std::span<const std::uint8_t> file) {
  using R = sbl::PublicKeyInfoV21;
  return file.size() >= R::kKeyPartSize &&
         qiv::load_le32(file.data() + R::kModulusLength) == R::kModulusSize &&
         qiv::load_le32(file.data() + R::kExponentLength) == R::kExponentSize;
}

bool sb20_signed_public_key_file_ok(std::span<const std::uint8_t> file) {
  using F = SignedPublicKeyFileV21;
  return file.size() >= F::kSize && sb20_key_part_ok(file) &&
         qiv::load_le32(file.data() + F::kSignatureLength) == F::kSignatureSize;
}

// ---------------------------------------------------------------------------------------------
// v1.1 public key record.

void fill_sb10_public_record(
    std::span<std::uint8_t, PublicKeyRecordV11::kSize> record,
    std::span<const std::uint8_t, sbl::PublicKeyInfoV11::kKeyPartSize> keyPart) {
  using R = PublicKeyRecordV11;
  using K = sbl::PublicKeyInfoV11;
  std::uint8_t* r = record.data();
  zero(record);
  qiv::store_le32(r + R::kHeaderSize, R::kHeaderSizeValue);
  std::copy(R::kHeaderTextValue.begin(), R::kHeaderTextValue.end(), r + R::kHeaderText);
  qiv::store_le32(r + R::kKeyDataLength, R::kKeyDataSize);
  qiv::store_le32(r + R::kModulusLength, R::kModulusSize);
  copy_bytes(keyPart.subspan(K::kModulus, K::kModulusSize), r + R::kModulus);
  qiv::store_le32(r + R::kExponentLength, R::kExponentSize);
  copy_bytes(keyPart.subspan(K::kExponent, K::kExponentSize), r + R::kExponent);
  qiv::store_le32(r + R::kSignatureLength, R::kSignatureSize);
}

std::uint32_t sb10_verification_key(std::span<const std::uint8_t, PublicKeyRecordV11::kSize> record,
                                    std::span<std::uint8_t> key) {
  using R = PublicKeyRecordV11;
  zero(key);
  const std::uint32_t modulusLength = qiv::load_le32(record.data() + R::kModulusLength);
  const std::uint32_t exponentLength = qiv::load_le32(record.data() + R::kExponentLength);
  // The record's fixed offsets leave room for exactly these sizes; the verifier reads a
  // 128-byte modulus and a 4-byte exponent from the key.
  if (modulusLength != R::kModulusSize || exponentLength == 0 ||
      exponentLength > R::kExponentSize || key.size() < R::kModulusSize + R::kExponentSize) {
    return 0;
  }
  copy_bytes(record.subspan(R::kModulus, modulusLength), key.data());
  copy_bytes(record.subspan(R::kExponent, exponentLength), key.data() + modulusLength);
  return modulusLength + exponentLength;
}

bool sb10_public_record_signature_fields_ok(
    std::span<const std::uint8_t, PublicKeyRecordV11::kSize> record) {
  using R = PublicKeyRecordV11;
  return qiv::load_le32(record.data() + R::kKeyDataLength) == R::kKeyDataSize &&
         qiv::load_le32(record.data() + R::kSignatureLength) == R::kSignatureSize;
}

// ---------------------------------------------------------------------------------------------
// v1.1 private key record.

bool fill_sb10_private_record(std::span<std::uint8_t, PrivateKeyRecordV11::kSize> record,
                              std::span<const std::uint8_t> plainBlob) {
  using R = PrivateKeyRecordV11;
  std::uint8_t* r = record.data();
  zero(record);
  if (!is_full_size_blob(sbl::KeyForm::kPlain, plainBlob)) return false;
  qiv::store_le32(r + R::kHeaderSize, R::kHeaderSizeValue);
  std::copy(R::kHeaderTextValue.begin(), R::kHeaderTextValue.end(), r + R::kHeaderText);
  qiv::store_le32(r + R::kKeyDataLength, R::kKeyDataSize);
  copy_bytes(plainBlob, r + R::kKeyData);
  return true;
}

bool sb10_private_record_ok(std::span<const std::uint8_t, PrivateKeyRecordV11::kSize> record) {
  using R = PrivateKeyRecordV11;
  const std::uint8_t* r = record.data();
  return qiv::load_le32(r + R::kHeaderSize) == R::kHeaderSizeValue &&
         std::equal(R::kHeaderTextValue.begin(), R::kHeaderTextValue.end(), r + R::kHeaderText) &&
         qiv::load_le32(r + R::kKeyDataLength) == R::kKeyDataSize &&
         qiv::load_le32(r + R::kModulusLength) == R::kComponentSize &&
         qiv::load_le32(r + R::kPrivateExponentLength) == R::kComponentSize;
}

std::uint32_t sb10_signing_blob(std::span<const std::uint8_t, PrivateKeyRecordV11::kSize> record,
                                std::span<std::uint8_t> blob) {
  using R = PrivateKeyRecordV11;
  // n and d, each behind its length field, lie back to back in the record's key data.
  constexpr std::uint32_t kComponent = kLengthField + R::kComponentSize;
  zero(blob);
  if (!sb10_private_record_ok(record) || blob.size() < 2 * kComponent) return 0;
  copy_bytes(record.subspan(R::kModulusLength, kComponent), blob.data());
  copy_bytes(record.subspan(R::kPrivateExponentLength, kComponent), blob.data() + kComponent);
  return 2 * kComponent;
}
