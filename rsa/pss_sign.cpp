// RSASSA-PSS signing with the plain private-key operation: signature = m^d mod n.
#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "rsa/pss_encode.h"
#include "rsa/rsa.h"

std::int32_t QIV_RSA_PSS_Sign(std::uint32_t* sigDigits, std::uint32_t* signature, std::uint32_t k,
                              const std::uint32_t* modulus, const std::uint32_t* d,
                              std::uint32_t digestLen, const std::uint8_t* digest,
                              std::uint32_t sLen) {
  qiv::SecretArray<std::uint32_t, QIV_RSA_MAX_DIGITS> m;
  qiv_PSS_EncodeRepresentative(m.data(), k, digest, digestLen, sLen);
  // d is taken with all k digits: the exponentiation skips its leading zero digits.
  qiv_bn_Binary(signature, m.data(), modulus, k, d, k);
  *sigDigits = k;
  return QIV_SUCCESS;
}
