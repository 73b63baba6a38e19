// Reading key files into the working buffers, and writing private key files. Every length a
// file brings along is checked against the room it is used in before any copy: a file that is
// too large for its buffer, or whose fields are not our layout's (a file of the other set, a
// damaged file, a file unprotected under the wrong mode), is refused with kKeyFileRejected.
//
// The loaders print nothing of their own. A missing or unreadable file, or one shorter than a
// fixed-count read needs, ends the process inside the file helpers (files.h); on
// kKeyFileRejected the command prints its own failure line and fails.
#pragma once

#include <cstdint>

#include "cli/files.h"

// A key file the loaders refuse; also the front end's failure result.
inline constexpr std::int32_t kKeyFileRejected = -1;

// v2.1 private key file (the maker's "privateKey_V21.dat" or a customer's "<base>_V21.prv",
// which share one layout). Reads the whole file (K bytes, at most 2048) into privateKey, cleared
// first, unprotects it in the v2.1 mode and keeps the CRT-form blob in the first K - 12 bytes:
// privateKeyLen = K - 12.
// 0; the unprotection's code (QIV_KEYPROT_*, for instance when K is not a multiple of 16);
// kKeyFileRejected for a file over 2048 bytes or a blob that is not a full-size CRT blob. On any
// failure privateKey is wiped and privateKeyLen is 0.
[[nodiscard]] std::int32_t load_sb20_private_key(const char* path);

// v1.1 maker private key file "privateKey.dat": as above with the v1.1 mode and a plain-form
// blob in the first K - 4 bytes (privateKeyLen = K - 4). A file that does not unprotect cannot
// hold a valid blob, so every failure here is kKeyFileRejected.
[[nodiscard]] std::int32_t load_sb10_maker_private_key(const char* path);

// v1.1 customer private key file "<base>.prv": reads exactly 640 bytes into sb10_privkey_file,
// unprotects them in the v1.1 mode, checks the record's header (sb10_private_record_ok) and
// builds the blob the plain-form signature reads (n, d) in privateKey, cleared first:
// privateKeyLen = 264.
// 0, or kKeyFileRejected (sb10_privkey_file and privateKey then wiped, privateKeyLen 0).
[[nodiscard]] std::int32_t load_sb10_private_record(const char* path);

// v2.1 signed public key file whose self-signature is to be checked (the stage-1 command's
// "publicKeyInfo_V21_stage2.dat"). Reads the whole file (at most 1024 bytes) into publicKey,
// cleared first; publicKeyLen = its length.
// 0, or kKeyFileRejected for a file over 1024 bytes or one that fails
// sb20_signed_public_key_file_ok (publicKey then zero, publicKeyLen 0).
[[nodiscard]] std::int32_t load_sb20_signed_public_key(const char* path);

// v2.1 public key file used for its key part only (stage-2 verification): as above, but only
// the 268-byte key part must be present and sane (sb20_key_part_ok); the integrity tag and the
// self-signature are not looked at.
[[nodiscard]] std::int32_t load_sb20_public_key(const char* path);

// v1.1 public key record ("<base>.spk", the stage-1 command's "stage2_key.spk"): reads exactly
// 308 bytes into sb10_pubkey_file, cleared first, and builds the verification key (modulus then
// exponent) in publicKey, cleared first; publicKeyLen = its length (132 for our files).
// 0, or kKeyFileRejected when the modulus or exponent length is out of bounds
// (sb10_verification_key; publicKey then zero, publicKeyLen 0). The self-signature's fields are
// checked separately (sb10_public_record_signature_fields_ok), by the commands that verify it.
[[nodiscard]] std::int32_t load_sb10_public_record(const char* path);

// Protects length bytes of plaintext in place under mode (key_protection.h) and adds them to
// `outputs` as path, owner-only (0600) and created exclusively: a private key file never
// replaces another one. False when the protection fails (nothing is added: a private key never
// reaches the disk in clear) or when the add fails (which has printed its message).
[[nodiscard]] bool add_private_key_file(OutputSet& outputs, const char* path, std::int32_t mode,
                                        std::uint8_t* plaintext, std::uint32_t length);

// The same as a set of one, installed at once: 0, or -1 (also when path exists already).
[[nodiscard]] std::int32_t write_private_key_file(const char* path, std::int32_t mode,
                                                  std::uint8_t* plaintext, std::uint32_t length);
