// Secure-boot record library: the records a device trusts (public key information record,
// eFuse value, stage-1 contexts) and the operations that make and check them: signature
// wrappers, public key information generation and validation, context generation and checking,
// and the encryption of first-stage code. Layouts: sbl/layout.h.
//
// Contract common to every operation:
// - All records and buffers are caller-owned; nothing is allocated except the two scratch
//   buffers inside Encrypt_Code (64 KiB at most each, whatever the code length). Byte buffers
//   may have any alignment.
// - The result is 0 on success or one of the negative codes below; callers test against 0.
//   A failure returns at once; nothing is printed.
// - Operations that reject data clear it: a failed verification zeroes the signature it was
//   given, a failed record validation zeroes the record.
// - Single-threaded use: signing and record generation draw from the process-wide random
//   generator, which is not locked.
#pragma once

#include <cstdint>

#include "sbl/layout.h"

// ---------------------------------------------------------------------------------------------
// Result codes, written as their 32-bit words (0xFFF40090 is -786288). One group per operation
// family.
constexpr std::int32_t qiv_sbl_code(std::uint32_t word) {
  return static_cast<std::int32_t>(word);
}

// Signature wrappers.
inline constexpr std::int32_t QIV_SBL_SIGN_SHA1_INIT = qiv_sbl_code(0xFFF40060u);
inline constexpr std::int32_t QIV_SBL_SIGN_SHA1_UPDATE = qiv_sbl_code(0xFFF40070u);
inline constexpr std::int32_t QIV_SBL_SIGN_SHA1_FINAL = qiv_sbl_code(0xFFF40080u);
// Signing failed: malformed or out-of-bounds blob, bad arguments, or the RSA layer failed.
inline constexpr std::int32_t QIV_SBL_SIGN_FAILED = qiv_sbl_code(0xFFF40090u);
inline constexpr std::int32_t QIV_SBL_VERIFY_BAD_LENGTH = qiv_sbl_code(0xFFF20000u);
inline constexpr std::int32_t QIV_SBL_VERIFY_SHA1_INIT = qiv_sbl_code(0xFFF20060u);
inline constexpr std::int32_t QIV_SBL_VERIFY_SHA1_UPDATE = qiv_sbl_code(0xFFF20070u);
inline constexpr std::int32_t QIV_SBL_VERIFY_SHA1_FINAL = qiv_sbl_code(0xFFF20080u);
inline constexpr std::int32_t QIV_SBL_VERIFY_FAILED = qiv_sbl_code(0xFFF20090u);
// The key's public exponent is even or below 3 (QIV_RSA_PublicExponentOk): nothing verifies
// under it. Low byte 0, so a command that passes it on ends with status 255, as for any key
// file it refuses.
inline constexpr std::int32_t QIV_SBL_VERIFY_BAD_KEY = qiv_sbl_code(0xFFF20100u);

// Public key information generation and validation.
inline constexpr std::int32_t QIV_SBL_PKI_BAD_PARAM = qiv_sbl_code(0xFFF50000u);
inline constexpr std::int32_t QIV_SBL_PKI_GEN_HMAC_SETINFO = qiv_sbl_code(0xFFF50010u);
inline constexpr std::int32_t QIV_SBL_PKI_GEN_HMAC_INIT = qiv_sbl_code(0xFFF50020u);
inline constexpr std::int32_t QIV_SBL_PKI_GEN_HMAC_UPDATE = qiv_sbl_code(0xFFF50030u);
inline constexpr std::int32_t QIV_SBL_PKI_GEN_HMAC_FINAL = qiv_sbl_code(0xFFF50040u);
inline constexpr std::int32_t QIV_SBL_PKI_VAL_HMAC_SETINFO = qiv_sbl_code(0xFFF10010u);
inline constexpr std::int32_t QIV_SBL_PKI_VAL_HMAC_INIT = qiv_sbl_code(0xFFF10020u);
inline constexpr std::int32_t QIV_SBL_PKI_VAL_HMAC_UPDATE = qiv_sbl_code(0xFFF10030u);
inline constexpr std::int32_t QIV_SBL_PKI_VAL_HMAC_FINAL = qiv_sbl_code(0xFFF10040u);
inline constexpr std::int32_t QIV_SBL_PKI_TAG_MISMATCH = qiv_sbl_code(0xFFF10050u);

// Context generation and checking.
inline constexpr std::int32_t QIV_SBL_CTX_GEN_SHA1_INIT = qiv_sbl_code(0xFFF60020u);
inline constexpr std::int32_t QIV_SBL_CTX_GEN_SHA1_UPDATE_IMAGE = qiv_sbl_code(0xFFF60031u);
inline constexpr std::int32_t QIV_SBL_CTX_GEN_SHA1_UPDATE_KEY = qiv_sbl_code(0xFFF60032u);
inline constexpr std::int32_t QIV_SBL_CTX_GEN_SHA1_FINAL = qiv_sbl_code(0xFFF60040u);
inline constexpr std::int32_t QIV_SBL_CTX_GEN_SIGN_FAILED = qiv_sbl_code(0xFFF40000u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_BAD_PARAM = qiv_sbl_code(0xFFF30000u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_SHA1_INIT = qiv_sbl_code(0xFFF30060u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_SHA1_UPDATE_IMAGE = qiv_sbl_code(0xFFF30071u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_SHA1_UPDATE_KEY = qiv_sbl_code(0xFFF30072u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_SHA1_FINAL = qiv_sbl_code(0xFFF30080u);
inline constexpr std::int32_t QIV_SBL_CTX_CHK_BAD_SIGNATURE = qiv_sbl_code(0xFFF30090u);

// Code encryption.
inline constexpr std::int32_t QIV_SBL_AES_BAD_PARAM = qiv_sbl_code(0xFFF7A000u);
inline constexpr std::int32_t QIV_SBL_AES_SETUP_FAILED = qiv_sbl_code(0xFFF7B000u);
inline constexpr std::int32_t QIV_SBL_AES_ENCRYPT_FAILED = qiv_sbl_code(0xFFF7C000u);
inline constexpr std::int32_t QIV_SBL_AES_DECRYPT_FAILED = qiv_sbl_code(0xFFF7D000u);
// The scratch copies of the code could not be allocated: not a property of the inputs, so the
// caller reports it as running out of memory rather than as a refused image.
inline constexpr std::int32_t QIV_SBL_AES_NO_MEMORY = qiv_sbl_code(0xFFF7C100u);

// Signature forms of the signing wrappers.
inline constexpr std::int32_t QIV_SBL_FORM_PLAIN = 0;  // v1.1: blob n, d, ...; any value but 1
inline constexpr std::int32_t QIV_SBL_FORM_CRT = 1;    // v2.1: blob n, e, d, p, q, dP, dQ, qInv

// ---------------------------------------------------------------------------------------------
// Signature wrappers: RSASSA-PSS with SHA-1, MGF1-SHA-1 and a 20-byte salt. A signature is the
// k-digit RSA result stored least significant byte first (4k bytes; not the big-endian PKCS #1
// octet string).

// Signs a caller-computed digest with a private key blob (sbl::PrivateKeyBlob).
// - The blob is read only within [blob, blob + blobLen). A component longer than its field in
//   QIV_RSA_PRIVATE_KEY (66 digits for n, e, d; 34 for the others), a byte length that is not a
//   multiple of 4, or a component running past blobLen is rejected before anything is copied.
// - The key must have 11..64 modulus digits, the top bit of the top digit set and d no longer
//   than n. In CRT form also: an even digit count k; p > q, both of exactly k/2 digits with
//   their top bits set; dP, dQ of 1..k/2 digits and qInv of at most k/2.
// - signature receives 4k bytes (at most 256): the caller sizes it for the key it expects.
//   *signatureLen receives 4k; its value on entry is ignored.
// - The new signature is verified with the key's own public part (n and e from the blob; the
//   plain form stores no e and is the v1.1 set's, e = 65537) before it is handed out: a blob
//   damaged in d, p, q or a CRT value signs, but its signature would verify nowhere. On that
//   failure the signature bytes are zeroed.
// 0, or QIV_SBL_SIGN_FAILED (any rejection above, a null pointer, an RSA failure, or a signature
// that does not verify). The local copy of the key is wiped before returning.
[[nodiscard]] std::int32_t Generate_PSS_RSASignature(
    std::int32_t form, const std::uint8_t* blob, std::uint32_t blobLen, const std::uint8_t* digest,
    std::uint32_t digestLen, std::uint8_t* signature, std::uint32_t* signatureLen);

// SHA-1 of the message, then Generate_PSS_RSASignature with the 20-byte digest.
// 0, QIV_SBL_SIGN_SHA1_INIT / _UPDATE / _FINAL, or QIV_SBL_SIGN_FAILED.
[[nodiscard]] std::int32_t Generate_PSS_RSASignature2(
    std::int32_t form, const std::uint8_t* blob, std::uint32_t blobLen, const std::uint8_t* message,
    std::uint32_t messageLen, std::uint8_t* signature, std::uint32_t* signatureLen);

// A private key this process cannot read (a key in a hardware token), seen through its public
// part and a signing call. sign() receives the 20-byte SHA-1 digest and must return 0 and the
// RSASSA-PSS signature (MGF1-SHA-1, 20-byte salt) of it in signature, 4 * modulusDigits bytes,
// stored as the signature wrappers store theirs (least significant byte first). The signer
// functions below check every signature with (modulus, exponent) before handing it out, exactly
// as they check those of a blob, so a token that signs with another key or encodes otherwise
// yields a failure, never a signature.
struct QIV_SBL_SIGNER {
  std::int32_t (*sign)(void* context, const std::uint8_t* digest, std::uint32_t digestLen,
                       std::uint8_t* signature, std::uint32_t signatureLen);
  void* context;
  const std::uint32_t* modulus;  // modulusDigits digits, least significant first
  std::uint32_t modulusDigits;   // 11..64, the top bit of the top digit set
  std::uint32_t exponent;        // odd and at least 3
};

// Generate_PSS_RSASignature and Generate_PSS_RSASignature2 with a signer instead of a blob:
// the same results (QIV_SBL_SIGN_FAILED also for a signer whose public part is out of bounds,
// a failed sign() and a signature that does not verify; the signature bytes are then zeroed).
[[nodiscard]] std::int32_t Generate_PSS_RSASignature_By(const QIV_SBL_SIGNER* signer,
                                                        const std::uint8_t* digest,
                                                        std::uint32_t digestLen,
                                                        std::uint8_t* signature,
                                                        std::uint32_t* signatureLen);
[[nodiscard]] std::int32_t Generate_PSS_RSASignature2_By(const QIV_SBL_SIGNER* signer,
                                                         const std::uint8_t* message,
                                                         std::uint32_t messageLen,
                                                         std::uint8_t* signature,
                                                         std::uint32_t* signatureLen);

// Verifies a signature over a caller-computed digest. The layout of publicKey follows the
// signature length: 128 bytes -> v1.1 key part (32-digit modulus at 0, exponent at 128; also a
// bare 132-byte modulus-then-exponent key); 256 bytes -> v2.1 key part (64-digit modulus at 4,
// exponent at 264; the length fields are not read). publicKey must hold 132 or 268 bytes;
// publicKeyLen is not used.
// 0; QIV_SBL_VERIFY_BAD_LENGTH for any other signature length (nothing is touched); or
// QIV_SBL_VERIFY_BAD_KEY (a public exponent that is even or below 3) or QIV_SBL_VERIFY_FAILED,
// after which the signature (signatureLen bytes) and the digest (digestLen bytes) have been
// zeroed. Null pointers count as a failed verification.
[[nodiscard]] std::int32_t Verify_PSS_RSASignature(const std::uint8_t* publicKey,
                                                   std::uint32_t publicKeyLen, std::uint8_t* digest,
                                                   std::uint32_t digestLen, std::uint8_t* signature,
                                                   std::uint32_t signatureLen);

// SHA-1 of the message, then verification as above, except that for 256-byte signatures the
// modulus digit count k and the exponent digit count come from the record's length fields:
// a modulus length that is not 4k with k in 6..64, or an exponent length other than 4, is a
// failed verification (never a read past the 268-byte key part).
// 0, QIV_SBL_VERIFY_SHA1_INIT / _UPDATE / _FINAL, QIV_SBL_VERIFY_BAD_LENGTH, or
// QIV_SBL_VERIFY_BAD_KEY / QIV_SBL_VERIFY_FAILED (the signature has then been zeroed).
[[nodiscard]] std::int32_t Verify_PSS_RSASignature2(
    const std::uint8_t* publicKey, std::uint32_t publicKeyLen, const std::uint8_t* message,
    std::uint32_t messageLen, std::uint8_t* signature, std::uint32_t signatureLen);

// ---------------------------------------------------------------------------------------------
// Public key information record and eFuse value.

// Builds the v2.1 record (288 bytes) for (modulus, exponent) and returns the eFuse value
// (tag XOR integrity key, 20 bytes). The integrity key is givenKey (givenKeyLen 20) or, with
// (nullptr, 0), 20 fresh random bytes; it is never stored or returned.
// modulus: 1..64 digits; exponent: exactly one digit; *eFuseLen: capacity on entry (>= 20),
// 20 on success.
// 0; QIV_SBL_PKI_BAD_PARAM (any argument fault, checked before the record is touched, or a
// random generator failure); QIV_SBL_PKI_GEN_HMAC_*. On failure eFuse and *eFuseLen are
// unchanged.
[[nodiscard]] std::int32_t Generate_SB20_PublicKeyInfo(
    const std::uint8_t* givenKey, std::uint32_t givenKeyLen, const std::uint32_t* modulus,
    std::uint32_t modulusDigits, const std::uint32_t* exponent, std::uint32_t exponentDigits,
    std::uint8_t* eFuse, std::uint32_t* eFuseLen, std::uint8_t* record);

// The v1.1 record (152 bytes): modulus 1..32 digits, integrity key and eFuse value 16 bytes.
// Results as for v2.1.
[[nodiscard]] std::int32_t Generate_SB10_PublicKeyInfo(
    const std::uint8_t* givenKey, std::uint32_t givenKeyLen, const std::uint32_t* modulus,
    std::uint32_t modulusDigits, const std::uint32_t* exponent, std::uint32_t exponentDigits,
    std::uint8_t* eFuse, std::uint32_t* eFuseLen, std::uint8_t* record);

// Accepts the record only if HMAC-SHA1(eFuse XOR tag, key part) equals its tag.
// 0; QIV_SBL_PKI_BAD_PARAM for an eFuse length other than 20 (v2.1) / 16 (v1.1) or a null
// pointer (the record is untouched); QIV_SBL_PKI_VAL_HMAC_*; QIV_SBL_PKI_TAG_MISMATCH, after
// which the whole record (288 / 152 bytes) is zero.
[[nodiscard]] std::int32_t Validate_SB20_PublicKeyInfo(const std::uint8_t* eFuse,
                                                       std::uint32_t eFuseLen,
                                                       std::uint8_t* record);
[[nodiscard]] std::int32_t Validate_SB10_PublicKeyInfo(const std::uint8_t* eFuse,
                                                       std::uint32_t eFuseLen,
                                                       std::uint8_t* record);

// ---------------------------------------------------------------------------------------------
// Stage-1 contexts (sbl::ContextV21, sbl::ContextV11).

// Precondition: the caller has cleared the context and placed the stage-1 public key
// information record at ContextV21::kPublicKeyInfo. Writes tag, zero word and filler, the
// next-stage key (the first 268 bytes of nextStageKey, or the context's own key part when it
// is null), the signature length (256) and the CRT-form signature of
// SHA-1(image || next-stage key). The record and the blob are not checked against each other:
// Check_SB20_Context does that.
// 0; QIV_SBL_CTX_GEN_SHA1_*; QIV_SBL_CTX_GEN_SIGN_FAILED (any signing failure, a null context
// or blob, or a signature that is not 256 bytes).
[[nodiscard]] std::int32_t Generate_SB20_Context(const std::uint8_t* blob, std::uint32_t blobLen,
                                                 const std::uint8_t* nextStageKey,
                                                 const std::uint8_t* image, std::uint32_t imageLen,
                                                 std::uint8_t* context);

// The v1.1 counterpart: record at ContextV11::kPublicKeyInfo, 132-byte next-stage key
// (modulus then exponent), plain-form 128-byte signature. A blob whose modulus is not 32 digits
// is a signing failure (its signature would not fit the context).
[[nodiscard]] std::int32_t Generate_SB10_Context(const std::uint8_t* blob, std::uint32_t blobLen,
                                                 const std::uint8_t* nextStageKey,
                                                 const std::uint8_t* image, std::uint32_t imageLen,
                                                 std::uint8_t* context);

// Generate_SB20_Context and Generate_SB10_Context signing through a signer instead of a blob;
// the same results.
[[nodiscard]] std::int32_t Generate_SB20_Context_By(const QIV_SBL_SIGNER* signer,
                                                    const std::uint8_t* nextStageKey,
                                                    const std::uint8_t* image,
                                                    std::uint32_t imageLen, std::uint8_t* context);
[[nodiscard]] std::int32_t Generate_SB10_Context_By(const QIV_SBL_SIGNER* signer,
                                                    const std::uint8_t* nextStageKey,
                                                    const std::uint8_t* image,
                                                    std::uint32_t imageLen, std::uint8_t* context);

// Checks a context as a device does: validates the embedded record against the eFuse value,
// then verifies the signature over SHA-1(image || next-stage key) with the record's key.
// Fills the service table first (after the argument checks), whatever the outcome.
// 0; QIV_SBL_CTX_CHK_BAD_PARAM (eFuse length not 20 / 16, a null eFuse or context, or for v2.1
// a signature length field other than 256; the context is untouched); a validation code of
// Validate_SB20/SB10_PublicKeyInfo passed on unchanged (the record is then zero);
// QIV_SBL_CTX_CHK_SHA1_*; QIV_SBL_CTX_CHK_BAD_SIGNATURE (the context's signature is then zero).
[[nodiscard]] std::int32_t Check_SB20_Context(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                              std::uint8_t* context, const std::uint8_t* image,
                                              std::uint32_t imageLen);
[[nodiscard]] std::int32_t Check_SB10_Context(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                              std::uint8_t* context, const std::uint8_t* image,
                                              std::uint32_t imageLen);

// Fill the service table (24 / 12 little-endian u32 slots) with the slot numbers 0, 1, 2, ...
void save_SB20_FuncPtr(std::uint8_t* table);
void save_SB10_FuncPtr(std::uint8_t* table);

// ---------------------------------------------------------------------------------------------
// Code encryption (v2.1 only): AES-128-CBC without padding. Only context bytes [528, 816), the
// stage-1 record, are read.
//   key = context[796..811] XOR eFuse[0..15]  (the first 16 bytes of the integrity key)
//   IV  = first 16 bytes of SHA-1(context[528..795])  (the record's key part)

// *keyLen and *ivLen must both be 16 and are not changed; key and iv receive 16 bytes each.
// 0, or QIV_SBL_AES_BAD_PARAM (lengths, null pointers, eFuse length not 20, SHA-1 failure).
[[nodiscard]] std::int32_t Make_AES_Param(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                          const std::uint8_t* context, std::uint8_t* key,
                                          const std::uint32_t* keyLen, std::uint8_t* iv,
                                          const std::uint32_t* ivLen);

// Encrypts codeLen bytes in place (codeLen a multiple of 16) and proves the ciphertext by
// decrypting it again, chunk by chunk (64 KiB); the result is the one-shot CBC encryption. On
// every failure the code is unchanged: chunks already encrypted are decrypted back.
// 0; QIV_SBL_AES_BAD_PARAM; QIV_SBL_AES_SETUP_FAILED; QIV_SBL_AES_ENCRYPT_FAILED (length not a
// multiple of 16, null code, or a trial decryption that differs); QIV_SBL_AES_DECRYPT_FAILED (the
// trial decryption failed); QIV_SBL_AES_NO_MEMORY (no memory for the scratch copies).
[[nodiscard]] std::int32_t Encrypt_Code(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                        const std::uint8_t* context, std::uint8_t* code,
                                        std::uint32_t codeLen);

// Decrypts codeLen bytes in place; the plain length equals codeLen.
// 0; QIV_SBL_AES_BAD_PARAM; QIV_SBL_AES_SETUP_FAILED; QIV_SBL_AES_DECRYPT_FAILED (also for a
// length that is not a multiple of 16 or a null code, rejected before the code is touched).
[[nodiscard]] std::int32_t Decrypt_Code(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                        const std::uint8_t* context, std::uint8_t* code,
                                        std::uint32_t codeLen);
