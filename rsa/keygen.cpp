// RSA key generation: two primes of half the modulus length whose product has exactly the
// requested bit length, the private exponent and the CRT values.
#include <algorithm>
#include <cstdint>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"

namespace {

using std::uint32_t;
using std::uint64_t;

constexpr uint32_t kTopBit = 0x80000000u;
// Two primes of at least two digits each (the modular arithmetic needs n >= 2); at most 64
// digits for the modulus (the inverse and the PSS buffers hold no more).
constexpr uint32_t kMinBits = 128;
constexpr uint32_t kMaxBits = 2048;
constexpr uint32_t kMaxKeyDigits = kMaxBits / 32;
constexpr uint32_t kMaxKeyHalf = kMaxKeyDigits / 2;
static_assert(kMaxKeyDigits <= QIV_BN_MAX_INVERSE_DIGITS &&
              kMaxKeyDigits <= QIV_RSA_MAX_VERIFY_DIGITS);
static_assert(kMaxKeyHalf <= QIV_RSA_MAX_HALF_DIGITS);

// Everything that reveals the key before it is handed over.
struct KeyGenWork {
  qiv::SecretArray<uint32_t, 2> top;  // top digits of p and q
  qiv::SecretArray<uint32_t, kMaxKeyHalf> p;
  qiv::SecretArray<uint32_t, kMaxKeyHalf> q;
  qiv::SecretArray<uint32_t, kMaxKeyHalf> p1;  // p - 1
  qiv::SecretArray<uint32_t, kMaxKeyHalf> q1;  // q - 1
  qiv::SecretArray<uint32_t, kMaxKeyDigits> phi;
  qiv::SecretArray<uint32_t, kMaxKeyDigits> e;  // the public exponent widened to k digits
  qiv::SecretArray<uint32_t, kMaxKeyDigits> d;
  qiv::SecretArray<uint32_t, kMaxKeyDigits> t;
  qiv::SecretArray<uint32_t, kMaxKeyHalf> dP;
  qiv::SecretArray<uint32_t, kMaxKeyHalf> dQ;
  qiv::SecretArray<uint32_t, kMaxKeyHalf> qInv;
};

bool is_one(const uint32_t* a, uint32_t n) {
  return a[0] == 1 && std::all_of(a + 1, a + n, [](uint32_t x) { return x == 0; });
}

// Parameters that can never give a working key are refused before anything is drawn.
bool acceptable_request(const QIV_RSA_PRIVATE_KEY& key, uint32_t bits) {
  if (bits % 64 != 0 || bits < kMinBits || bits > kMaxBits) return false;
  if (key.e_count == 0) return true;
  if (key.e_count > bits / 32) return false;
  // An even e shares the factor 2 with (p-1)(q-1); e = 1 would make d = 1.
  return (key.e[0] & 1u) != 0 && !is_one(key.e, key.e_count);
}

uint32_t random_top_digit() {
  uint32_t digit = 0;
  qiv_bn_rand(&digit, 1);
  return digit | kTopBit;
}

// With top digits P >= Q and P*Q >= 2^63, n = p*q lies in [P*Q * 2^(32(k-2)), 2^(32k)): it has
// exactly 32k bits.
void choose_top_digits(uint32_t& big, uint32_t& small) {
  big = random_top_digit();
  small = random_top_digit();
  while ((static_cast<uint64_t>(big) * small >> 63) == 0) {
    if (big < small) {
      big = random_top_digit();
    } else {
      small = random_top_digit();
    }
  }
  if (big < small) std::swap(big, small);
}

// p (h digits) = a probable prime with the given top digit. Every attempt draws the h - 1 low
// digits afresh. For a one-digit prime e, p mod e != 1 keeps e prime to p - 1.
void find_prime(uint32_t* p, uint32_t h, uint32_t top, const QIV_RSA_PRIVATE_KEY& key) {
  p[h - 1] = top;
  for (;;) {
    qiv_bn_rand(p, h - 1);
    p[0] |= 1u;
    if (key.e_count == 1 && bn_ModD(p, h, key.e[0]) == 1) continue;
    if (QIV_MillerRabin(p, h) == QIV_SUCCESS) return;
  }
}

// A random exponent: k digits below 2^(32k-1).
void draw_exponent(uint32_t* e, uint32_t k) {
  qiv_bn_rand(e, k);
  e[k - 1] &= ~kTopBit;
}

// d = e^-1 mod phi over k digits, when it exists and e is a usable exponent (1 < e < phi).
bool invert_exponent(uint32_t* d, const uint32_t* e, const uint32_t* phi, uint32_t k) {
  static constexpr uint32_t kZero[1] = {0};
  if (qiv_bn_cmp(e, k, kZero, 1) == 0 || is_one(e, k)) return false;
  if (qiv_bn_cmp(e, k, phi, k) >= 0) return false;
  return qiv_bn_Euclid(d, e, phi, k) == QIV_SUCCESS;
}

// r (h digits) = a mod m for a k-digit a whose top h digits are below m.
void reduce(uint32_t* r, uint32_t* scratch, const uint32_t* a, uint32_t k, const uint32_t* m,
            uint32_t h) {
  qiv_bn_copy(scratch, a, k);
  qiv_bn_ClassicalRed(scratch, k, m, h);
  qiv_bn_copy(r, scratch, h);
}

void store(QIV_RSA_PRIVATE_KEY& key, const KeyGenWork& w, uint32_t k, uint32_t h) {
  qiv_bn_Mul(key.n, w.p.data(), h, w.q.data(), h);
  key.n_count = k;
  qiv_bn_copy(key.e, w.e.data(), k);
  if (key.e_count == 0) key.e_count = k;  // a preset count stays
  qiv_bn_copy(key.d, w.d.data(), k);
  key.d_count = k;
  qiv_bn_copy(key.p, w.p.data(), h);
  key.p_count = h;
  qiv_bn_copy(key.q, w.q.data(), h);
  key.q_count = h;
  qiv_bn_copy(key.dP, w.dP.data(), h);
  key.dP_count = h;
  qiv_bn_copy(key.dQ, w.dQ.data(), h);
  key.dQ_count = h;
  qiv_bn_copy(key.qInv, w.qInv.data(), h);
  key.qInv_count = h;
}

}  // namespace

std::int32_t QIV_RSA_KeyGen(QIV_RSA_PRIVATE_KEY* key, std::uint32_t bits) {
  if (key == nullptr || !acceptable_request(*key, bits)) return QIV_ERR_BAD_PARAM;
  const uint32_t k = bits / 32;
  const uint32_t h = bits / 64;
  const bool random_exponent = key->e_count == 0;
  bool exponent_chosen = false;
  KeyGenWork w;

  for (;;) {
    choose_top_digits(w.top[0], w.top[1]);
    find_prime(w.p.data(), h, w.top[0], *key);
    find_prime(w.q.data(), h, w.top[1], *key);
    // The exponent is chosen once, after the first pair of primes, and kept on a restart.
    if (!exponent_chosen) {
      if (random_exponent) {
        draw_exponent(w.e.data(), k);
      } else {
        qiv_bn_copy(w.e.data(), key->e, key->e_count);
      }
      exponent_chosen = true;
    }

    // Equal primes have no CRT coefficient: start again. Equal top digits may leave q > p;
    // the CRT operation needs p > q.
    const int order = qiv_bn_cmp(w.p.data(), h, w.q.data(), h);
    if (order == 0) continue;
    if (order < 0) std::swap(*w.p, *w.q);

    // p and q are odd: p - 1 and q - 1 are them with the lowest bit cleared.
    qiv_bn_copy(w.p1.data(), w.p.data(), h);
    w.p1[0] &= ~1u;
    qiv_bn_copy(w.q1.data(), w.q.data(), h);
    w.q1[0] &= ~1u;
    qiv_bn_Mul(w.phi.data(), w.p1.data(), h, w.q1.data(), h);

    while (!invert_exponent(w.d.data(), w.e.data(), w.phi.data(), k)) {
      if (!random_exponent) return QIV_ERR_FAIL;  // the record is still untouched
      draw_exponent(w.e.data(), k);
    }

    // d < phi = (p-1)(q-1) < (p-1) * 2^(32h): the top h digits of d are below p - 1.
    reduce(w.dP.data(), w.t.data(), w.d.data(), k, w.p1.data(), h);
    reduce(w.dQ.data(), w.t.data(), w.d.data(), k, w.q1.data(), h);
    if (qiv_bn_Euclid(w.qInv.data(), w.q.data(), w.p.data(), h) != QIV_SUCCESS) continue;

    store(*key, w, k, h);
    return QIV_SUCCESS;
  }
}
