// Test keys from OpenSSL big numbers.
#include "tests/sbl/test_keys.h"
#include "tests/support/openssl_handles.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <tuple>

namespace {

using qiv::test::BnPtr;
using qiv::test::BnCtxPtr;
using qiv::test::PkeyPtr;
using qiv::test::PkeyCtxPtr;
using qiv::test::ParamBldPtr;
using qiv::test::ParamPtr;
using qiv::test::require;

BnPtr bn() {
  BnPtr b(BN_new());
  require(b != nullptr, "BN_new");
  return b;
}

Digits to_digits(const BIGNUM* b, std::uint32_t count) {
  Bytes le(4 * count);
  require(BN_bn2lebinpad(b, le.data(), static_cast<int>(le.size())) >= 0, "BN too long");
  return digits_of(le);
}

BnPtr to_bn(const Digits& d) {
  const Bytes le = le_bytes(d);
  BnPtr b(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr));
  require(b != nullptr, "BN_lebin2bn");
  return b;
}

// A prime of `bits` bits (top two bits set, so two of them multiply to exactly 2*bits bits)
// with gcd(e, p - 1) = 1.
BnPtr prime_for(int bits, const BIGNUM* e, BN_CTX* ctx) {
  for (;;) {
    BnPtr p = bn();
    BnPtr pm1 = bn();
    BnPtr g = bn();
    require(BN_generate_prime_ex(p.get(), bits, 0, nullptr, nullptr, nullptr) == 1, "prime");
    require(BN_sub(pm1.get(), p.get(), BN_value_one()) == 1, "sub");
    require(BN_gcd(g.get(), pm1.get(), e, ctx) == 1, "gcd");
    if (BN_is_one(g.get())) return p;
  }
}

TestKey make_key(std::uint32_t bits, std::uint32_t exponent) {
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr e = bn();
  require(ctx && BN_set_word(e.get(), exponent) == 1, "e");
  const int half = static_cast<int>(bits / 2);
  BnPtr p = prime_for(half, e.get(), ctx.get());
  BnPtr q = prime_for(half, e.get(), ctx.get());
  while (BN_cmp(p.get(), q.get()) == 0) q = prime_for(half, e.get(), ctx.get());
  if (BN_cmp(p.get(), q.get()) < 0) std::swap(p, q);  // the CRT recombination wants p > q

  BnPtr n = bn(), pm1 = bn(), qm1 = bn(), phi = bn(), d = bn(), dP = bn(), dQ = bn(), qInv = bn();
  require(BN_mul(n.get(), p.get(), q.get(), ctx.get()) == 1 &&
              BN_num_bits(n.get()) == static_cast<int>(bits),
          "n");
  require(BN_sub(pm1.get(), p.get(), BN_value_one()) == 1 &&
              BN_sub(qm1.get(), q.get(), BN_value_one()) == 1 &&
              BN_mul(phi.get(), pm1.get(), qm1.get(), ctx.get()) == 1,
          "phi");
  require(BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get()) != nullptr, "d");
  require(BN_nnmod(dP.get(), d.get(), pm1.get(), ctx.get()) == 1 &&
              BN_nnmod(dQ.get(), d.get(), qm1.get(), ctx.get()) == 1,
          "dP dQ");
  require(BN_mod_inverse(qInv.get(), q.get(), p.get(), ctx.get()) != nullptr, "qInv");

  TestKey key;
  key.digits = bits / 32;
  key.exponent = exponent;
  const std::uint32_t k = key.digits;
  const std::uint32_t h = (k + 1) / 2;
  key.n = to_digits(n.get(), k);
  key.d = to_digits(d.get(), k);
  key.p = to_digits(p.get(), h);
  key.q = to_digits(q.get(), h);
  key.dP = to_digits(dP.get(), h);
  key.dQ = to_digits(dQ.get(), h);
  key.qInv = to_digits(qInv.get(), h);
  return key;
}

PkeyPtr private_pkey(const TestKey& key) {
  BnPtr n = to_bn(key.n), d = to_bn(key.d), p = to_bn(key.p), q = to_bn(key.q), dP = to_bn(key.dP),
        dQ = to_bn(key.dQ), qInv = to_bn(key.qInv), e = bn();
  require(BN_set_word(e.get(), key.exponent) == 1, "e");
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  require(bld && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dP.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dQ.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qInv.get()) == 1,
          "param build");
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  require(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) == 1,
          "fromdata");
  return PkeyPtr(raw);
}

}  // namespace

Bytes le_bytes(const Digits& digits) {
  Bytes out;
  out.reserve(4 * digits.size());
  for (std::uint32_t v : digits) {
    for (int shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  return out;
}

Digits digits_of(std::span<const std::uint8_t> le) {
  Digits out(le.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = std::uint32_t{le[4 * i]} | std::uint32_t{le[4 * i + 1]} << 8 |
             std::uint32_t{le[4 * i + 2]} << 16 | std::uint32_t{le[4 * i + 3]} << 24;
  }
  return out;
}

BlobComponent component(const Digits& digits) {
  return {static_cast<std::uint32_t>(4 * digits.size()), le_bytes(digits)};
}

Bytes make_blob(const std::vector<BlobComponent>& components) {
  Bytes out;
  for (const BlobComponent& c : components) {
    const Bytes len = le_bytes({c.lengthField});
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  }
  return out;
}

Bytes TestKey::modulus_le() const {
  return le_bytes(n);
}

Bytes TestKey::crt_blob() const {
  return make_blob({component(n), component({exponent}), component(d), component(p), component(q),
                    component(dP), component(dQ), component(qInv)});
}

Bytes TestKey::plain_blob() const {
  return make_blob({component(n), component(d), component(p), component(q), component(dP),
                    component(dQ), component(qInv)});
}

const TestKey& test_key(std::uint32_t bits, std::uint32_t e, int slot) {
  static std::map<std::tuple<std::uint32_t, std::uint32_t, int>, TestKey> cache;
  auto [it, fresh] = cache.try_emplace({bits, e, slot});
  if (fresh) it->second = make_key(bits, e);
  return it->second;
}

Bytes openssl_pss_sign(const TestKey& key, std::span<const std::uint8_t> mHash) {
  PkeyPtr pkey = private_pkey(key);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  require(ctx && EVP_PKEY_sign_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 20) == 1,
          "PSS sign set-up");
  std::size_t len = 0;
  require(EVP_PKEY_sign(ctx.get(), nullptr, &len, mHash.data(), mHash.size()) == 1, "size");
  Bytes sig(len);
  require(EVP_PKEY_sign(ctx.get(), sig.data(), &len, mHash.data(), mHash.size()) == 1, "sign");
  sig.resize(len);
  // Big-endian octet string -> stored form, padded to the modulus length.
  Bytes le(sig.rbegin(), sig.rend());
  le.resize(4 * key.digits, 0);
  return le;
}
