// RSASSA-PSS verification (EMSA-PSS-VERIFY over SHA-1 and MGF1-SHA-1), any salt length.
#include <array>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "rsa/pss_encode.h"
#include "rsa/rsa.h"

namespace {

using namespace qiv::pss;

constexpr std::uint32_t kTopBit = 0x80000000u;

// The modulus comes from files anybody can write. The arithmetic below needs a normalised
// modulus (a zero top digit would divide by zero in the reduction) and the buffers bound k.
bool acceptable_modulus(std::uint32_t k, const std::uint32_t* modulus) {
  if (k < QIV_RSA_MIN_VERIFY_DIGITS || k > QIV_RSA_MAX_VERIFY_DIGITS) return false;
  return (modulus[k - 1] & kTopBit) != 0;
}

// Index of the salt marker in the unmasked DB, or db_len when DB is not PS || 0x01 || salt.
// PS may have any length, so the salt is whatever follows the first non-zero byte.
std::uint32_t find_salt_marker(const std::uint8_t* db, std::uint32_t db_len) {
  std::uint32_t i = 0;
  while (i < db_len && db[i] == 0) ++i;
  if (i == db_len || db[i] != kSaltMarker) return db_len;
  return i;
}

}  // namespace

bool QIV_RSA_PublicExponentOk(std::uint32_t eDigits, const std::uint32_t* exponent) {
  if (exponent == nullptr || eDigits == 0 || (exponent[0] & 1u) == 0) return false;
  if (exponent[0] >= 3) return true;
  // exponent[0] is 1: the value is at least 3 only if a higher digit is set.
  for (std::uint32_t i = 1; i < eDigits; ++i) {
    if (exponent[i] != 0) return true;
  }
  return false;
}

std::int32_t QIV_RSA_PSS_Verify(std::uint32_t k, const std::uint32_t* modulus,
                                const std::uint32_t* signature, std::uint32_t eDigits,
                                const std::uint32_t* exponent, std::uint32_t mHashLen,
                                const std::uint8_t* mHash) {
  if (modulus == nullptr || signature == nullptr || exponent == nullptr) return QIV_ERR_FAIL;
  if (mHash == nullptr && mHashLen != 0) return QIV_ERR_FAIL;
  if (!acceptable_modulus(k, modulus)) return QIV_ERR_FAIL;
  if (!QIV_RSA_PublicExponentOk(eDigits, exponent)) return QIV_ERR_FAIL;

  // A signature not below the modulus is not rejected as such: the exponentiation reduces
  // it, and the encoding check decides.
  std::array<std::uint32_t, QIV_RSA_MAX_VERIFY_DIGITS> s{};
  qiv_bn_Binary(s.data(), signature, modulus, k, exponent, eDigits);
  std::array<std::uint8_t, kMaxEmLen> em{};
  BN2OS(em.data(), s.data(), k);

  const EmLayout at = em_layout(k);
  if (em[at.trailer_pos] != kTrailer) return QIV_ERR_FAIL;

  const std::uint8_t* h = em.data() + at.h_pos;
  qiv_PKCS1_MGF1_Sha1(em.data(), at.db_len, h, kHashLen);
  em[0] &= kFirstBitClear;  // the bit the signer cleared; its value here carries nothing

  const std::uint32_t marker = find_salt_marker(em.data(), at.db_len);
  if (marker == at.db_len) return QIV_ERR_FAIL;

  std::array<std::uint8_t, kHashLen> h_prime;
  qiv_PSS_HashMPrime(mHash, mHashLen, em.data() + marker + 1, at.db_len - marker - 1,
                     h_prime.data());
  return mem_compare(h_prime.data(), h, kHashLen) == 0 ? QIV_SUCCESS : QIV_ERR_FAIL;
}
