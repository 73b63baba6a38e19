// What --efuse and --key give the device checks.
#include <algorithm>

#include "inspect/describe.h"

namespace inspect {

namespace {

using detail::field;
using detail::field32;
using detail::record_at;

std::optional<StageKey> key_v21(ByteView file) {
  using F = SignedPublicKeyFileV21;
  using P = sbl::PublicKeyInfoV21;
  const auto record = record_at<F::kSize>(file, 0);
  if (file.size() != F::kSize || !record) return std::nullopt;
  if (field32<P::kModulusLength>(*record) != P::kModulusSize ||
      field32<P::kExponentLength>(*record) != P::kExponentSize) {
    return std::nullopt;
  }
  StageKey key;
  key.set = KeySet::kV21;
  const auto part = field<F::kRecord, F::kKeyPartSize>(*record);
  std::copy(part.begin(), part.end(), key.keyPart.begin());
  key.keyPartSize = F::kKeyPartSize;
  return key;
}

// The v1.1 key as the signing program builds it from a record for its stage-1 context: the
// modulus bytes, then the exponent's bytes (as many as its length field says, the rest zero).
std::optional<StageKey> key_v11(ByteView file) {
  using R = PublicKeyRecordV11;
  const auto record = record_at<R::kSize>(file, 0);
  if (file.size() != R::kSize || !record) return std::nullopt;
  const std::uint32_t modulusLength = field32<R::kModulusLength>(*record);
  const std::uint32_t exponentLength = field32<R::kExponentLength>(*record);
  if (modulusLength != R::kModulusSize || exponentLength == 0 ||
      exponentLength > R::kExponentSize) {
    return std::nullopt;
  }
  StageKey key;
  key.set = KeySet::kV11;
  const auto modulus = field<R::kModulus, R::kModulusSize>(*record);
  const auto exponent = field<R::kExponent, R::kExponentSize>(*record);
  auto out = std::copy(modulus.begin(), modulus.end(), key.keyPart.begin());
  std::copy_n(exponent.begin(), exponentLength, out);
  key.keyPartSize = sbl::PublicKeyInfoV11::kKeyPartSize;
  return key;
}

}  // namespace

std::optional<StageKey> stage_key_from_file(ByteView file) {
  if (auto key = key_v21(file)) return key;
  return key_v11(file);
}

bool DeviceInputs::set_efuse(ByteView file) {
  if (file.size() != sbl::EFuseV21::kSize && file.size() != sbl::EFuseV11::kSize) return false;
  std::copy(file.begin(), file.end(), eFuse_.v.begin());
  eFuseLength_ = static_cast<std::uint32_t>(file.size());
  return true;
}

bool DeviceInputs::set_key(ByteView file) {
  key_ = stage_key_from_file(file);
  return key_.has_value();
}

KeySet DeviceInputs::efuse_set() const {
  return eFuseLength_ == sbl::EFuseV11::kSize ? KeySet::kV11 : KeySet::kV21;
}

}  // namespace inspect
