// SHA-1 and AES-128-CBC: ours against OpenSSL's EVP interface on the same buffers.
//
// Each "ours" benchmark first computes its result with both implementations and refuses to
// time a result that disagrees. Key schedules are set up outside the loops on both sides; each
// iteration restarts the chaining from the IV, as a fresh message would.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "bench/bench.h"
#include "bench/reference.h"
#include "crypto/crypto.h"

namespace qiv::bench {
namespace {

using Digest = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;

constexpr std::uint32_t kHashSeed = 0x5a17;
constexpr std::uint32_t kCipherSeed = 0xae5;

bool our_sha1(const Bytes& msg, Digest& out) {
  QIV_SHA1_CTX ctx;
  return QIV_SHA1_Init(&ctx) == 0 &&
         QIV_SHA1_Update(&ctx, msg.data(), static_cast<std::uint32_t>(msg.size())) == 0 &&
         QIV_SHA1_Final(&ctx, out.data()) == 0;
}

// The digest fetched once: EVP_sha1() would be looked up again inside every Init.
class OpenSslSha1 {
 public:
  OpenSslSha1() : md_(EVP_MD_fetch(nullptr, "SHA1", nullptr)), ctx_(EVP_MD_CTX_new()) {
    require(md_ && ctx_, "SHA1 fetch");
  }
  bool digest(const Bytes& msg, Digest& out) {
    unsigned len = 0;
    return EVP_DigestInit_ex(ctx_.get(), md_.get(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx_.get(), msg.data(), msg.size()) == 1 &&
           EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) == 1 && len == out.size();
  }

 private:
  Owned<EVP_MD> md_;
  Owned<EVP_MD_CTX> ctx_;
};

void sha1_ours(benchmark::State& state) {
  const Bytes msg = pattern(static_cast<std::size_t>(state.range(0)), kHashSeed);
  Digest ours{}, theirs{};
  if (!our_sha1(msg, ours) || !OpenSslSha1().digest(msg, theirs) || ours != theirs) {
    state.SkipWithError("SHA-1 digest differs from OpenSSL's");
    return;
  }
  for (auto _ : state) {
    our_sha1(msg, ours);
    benchmark::DoNotOptimize(ours.data());
  }
  set_bytes(state, msg.size());
}

void sha1_openssl(benchmark::State& state) {
  const Bytes msg = pattern(static_cast<std::size_t>(state.range(0)), kHashSeed);
  OpenSslSha1 sha;
  Digest out{};
  for (auto _ : state) {
    if (!sha.digest(msg, out)) {
      state.SkipWithError("EVP digest failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, msg.size());
}

struct CipherInputs {
  explicit CipherInputs(std::size_t n) : plain(pattern(n, kCipherSeed)) {}
  Bytes key = pattern(16, 1);
  Bytes iv = pattern(16, 2);
  Bytes plain;
};

// Whole-block CBC without padding, through the streaming interface the program uses.
class OurCbc {
 public:
  explicit OurCbc(const CipherInputs& in) {
    require(QIV_AES_SetInfo(&ctx_, QIV_AES_ENC_DEC, in.key.data(), 16, in.iv.data(), 16,
                            QIV_PAD_NONE, 0) == 0,
            "QIV_AES_SetInfo");
  }
  bool encrypt(const std::uint8_t* in, std::uint8_t* out, std::uint32_t n) {
    std::uint32_t done = n;
    if (QIV_AES_CBC_EncInit(&ctx_) != 0 || QIV_AES_CBC_EncUpdate(&ctx_, in, n, out, &done) != 0)
      return false;
    std::uint32_t last = n - done;
    return QIV_AES_CBC_EncFinal(&ctx_, out + done, &last) == 0 && done + last == n;
  }
  // In place: the interface decrypts only that way.
  bool decrypt(std::uint8_t* data, std::uint32_t n) {
    std::uint32_t done = n;
    if (QIV_AES_CBC_DecInit(&ctx_) != 0 || QIV_AES_CBC_DecUpdate(&ctx_, data, n, data, &done) != 0)
      return false;
    std::uint32_t last = n - done;
    return QIV_AES_CBC_DecFinal(&ctx_, data + done, &last) == 0 && done + last == n;
  }

 private:
  QIV_AES_CTX ctx_{};
};

class OpenSslCbc {
 public:
  OpenSslCbc(const CipherInputs& in, bool encrypt)
      : cipher_(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)),
        ctx_(EVP_CIPHER_CTX_new()),
        iv_(in.iv),
        encrypt_(encrypt) {
    require(cipher_ && ctx_, "AES-128-CBC fetch");
    require(EVP_CipherInit_ex2(ctx_.get(), cipher_.get(), in.key.data(), iv_.data(),
                               encrypt ? 1 : 0, nullptr) == 1 &&
                EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) == 1,
            "EVP_CipherInit_ex2");
  }
  // Restarts from the IV, keeping the key schedule.
  bool run(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    int done = 0, last = 0;
    return EVP_CipherInit_ex2(ctx_.get(), nullptr, nullptr, iv_.data(), encrypt_ ? 1 : 0,
                              nullptr) == 1 &&
           EVP_CipherUpdate(ctx_.get(), out, &done, in, static_cast<int>(n)) == 1 &&
           EVP_CipherFinal_ex(ctx_.get(), out + done, &last) == 1 &&
           static_cast<std::size_t>(done + last) == n;
  }

 private:
  Owned<EVP_CIPHER> cipher_;
  Owned<EVP_CIPHER_CTX> ctx_;
  Bytes iv_;
  bool encrypt_;
};

// Our encryption must equal OpenSSL's and our decryption must give the plaintext back.
bool cbc_agrees(const CipherInputs& in) {
  const auto n = static_cast<std::uint32_t>(in.plain.size());
  Bytes ours(n), theirs(n);
  OurCbc cbc(in);
  if (!cbc.encrypt(in.plain.data(), ours.data(), n)) return false;
  if (!OpenSslCbc(in, true).run(in.plain.data(), theirs.data(), n) || ours != theirs) return false;
  return cbc.decrypt(ours.data(), n) && ours == in.plain;
}

void aes_encrypt_ours(benchmark::State& state) {
  const CipherInputs in(static_cast<std::size_t>(state.range(0)));
  if (!cbc_agrees(in)) {
    state.SkipWithError("AES-128-CBC differs from OpenSSL's");
    return;
  }
  const auto n = static_cast<std::uint32_t>(in.plain.size());
  Bytes out(n);
  OurCbc cbc(in);
  for (auto _ : state) {
    if (!cbc.encrypt(in.plain.data(), out.data(), n)) {
      state.SkipWithError("encryption failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, n);
}

void aes_decrypt_ours(benchmark::State& state) {
  const CipherInputs in(static_cast<std::size_t>(state.range(0)));
  if (!cbc_agrees(in)) {
    state.SkipWithError("AES-128-CBC differs from OpenSSL's");
    return;
  }
  const auto n = static_cast<std::uint32_t>(in.plain.size());
  // Decrypting in place over and over turns the buffer into other (still whole-block) data;
  // without padding the work per byte does not depend on the contents.
  Bytes data = in.plain;
  OurCbc cbc(in);
  for (auto _ : state) {
    if (!cbc.decrypt(data.data(), n)) {
      state.SkipWithError("decryption failed");
      break;
    }
    benchmark::DoNotOptimize(data.data());
  }
  set_bytes(state, n);
}

void aes_openssl(benchmark::State& state, bool encrypt) {
  const CipherInputs in(static_cast<std::size_t>(state.range(0)));
  Bytes out(in.plain.size());
  OpenSslCbc cbc(in, encrypt);
  for (auto _ : state) {
    if (!cbc.run(in.plain.data(), out.data(), in.plain.size())) {
      state.SkipWithError("EVP cipher failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, in.plain.size());
}

}  // namespace

void register_hash_cipher() {
  for (const auto& [name, fn] :
       {std::pair{"sha1/ours", &sha1_ours}, std::pair{"sha1/openssl", &sha1_openssl}}) {
    benchmark::RegisterBenchmark(name, fn)->Arg(64)->Arg(1024)->Arg(1 << 20);
  }
  benchmark::RegisterBenchmark("aes128cbc_encrypt/ours", aes_encrypt_ours)->Arg(1024)->Arg(1 << 20);
  benchmark::RegisterBenchmark("aes128cbc_encrypt/openssl", aes_openssl, true)
      ->Arg(1024)
      ->Arg(1 << 20);
  benchmark::RegisterBenchmark("aes128cbc_decrypt/ours", aes_decrypt_ours)->Arg(1024)->Arg(1 << 20);
  benchmark::RegisterBenchmark("aes128cbc_decrypt/openssl", aes_openssl, false)
      ->Arg(1024)
      ->Arg(1 << 20);
}

}  // namespace qiv::bench
