// MGF1 over SHA-1 (PKCS #1 v2.1, B.2.1), XORed into the caller's buffer.
#include <algorithm>
#include <array>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "rsa/rsa.h"

void qiv_PKCS1_MGF1_Sha1(std::uint8_t* buf, std::uint32_t len, const std::uint8_t* seed,
                         std::uint32_t seedLen) {
  // Block i of the mask is T_i = SHA-1(seed || I2OSP(i, 4)); block i covers buf[20i, 20i + 20).
  // The loop computes ceil(len / 20) blocks, and one block (that changes nothing) for len 0.
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> block;
  std::array<std::uint8_t, 4> counter_bytes;
  std::uint32_t counter = 0;
  std::uint32_t pos = 0;
  for (;;) {
    BN2OS(counter_bytes.data(), &counter, 1);
    QIV_SHA1_CTX ctx;
    QIV_SHA1_Init(&ctx);
    if (seedLen != 0) QIV_SHA1_Update(&ctx, seed, seedLen);
    QIV_SHA1_Update(&ctx, counter_bytes.data(), 4);
    QIV_SHA1_Final(&ctx, block.data());

    const std::uint32_t take = std::min(QIV_SHA1_DIGEST_LEN, len - pos);
    mem_xor(buf + pos, buf + pos, block.data(), take);
    pos += take;
    if (pos >= len) return;
    ++counter;
  }
}
