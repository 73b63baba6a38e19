// Reading key files into the working buffers, and writing private key files. Every length a
// file brings along is checked against the room it is used in before any copy: a file that is
// too large for its buffer, or whose fields are not our layout's (a file of the other set, a
// damaged file, a file unprotected under the wrong mode), is refused.
//
// A loader reports its own refusal: class kKey with the cause, under the event the command
// gives it (the command's failure line in the legacy face), and returns kKeyFileRejected; an
// unreadable file is the reader's refusal (class kInput), a token's failure the key's (kToken).
// 0 means the key is loaded.
#pragma once

#include <cstdint>

#include "core/files.h"
#include "core/report.h"
#include "core/signing_key.h"

// The front end's failure result.
inline constexpr std::int32_t kKeyFileRejected = -1;

// v2.1 private key file (the maker's "privateKey_V21.dat" or a customer's "<base>_V21.prv",
// which share one layout), or a key reference. Reads the whole file (K bytes, at most 2048) into
// privateKey, cleared first, unprotects it in the v2.1 mode and makes the CRT-form blob in its
// first K - 12 bytes the key (privateKeyLen = K - 12).
// A file whose length is not a whole number of AES blocks does not unprotect: the result is
// the protection's code, reported under kSilent (the legacy face has no line for it).
[[nodiscard]] std::int32_t load_sb20_private_key(core::Report& report, core::Event refused,
                                                 const char* path, core::SigningKey& key);

// v1.1 maker private key file "privateKey.dat": as above with the v1.1 mode and a plain-form
// blob in the first K - 4 bytes. Every refusal here is kKeyFileRejected.
[[nodiscard]] std::int32_t load_sb10_maker_private_key(core::Report& report, core::Event refused,
                                                       const char* path, core::SigningKey& key);

// v1.1 customer private key file "<base>.prv" (or a key reference): reads exactly 640 bytes
// into sb10_privkey_file, unprotects them in the v1.1 mode, checks the record's header and
// builds the blob the plain-form signature reads (n, d) in privateKey: privateKeyLen = 264.
[[nodiscard]] std::int32_t load_sb10_private_record(core::Report& report, core::Event refused,
                                                    const char* path, core::SigningKey& key);

// v2.1 signed public key file whose self-signature is to be checked (the stage-1 command's
// next-stage key). Reads the whole file (at most 1024 bytes) into publicKey, cleared first;
// publicKeyLen = its length. The self-signature itself is the caller's to verify.
[[nodiscard]] std::int32_t load_sb20_signed_public_key(core::Report& report, core::Event refused,
                                                       const char* path);

// v2.1 public key file used for its key part only (stage-2 verification): as above, but only
// the 268-byte key part must be present and sane; the integrity tag and the self-signature are
// not looked at.
[[nodiscard]] std::int32_t load_sb20_public_key(core::Report& report, core::Event refused,
                                                const char* path);

// v1.1 public key record ("<base>.spk", the stage-1 command's "stage2_key.spk"): reads exactly
// 308 bytes into sb10_pubkey_file, cleared first, and builds the verification key (modulus then
// exponent) in publicKey, cleared first; publicKeyLen = its length (132 for our files).
// Refused when the modulus or exponent length is out of bounds. The self-signature's fields are
// checked separately (sb10_public_record_signature_fields_ok), by the commands that verify it.
[[nodiscard]] std::int32_t load_sb10_public_record(core::Report& report, core::Event refused,
                                                   const char* path);

// Protects length bytes of plaintext in place under mode (key_protection.h) and adds them to
// `outputs` as path, owner-only (0600) and created exclusively: a private key file never
// replaces another one. False when the protection fails (nothing is added: a private key never
// reaches the disk in clear) or when the add fails (which has reported it).
[[nodiscard]] bool add_private_key_file(OutputSet& outputs, const char* path, std::int32_t mode,
                                        std::uint8_t* plaintext, std::uint32_t length,
                                        std::string what = {});
