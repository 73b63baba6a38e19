// The fixed names of the key files in the current folder, and the suffixes that name a
// customer's key files after the base name given on the command line, by their front-end names
// (each set's description in sbl/layout.h holds them).
#pragma once

#include <string_view>

#include "sbl/layout.h"

// The maker's stage-1 key pair and eFuse value, written by "-KEYGEN" and read by "-STAGE1"/"-P".
inline constexpr const char* kMakerEFuseV21 = sbl::kKeySetV21.files.makerEFuse;
inline constexpr const char* kMakerPublicKeyV21 = sbl::kKeySetV21.files.makerPublicKey;
inline constexpr const char* kMakerPrivateKeyV21 = sbl::kKeySetV21.files.makerPrivateKey;
inline constexpr const char* kMakerEFuseV11 = sbl::kKeySetV11.files.makerEFuse;
inline constexpr const char* kMakerPublicKeyV11 = sbl::kKeySetV11.files.makerPublicKey;
inline constexpr const char* kMakerPrivateKeyV11 = sbl::kKeySetV11.files.makerPrivateKey;

// The customer's stage-2 public key file, copied by the user under this name, which the
// stage-1 commands embed as the next-stage key.
inline constexpr const char* kStage2PublicKeyV21 = sbl::kKeySetV21.files.stage2PublicKey;
inline constexpr const char* kStage2PublicKeyV11 = sbl::kKeySetV11.files.stage2PublicKey;

// Customer key files: base name + suffix.
inline constexpr std::string_view kCustomerPublicSuffixV21 =
    sbl::kKeySetV21.files.customerPublicSuffix;
inline constexpr std::string_view kCustomerPrivateSuffixV21 =
    sbl::kKeySetV21.files.customerPrivateSuffix;
inline constexpr std::string_view kCustomerPublicSuffixV11 =
    sbl::kKeySetV11.files.customerPublicSuffix;
inline constexpr std::string_view kCustomerPrivateSuffixV11 =
    sbl::kKeySetV11.files.customerPrivateSuffix;
