#include "tests/support/reference.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace ref {
namespace {

int as_int(std::size_t n) {
  return static_cast<int>(n);
}

// value as `count` digits into a record field.
void put(std::uint32_t* field, std::uint32_t* count, const BIGNUM* value, std::uint32_t n) {
  const Digits digits = to_digits(value, n);
  std::copy(digits.begin(), digits.end(), field);
  *count = n;
}

struct Param {
  const char* name;
  const BIGNUM* value;
};

Pkey rsa_pkey(const std::vector<Param>& params, int selection) {
  Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  require(bld != nullptr, "OSSL_PARAM_BLD_new");
  for (const Param& p : params) {
    require(OSSL_PARAM_BLD_push_BN(bld.get(), p.name, p.value) == 1, p.name);
  }
  const Owned<OSSL_PARAM> built(OSSL_PARAM_BLD_to_param(bld.get()));
  const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  require(built && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &raw, selection, built.get()) == 1,
          "EVP_PKEY_fromdata");
  return Pkey(raw);
}

Bn get_param(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  require(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
  return Bn(bn);
}

Bytes aes_cbc(bool encrypt, ByteView key, ByteView iv, ByteView data) {
  require((key.size() == 16 || key.size() == 24 || key.size() == 32) && iv.size() == 16 &&
              data.size() % 16 == 0,
          "AES-CBC key, IV or length");
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                                                : EVP_aes_256_cbc();
  const Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  Bytes out(data.size() + 16);
  int n1 = 0;
  int n2 = 0;
  require(ctx &&
              EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
              EVP_CipherUpdate(ctx.get(), out.data(), &n1, data.data(), as_int(data.size())) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), out.data() + n1, &n2) == 1,
          "AES-CBC");
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

// x * y == 1 (mod m), for m > 1.
bool inverse_pair(const BIGNUM* x, const BIGNUM* y, const BIGNUM* m, BN_CTX* ctx) {
  const Bn r = new_bn();
  require(BN_mod_mul(r.get(), x, y, m, ctx) == 1, "BN_mod_mul");
  return BN_is_one(r.get());
}

bool distinct_primes_with_product(const BIGNUM* n, const BIGNUM* p, const BIGNUM* q, BN_CTX* ctx) {
  if (BN_cmp(p, q) == 0 || BN_is_zero(p) || BN_is_zero(q)) return false;
  const Bn pq = new_bn();
  require(BN_mul(pq.get(), p, q, ctx) == 1, "BN_mul");
  if (BN_cmp(pq.get(), n) != 0) return false;
  return BN_check_prime(p, ctx, nullptr) == 1 && BN_check_prime(q, ctx, nullptr) == 1;
}

}  // namespace

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("reference set-up failed: ") + what);
}

Bn new_bn() {
  Bn bn(BN_new());
  require(bn != nullptr, "BN_new");
  return bn;
}

BnCtx new_bn_ctx() {
  BnCtx ctx(BN_CTX_new());
  require(ctx != nullptr, "BN_CTX_new");
  return ctx;
}

Bn to_bn(const std::uint32_t* digits, std::size_t n) {
  Bytes le(4 * n);
  for (std::size_t i = 0; i < le.size(); ++i) {
    le[i] = static_cast<std::uint8_t>(digits[i / 4] >> (8 * (i % 4)));
  }
  return bn_from_le(le);
}

Bn to_bn(const Digits& digits) {
  return to_bn(digits.data(), digits.size());
}

Digits to_digits(const BIGNUM* bn, std::size_t n) {
  Bytes le(4 * n);
  require(BN_bn2lebinpad(bn, le.data(), as_int(le.size())) >= 0, "number longer than its digits");
  Digits digits(n);
  for (std::size_t i = 0; i < le.size(); ++i) {
    digits[i / 4] |= static_cast<std::uint32_t>(le[i]) << (8 * (i % 4));
  }
  return digits;
}

Bn bn_from_le(ByteView stored) {
  Bn bn(BN_lebin2bn(stored.data(), as_int(stored.size()), nullptr));
  require(bn != nullptr, "BN_lebin2bn");
  return bn;
}

Bytes le_from_bn(const BIGNUM* bn) {
  Bytes out(static_cast<std::size_t>((BN_num_bytes(bn) + 3) / 4 * 4), 0);
  if (!out.empty()) require(BN_bn2lebinpad(bn, out.data(), as_int(out.size())) >= 0, "bn2le");
  return out;
}

Bytes to_octets(const std::uint32_t* digits, std::size_t n) {
  Bytes be(4 * n);
  for (std::size_t i = 0; i < be.size(); ++i) {
    be[be.size() - 1 - i] = static_cast<std::uint8_t>(digits[i / 4] >> (8 * (i % 4)));
  }
  return be;
}

Digits from_octets(ByteView octets, std::size_t n) {
  Digits digits(n);
  for (std::size_t i = 0; i < octets.size(); ++i) {
    const std::uint8_t byte = octets[octets.size() - 1 - i];
    if (i < 4 * n) {
      digits[i / 4] |= static_cast<std::uint32_t>(byte) << (8 * (i % 4));
    } else {
      require(byte == 0, "number longer than its digits");  // leading zeros are no part of it
    }
  }
  return digits;
}

Digits from_octets(ByteView octets) {
  return from_octets(octets, (octets.size() + 3) / 4);
}

Digits digits_from_hex(std::string_view hex) {
  BIGNUM* raw = nullptr;
  require(BN_hex2bn(&raw, std::string(hex).c_str()) != 0, "hex");
  const Bn bn(raw);
  return to_digits(bn.get(), (hex.size() + 7) / 8);
}

Sha1 sha1(ByteView first, ByteView second) {
  Sha1 out{};
  const Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  require(ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx.get(), first.data(), first.size()) == 1 &&
              EVP_DigestUpdate(ctx.get(), second.data(), second.size()) == 1 &&
              EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr) == 1,
          "SHA-1");
  return out;
}

Sha1 hmac_sha1(ByteView key, ByteView data) {
  Sha1 out{};
  unsigned int len = 0;
  static const std::uint8_t kNoKey = 0;  // to OpenSSL a null key is no key, not an empty one
  require(HMAC(EVP_sha1(), key.empty() ? &kNoKey : key.data(), as_int(key.size()), data.data(),
               data.size(), out.data(), &len) != nullptr &&
              len == out.size(),
          "HMAC-SHA1");
  return out;
}

Bytes aes_cbc_encrypt(ByteView key, ByteView iv, ByteView data) {
  return aes_cbc(true, key, iv, data);
}

Bytes aes_cbc_decrypt(ByteView key, ByteView iv, ByteView blocks) {
  return aes_cbc(false, key, iv, blocks);
}

QIV_RSA_PRIVATE_KEY record_from_primes(const BIGNUM* p_in, const BIGNUM* q_in, std::uint32_t e) {
  const BnCtx ctx = new_bn_ctx();
  const bool swap = BN_cmp(p_in, q_in) < 0;
  const Bn p(BN_dup(swap ? q_in : p_in)), q(BN_dup(swap ? p_in : q_in));
  const Bn n = new_bn(), bn_e = new_bn(), d = new_bn(), phi = new_bn(), p1 = new_bn(),
           q1 = new_bn(), dp = new_bn(), dq = new_bn(), qinv = new_bn();
  require(p && q && BN_set_word(bn_e.get(), e) == 1 &&
              BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
              BN_sub(q1.get(), q.get(), BN_value_one()) == 1 &&
              BN_mul(n.get(), p.get(), q.get(), ctx.get()) == 1 &&
              BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) == 1,
          "n and phi");
  require(BN_mod_inverse(d.get(), bn_e.get(), phi.get(), ctx.get()) != nullptr, "d");
  require(BN_nnmod(dp.get(), d.get(), p1.get(), ctx.get()) == 1 &&
              BN_nnmod(dq.get(), d.get(), q1.get(), ctx.get()) == 1,
          "dP and dQ");
  require(BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) != nullptr, "qInv");

  const auto k = static_cast<std::uint32_t>((BN_num_bits(n.get()) + 31) / 32);
  const std::uint32_t h = (k + 1) / 2;
  require(k <= QIV_RSA_MAX_DIGITS && h <= QIV_RSA_MAX_HALF_DIGITS, "key too large for a record");
  QIV_RSA_PRIVATE_KEY key{};
  put(key.n, &key.n_count, n.get(), k);
  put(key.e, &key.e_count, bn_e.get(), 1);
  put(key.d, &key.d_count, d.get(), k);
  put(key.p, &key.p_count, p.get(), h);
  put(key.q, &key.q_count, q.get(), h);
  put(key.dP, &key.dP_count, dp.get(), h);
  put(key.dQ, &key.dQ_count, dq.get(), h);
  put(key.qInv, &key.qInv_count, qinv.get(), h);
  return key;
}

QIV_RSA_PRIVATE_KEY openssl_generated_key(int bits, std::uint32_t e) {
  const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  const Bn bn_e = new_bn();
  require(ctx && BN_set_word(bn_e.get(), e) == 1, "exponent");
  require(EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), bn_e.get()) == 1,
          "key generation set-up");
  EVP_PKEY* raw = nullptr;
  require(EVP_PKEY_generate(ctx.get(), &raw) == 1, "EVP_PKEY_generate");
  const Pkey key(raw);
  return record_from_primes(get_param(raw, OSSL_PKEY_PARAM_RSA_FACTOR1).get(),
                            get_param(raw, OSSL_PKEY_PARAM_RSA_FACTOR2).get(), e);
}

Pkey to_pkey(const QIV_RSA_PRIVATE_KEY& key, KeyParts parts) {
  const struct {
    const char* name;
    const std::uint32_t* digits;
    std::uint32_t count;
  } fields[] = {
      {OSSL_PKEY_PARAM_RSA_N, key.n, key.n_count},
      {OSSL_PKEY_PARAM_RSA_E, key.e, key.e_count},
      {OSSL_PKEY_PARAM_RSA_D, key.d, key.d_count},
      {OSSL_PKEY_PARAM_RSA_FACTOR1, key.p, key.p_count},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, key.q, key.q_count},
      {OSSL_PKEY_PARAM_RSA_EXPONENT1, key.dP, key.dP_count},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, key.dQ, key.dQ_count},
      {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.qInv, key.qInv_count},
  };
  const std::size_t used = parts == KeyParts::kPublic ? 2 : parts == KeyParts::kPrivate ? 3 : 8;
  std::vector<Bn> values;  // the builder refers to them until the key is made
  std::vector<Param> params;
  for (std::size_t i = 0; i < used; ++i) {
    values.push_back(to_bn(fields[i].digits, fields[i].count));
    params.push_back({fields[i].name, values.back().get()});
  }
  return rsa_pkey(params, parts == KeyParts::kPublic ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR);
}

bool crt_key_consistent(const CrtParts& key) {
  const BnCtx ctx = new_bn_ctx();
  const Bn n = bn_from_le(key.n), e = bn_from_le(key.e), p = bn_from_le(key.p),
           q = bn_from_le(key.q);
  const Bn dP = bn_from_le(key.dP), dQ = bn_from_le(key.dQ), qInv = bn_from_le(key.qInv);
  if (!distinct_primes_with_product(n.get(), p.get(), q.get(), ctx.get())) return false;
  const Bn p1 = new_bn(), q1 = new_bn();
  require(BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
              BN_sub(q1.get(), q.get(), BN_value_one()) == 1,
          "p-1 and q-1");
  if (BN_is_one(p1.get()) || BN_is_one(q1.get())) return false;  // p or q is 2
  return inverse_pair(e.get(), dP.get(), p1.get(), ctx.get()) &&
         inverse_pair(e.get(), dQ.get(), q1.get(), ctx.get()) &&
         inverse_pair(qInv.get(), q.get(), p.get(), ctx.get());
}

Bytes plain_key_public_exponent(ByteView nLe, ByteView dLe, ByteView pLe, ByteView qLe) {
  const BnCtx ctx = new_bn_ctx();
  const Bn n = bn_from_le(nLe), d = bn_from_le(dLe), p = bn_from_le(pLe), q = bn_from_le(qLe);
  if (!distinct_primes_with_product(n.get(), p.get(), q.get(), ctx.get())) return {};
  const Bn p1 = new_bn(), q1 = new_bn(), phi = new_bn();
  require(BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
              BN_sub(q1.get(), q.get(), BN_value_one()) == 1 &&
              BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) == 1,
          "phi");
  if (BN_is_one(phi.get()) || BN_is_zero(d.get())) return {};
  const Bn e(BN_mod_inverse(nullptr, d.get(), phi.get(), ctx.get()));
  if (!e) {
    ERR_clear_error();  // the failed inverse leaves its reason queued
    return {};
  }
  return le_from_bn(e.get());
}

PkeyCtx pss_context(EVP_PKEY* key, int salt_len, bool sign) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  require(ctx != nullptr, "EVP_PKEY_CTX_new_from_pkey");
  require((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), salt_len) == 1,
          "PSS set-up");
  return ctx;
}

Bytes openssl_pss_sign(EVP_PKEY* key, ByteView digest, int salt_len) {
  const PkeyCtx ctx = pss_context(key, salt_len, true);
  std::size_t len = 0;
  require(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) == 1, "size");
  Bytes signature(len);
  require(EVP_PKEY_sign(ctx.get(), signature.data(), &len, digest.data(), digest.size()) == 1,
          "EVP_PKEY_sign");
  signature.resize(len);
  return signature;
}

bool openssl_pss_verify(EVP_PKEY* key, ByteView digest, ByteView signature, int salt_len) {
  const PkeyCtx ctx = pss_context(key, salt_len, false);
  return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                         digest.size()) == 1;
}

bool openssl_pss_verify(ByteView modulus, std::uint32_t e, ByteView mHash, ByteView signature) {
  const Bn n = bn_from_le(modulus);
  const Bn bn_e = new_bn();
  require(BN_set_word(bn_e.get(), e) == 1, "exponent");
  const Pkey key = rsa_pkey({{OSSL_PKEY_PARAM_RSA_N, n.get()}, {OSSL_PKEY_PARAM_RSA_E, bn_e.get()}},
                            EVP_PKEY_PUBLIC_KEY);
  const Bytes octets(signature.rbegin(), signature.rend());
  return openssl_pss_verify(key.get(), mHash, octets, 20);
}

bool pss_verify(ByteView modulus, ByteView signature, ByteView exponent, ByteView mHash) {
  constexpr std::size_t kHash = 20;
  const std::size_t k = modulus.size() / 4;
  require(modulus.size() % 4 == 0 && signature.size() == modulus.size(), "PSS input sizes");
  if (k < 6 || k > 64 || (modulus.back() & 0x80) == 0) return false;

  const BnCtx ctx = new_bn_ctx();
  const Bn n = bn_from_le(modulus), s = bn_from_le(signature), e = bn_from_le(exponent);
  const Bn m = new_bn();
  require(BN_mod_exp(m.get(), s.get(), e.get(), n.get(), ctx.get()) == 1, "BN_mod_exp");

  const std::size_t emLen = 4 * k;
  Bytes em(emLen);
  require(BN_bn2binpad(m.get(), em.data(), as_int(emLen)) == as_int(emLen), "EM");
  if (em[emLen - 1] != 0xBC) return false;

  const std::size_t dbLen = emLen - kHash - 1;
  const ByteView h(em.data() + dbLen, kHash);
  // MGF1-SHA1: block i is SHA-1(H || i as 4 big-endian bytes).
  Bytes db(em.begin(), em.begin() + static_cast<std::ptrdiff_t>(dbLen));
  for (std::size_t i = 0; i * kHash < dbLen; ++i) {
    const std::uint8_t counter[4] = {
        static_cast<std::uint8_t>(i >> 24), static_cast<std::uint8_t>(i >> 16),
        static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
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

bool sanitized() {
  const char* flag = std::getenv("QIV_SANITIZED");
  return flag != nullptr && std::string(flag) == "1";
}

}  // namespace ref
