// OpenSSL-backed references for the harnesses.
#include "fuzz/reference.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace ref {
namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Bn = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;

// A reference that cannot compute is no reference: stop loudly rather than pass or fail
// the code under test by accident.
void require(bool ok) {
  if (!ok) std::abort();
}

int as_int(std::size_t n) { return static_cast<int>(n); }

Bn from_le(std::span<const std::uint8_t> le) {
  Bn bn(BN_lebin2bn(le.data(), as_int(le.size()), nullptr));
  require(bn != nullptr);
  return bn;
}

Bn fresh() {
  Bn bn(BN_new());
  require(bn != nullptr);
  return bn;
}

Bytes to_le(const BIGNUM* bn) {
  Bytes out(static_cast<std::size_t>((BN_num_bytes(bn) + 3) / 4 * 4), 0);
  if (!out.empty()) require(BN_bn2lebinpad(bn, out.data(), as_int(out.size())) >= 0);
  return out;
}

// x * y == 1 (mod m), for m > 1.
bool inverse_pair(const BIGNUM* x, const BIGNUM* y, const BIGNUM* m, BN_CTX* ctx) {
  Bn r = fresh();
  require(BN_mod_mul(r.get(), x, y, m, ctx) == 1);
  return BN_is_one(r.get());
}

bool distinct_primes_with_product(const BIGNUM* n, const BIGNUM* p, const BIGNUM* q,
                                  BN_CTX* ctx) {
  if (BN_cmp(p, q) == 0 || BN_is_zero(p) || BN_is_zero(q)) return false;
  Bn pq = fresh();
  require(BN_mul(pq.get(), p, q, ctx) == 1);
  if (BN_cmp(pq.get(), n) != 0) return false;
  return BN_check_prime(p, ctx, nullptr) == 1 && BN_check_prime(q, ctx, nullptr) == 1;
}

}  // namespace

Sha1 sha1(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second) {
  Sha1 out{};
  MdCtx ctx(EVP_MD_CTX_new());
  require(ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 &&
          EVP_DigestUpdate(ctx.get(), first.data(), first.size()) == 1 &&
          EVP_DigestUpdate(ctx.get(), second.data(), second.size()) == 1 &&
          EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr) == 1);
  return out;
}

Sha1 hmac_sha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
  Sha1 out{};
  unsigned int len = 0;
  static const std::uint8_t kNoKey = 0;
  require(HMAC(EVP_sha1(), key.empty() ? &kNoKey : key.data(), as_int(key.size()), data.data(),
               data.size(), out.data(), &len) != nullptr &&
          len == out.size());
  return out;
}

Bytes aes_cbc_decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                      std::span<const std::uint8_t> blocks) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                                                : EVP_aes_256_cbc();
  require((key.size() == 16 || key.size() == 24 || key.size() == 32) && iv.size() == 16 &&
          blocks.size() % 16 == 0);
  Bytes out(blocks.size() + 16);
  int n1 = 0;
  int n2 = 0;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  require(ctx && EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data()) == 1 &&
          EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
          EVP_DecryptUpdate(ctx.get(), out.data(), &n1, blocks.data(), as_int(blocks.size())) ==
              1 &&
          EVP_DecryptFinal_ex(ctx.get(), out.data() + n1, &n2) == 1);
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

bool pss_verify(std::span<const std::uint8_t> modulus, std::span<const std::uint8_t> signature,
                std::span<const std::uint8_t> exponent, std::span<const std::uint8_t> mHash) {
  constexpr std::size_t kHash = 20;
  const std::size_t k = modulus.size() / 4;
  require(modulus.size() % 4 == 0 && signature.size() == modulus.size());
  if (k < 6 || k > 64 || (modulus.back() & 0x80) == 0) return false;

  BnCtx ctx(BN_CTX_new());
  require(ctx != nullptr);
  Bn n = from_le(modulus);
  Bn s = from_le(signature);
  Bn e = from_le(exponent);
  Bn m = fresh();
  require(BN_mod_exp(m.get(), s.get(), e.get(), n.get(), ctx.get()) == 1);

  const std::size_t emLen = 4 * k;
  Bytes em(emLen);
  require(BN_bn2binpad(m.get(), em.data(), as_int(emLen)) == as_int(emLen));
  if (em[emLen - 1] != 0xBC) return false;

  const std::size_t dbLen = emLen - kHash - 1;
  const std::span<const std::uint8_t> h(em.data() + dbLen, kHash);
  // MGF1-SHA1: block i is SHA-1(H || i as 4 big-endian bytes).
  Bytes db(em.begin(), em.begin() + static_cast<std::ptrdiff_t>(dbLen));
  for (std::size_t i = 0; i * kHash < dbLen; ++i) {
    const std::uint8_t counter[4] = {static_cast<std::uint8_t>(i >> 24),
                                     static_cast<std::uint8_t>(i >> 16),
                                     static_cast<std::uint8_t>(i >> 8),
                                     static_cast<std::uint8_t>(i)};
    const Sha1 block = sha1(h, counter);
    for (std::size_t j = 0; j < kHash && i * kHash + j < dbLen; ++j) db[i * kHash + j] ^= block[j];
  }
  db[0] &= 0x7F;
  const auto marker = std::find_if(db.begin(), db.end(), [](std::uint8_t b) { return b != 0; });
  if (marker == db.end() || *marker != 0x01) return false;

  Bytes mPrime(8, 0);
  mPrime.insert(mPrime.end(), mHash.begin(), mHash.end());
  mPrime.insert(mPrime.end(), marker + 1, db.end());
  const Sha1 hPrime = sha1(mPrime);
  return std::equal(hPrime.begin(), hPrime.end(), h.begin());
}

bool crt_key_consistent(const CrtParts& key) {
  BnCtx ctx(BN_CTX_new());
  require(ctx != nullptr);
  Bn n = from_le(key.n), e = from_le(key.e), p = from_le(key.p), q = from_le(key.q);
  Bn dP = from_le(key.dP), dQ = from_le(key.dQ), qInv = from_le(key.qInv);
  if (!distinct_primes_with_product(n.get(), p.get(), q.get(), ctx.get())) return false;
  Bn p1 = fresh(), q1 = fresh();
  require(BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
          BN_sub(q1.get(), q.get(), BN_value_one()) == 1);
  if (BN_is_one(p1.get()) || BN_is_one(q1.get())) return false;  // p or q is 2
  return inverse_pair(e.get(), dP.get(), p1.get(), ctx.get()) &&
         inverse_pair(e.get(), dQ.get(), q1.get(), ctx.get()) &&
         inverse_pair(qInv.get(), q.get(), p.get(), ctx.get());
}

Bytes plain_key_public_exponent(std::span<const std::uint8_t> nLe, std::span<const std::uint8_t> dLe,
                                std::span<const std::uint8_t> pLe,
                                std::span<const std::uint8_t> qLe) {
  BnCtx ctx(BN_CTX_new());
  require(ctx != nullptr);
  Bn n = from_le(nLe), d = from_le(dLe), p = from_le(pLe), q = from_le(qLe);
  if (!distinct_primes_with_product(n.get(), p.get(), q.get(), ctx.get())) return {};
  Bn p1 = fresh(), q1 = fresh(), phi = fresh();
  require(BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
          BN_sub(q1.get(), q.get(), BN_value_one()) == 1 &&
          BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) == 1);
  if (BN_is_one(phi.get()) || BN_is_zero(d.get())) return {};
  Bn e(BN_mod_inverse(nullptr, d.get(), phi.get(), ctx.get()));
  if (!e) {
    ERR_clear_error();  // the failed inverse leaves its reason queued
    return {};
  }
  return to_le(e.get());
}

}  // namespace ref
