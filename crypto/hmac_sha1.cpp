// HMAC-SHA1 (RFC 2104, 64-byte block): the two keyed chaining states are computed once per key,
// so each message costs only its own blocks plus two finishing compressions.
#include "crypto/crypto.h"
#include "crypto/wipe.h"

namespace {

using std::uint32_t;
using std::uint8_t;

constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;

using KeyBlock = qiv::SecretArray<uint8_t, QIV_SHA1_BLOCK_LEN>;

void xor_all(KeyBlock& block, uint8_t pad) {
  for (auto& b : *block) b ^= pad;
}

// Chaining values after absorbing exactly one block, to be resumed later. The block is
// compressed where it lies rather than through the context's buffer, so no padded key bytes
// are left behind in the caller's record; the resulting hash state is the same.
void absorb_block(QIV_SHA1_CTX& hash, const KeyBlock& block, std::array<uint32_t, 5>& saved) {
  QIV_SHA1_Init(&hash);
  qiv_SHA1_Transform(block.data(), hash.state.data());
  hash.count_low = QIV_SHA1_BLOCK_LEN;
  saved = hash.state;
}

// Resume from a stored state: one block (the padded key) already absorbed, nothing buffered.
void resume(QIV_SHA1_CTX& hash, const std::array<uint32_t, 5>& saved) {
  hash.state = saved;
  hash.count_high = 0;
  hash.count_low = QIV_SHA1_BLOCK_LEN;
}

}  // namespace

std::int32_t QIV_SHA1_HMAC_SetInfo(QIV_SHA1_HMAC_CTX* ctx, const void* key, uint32_t n) {
  // Keys longer than a block are replaced by their digest; shorter ones are zero-extended.
  KeyBlock block;
  if (n > QIV_SHA1_BLOCK_LEN) {
    // Digest in a local context that is wiped, so the key's tail does not stay in the record.
    QIV_SHA1_CTX digest_ctx;
    QIV_SHA1_Init(&digest_ctx);
    QIV_SHA1_Update(&digest_ctx, key, n);
    QIV_SHA1_Final(&digest_ctx, block.data());
    qiv::wipe_object(digest_ctx);
  } else {
    mem_copy(block.data(), key, n);
  }

  xor_all(block, kInnerPad);
  absorb_block(ctx->hash, block, ctx->inner_state);
  xor_all(block, kInnerPad ^ kOuterPad);  // 0x36 ^ 0x6A = 0x5C
  absorb_block(ctx->hash, block, ctx->outer_state);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_HMAC_Init(QIV_SHA1_HMAC_CTX* ctx) {
  resume(ctx->hash, ctx->inner_state);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_HMAC_Update(QIV_SHA1_HMAC_CTX* ctx, const void* data, uint32_t n) {
  // A refused update (null data) leaves the computation as it was; HMAC reports nothing.
  static_cast<void>(QIV_SHA1_Update(&ctx->hash, data, n));
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_HMAC_Final(QIV_SHA1_HMAC_CTX* ctx, uint8_t* tag) {
  qiv::SecretArray<uint8_t, QIV_SHA1_DIGEST_LEN> inner;
  QIV_SHA1_Final(&ctx->hash, inner.data());
  resume(ctx->hash, ctx->outer_state);
  QIV_SHA1_Update(&ctx->hash, inner.data(), QIV_SHA1_DIGEST_LEN);
  QIV_SHA1_Final(&ctx->hash, tag);
  return QIV_SUCCESS;
}
