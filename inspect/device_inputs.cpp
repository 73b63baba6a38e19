// What --efuse and --key give the device checks.
#include <algorithm>

#include "inspect/describe.h"

namespace inspect {

namespace {

// The key parts as the signing program takes them, through the same checks (format/format.h).
std::optional<StageKey> key_v21(ByteView file) {
  using F = SignedPublicKeyFileV21;
  if (file.size() != F::kSize || !sb20_key_part_ok(file)) return std::nullopt;
  StageKey key;
  key.set = KeySet::kV21;
  std::copy_n(file.begin(), F::kKeyPartSize, key.keyPart.begin());
  key.keyPartSize = F::kKeyPartSize;
  return key;
}

// v1.1: the modulus bytes, then the exponent's bytes (as many as its length field says, the
// rest zero), as the program builds the key for its stage-1 context.
std::optional<StageKey> key_v11(ByteView file) {
  using R = PublicKeyRecordV11;
  if (file.size() != R::kSize) return std::nullopt;
  StageKey key;
  key.set = KeySet::kV11;
  if (sb10_verification_key(file.first<R::kSize>(), key.keyPart) == 0) return std::nullopt;
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
  std::copy(file.begin(), file.end(), eFuse_->begin());
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
