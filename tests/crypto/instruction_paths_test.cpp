// The public SHA-1 and AES-CBC functions on each path (portable code, CPU instructions) against
// OpenSSL on random inputs, where the two paths differ in shape: SHA-1 split at every offset and
// over long runs (the instruction path hashes a whole run of caller blocks in one call, from any
// address), and CBC over every block count on both sides of the eight-block groups that
// instruction decryption works in, in place, for every key length.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "crypto/crypto.h"
#include "tests/crypto/cbc_driver.h"
#include "tests/crypto/crypto_path.h"
#include "tests/support/reference.h"

namespace {

using namespace qiv::test;

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// The digest of data[0, n) fed as the updates data[0, split) and data[split, n).
ref::Sha1 sha1_split(const std::uint8_t* data, std::size_t n, std::size_t split) {
  QIV_SHA1_CTX ctx;
  ref::Sha1 digest{};
  QIV_SHA1_Init(&ctx);
  EXPECT_EQ(QIV_SHA1_Update(&ctx, data, static_cast<std::uint32_t>(split)), QIV_SUCCESS);
  EXPECT_EQ(QIV_SHA1_Update(&ctx, data + split, static_cast<std::uint32_t>(n - split)),
            QIV_SUCCESS);
  QIV_SHA1_Final(&ctx, digest.data());
  return digest;
}

// The detection against the kernel's own reading of CPUID: a feature bit read from the wrong
// position would otherwise go unnoticed, since every other test asks the same detection which
// path it is on.
TEST(CpuFeatures, DetectionAgreesWithTheKernelsFlags) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string w; words >> w;) flags.insert(w);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no x86 flags in /proc/cpuinfo";
  const auto has = [&](const char* f) { return flags.count(f) != 0; };
#if QIV_CRYPTO_X86
  EXPECT_EQ(qiv::crypto_detail::cpu_has_sha1_instructions(),
            has("sha_ni") && has("ssse3") && has("sse4_1"));
  EXPECT_EQ(qiv::crypto_detail::cpu_has_aes_instructions(), has("aes") && has("sse4_1"));
#else
  EXPECT_FALSE(qiv::crypto_detail::cpu_has_sha1_instructions());
  EXPECT_FALSE(qiv::crypto_detail::cpu_has_aes_instructions());
#endif
}

class Sha1OnPath : public Sha1Path<> {};
INSTANTIATE_TEST_SUITE_P(, Sha1OnPath, kBothPaths, path_param_name);

// Every length and alignment up to 200 bytes is covered by sha1_test on both paths; here the
// split points and the long runs.
TEST_P(Sha1OnPath, EverySplitOfAFewBlocksAndLongRunsFromOddAddressesMatchOpenSsl) {
  std::mt19937 rng(11);
  const std::size_t n = 4 * 64 + 9;
  const Bytes storage = random_bytes(rng, n + 1);
  const ref::Sha1 want = ref::sha1({storage.data() + 1, n});
  for (std::size_t split = 0; split <= n; ++split) {
    ASSERT_EQ(sha1_split(storage.data() + 1, n, split), want) << "split " << split;
  }
  for (const std::size_t len : {4096u + 17u, 100000u}) {
    const Bytes msg = random_bytes(rng, len + 1);
    ASSERT_EQ(sha1_split(msg.data() + 1, len, 63), ref::sha1({msg.data() + 1, len})) << len;
  }
}

class AesCbcOnPath : public AesPath<> {};
INSTANTIATE_TEST_SUITE_P(, AesCbcOnPath, kBothPaths, path_param_name);

// Whole blocks without padding: 0 to 20 blocks (no group, one, two, with every tail) and a
// long message; encryption in one update and in random pieces, decryption in place.
TEST_P(AesCbcOnPath, EveryBlockCountEveryKeyLengthMatchesOpenSsl) {
  std::mt19937 rng(12);
  for (const std::size_t key_len : {16u, 24u, 32u}) {
    for (std::size_t blocks = 0; blocks <= 21; ++blocks) {
      const std::size_t n = 16 * (blocks <= 20 ? blocks : 1000 + rng() % 64);
      const Bytes key = random_bytes(rng, key_len), iv = random_bytes(rng, 16);
      const Bytes plain = random_bytes(rng, n);
      const Bytes cipher = ref::aes_cbc_encrypt(key, iv, plain);
      const std::string where = "key " + std::to_string(key_len) + " n " + std::to_string(n);

      QIV_AES_CTX ctx = cbc_context(key, iv, QIV_PAD_NONE);
      const CbcResult whole = cbc_encrypt(ctx, plain);
      ASSERT_EQ(whole.rc, QIV_SUCCESS) << where;
      ASSERT_EQ(whole.data, cipher) << where;
      const std::size_t first = n == 0 ? 0 : rng() % n;
      const CbcResult pieces = cbc_encrypt(ctx, plain, {first, (n - first) / 2});
      ASSERT_EQ(pieces.data, cipher) << where << " split " << first;

      const CbcResult back = cbc_decrypt(ctx, cipher);
      ASSERT_EQ(back.rc, QIV_SUCCESS) << where;
      ASSERT_EQ(back.data, plain) << where;
    }
  }
}

}  // namespace
