#include "tests/rsa/reference.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "random/random.h"
#include "tests/support/fixed_noise.h"

namespace qiv::test {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

Bn get_param(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  check(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
  return Bn(bn);
}

void put(std::uint32_t* field, std::uint32_t* count, const BIGNUM* value, std::uint32_t n) {
  const Digits digits = to_digits(value, n);
  std::copy(digits.begin(), digits.end(), field);
  *count = n;
}

PkeyCtx pss_context(EVP_PKEY* key, int salt_len, bool sign) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  check(ctx != nullptr, "EVP_PKEY_CTX_new");
  check((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) == 1, "init");
  check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1, "padding");
  check(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1, "md");
  check(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) == 1, "mgf1");
  check(EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), salt_len) == 1, "saltlen");
  return ctx;
}

}  // namespace

Bn to_bn(const std::uint32_t* digits, std::uint32_t n) {
  Bytes le;
  for (std::uint32_t i = 0; i < n; ++i) {
    for (int b = 0; b < 4; ++b) le.push_back(static_cast<std::uint8_t>(digits[i] >> (8 * b)));
  }
  return Bn(BN_lebin2bn(le.data(), static_cast<int>(le.size()), nullptr));
}

Digits to_digits(const BIGNUM* bn, std::uint32_t n) {
  Bytes le(4 * n);
  check(BN_bn2lebinpad(bn, le.data(), static_cast<int>(le.size())) >= 0, "value too long");
  Digits digits(n);
  for (std::uint32_t i = 0; i < 4 * n; ++i) {
    digits[i / 4] |= static_cast<std::uint32_t>(le[i]) << (8 * (i % 4));
  }
  return digits;
}

Digits digits_from_be(const Bytes& be) {
  Bn bn(BN_bin2bn(be.data(), static_cast<int>(be.size()), nullptr));
  return to_digits(bn.get(), static_cast<std::uint32_t>((be.size() + 3) / 4));
}

Bytes be_from_digits(const std::uint32_t* digits, std::uint32_t n) {
  Bytes be(4 * n);
  check(BN_bn2binpad(to_bn(digits, n).get(), be.data(), static_cast<int>(be.size())) >= 0,
        "bn2bin");
  return be;
}

Digits digits_from_hex(std::string_view be_hex) {
  BIGNUM* bn = nullptr;
  check(BN_hex2bn(&bn, std::string(be_hex).c_str()) != 0, "hex");
  Bn owned(bn);
  return to_digits(bn, static_cast<std::uint32_t>((be_hex.size() + 7) / 8));
}

QIV_RSA_PRIVATE_KEY record_from_primes(const BIGNUM* p_in, const BIGNUM* q_in, std::uint32_t e) {
  std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  const bool swap = BN_cmp(p_in, q_in) < 0;
  Bn p(BN_dup(swap ? q_in : p_in)), q(BN_dup(swap ? p_in : q_in));
  Bn n(BN_new()), bn_e(BN_new()), d(BN_new()), phi(BN_new()), p1(BN_dup(p.get())),
      q1(BN_dup(q.get())), dp(BN_new()), dq(BN_new()), qinv(BN_new());
  BN_set_word(bn_e.get(), e);
  BN_sub_word(p1.get(), 1);
  BN_sub_word(q1.get(), 1);
  BN_mul(n.get(), p.get(), q.get(), ctx.get());
  BN_mul(phi.get(), p1.get(), q1.get(), ctx.get());
  check(BN_mod_inverse(d.get(), bn_e.get(), phi.get(), ctx.get()) != nullptr, "d");
  BN_mod(dp.get(), d.get(), p1.get(), ctx.get());
  BN_mod(dq.get(), d.get(), q1.get(), ctx.get());
  check(BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) != nullptr, "qInv");

  const auto k = static_cast<std::uint32_t>((BN_num_bits(n.get()) + 31) / 32);
  QIV_RSA_PRIVATE_KEY key{};
  put(key.n, &key.n_count, n.get(), k);
  put(key.e, &key.e_count, bn_e.get(), 1);
  put(key.d, &key.d_count, d.get(), k);
  put(key.p, &key.p_count, p.get(), k / 2);
  put(key.q, &key.q_count, q.get(), k / 2);
  put(key.dP, &key.dP_count, dp.get(), k / 2);
  put(key.dQ, &key.dQ_count, dq.get(), k / 2);
  put(key.qInv, &key.qInv_count, qinv.get(), k / 2);
  return key;
}

QIV_RSA_PRIVATE_KEY openssl_generated_key(int bits, std::uint32_t e) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Bn bn_e(BN_new());
  BN_set_word(bn_e.get(), e);
  check(EVP_PKEY_keygen_init(ctx.get()) == 1, "keygen_init");
  check(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1, "bits");
  check(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), bn_e.get()) == 1, "pubexp");
  EVP_PKEY* raw = nullptr;
  check(EVP_PKEY_generate(ctx.get(), &raw) == 1, "generate");
  Pkey pkey(raw);
  return record_from_primes(get_param(raw, OSSL_PKEY_PARAM_RSA_FACTOR1).get(),
                            get_param(raw, OSSL_PKEY_PARAM_RSA_FACTOR2).get(), e);
}

Pkey to_pkey(const QIV_RSA_PRIVATE_KEY& key, bool with_private) {
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> bld(OSSL_PARAM_BLD_new(),
                                                                      OSSL_PARAM_BLD_free);
  std::vector<Bn> keep;
  auto push = [&](const char* name, const std::uint32_t* digits, std::uint32_t n) {
    keep.push_back(to_bn(digits, n));
    check(OSSL_PARAM_BLD_push_BN(bld.get(), name, keep.back().get()) == 1, name);
  };
  push(OSSL_PKEY_PARAM_RSA_N, key.n, key.n_count);
  push(OSSL_PKEY_PARAM_RSA_E, key.e, key.e_count);
  if (with_private) {
    push(OSSL_PKEY_PARAM_RSA_D, key.d, key.d_count);
    push(OSSL_PKEY_PARAM_RSA_FACTOR1, key.p, key.p_count);
    push(OSSL_PKEY_PARAM_RSA_FACTOR2, key.q, key.q_count);
    push(OSSL_PKEY_PARAM_RSA_EXPONENT1, key.dP, key.dP_count);
    push(OSSL_PKEY_PARAM_RSA_EXPONENT2, key.dQ, key.dQ_count);
    push(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.qInv, key.qInv_count);
  }
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(bld.get()),
                                                                 OSSL_PARAM_free);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  check(EVP_PKEY_fromdata_init(ctx.get()) == 1, "fromdata_init");
  check(EVP_PKEY_fromdata(ctx.get(), &raw, with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) == 1,
        "fromdata");
  return Pkey(raw);
}

bool openssl_pss_verify(EVP_PKEY* key, const Bytes& digest, const Bytes& signature, int salt_len) {
  PkeyCtx ctx = pss_context(key, salt_len, false);
  return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                         digest.size()) == 1;
}

Bytes openssl_pss_sign(EVP_PKEY* key, const Bytes& digest, int salt_len) {
  PkeyCtx ctx = pss_context(key, salt_len, true);
  std::size_t len = 0;
  check(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) == 1, "size");
  Bytes signature(len);
  check(EVP_PKEY_sign(ctx.get(), signature.data(), &len, digest.data(), digest.size()) == 1,
        "sign");
  signature.resize(len);
  return signature;
}

PssVectorSet read_pss_vectors(int number) {
  std::ifstream in(std::string(QIV_VECTORS_DIR) + "/asymmetric/RSA/pkcs-1v2-1d2-vec/pss-vect.txt");
  check(in.good(), "pss-vect.txt not readable");
  // The file is a run of "# Label:" lines, each followed by lines of hex bytes. Inside a key
  // set, "Exponent" names e in the public part and d after "Public exponent".
  const std::string start = "# Example " + std::to_string(number) + ":";
  std::map<std::string, Bytes> fields;
  PssVectorSet set;
  std::string line, label;
  bool inside = false;
  auto close_label = [&] {
    if (label == "Signature") {
      set.examples.push_back({fields["Message to be signed"], fields["Salt"], fields[label]});
    }
    label.clear();
  };
  while (std::getline(in, line)) {
    if (line.rfind("# Example ", 0) == 0) {
      if (inside) break;
      inside = line.rfind(start, 0) == 0;
      continue;
    }
    if (!inside) continue;
    if (line.rfind("# ", 0) == 0) {
      close_label();
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      label = line.substr(2, colon - 2);
      if (label == "Exponent" && fields.count("Public exponent") != 0) label = "d";
      fields[label].clear();
      continue;
    }
    std::istringstream hex(line);
    std::string byte;
    while (!label.empty() && hex >> byte) {
      fields[label].push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
  }
  close_label();
  check(set.examples.size() == 6, "six examples per key set");

  const Digits n = digits_from_be(fields["Modulus"]);
  const auto k = static_cast<std::uint32_t>(n.size());
  auto put_field = [&](std::uint32_t* field, std::uint32_t* count, const char* name,
                       std::uint32_t digits) {
    Bn value(BN_bin2bn(fields[name].data(), static_cast<int>(fields[name].size()), nullptr));
    put(field, count, value.get(), digits);
  };
  put_field(set.key.n, &set.key.n_count, "Modulus", k);
  put_field(set.key.e, &set.key.e_count, "Public exponent", 1);
  put_field(set.key.d, &set.key.d_count, "d", k);
  put_field(set.key.p, &set.key.p_count, "Prime 1", k / 2);
  put_field(set.key.q, &set.key.q_count, "Prime 2", k / 2);
  put_field(set.key.dP, &set.key.dP_count, "Prime exponent 1", k / 2);
  put_field(set.key.dQ, &set.key.dQ_count, "Prime exponent 2", k / 2);
  put_field(set.key.qInv, &set.key.qInv_count, "Coefficient", k / 2);
  return set;
}

Bytes sha1(const Bytes& data) {
  Bytes digest(SHA_DIGEST_LENGTH);
  SHA1(data.data(), data.size(), digest.data());
  return digest;
}

Bytes m_prime(const Bytes& mhash, const Bytes& salt) {
  Bytes m(8 + mhash.size() + salt.size(), 0);
  std::copy(mhash.begin(), mhash.end(), m.begin() + 8);
  std::copy(salt.begin(), salt.end(), m.begin() + 8 + static_cast<long>(mhash.size()));
  return m;
}

bool sanitized() {
  const char* flag = std::getenv("QIV_SANITIZED");
  return flag != nullptr && std::string(flag) == "1";
}

int scaled(int normal, int under_sanitizers) {
  return sanitized() ? under_sanitizers : normal;
}

Bytes next_generator_bytes() {
  Bytes out(40);
  QIV_SHA1_PRNG_Rand(static_cast<std::uint32_t>(out.size()), out.data());
  return out;
}

Bytes generator_after(std::uint32_t requests, std::uint32_t size) {
  qiv_test_reset_random();
  Bytes scratch(size);
  for (std::uint32_t i = 0; i < requests; ++i) QIV_SHA1_PRNG_Rand(size, scratch.data());
  return next_generator_bytes();
}

}  // namespace qiv::test
