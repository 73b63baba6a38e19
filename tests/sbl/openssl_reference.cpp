// OpenSSL-backed reference computations (test-only).
#include "tests/sbl/openssl_reference.h"
#include "tests/support/openssl_handles.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace ref {
namespace {

using qiv::test::BnPtr;
using qiv::test::PkeyPtr;
using qiv::test::PkeyCtxPtr;
using qiv::test::MdCtxPtr;
using qiv::test::CipherCtxPtr;
using qiv::test::ParamBldPtr;
using qiv::test::ParamPtr;
using qiv::test::require;

int as_int(std::size_t n) {
  return static_cast<int>(n);
}

PkeyPtr public_key(std::span<const std::uint8_t> modulusLe, std::uint32_t exponent) {
  BnPtr n(BN_lebin2bn(modulusLe.data(), as_int(modulusLe.size()), nullptr));
  BnPtr e(BN_new());
  require(n && e && BN_set_word(e.get(), exponent) == 1, "BN");
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  require(bld && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1,
          "param build");
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  require(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) == 1,
          "fromdata");
  return PkeyPtr(raw);
}

}  // namespace

Sha1 sha1(std::span<const std::uint8_t> data) {
  return sha1(data, {});
}

Sha1 sha1(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second) {
  Sha1 out{};
  MdCtxPtr ctx(EVP_MD_CTX_new());
  require(ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx.get(), first.data(), first.size()) == 1 &&
              EVP_DigestUpdate(ctx.get(), second.data(), second.size()) == 1 &&
              EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr) == 1,
          "SHA-1");
  return out;
}

Sha1 hmac_sha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
  Sha1 out{};
  unsigned int len = 0;
  require(HMAC(EVP_sha1(), key.data(), as_int(key.size()), data.data(), data.size(), out.data(),
               &len) != nullptr &&
              len == out.size(),
          "HMAC");
  return out;
}

Bytes aes128_cbc_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                         std::span<const std::uint8_t> data) {
  require(key.size() == 16 && iv.size() == 16, "AES key/IV size");
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  Bytes out(data.size() + 16);
  int n1 = 0;
  int n2 = 0;
  require(
      ctx &&
          EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) == 1 &&
          EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
          EVP_EncryptUpdate(ctx.get(), out.data(), &n1, data.data(), as_int(data.size())) == 1 &&
          EVP_EncryptFinal_ex(ctx.get(), out.data() + n1, &n2) == 1,
      "AES-CBC");
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

bool pss_verify(std::span<const std::uint8_t> modulusLe, std::uint32_t exponent,
                std::span<const std::uint8_t> mHash, std::span<const std::uint8_t> signatureLe) {
  PkeyPtr key = public_key(modulusLe, exponent);
  // PKCS #1 octet strings are big-endian: the stored form reversed.
  Bytes sig(signatureLe.rbegin(), signatureLe.rend());
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  require(ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 20) == 1,
          "PSS verify set-up");
  return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), mHash.data(), mHash.size()) == 1;
}

}  // namespace ref
