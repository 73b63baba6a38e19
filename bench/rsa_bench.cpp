// RSASSA-PSS (SHA-1, MGF1-SHA-1, 20-byte salt) signing and verification with the two key
// shapes the program uses, and key generation.
//
//   v2.1: 2048 bits, e = 3, CRT signing        v1.1: 1024 bits, e = 65537, plain signing
//
// Both sides sign and verify the same digest with the same key, and each "ours" row first checks
// the other side: OpenSSL must accept our signature, and we must accept OpenSSL's and reject it
// once altered. Signing includes drawing the salt on both sides.
#include <benchmark/benchmark.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdint>

#include "bench/bench.h"
#include "bench/reference.h"
#include "crypto/crypto.h"
#include "rsa/rsa.h"

namespace qiv::bench {
namespace {

constexpr std::uint32_t kSaltLen = 20;
using Digest = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;
using Signature = std::array<std::uint32_t, QIV_RSA_MAX_DIGITS>;

struct Shape {
  int bits;
  std::uint32_t e;
  bool crt;
};
constexpr Shape kV21{2048, 3, true};
constexpr Shape kV11{1024, 65537, false};

Shape shape_of(const benchmark::State& state) {
  return state.range(0) == 2048 ? kV21 : kV11;
}

// One key per shape for the whole run; generating them is not what is measured.
const KeyPair& key_for(const Shape& shape) {
  static const KeyPair v21 = make_key(kV21.bits, kV21.e, kV21.crt);
  static const KeyPair v11 = make_key(kV11.bits, kV11.e, kV11.crt);
  return shape.bits == kV21.bits ? v21 : v11;
}

Digest message_digest() {
  const Bytes msg = pattern(4096, 0xd1);
  Digest d{};
  QIV_SHA1_CTX ctx;
  require(QIV_SHA1_Init(&ctx) == 0 && QIV_SHA1_Update(&ctx, msg.data(), 4096) == 0 &&
              QIV_SHA1_Final(&ctx, d.data()) == 0,
          "digest");
  return d;
}

std::uint32_t our_sign(const KeyPair& key, bool crt, const Digest& digest, Signature& sig) {
  std::uint32_t k = 0;
  if (crt) {
    QIV_RSA_PSS_SignCRT(&k, sig.data(), &key.ours, QIV_SHA1_DIGEST_LEN, digest.data(), kSaltLen);
  } else {
    QIV_RSA_PSS_Sign(&k, sig.data(), key.ours.n_count, key.ours.n, key.ours.d, QIV_SHA1_DIGEST_LEN,
                     digest.data(), kSaltLen);
  }
  return k;
}

bool our_verify(const KeyPair& key, const std::uint32_t* sig, const Digest& digest) {
  return QIV_RSA_PSS_Verify(key.ours.n_count, key.ours.n, sig, key.ours.e_count, key.ours.e,
                            QIV_SHA1_DIGEST_LEN, digest.data()) == 0;
}

class OpenSslPss {
 public:
  OpenSslPss(const KeyPair& key, bool sign)
      : ctx_(pss_context(key.openssl.get(), sign)), sig_(4 * std::size_t{key.ours.n_count}) {}
  bool sign(const Digest& digest) {
    std::size_t len = sig_.size();
    return EVP_PKEY_sign(ctx_.get(), sig_.data(), &len, digest.data(), digest.size()) == 1 &&
           len == sig_.size();
  }
  bool verify(const Bytes& sig, const Digest& digest) {
    return EVP_PKEY_verify(ctx_.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
  }
  const Bytes& signature() const { return sig_; }

 private:
  Owned<EVP_PKEY_CTX> ctx_;
  Bytes sig_;
};

void sign_ours(benchmark::State& state) {
  const Shape shape = shape_of(state);
  const KeyPair& key = key_for(shape);
  const Digest digest = message_digest();
  Signature sig{};
  const std::uint32_t k = our_sign(key, shape.crt, digest, sig);
  if (!OpenSslPss(key, false).verify(to_octets(sig.data(), k), digest)) {
    state.SkipWithError("OpenSSL rejects our signature");
    return;
  }
  for (auto _ : state) {
    our_sign(key, shape.crt, digest, sig);
    benchmark::DoNotOptimize(sig.data());
  }
}

void sign_openssl(benchmark::State& state) {
  const KeyPair& key = key_for(shape_of(state));
  const Digest digest = message_digest();
  OpenSslPss pss(key, true);
  for (auto _ : state) {
    if (!pss.sign(digest)) {
      state.SkipWithError("EVP_PKEY_sign failed");
      break;
    }
    benchmark::DoNotOptimize(pss.signature().data());
  }
}

void verify_ours(benchmark::State& state) {
  const KeyPair& key = key_for(shape_of(state));
  const Digest digest = message_digest();
  OpenSslPss signer(key, true);
  require(signer.sign(digest), "EVP_PKEY_sign");
  const Digits sig = from_octets(signer.signature(), key.ours.n_count);
  Digits altered = sig;
  altered[3] ^= 0x100u;
  if (!our_verify(key, sig.data(), digest) || our_verify(key, altered.data(), digest)) {
    state.SkipWithError("verification disagrees with OpenSSL's signature");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(our_verify(key, sig.data(), digest));
  }
}

void verify_openssl(benchmark::State& state) {
  const KeyPair& key = key_for(shape_of(state));
  const Digest digest = message_digest();
  OpenSslPss signer(key, true);
  require(signer.sign(digest), "EVP_PKEY_sign");
  OpenSslPss verifier(key, false);
  for (auto _ : state) {
    if (!verifier.verify(signer.signature(), digest)) {
      state.SkipWithError("EVP_PKEY_verify failed");
      break;
    }
  }
}

// The last key of the run must be one that OpenSSL's own key check accepts (p and q prime, n,
// d and the CRT values consistent): a key generator that returned garbage quickly would
// otherwise look fast.
void keygen_ours(benchmark::State& state) {
  const Shape shape = shape_of(state);
  QIV_RSA_PRIVATE_KEY key{};
  for (auto _ : state) {
    key = QIV_RSA_PRIVATE_KEY{};
    key.e[0] = shape.e;
    key.e_count = 1;
    if (QIV_RSA_KeyGen(&key, static_cast<std::uint32_t>(shape.bits)) != 0) {
      state.SkipWithError("QIV_RSA_KeyGen failed");
      break;
    }
    benchmark::DoNotOptimize(&key);
  }
  const Owned<EVP_PKEY> check_key = to_pkey(key, true);
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, check_key.get(), nullptr));
  if (!ctx || EVP_PKEY_check(ctx.get()) != 1) state.SkipWithError("OpenSSL rejects our key");
}

void keygen_openssl(benchmark::State& state) {
  const Shape shape = shape_of(state);
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> e(BN_new());
  require(ctx && e && BN_set_word(e.get(), shape.e) == 1, "exponent");
  require(EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), shape.bits) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1,
          "keygen set-up");
  for (auto _ : state) {
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1) {
      state.SkipWithError("EVP_PKEY_generate failed");
      break;
    }
    EVP_PKEY_free(raw);
  }
}

}  // namespace

// Key generation time varies with where the primes happen to lie: one key per repetition and
// many repetitions, of which the report takes the median.
void register_rsa() {
  using benchmark::kMicrosecond;
  using benchmark::kMillisecond;
  benchmark::RegisterBenchmark("pss_sign_crt/ours", sign_ours)->Arg(2048)->Unit(kMillisecond);
  benchmark::RegisterBenchmark("pss_sign_crt/openssl", sign_openssl)->Arg(2048)->Unit(kMillisecond);
  benchmark::RegisterBenchmark("pss_sign_plain/ours", sign_ours)->Arg(1024)->Unit(kMillisecond);
  benchmark::RegisterBenchmark("pss_sign_plain/openssl", sign_openssl)
      ->Arg(1024)
      ->Unit(kMillisecond);
  for (const auto& [name, fn] : {std::pair{"pss_verify/ours", &verify_ours},
                                 std::pair{"pss_verify/openssl", &verify_openssl}}) {
    benchmark::RegisterBenchmark(name, fn)->Arg(2048)->Arg(1024)->Unit(kMicrosecond);
  }
  for (const auto& [name, fn] :
       {std::pair{"keygen/ours", &keygen_ours}, std::pair{"keygen/openssl", &keygen_openssl}}) {
    benchmark::RegisterBenchmark(name, fn)->Arg(1024)->Iterations(1)->Repetitions(41)->Unit(
        kMillisecond);
    benchmark::RegisterBenchmark(name, fn)->Arg(2048)->Iterations(1)->Repetitions(31)->Unit(
        kMillisecond);
  }
}

}  // namespace qiv::bench
