// The commands of the two sets as Tarnwick_V21 runs them: the command core (core/commands.h)
// with the fixed key file names in the current folder, every event printed as its fixed line
// (legacy_texts.h) as it happens. The dispatcher (dispatch.h) has printed the banner, and for
// key pairs the generating line, before the call.
//
// Results: 0 for success; otherwise -1 or a library code, which the dispatcher maps to a
// failing status (exit_status_for).
#pragma once

#include <cstdint>

#include "sbl/layout.h"

// Key-pair modes.
inline constexpr std::int32_t kMakerMode = 1;     // the maker's files under fixed names
inline constexpr std::int32_t kCustomerMode = 2;  // a customer's files named from baseName

// Key pairs: v2.1 RSA-2048 with e = 3, v1.1 RSA-1024 with e = 65537. baseName is null in maker
// mode. "Key file name is too long." for a base name whose file names would not fit 128 bytes,
// before anything is generated. With a URI the private key is made in the token it names.
std::int32_t sb20_Generate_KeyPair(std::int32_t mode, const char* baseName);
std::int32_t sb10_Generate_KeyPair(std::int32_t mode, const char* baseName);
std::int32_t sb20_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri);
std::int32_t sb10_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri);

// "-TOKEN_IMPORT": the key of keyFile stored in the token, referenceFile written.
std::int32_t Store_Key_InToken(const sbl::KeySetLayout& set, const char* keyFile, const char* uri,
                               const char* referenceFile);

// "-STAGE1" and "-P": secure source into destination with the maker's files and the
// next-stage key under their fixed names.
std::int32_t sb20_Generate_Stage1(const char* source, const char* destination);
std::int32_t sb20_Generate_Stage1_Polymorphic(const char* source, const char* destination);
std::int32_t sb10_Generate_Stage1(const char* source, const char* destination);

// "-STAGE2": sign source into destination with the private key file keyFile.
std::int32_t sb20_Generate_Stage2(const char* source, const char* destination, const char* keyFile);
std::int32_t sb10_Generate_Stage2(const char* source, const char* destination, const char* keyFile);

// "-VERIFY" and "-STAGE2_VERIFY": the verification line; 0 or -1.
std::int32_t sb20_Verify_Stage1(const char* imageFile, const char* eFuseFile);
std::int32_t sb10_Verify_Stage1(const char* imageFile, const char* eFuseFile);
std::int32_t sb20_Verify_Stage2(const char* imageFile, const char* keyFile);
std::int32_t sb10_Verify_Stage2(const char* imageFile, const char* keyFile);
