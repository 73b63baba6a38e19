// Probable-prime test: trial division by the small primes, then Miller-Rabin rounds with
// random bases, as many as the candidate's size calls for.
#include <array>
#include <span>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"

namespace {

using std::uint32_t;

constexpr uint32_t kTopBit = 0x80000000u;
constexpr uint32_t kMaxDigits = QIV_RSA_MAX_DIGITS;

// The 99 primes from 2 to 541 other than 101, in 19 groups of consecutive primes, tested
// group by group. 101 is deliberately absent: a candidate whose only small factor is 101
// reaches the rounds.
constexpr std::array<uint32_t, 13> kGroup1{2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41};
constexpr std::array<uint32_t, 5> kGroup2{43, 47, 53, 59, 61};
constexpr std::array<uint32_t, 5> kGroup3{67, 71, 73, 79, 83};
constexpr std::array<uint32_t, 6> kGroup4{89, 97, 103, 107, 109, 113};
constexpr std::array<uint32_t, 5> kGroup5{127, 131, 137, 139, 149};
constexpr std::array<uint32_t, 5> kGroup6{151, 157, 163, 167, 173};
constexpr std::array<uint32_t, 5> kGroup7{179, 181, 191, 193, 197};
constexpr std::array<uint32_t, 4> kGroup8{199, 211, 223, 227};
constexpr std::array<uint32_t, 4> kGroup9{229, 233, 239, 241};
constexpr std::array<uint32_t, 5> kGroup10{251, 257, 263, 269, 271};
constexpr std::array<uint32_t, 4> kGroup11{277, 281, 283, 293};
constexpr std::array<uint32_t, 4> kGroup12{307, 311, 313, 317};
constexpr std::array<uint32_t, 5> kGroup13{331, 337, 347, 349, 353};
constexpr std::array<uint32_t, 5> kGroup14{359, 367, 373, 379, 383};
constexpr std::array<uint32_t, 5> kGroup15{389, 397, 401, 409, 419};
constexpr std::array<uint32_t, 6> kGroup16{421, 431, 433, 439, 443, 449};
constexpr std::array<uint32_t, 4> kGroup17{457, 461, 463, 467};
constexpr std::array<uint32_t, 5> kGroup18{479, 487, 491, 499, 503};
constexpr std::array<uint32_t, 4> kGroup19{509, 521, 523, 541};

constexpr std::array<std::span<const uint32_t>, 19> kSieveGroups{
    kGroup1,  kGroup2,  kGroup3,  kGroup4,  kGroup5,  kGroup6,  kGroup7,
    kGroup8,  kGroup9,  kGroup10, kGroup11, kGroup12, kGroup13, kGroup14,
    kGroup15, kGroup16, kGroup17, kGroup18, kGroup19};

constexpr std::size_t sieve_prime_count() {
  std::size_t total = 0;
  for (const auto group : kSieveGroups) total += group.size();
  return total;
}
static_assert(sieve_prime_count() == 99);

// The same primes in batches of consecutive primes whose product fits one digit. One pass over
// the candidate gives its residue modulo a whole batch, and the residue modulo each prime of the
// batch follows from that digit: p mod prime = (p mod product) mod prime, as prime divides the
// product. Whether some prime divides the candidate is all that is asked, so the grouping
// changes the work and not the answer.
struct Batch {
  uint32_t product = 1;
  uint32_t first = 0;  // index into kSievePrimes
  uint32_t count = 0;
};

constexpr std::array<uint32_t, 99> sieve_primes() {
  std::array<uint32_t, 99> primes{};
  std::size_t i = 0;
  for (const auto group : kSieveGroups) {
    for (const uint32_t prime : group) primes[i++] = prime;
  }
  return primes;
}
constexpr std::array<uint32_t, 99> kSievePrimes = sieve_primes();

constexpr std::size_t kMaxBatches = 99;
struct Batches {
  std::array<Batch, kMaxBatches> batch{};
  std::size_t size = 0;
};

constexpr Batches sieve_batches() {
  Batches out;
  for (uint32_t i = 0; i < kSievePrimes.size(); ++i) {
    Batch& last = out.batch[out.size == 0 ? 0 : out.size - 1];
    if (out.size != 0 && std::uint64_t{last.product} * kSievePrimes[i] <= 0xFFFFFFFFu) {
      last.product *= kSievePrimes[i];
      ++last.count;
    } else {
      out.batch[out.size++] = Batch{kSievePrimes[i], i, 1};
    }
  }
  return out;
}
constexpr Batches kSieveBatches = sieve_batches();

// Round table: the first row whose bit length reaches the candidate's gives t; t + 1 rounds
// are run.
struct IterRow {
  uint32_t bits;
  uint32_t rounds;
};
constexpr std::array<IterRow, 11> IterNo{{{100, 35},
                                          {150, 25},
                                          {200, 21},
                                          {250, 17},
                                          {300, 13},
                                          {500, 9},
                                          {600, 8},
                                          {800, 6},
                                          {1250, 5},
                                          {2048, 3},
                                          {9999, 3}}};

uint32_t table_rounds(uint32_t bits) {
  for (const IterRow& row : IterNo) {
    if (bits <= row.bits) return row.rounds;
  }
  return IterNo.back().rounds;
}

bool has_small_factor(const uint32_t* p, uint32_t n) {
  for (std::size_t b = 0; b < kSieveBatches.size; ++b) {
    const Batch& batch = kSieveBatches.batch[b];
    const uint32_t residue = bn_ModD(p, n, batch.product);
    for (uint32_t i = batch.first; i < batch.first + batch.count; ++i) {
      if (residue % kSievePrimes[i] == 0) return true;
    }
  }
  return false;
}

bool is_zero_bit(const uint32_t* a, uint32_t bit) {
  return ((a[bit / 32] >> (bit % 32)) & 1u) == 0;
}

// dst = a >> shift over n digits; dst may be a.
void shift_right(uint32_t* dst, const uint32_t* a, uint32_t n, uint32_t shift) {
  const uint32_t digits = shift / 32;
  const uint32_t bits = shift % 32;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t lo = i + digits < n ? a[i + digits] : 0;
    const uint32_t hi = i + digits + 1 < n ? a[i + digits + 1] : 0;
    dst[i] = bits == 0 ? lo : (lo >> bits) | (hi << (32 - bits));
  }
}

// Working values of one test; all of them reveal the candidate.
struct MillerRabinWork {
  qiv::SecretArray<uint32_t, kMaxDigits> p_minus_1;
  qiv::SecretArray<uint32_t, kMaxDigits> d;  // odd part of p - 1
  qiv::SecretArray<uint32_t, kMaxDigits> a;  // base
  qiv::SecretArray<uint32_t, kMaxDigits> y;
  uint32_t s = 0;  // p - 1 = d * 2^s
};

// One round with a fresh random base: p passes when a^d = +-1 or a^(d*2^j) = -1 for some
// j < s. Reaching 1 by squaring anything but -1 exhibits a non-trivial square root of 1.
bool passes_round(const uint32_t* p, uint32_t n, MillerRabinWork& w) {
  static constexpr std::array<uint32_t, 1> kOne{1};
  qiv_bn_rand(w.a.data(), n);
  w.a[n - 1] &= ~kTopBit;  // below 2^(32n-1), hence below p; not otherwise reduced
  qiv_bn_Binary(w.y.data(), w.a.data(), p, n, w.d.data(), n);
  if (qiv_bn_cmp(w.y.data(), n, kOne.data(), 1) == 0) return true;
  if (qiv_bn_cmp(w.y.data(), n, w.p_minus_1.data(), n) == 0) return true;
  for (uint32_t j = 1; j < w.s; ++j) {
    qiv_bn_ModMul(w.y.data(), w.y.data(), w.y.data(), p, n);
    if (qiv_bn_cmp(w.y.data(), n, kOne.data(), 1) == 0) return false;
    if (qiv_bn_cmp(w.y.data(), n, w.p_minus_1.data(), n) == 0) return true;
  }
  return false;
}

}  // namespace

std::int32_t QIV_MillerRabin(const std::uint32_t* candidate, std::uint32_t n) {
  // The modular arithmetic needs 2..66 digits and a normalised modulus; anything else is not
  // acceptable as a candidate, whatever its primality.
  if (n < 2 || n > kMaxDigits || (candidate[n - 1] & kTopBit) == 0) return QIV_ERR_FAIL;
  if ((candidate[0] & 1u) == 0) return QIV_ERR_FAIL;
  if (has_small_factor(candidate, n)) return QIV_ERR_FAIL;

  MillerRabinWork w;
  qiv_bn_copy(w.p_minus_1.data(), candidate, n);
  w.p_minus_1[0] -= 1;                                 // candidate is odd: no borrow
  while (is_zero_bit(w.p_minus_1.data(), w.s)) ++w.s;  // p - 1 >= 2^31 is not zero
  shift_right(w.d.data(), w.p_minus_1.data(), n, w.s);

  const uint32_t rounds = table_rounds(32 * n) + 1;
  for (uint32_t r = 0; r < rounds; ++r) {
    if (!passes_round(candidate, n, w)) return QIV_ERR_FAIL;
  }
  return QIV_SUCCESS;
}
