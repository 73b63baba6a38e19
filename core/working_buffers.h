// The front end's working buffers: program-wide, zero-initialised, shared by the commands (one
// command runs per process, so no other lifetime matters). Each command clears the part it
// uses before filling it. They hold private keys and integrity material in the clear at times,
// so every one of them is wiped when the process ends, by a return from main or by exit().
#pragma once

#include <array>
#include <cstdint>

#include "format/format.h"
#include "sbl/layout.h"

inline constexpr std::uint32_t kPublicKeyBufferSize = 1024;
inline constexpr std::uint32_t kPrivateKeyBufferSize = 2048;
inline constexpr std::uint32_t kSb10PublicKeyRecordSize = PublicKeyRecordV11::kSize;
inline constexpr std::uint32_t kSb10PrivateKeyRecordSize = PrivateKeyRecordV11::kSize;

// A public key or public key file being built or verified; its length in publicKeyLen.
extern std::array<std::uint8_t, kPublicKeyBufferSize> publicKey;
extern std::uint32_t publicKeyLen;
// A private key blob or a (protected or unprotected) private key file; length in privateKeyLen.
extern std::array<std::uint8_t, kPrivateKeyBufferSize> privateKey;
extern std::uint32_t privateKeyLen;
// The stage-1 contexts (sbl::ContextV21, sbl::ContextV11).
extern std::array<std::uint8_t, sbl::ContextV21::kSize> sb20_Context;
extern std::array<std::uint8_t, sbl::ContextV11::kSize> sb10_Context;
// eFuse values and their lengths.
extern std::array<std::uint8_t, sbl::EFuseV21::kSize> sb20_eFuseData;
extern std::uint32_t sb20_eFuseDataLen;
extern std::array<std::uint8_t, sbl::EFuseV11::kSize> sb10_eFuseData;
extern std::uint32_t sb10_eFuseDataLen;
// A v1.1 public key record and a v1.1 private key record (key_files.h).
extern std::array<std::uint8_t, kSb10PublicKeyRecordSize> sb10_pubkey_file;
extern std::array<std::uint8_t, kSb10PrivateKeyRecordSize> sb10_privkey_file;

// Zeroes every buffer and length now, with stores the compiler keeps. Runs by itself at
// process end; callable earlier (tests use it to start from the state a process starts with).
void wipe_working_buffers();

// Zeroes the buffers that hold private keys (privateKey with privateKeyLen, sb10_privkey_file).
void wipe_private_key_buffers();

// Private key material sits in the buffers only while a command uses it: a command that loads a
// key holds one of these, and the key is wiped when the command returns, on every path.
class PrivateKeyScope {
 public:
  PrivateKeyScope() = default;
  PrivateKeyScope(const PrivateKeyScope&) = delete;
  PrivateKeyScope& operator=(const PrivateKeyScope&) = delete;
  ~PrivateKeyScope() { wipe_private_key_buffers(); }
};
