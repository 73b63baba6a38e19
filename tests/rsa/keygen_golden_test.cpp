// A key drawn on the fixed noise is pinned to a digest taken once: any change to the arithmetic
// that alters a single bit of a generated key (a prime accepted or refused differently, a
// different d or CRT value) breaks it, while faster code that computes the same numbers keeps it.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "rsa/rsa.h"
#include "tests/support/fixed_noise.h"

namespace {

std::string hex(const unsigned char* p, std::size_t n) {
  std::string s;
  char buf[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

TEST(KeyGenGolden, FixedNoiseKeyMatchesItsRecordedDigest) {
  qiv_test_reset_random();
  QIV_RSA_PRIVATE_KEY key{};
  key.e[0] = 65537;
  key.e_count = 1;
  ASSERT_EQ(QIV_RSA_KeyGen(&key, 1024), QIV_SUCCESS);
  ASSERT_EQ(key.n_count, 32u);
  ASSERT_EQ(key.d_count, 32u);
  ASSERT_EQ(key.p_count, 16u);
  ASSERT_EQ(key.q_count, 16u);

  // n || d || p || q, each as its digits in memory order.
  std::vector<std::uint8_t> record;
  for (const auto& [digits, count] : {std::pair{key.n, key.n_count}, std::pair{key.d, key.d_count},
                                      std::pair{key.p, key.p_count}, std::pair{key.q, key.q_count}}) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(digits);
    record.insert(record.end(), bytes, bytes + 4 * count);
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  ASSERT_EQ(EVP_Digest(record.data(), record.size(), md, &md_len, EVP_sha1(), nullptr), 1);
  EXPECT_EQ(hex(md, md_len), "a427a40c9137f10f02a839dd19b5940b3de96594");
}

}  // namespace
