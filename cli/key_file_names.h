// The fixed names of the key files in the current folder, and the suffixes that name a
// customer's key files after the base name given on the command line.
#pragma once

#include <cstddef>
#include <string_view>

// The maker's stage-1 key pair and eFuse value, written by "-KEYGEN" and read by "-STAGE1"/"-P".
inline constexpr const char* kMakerEFuseV21 = "eFuseData_V21.dat";
inline constexpr const char* kMakerPublicKeyV21 = "publicKeyInfo_V21.dat";
inline constexpr const char* kMakerPrivateKeyV21 = "privateKey_V21.dat";
inline constexpr const char* kMakerEFuseV11 = "eFuseData.dat";
inline constexpr const char* kMakerPublicKeyV11 = "publicKeyInfo.dat";
inline constexpr const char* kMakerPrivateKeyV11 = "privateKey.dat";

// The customer's stage-2 public key file, copied by the user under this name, which the
// stage-1 commands embed as the next-stage key.
inline constexpr const char* kStage2PublicKeyV21 = "publicKeyInfo_V21_stage2.dat";
inline constexpr const char* kStage2PublicKeyV11 = "stage2_key.spk";

// Customer key files: base name + suffix.
inline constexpr std::string_view kCustomerPublicSuffixV21 = "_V21.spk";
inline constexpr std::string_view kCustomerPrivateSuffixV21 = "_V21.prv";
inline constexpr std::string_view kCustomerPublicSuffixV11 = ".spk";
inline constexpr std::string_view kCustomerPrivateSuffixV11 = ".prv";

// A customer file name, terminator included, fits in this many bytes: the name buffer that
// every tool handling these files has always had. A longer base name is refused, never cut
// short (a shortened name would silently write other files than the ones asked for).
inline constexpr std::size_t kMaxFileNameBytes = 128;
