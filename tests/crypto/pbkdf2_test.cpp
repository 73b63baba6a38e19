// PBKDF2 and HMAC-SHA256: RFC 6070 (HMAC-SHA1), the RFC 7914 / RFC 4231 vectors for SHA-256,
// and OpenSSL for every password length around the HMAC block and outputs across digest
// boundaries.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/crypto.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (auto x : b) s += {d[x >> 4], d[x & 15]};
  return s;
}

Bytes ours(std::uint32_t prf, const std::string& pw, const std::string& salt, std::uint32_t c,
           std::uint32_t len) {
  Bytes out(len);
  EXPECT_EQ(QIV_PBKDF2(prf, pw.data(), static_cast<std::uint32_t>(pw.size()),
                       reinterpret_cast<const std::uint8_t*>(salt.data()),
                       static_cast<std::uint32_t>(salt.size()), c, out.data(), len),
            QIV_SUCCESS);
  return out;
}

Bytes theirs(std::uint32_t prf, const std::string& pw, const std::string& salt, std::uint32_t c,
             std::uint32_t len) {
  Bytes out(len);
  EXPECT_EQ(PKCS5_PBKDF2_HMAC(pw.data(), static_cast<int>(pw.size()),
                              reinterpret_cast<const unsigned char*>(salt.data()),
                              static_cast<int>(salt.size()), static_cast<int>(c),
                              prf == QIV_PRF_HMAC_SHA1 ? EVP_sha1() : EVP_sha256(),
                              static_cast<int>(len), out.data()),
            1);
  return out;
}

TEST(Pbkdf2, KnownAnswers) {
  using std::string;
  struct Row {
    std::uint32_t prf;
    string pw, salt;
    std::uint32_t c, len;
    const char* expect;
  };
  const Row rows[] = {
      // RFC 6070
      {QIV_PRF_HMAC_SHA1, "password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {QIV_PRF_HMAC_SHA1, "password", "salt", 4096, 20,
       "4b007901b765489abead49d926f721d065a429c1"},
      {QIV_PRF_HMAC_SHA1, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt",
       4096, 25, "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {QIV_PRF_HMAC_SHA1, string("pass\0word", 9), string("sa\0lt", 5), 4096, 16,
       "56fa6aa75548099dcc37d7f03425e0c3"},
      // RFC 7914 section 11
      {QIV_PRF_HMAC_SHA256, "passwd", "salt", 1, 64,
       "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
       "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(hex(ours(r.prf, r.pw, r.salt, r.c, r.len)), r.expect) << r.pw << " " << r.c;
  }
}

TEST(Pbkdf2, MatchesOpenSsl) {
  std::mt19937 gen(7);
  for (std::uint32_t prf : {QIV_PRF_HMAC_SHA1, QIV_PRF_HMAC_SHA256}) {
    for (std::uint32_t pwLen : {0u, 1u, 63u, 64u, 65u, 130u}) {
      std::string pw(pwLen, '\0'), salt(gen() % 20, '\0');
      for (auto& ch : pw) ch = static_cast<char>(gen());
      for (auto& ch : salt) ch = static_cast<char>(gen());
      for (std::uint32_t len : {1u, 20u, 32u, 33u, 65u}) {
        EXPECT_EQ(ours(prf, pw, salt, 3, len), theirs(prf, pw, salt, 3, len))
            << prf << " " << pwLen << " " << len;
      }
    }
  }
}

TEST(Pbkdf2, HmacSha256MatchesOpenSslAndKeepsTheKey) {
  // RFC 4231 case 2, then any key length against OpenSSL with one keyed state for two messages.
  QIV_SHA256_HMAC_CTX ctx{};
  Bytes tag(32);
  QIV_SHA256_HMAC_SetInfo(&ctx, "Jefe", 4);
  for (int twice = 0; twice < 2; ++twice) {
    QIV_SHA256_HMAC_Init(&ctx);
    QIV_SHA256_HMAC_Update(&ctx, "what do ya want ", 16);
    QIV_SHA256_HMAC_Update(&ctx, "for nothing?", 12);
    QIV_SHA256_HMAC_Final(&ctx, tag.data());
    EXPECT_EQ(hex(tag), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  }
  for (std::uint32_t keyLen : {0u, 32u, 64u, 65u, 200u}) {
    Bytes key(keyLen, 0xA5), msg(100, 0x11), want(32);
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(keyLen), msg.data(), msg.size(), want.data(),
         &n);
    QIV_SHA256_HMAC_SetInfo(&ctx, key.data(), keyLen);
    QIV_SHA256_HMAC_Init(&ctx);
    QIV_SHA256_HMAC_Update(&ctx, msg.data(), 100);
    QIV_SHA256_HMAC_Final(&ctx, tag.data());
    EXPECT_EQ(tag, want) << keyLen;
  }
}

TEST(Pbkdf2, RefusesBadParameters) {
  std::uint8_t out[4];
  EXPECT_EQ(QIV_PBKDF2(3, "p", 1, nullptr, 0, 1, out, 4), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(QIV_PBKDF2(QIV_PRF_HMAC_SHA1, "p", 1, nullptr, 0, 0, out, 4), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(QIV_PBKDF2(QIV_PRF_HMAC_SHA1, "p", 1, nullptr, 0, 1, nullptr, 4), QIV_ERR_NULL_PTR);
}

}  // namespace
