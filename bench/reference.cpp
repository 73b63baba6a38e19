#include "bench/reference.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

namespace qiv::bench {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "benchmark set-up failed: %s\n", what);
  std::abort();
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

Digits random_modulus(std::uint32_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Digits m(n);
  for (auto& d : m) d = static_cast<std::uint32_t>(gen());
  m.front() |= 1u;
  m.back() |= 0x80000000u;
  return m;
}

Digits random_below(const Digits& m, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Digits a(m.size());
  for (auto& d : a) d = static_cast<std::uint32_t>(gen());
  // The top digit of m is at least 2^31, so this is below it and a < m whatever lies under it.
  a.back() = static_cast<std::uint32_t>(a.back() % m.back());
  return a;
}

Owned<BIGNUM> to_bn(const std::uint32_t* digits, std::uint32_t n) {
  Bytes le(4 * std::size_t{n});
  for (std::size_t i = 0; i < le.size(); ++i) {
    le[i] = static_cast<std::uint8_t>(digits[i / 4] >> (8 * (i % 4)));
  }
  Owned<BIGNUM> bn(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr));
  require(bn != nullptr, "BN_lebin2bn");
  return bn;
}

Digits to_digits(const BIGNUM* bn, std::uint32_t n) {
  Bytes le(4 * std::size_t{n});
  require(BN_bn2lebinpad(bn, le.data(), static_cast<int>(le.size())) >= 0,
          "number longer than its digit count");
  Digits digits(n);
  for (std::size_t i = 0; i < le.size(); ++i) {
    digits[i / 4] |= static_cast<std::uint32_t>(le[i]) << (8 * (i % 4));
  }
  return digits;
}

Bytes to_octets(const std::uint32_t* digits, std::uint32_t n) {
  Bytes be(4 * std::size_t{n});
  for (std::size_t i = 0; i < be.size(); ++i) {
    be[be.size() - 1 - i] = static_cast<std::uint8_t>(digits[i / 4] >> (8 * (i % 4)));
  }
  return be;
}

Digits from_octets(const Bytes& be, std::uint32_t n) {
  require(be.size() <= 4 * std::size_t{n}, "octet string longer than its digit count");
  Digits digits(n);
  for (std::size_t i = 0; i < be.size(); ++i) {
    digits[i / 4] |= static_cast<std::uint32_t>(be[be.size() - 1 - i]) << (8 * (i % 4));
  }
  return digits;
}

namespace {

Owned<BIGNUM> get_factor(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  require(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
  return Owned<BIGNUM>(bn);
}

void put(std::uint32_t* field, std::uint32_t* count, const BIGNUM* value, std::uint32_t n) {
  const Digits digits = to_digits(value, n);
  std::copy(digits.begin(), digits.end(), field);
  *count = n;
}

Owned<EVP_PKEY> generate(int bits, std::uint32_t e) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> bn_e(BN_new());
  require(ctx && bn_e && BN_set_word(bn_e.get(), e) == 1, "exponent");
  require(EVP_PKEY_keygen_init(ctx.get()) == 1, "EVP_PKEY_keygen_init");
  require(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1, "keygen bits");
  require(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), bn_e.get()) == 1, "keygen pubexp");
  EVP_PKEY* raw = nullptr;
  require(EVP_PKEY_generate(ctx.get(), &raw) == 1, "EVP_PKEY_generate");
  return Owned<EVP_PKEY>(raw);
}

// Our record from the primes: the layout QIV_RSA_KeyGen produces (p > q, d modulo phi rather
// than OpenSSL's lcm, every half-size value k/2 digits).
QIV_RSA_PRIVATE_KEY record_from(const EVP_PKEY* key, std::uint32_t e) {
  Owned<BN_CTX> ctx(BN_CTX_new());
  Owned<BIGNUM> p = get_factor(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
  Owned<BIGNUM> q = get_factor(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
  if (BN_cmp(p.get(), q.get()) < 0) std::swap(p, q);
  Owned<BIGNUM> n(BN_new()), bn_e(BN_new()), d(BN_new()), phi(BN_new()), p1(BN_dup(p.get())),
      q1(BN_dup(q.get())), dp(BN_new()), dq(BN_new()), qinv(BN_new());
  require(ctx && n && bn_e && d && phi && p1 && q1 && dp && dq && qinv, "BN_new");
  bool ok = BN_set_word(bn_e.get(), e) == 1 && BN_sub_word(p1.get(), 1) == 1 &&
            BN_sub_word(q1.get(), 1) == 1 && BN_mul(n.get(), p.get(), q.get(), ctx.get()) == 1 &&
            BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) == 1 &&
            BN_mod_inverse(d.get(), bn_e.get(), phi.get(), ctx.get()) != nullptr &&
            BN_mod(dp.get(), d.get(), p1.get(), ctx.get()) == 1 &&
            BN_mod(dq.get(), d.get(), q1.get(), ctx.get()) == 1 &&
            BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) != nullptr;
  require(ok, "key arithmetic");

  const auto k = static_cast<std::uint32_t>((BN_num_bits(n.get()) + 31) / 32);
  QIV_RSA_PRIVATE_KEY rec{};
  put(rec.n, &rec.n_count, n.get(), k);
  put(rec.e, &rec.e_count, bn_e.get(), 1);
  put(rec.d, &rec.d_count, d.get(), k);
  put(rec.p, &rec.p_count, p.get(), k / 2);
  put(rec.q, &rec.q_count, q.get(), k / 2);
  put(rec.dP, &rec.dP_count, dp.get(), k / 2);
  put(rec.dQ, &rec.dQ_count, dq.get(), k / 2);
  put(rec.qInv, &rec.qInv_count, qinv.get(), k / 2);
  return rec;
}

}  // namespace

Owned<EVP_PKEY> to_pkey(const QIV_RSA_PRIVATE_KEY& key, bool crt) {
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> bld(OSSL_PARAM_BLD_new(),
                                                                      OSSL_PARAM_BLD_free);
  require(bld != nullptr, "OSSL_PARAM_BLD_new");
  std::vector<Owned<BIGNUM>> keep;
  auto push = [&](const char* name, const std::uint32_t* digits, std::uint32_t n) {
    keep.push_back(to_bn(digits, n));
    require(OSSL_PARAM_BLD_push_BN(bld.get(), name, keep.back().get()) == 1, name);
  };
  push(OSSL_PKEY_PARAM_RSA_N, key.n, key.n_count);
  push(OSSL_PKEY_PARAM_RSA_E, key.e, key.e_count);
  push(OSSL_PKEY_PARAM_RSA_D, key.d, key.d_count);
  if (crt) {
    push(OSSL_PKEY_PARAM_RSA_FACTOR1, key.p, key.p_count);
    push(OSSL_PKEY_PARAM_RSA_FACTOR2, key.q, key.q_count);
    push(OSSL_PKEY_PARAM_RSA_EXPONENT1, key.dP, key.dP_count);
    push(OSSL_PKEY_PARAM_RSA_EXPONENT2, key.dQ, key.dQ_count);
    push(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.qInv, key.qInv_count);
  }
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(bld.get()),
                                                                 OSSL_PARAM_free);
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  require(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1, "EVP_PKEY_fromdata_init");
  EVP_PKEY* raw = nullptr;
  require(EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) == 1,
          "EVP_PKEY_fromdata");
  return Owned<EVP_PKEY>(raw);
}

KeyPair make_key(int bits, std::uint32_t e, bool crt) {
  const Owned<EVP_PKEY> generated = generate(bits, e);
  KeyPair pair;
  pair.ours = record_from(generated.get(), e);
  pair.openssl = to_pkey(pair.ours, crt);
  return pair;
}

Owned<EVP_PKEY_CTX> pss_context(EVP_PKEY* key, bool sign) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  require(ctx != nullptr, "EVP_PKEY_CTX_new_from_pkey");
  require((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) == 1,
          "PSS init");
  require(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1, "PSS padding");
  require(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1, "PSS digest");
  require(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) == 1, "MGF1 digest");
  require(EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 20) == 1, "PSS salt length");
  return ctx;
}

}  // namespace qiv::bench
