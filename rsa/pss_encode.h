// The RSASSA-PSS encoding shared by the two signers, and the M' hash shared with the verifier.
//
// EM is the big-endian octet form of the signature representative, exactly 4k bytes for a
// k-digit modulus:
//
//   | PS: zero bytes | 0x01 | salt | H = SHA-1(M') | 0xBC |
//   '------------ DB -------------'     20 bytes    1 byte
//
// DB is masked with MGF1(H), then the first bit of EM is cleared. M' is eight zero bytes, the
// message digest as the caller gave it, then the salt.
#pragma once

#include <cstdint>

#include "rsa/rsa.h"

namespace qiv::pss {

inline constexpr std::uint32_t kHashLen = 20;         // SHA-1 digest: H and the MGF1 seed
inline constexpr std::uint8_t kSaltMarker = 0x01;     // ends PS, starts the salt
inline constexpr std::uint8_t kTrailer = 0xBC;        // last byte of every EM
inline constexpr std::uint8_t kFirstBitClear = 0x7F;  // EM[0] &= this
inline constexpr std::uint32_t kMaxEmLen = 4 * QIV_RSA_MAX_VERIFY_DIGITS;

// Where the parts of EM sit for a k-digit modulus. DB ends where H begins.
struct EmLayout {
  std::uint32_t em_len;       // 4k
  std::uint32_t db_len;       // em_len - 21: PS, the marker and the salt
  std::uint32_t h_pos;        // = db_len
  std::uint32_t trailer_pos;  // em_len - 1
};

constexpr EmLayout em_layout(std::uint32_t k) {
  const std::uint32_t em_len = 4 * k;
  return {em_len, em_len - kHashLen - 1, em_len - kHashLen - 1, em_len - 1};
}

}  // namespace qiv::pss

// h (20 bytes) = SHA-1(00 x 8 || mHash || salt). Either part may be empty.
void qiv_PSS_HashMPrime(const std::uint8_t* mHash, std::uint32_t mHashLen, const std::uint8_t* salt,
                        std::uint32_t sLen, std::uint8_t* h);

// Completes EM (emLen bytes) around the sLen-byte salt that already sits just before H, at
// em[emLen - 21 - sLen]: writes PS, the marker, H and the trailer, masks DB and clears the
// first bit. Requires 22 + sLen <= emLen. Draws nothing from the generator.
void qiv_PSS_EncodeAroundSalt(std::uint8_t* em, std::uint32_t emLen, const std::uint8_t* digest,
                              std::uint32_t digestLen, std::uint32_t sLen);

// m (k digits) = the representative of a fresh encoding of digest with an sLen-byte salt
// drawn from the generator. The EM on the stack is wiped before return. Requires
// k <= 66 and 22 + sLen <= 4k; with a modulus whose top bit is set, m is below the modulus.
void qiv_PSS_EncodeRepresentative(std::uint32_t* m, std::uint32_t k, const std::uint8_t* digest,
                                  std::uint32_t digestLen, std::uint32_t sLen);
