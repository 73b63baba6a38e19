// Test keys from OpenSSL big numbers.
#include "tests/sbl/test_keys.h"

#include <map>
#include <tuple>

#include "tests/support/reference.h"

namespace {

using ref::Bn;
using ref::require;

// A prime of `bits` bits (top two bits set, so two of them multiply to exactly 2*bits bits)
// with gcd(e, p - 1) = 1.
Bn prime_for(int bits, const BIGNUM* e, BN_CTX* ctx) {
  for (;;) {
    Bn p = ref::new_bn();
    const Bn pm1 = ref::new_bn();
    const Bn g = ref::new_bn();
    require(BN_generate_prime_ex(p.get(), bits, 0, nullptr, nullptr, nullptr) == 1, "prime");
    require(BN_sub(pm1.get(), p.get(), BN_value_one()) == 1, "sub");
    require(BN_gcd(g.get(), pm1.get(), e, ctx) == 1, "gcd");
    if (BN_is_one(g.get())) return p;
  }
}

Digits field(const std::uint32_t* digits, std::uint32_t count) {
  return Digits(digits, digits + count);
}

TestKey make_key(std::uint32_t bits, std::uint32_t exponent) {
  const ref::BnCtx ctx = ref::new_bn_ctx();
  const Bn e = ref::new_bn();
  require(BN_set_word(e.get(), exponent) == 1, "e");
  const int half = static_cast<int>(bits / 2);
  const Bn p = prime_for(half, e.get(), ctx.get());
  Bn q = prime_for(half, e.get(), ctx.get());
  while (BN_cmp(p.get(), q.get()) == 0) q = prime_for(half, e.get(), ctx.get());

  TestKey key;
  key.record = ref::record_from_primes(p.get(), q.get(), exponent);
  const QIV_RSA_PRIVATE_KEY& r = key.record;
  require(r.n_count == bits / 32 && (r.n[r.n_count - 1] >> 31) == 1, "n of exactly `bits` bits");
  key.digits = r.n_count;
  key.exponent = exponent;
  key.n = field(r.n, r.n_count);
  key.d = field(r.d, r.d_count);
  key.p = field(r.p, r.p_count);
  key.q = field(r.q, r.q_count);
  key.dP = field(r.dP, r.dP_count);
  key.dQ = field(r.dQ, r.dQ_count);
  key.qInv = field(r.qInv, r.qInv_count);
  return key;
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
  const ref::Pkey pkey = ref::to_pkey(key.record, ref::KeyParts::kPrivateCrt);
  const Bytes sig = ref::openssl_pss_sign(pkey.get(), mHash, 20);
  // Big-endian octet string -> stored form, padded to the modulus length.
  Bytes le(sig.rbegin(), sig.rend());
  le.resize(4 * key.digits, 0);
  return le;
}
