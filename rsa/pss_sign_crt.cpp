// RSASSA-PSS signing with the private-key operation in CRT form (Garner's recombination).
#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "rsa/pss_encode.h"
#include "rsa/rsa.h"

namespace {

constexpr std::uint32_t kMaxDigits = QIV_RSA_MAX_DIGITS;
constexpr std::uint32_t kMaxHalf = QIV_RSA_MAX_HALF_DIGITS;

// Everything derived from the private key while one representative is exponentiated.
struct CrtWork {
  qiv::SecretArray<std::uint32_t, kMaxDigits> t;
  qiv::SecretArray<std::uint32_t, kMaxHalf> m1;
  qiv::SecretArray<std::uint32_t, kMaxHalf> m2;
};

// out (h digits) = input^exponent mod prime. input (k digits) is below p*q, so its top h
// digits are below either prime (each prime is below 2^(32h)): the reduction's precondition.
void exp_mod_prime(std::uint32_t* out, CrtWork& w, const std::uint32_t* input, std::uint32_t k,
                   const std::uint32_t* prime, std::uint32_t h, const std::uint32_t* exponent,
                   std::uint32_t exponentDigits) {
  qiv_bn_copy(w.t.data(), input, k);
  qiv_bn_ClassicalRed(w.t.data(), k, prime, h);
  qiv_bn_Binary(out, w.t.data(), prime, h, exponent, exponentDigits);
}

}  // namespace

void qiv_RSA_CrtDec(std::uint32_t* result, const std::uint32_t* input,
                    const QIV_RSA_PRIVATE_KEY* key) {
  const std::uint32_t k = key->n_count;
  const std::uint32_t h = k / 2;
  CrtWork w;

  exp_mod_prime(w.m1.data(), w, input, k, key->p, h, key->dP, key->dP_count);
  exp_mod_prime(w.m2.data(), w, input, k, key->q, h, key->dQ, key->dQ_count);

  // Garner: m = m2 + q * ((m1 - m2) * qInv mod p). m2 < q < p, so one addition of p makes a
  // negative difference non-negative and keeps it below p.
  if (qiv_bn_Sub(w.t.data(), w.m1.data(), h, w.m2.data(), h) != 0) {
    qiv_bn_Add(w.t.data(), w.t.data(), h, key->p, h);
  }
  qiv_bn_ModMul(w.m1.data(), w.t.data(), key->qInv, key->p, h);
  qiv_bn_Mul(w.t.data(), w.m1.data(), h, key->q, h);
  // q * (value below p) + m2 < q * (p - 1) + q = n: the sum fits k digits, no carry.
  qiv_bn_Add(w.t.data(), w.t.data(), k, w.m2.data(), h);
  qiv_bn_copy(result, w.t.data(), k);
}

std::int32_t QIV_RSA_PSS_SignCRT(std::uint32_t* sigDigits, std::uint32_t* signature,
                                 const QIV_RSA_PRIVATE_KEY* key, std::uint32_t digestLen,
                                 const std::uint8_t* digest, std::uint32_t sLen) {
  qiv::SecretArray<std::uint32_t, kMaxDigits> m;
  qiv_PSS_EncodeRepresentative(m.data(), key->n_count, digest, digestLen, sLen);
  qiv_RSA_CrtDec(signature, m.data(), key);
  *sigDigits = key->n_count;
  return QIV_SUCCESS;
}
