// Hash, cipher and buffer primitives: byte helpers, result codes, SHA-1, HMAC-SHA1, SHA-256,
// AES and AES-CBC with block padding.
//
// Every record here is caller-owned with a fixed field order; operations take the record first
// and return a result code (0 on success, negative on failure). Nothing here allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Result codes of the primitives: 0xFFFF0000 + reason. Callers test against 0.
inline constexpr std::int32_t QIV_SUCCESS = 0;
inline constexpr std::int32_t QIV_ERR_FAIL = -65536;               // 0xFFFF0000
inline constexpr std::int32_t QIV_ERR_NULL_PTR = -65520;           // 0xFFFF0010
inline constexpr std::int32_t QIV_ERR_BUFFER_ALIAS = -65519;       // 0xFFFF0011
inline constexpr std::int32_t QIV_ERR_BAD_PARAM = -65504;          // 0xFFFF0020
inline constexpr std::int32_t QIV_ERR_NO_ENC_KEY = -65503;         // 0xFFFF0021
inline constexpr std::int32_t QIV_ERR_NO_DEC_KEY = -65502;         // 0xFFFF0022
inline constexpr std::int32_t QIV_ERR_NO_IV = -65501;              // 0xFFFF0023
inline constexpr std::int32_t QIV_ERR_OUT_TOO_SMALL = -65500;      // 0xFFFF0024
inline constexpr std::int32_t QIV_ERR_BAD_PADDING = -65487;        // 0xFFFF0031
inline constexpr std::int32_t QIV_ERR_KEY_LENGTH = -65472;         // 0xFFFF0040
inline constexpr std::int32_t QIV_ERR_IV_LENGTH = -65471;          // 0xFFFF0041
inline constexpr std::int32_t QIV_ERR_NOT_BLOCK_ALIGNED = -65470;  // 0xFFFF0042
inline constexpr std::int32_t QIV_ERR_LAST_BLOCK = -65469;         // 0xFFFF0043
inline constexpr std::int32_t QIV_ERR_SEQUENCE = -65281;           // 0xFFFF00FF

// ---------------------------------------------------------------------------------------------
// Byte helpers. They keep no state, allocate nothing and check no pointers.

// 0 when the n bytes are equal. Note the sign: +1 when the first differing byte of `a` is the
// SMALLER one, -1 when it is the larger (the reverse of memcmp). Callers test only for zero.
int mem_compare(const void* a, const void* b, std::uint32_t n);
// Copies n bytes; correct for overlapping regions (memmove semantics).
void mem_copy(void* dst, const void* src, std::uint32_t n);
// Writes the low 8 bits of `value` into n bytes.
void mem_set(void* dst, int value, std::uint32_t n);
// dst[i] = a[i] ^ b[i]; dst may be a or b.
void mem_xor(void* dst, const void* a, const void* b, std::uint32_t n);

// ---------------------------------------------------------------------------------------------
// SHA-1 (FIPS 180) and HMAC-SHA1 (RFC 2104).
inline constexpr std::uint32_t QIV_SHA1_DIGEST_LEN = 20;
inline constexpr std::uint32_t QIV_SHA1_BLOCK_LEN = 64;

struct QIV_SHA1_CTX {
  std::array<std::uint32_t, 5> state;  // chaining values H0..H4
  std::uint32_t count_low;             // bytes absorbed, low 32 bits (bits after Final)
  std::uint32_t count_high;            // carries out of count_low
  std::array<std::uint8_t, 64> block;  // partial block; count_low % 64 bytes are valid
};

struct QIV_SHA1_HMAC_CTX {
  QIV_SHA1_CTX hash;                         // running inner or outer computation
  std::array<std::uint32_t, 5> inner_state;  // after absorbing key ^ 0x36
  std::array<std::uint32_t, 5> outer_state;  // after absorbing key ^ 0x5C
};

// 0, or QIV_ERR_NULL_PTR for a null context.
std::int32_t QIV_SHA1_Init(QIV_SHA1_CTX* ctx);
// 0, or QIV_ERR_NULL_PTR for a null context or data pointer (also when n is 0).
std::int32_t QIV_SHA1_Update(QIV_SHA1_CTX* ctx, const void* data, std::uint32_t n);
// Writes the 20-byte digest; 0, or QIV_ERR_NULL_PTR. The context must be re-initialised.
std::int32_t QIV_SHA1_Final(QIV_SHA1_CTX* ctx, std::uint8_t* digest);
// The compression function over one 64-byte block (big-endian words).
void qiv_SHA1_Transform(const std::uint8_t* block, std::uint32_t* state);

// The HMAC operations check nothing and always return 0. SetInfo once per key, then
// Init / Update... / Final for each message.
std::int32_t QIV_SHA1_HMAC_SetInfo(QIV_SHA1_HMAC_CTX* ctx, const void* key, std::uint32_t n);
std::int32_t QIV_SHA1_HMAC_Init(QIV_SHA1_HMAC_CTX* ctx);
std::int32_t QIV_SHA1_HMAC_Update(QIV_SHA1_HMAC_CTX* ctx, const void* data, std::uint32_t n);
std::int32_t QIV_SHA1_HMAC_Final(QIV_SHA1_HMAC_CTX* ctx, std::uint8_t* tag);

// ---------------------------------------------------------------------------------------------
// SHA-256 (FIPS 180-4), the same streaming contract as SHA-1.
inline constexpr std::uint32_t QIV_SHA256_DIGEST_LEN = 32;
inline constexpr std::uint32_t QIV_SHA256_BLOCK_LEN = 64;

struct QIV_SHA256_CTX {
  std::array<std::uint32_t, 8> state;  // chaining values H0..H7
  std::uint32_t count_low;             // bytes absorbed, low 32 bits
  std::uint32_t count_high;            // carries out of count_low
  std::array<std::uint8_t, 64> block;  // partial block; count_low % 64 bytes are valid
};

// 0, or QIV_ERR_NULL_PTR for a null context.
std::int32_t QIV_SHA256_Init(QIV_SHA256_CTX* ctx);
// 0, or QIV_ERR_NULL_PTR for a null context or data pointer (also when n is 0).
std::int32_t QIV_SHA256_Update(QIV_SHA256_CTX* ctx, const void* data, std::uint32_t n);
// Writes the 32-byte digest and wipes the whole context (it may have absorbed key material);
// 0, or QIV_ERR_NULL_PTR with the context untouched. The context must be re-initialised.
std::int32_t QIV_SHA256_Final(QIV_SHA256_CTX* ctx, std::uint8_t* digest);
// The digest of n bytes in one call, any length. `data` may be null when n is 0 (an empty
// buffer); otherwise 0, or QIV_ERR_NULL_PTR for a null pointer.
std::int32_t QIV_SHA256(const void* data, std::size_t n, std::uint8_t* digest);

// ---------------------------------------------------------------------------------------------
// AES (FIPS 197), table-driven on little-endian 32-bit words.
inline constexpr std::uint32_t QIV_AES_BLOCK_LEN = 16;

struct QIV_AES_KEY {
  std::uint32_t nk;                             // key length in words: 4, 6 or 8
  std::array<std::uint32_t, 64> round_keys;     // 4 * (nk + 7) words in use
};

// Internal to the AES module (its only caller is QIV_AES_SetInfo). Fills `enc`, and `dec` for
// the equivalent inverse cipher when it is not null. QIV_ERR_NULL_PTR for a null key or enc,
// QIV_ERR_KEY_LENGTH unless n is 16, 24 or 32; nothing is written on rejection.
std::int32_t _AES_KeySchedule(const std::uint8_t* key, std::uint32_t n, QIV_AES_KEY* enc,
                              QIV_AES_KEY* dec);
// One block in place; the records must come from _AES_KeySchedule (not checked).
void qiv_AES_Encrypt(const QIV_AES_KEY* enc, std::uint8_t* block);
void qiv_AES_Decrypt(const QIV_AES_KEY* dec, std::uint8_t* block);

// ---------------------------------------------------------------------------------------------
// AES-CBC streaming with block padding.

// Padding-type identifiers (parameter values, never results).
inline constexpr std::uint32_t QIV_PAD_NONE = 0xFFF10001u;
inline constexpr std::uint32_t QIV_PAD_PKCS7 = 0xFFF10002u;

// Set-up flags for QIV_AES_SetInfo.
inline constexpr std::uint32_t QIV_AES_ENCRYPT = 0x01;  // encryption round keys only
inline constexpr std::uint32_t QIV_AES_ENC_DEC = 0x02;  // both; takes precedence over 0x01
inline constexpr std::uint32_t QIV_AES_KEEP = 0x80;     // do not clear the context first

// Bits of QIV_AES_CTX::flags.
inline constexpr std::uint32_t QIV_AES_HAS_ENC_KEY = 0x01;
inline constexpr std::uint32_t QIV_AES_HAS_DEC_KEY = 0x02;
inline constexpr std::uint32_t QIV_AES_HAS_IV = 0x10;

struct QIV_AES_CTX {
  std::uint32_t flags;                  // QIV_AES_HAS_* bits
  QIV_AES_KEY enc_key;
  QIV_AES_KEY dec_key;
  std::uint32_t padding;                // QIV_PAD_*; 0 until set
  std::array<std::uint8_t, 16> iv;
  std::array<std::uint8_t, 16> chain;   // IV after init, then the last ciphertext block
  std::array<std::uint8_t, 16> buffer;  // partial block (enc) or held-back last block (dec)
  std::uint32_t count;                  // valid bytes in buffer, 0..16
  std::uint32_t reserved;
};

// Clears the context unless QIV_AES_KEEP, then loads what is given (a null pointer or zero
// length skips that item). QIV_ERR_NULL_PTR, QIV_ERR_KEY_LENGTH, QIV_ERR_IV_LENGTH; on failure
// the context keeps what the earlier steps loaded. Loading an encryption-only key drops any
// kept decryption schedule.
std::int32_t QIV_AES_SetInfo(QIV_AES_CTX* ctx, std::uint32_t flags, const std::uint8_t* key,
                             std::uint32_t keyLen, const std::uint8_t* iv, std::uint32_t ivLen,
                             std::uint32_t padding, std::uint32_t reserved);
// chain = IV, count = 0. QIV_ERR_NULL_PTR, QIV_ERR_NO_ENC_KEY / QIV_ERR_NO_DEC_KEY, QIV_ERR_NO_IV.
std::int32_t QIV_AES_CBC_EncInit(QIV_AES_CTX* ctx);
std::int32_t QIV_AES_CBC_DecInit(QIV_AES_CTX* ctx);
// *outlen: capacity on entry (0 = unchecked), bytes written on return. A rejected update leaves
// the context unchanged; after QIV_ERR_OUT_TOO_SMALL *outlen holds count + n (encryption) or n
// (decryption).
// Encryption: `out` must not overlap `in` (QIV_ERR_BUFFER_ALIAS); 0 to 15 bytes stay buffered.
// Decryption: one update per message, in place (`out` == `in`, else QIV_ERR_BUFFER_ALIAS); the
// last 1 to 16 bytes are held back for the final call (a second update: QIV_ERR_SEQUENCE).
// Every call also returns QIV_ERR_NULL_PTR, or QIV_ERR_NO_ENC_KEY / QIV_ERR_NO_DEC_KEY when its
// direction has no round keys.
std::int32_t QIV_AES_CBC_EncUpdate(QIV_AES_CTX* ctx, const std::uint8_t* in, std::uint32_t n,
                                   std::uint8_t* out, std::uint32_t* outlen);
std::int32_t QIV_AES_CBC_DecUpdate(QIV_AES_CTX* ctx, const std::uint8_t* in, std::uint32_t n,
                                   std::uint8_t* out, std::uint32_t* outlen);
// Pads and encrypts the buffered bytes into `out` (16 bytes of room). Writes nothing, and leaves
// *outlen as it was, when there is nothing buffered and no padding. QIV_ERR_NOT_BLOCK_ALIGNED,
// QIV_ERR_BAD_PARAM (padding type), QIV_ERR_SEQUENCE, QIV_ERR_OUT_TOO_SMALL.
std::int32_t QIV_AES_CBC_EncFinal(QIV_AES_CTX* ctx, std::uint8_t* out, std::uint32_t* outlen);
// Decrypts the held-back block, strips its padding and writes the rest to `out` (callers pass
// the position right after the update's output). Writes nothing, and leaves *outlen as it was,
// when nothing is held back. QIV_ERR_LAST_BLOCK, QIV_ERR_BAD_PADDING, QIV_ERR_BAD_PARAM,
// QIV_ERR_OUT_TOO_SMALL.
std::int32_t QIV_AES_CBC_DecFinal(QIV_AES_CTX* ctx, std::uint8_t* out, std::uint32_t* outlen);

// Pad length (0..size) on success, or a negative result code: a value above 16 read as unsigned
// is an error. SetPadding: QIV_ERR_NOT_BLOCK_ALIGNED (no padding, k != 0), QIV_ERR_BAD_PARAM
// (unknown type, or k >= size for PKCS #7). CheckPadding: QIV_ERR_BAD_PADDING, QIV_ERR_BAD_PARAM.
std::int32_t qiv_SetPadding(std::uint8_t* buf, std::uint32_t k, std::uint32_t size,
                            std::uint32_t type);
std::int32_t qiv_CheckPadding(const std::uint8_t* buf, std::uint32_t size, std::uint32_t type);

// ---------------------------------------------------------------------------------------------
// HMAC-SHA256 (RFC 2104 over FIPS 180-4), the same keyed-state contract as HMAC-SHA1: SetInfo
// once per key, then Init / Update... / Final per message. They check nothing and return 0.
struct QIV_SHA256_HMAC_CTX {
  QIV_SHA256_CTX hash;                       // running inner or outer computation
  std::array<std::uint32_t, 8> inner_state;  // after absorbing key ^ 0x36
  std::array<std::uint32_t, 8> outer_state;  // after absorbing key ^ 0x5C
};

std::int32_t QIV_SHA256_HMAC_SetInfo(QIV_SHA256_HMAC_CTX* ctx, const void* key, std::uint32_t n);
std::int32_t QIV_SHA256_HMAC_Init(QIV_SHA256_HMAC_CTX* ctx);
std::int32_t QIV_SHA256_HMAC_Update(QIV_SHA256_HMAC_CTX* ctx, const void* data, std::uint32_t n);
std::int32_t QIV_SHA256_HMAC_Final(QIV_SHA256_HMAC_CTX* ctx, std::uint8_t* tag);

// ---------------------------------------------------------------------------------------------
// PBKDF2 (RFC 8018 section 5.2) with HMAC-SHA1 or HMAC-SHA256 as the pseudo-random function.
inline constexpr std::uint32_t QIV_PRF_HMAC_SHA1 = 1;
inline constexpr std::uint32_t QIV_PRF_HMAC_SHA256 = 2;

// Derives outLen bytes into `out`. QIV_ERR_NULL_PTR (a null pointer with a non-zero length, or a
// null `out`), QIV_ERR_BAD_PARAM (unknown prf, iterations 0, outLen 0). The password may be
// empty; every intermediate block is wiped.
std::int32_t QIV_PBKDF2(std::uint32_t prf, const void* password, std::uint32_t passwordLen,
                        const std::uint8_t* salt, std::uint32_t saltLen, std::uint32_t iterations,
                        std::uint8_t* out, std::uint32_t outLen);
