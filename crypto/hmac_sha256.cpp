// HMAC-SHA256 (RFC 2104, 64-byte block): as for HMAC-SHA1, the two keyed chaining states are
// computed once per key and each message resumes from them.
#include "crypto/crypto.h"
#include "crypto/wipe.h"

namespace {

using std::uint32_t;
using std::uint8_t;

constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;

using KeyBlock = qiv::SecretArray<uint8_t, QIV_SHA256_BLOCK_LEN>;

void xor_all(KeyBlock& block, uint8_t pad) {
  for (auto& b : *block) b ^= pad;
}

// Chaining values after exactly one block. A whole block goes through Update's first
// compression via the context's buffer, so that buffer is cleared afterwards: no padded key
// byte stays in the caller's record.
void absorb_block(QIV_SHA256_CTX& hash, const KeyBlock& block, std::array<uint32_t, 8>& saved) {
  QIV_SHA256_Init(&hash);
  QIV_SHA256_Update(&hash, block.data(), QIV_SHA256_BLOCK_LEN);
  qiv::wipe_object(hash.block);
  saved = hash.state;
}

void resume(QIV_SHA256_CTX& hash, const std::array<uint32_t, 8>& saved) {
  hash.state = saved;
  hash.count_high = 0;
  hash.count_low = QIV_SHA256_BLOCK_LEN;
}

}  // namespace

std::int32_t QIV_SHA256_HMAC_SetInfo(QIV_SHA256_HMAC_CTX* ctx, const void* key, uint32_t n) {
  // Keys longer than a block are replaced by their digest; shorter ones are zero-extended.
  KeyBlock block;
  if (n > QIV_SHA256_BLOCK_LEN) {
    QIV_SHA256_CTX digest_ctx;
    QIV_SHA256_Init(&digest_ctx);
    QIV_SHA256_Update(&digest_ctx, key, n);
    QIV_SHA256_Final(&digest_ctx, block.data());  // Final wipes the context
  } else if (n != 0) {
    mem_copy(block.data(), key, n);
  }

  xor_all(block, kInnerPad);
  absorb_block(ctx->hash, block, ctx->inner_state);
  xor_all(block, kInnerPad ^ kOuterPad);
  absorb_block(ctx->hash, block, ctx->outer_state);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256_HMAC_Init(QIV_SHA256_HMAC_CTX* ctx) {
  resume(ctx->hash, ctx->inner_state);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256_HMAC_Update(QIV_SHA256_HMAC_CTX* ctx, const void* data, uint32_t n) {
  static_cast<void>(QIV_SHA256_Update(&ctx->hash, data, n));
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256_HMAC_Final(QIV_SHA256_HMAC_CTX* ctx, uint8_t* tag) {
  qiv::SecretArray<uint8_t, QIV_SHA256_DIGEST_LEN> inner;
  QIV_SHA256_Final(&ctx->hash, inner.data());
  resume(ctx->hash, ctx->outer_state);
  QIV_SHA256_Update(&ctx->hash, inner.data(), QIV_SHA256_DIGEST_LEN);
  QIV_SHA256_Final(&ctx->hash, tag);
  return QIV_SUCCESS;
}
