// AES-CBC over byte runs of any length, with a caller-owned context that buffers the partial
// block (encryption) or holds back the last block until the padding can be checked
// (decryption), and the two block-padding schemes.
#include <limits>

#include "crypto/cpu.h"
#include "crypto/crypto.h"

namespace {

using std::uint32_t;
using std::uint8_t;

constexpr uint32_t kBlock = QIV_AES_BLOCK_LEN;

constexpr uint32_t whole_blocks(std::uint64_t n) {
  return static_cast<uint32_t>(n - n % kBlock);
}

// A padding routine's result above the block size, read as unsigned, is an error code.
constexpr bool is_error(std::int32_t pad) { return static_cast<uint32_t>(pad) > kBlock; }

bool overlaps(const uint8_t* a, std::uint64_t a_len, const uint8_t* b, std::uint64_t b_len) {
  const auto pa = reinterpret_cast<std::uintptr_t>(a);
  const auto pb = reinterpret_cast<std::uintptr_t>(b);
  return pa < pb + b_len && pb < pa + a_len;
}

// out = E(prev XOR in): the chaining step, computed in the destination block itself.
void encrypt_chained(const QIV_AES_KEY& key, const uint8_t* prev, const uint8_t* in,
                     uint8_t* out) {
  mem_xor(out, prev, in, kBlock);
  qiv_AES_Encrypt(&key, out);
}

// CBC encryption of `count` whole blocks from `in` to a disjoint `out`, chained on `chain`,
// which is left holding the last output block.
void encrypt_blocks(const QIV_AES_KEY& key, uint8_t* chain, const uint8_t* in, uint8_t* out,
                    uint32_t count) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_aes_instructions()) {
    qiv::crypto_detail::cbc_encrypt_x86(key, chain, in, out, count);
    return;
  }
#endif
  const uint8_t* prev = chain;
  for (uint32_t i = 0; i < count; ++i) {
    encrypt_chained(key, prev, in + kBlock * i, out + kBlock * i);
    prev = out + kBlock * i;
  }
  mem_copy(chain, prev, kBlock);
}

// CBC decryption of `count` whole blocks in place, chained on `chain`, which is left holding
// the last ciphertext block.
void decrypt_blocks(const QIV_AES_KEY& key, uint8_t* chain, uint8_t* data, uint32_t count) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_aes_instructions()) {
    qiv::crypto_detail::cbc_decrypt_x86(key, chain, data, data, count);
    return;
  }
#endif
  std::array<uint8_t, kBlock> cipher;
  for (uint8_t* at = data; count != 0; --count, at += kBlock) {
    mem_copy(cipher.data(), at, kBlock);
    qiv_AES_Decrypt(&key, at);
    mem_xor(at, at, chain, kBlock);
    mem_copy(chain, cipher.data(), kBlock);
  }
}

// Without its schedule a direction would run the rounds on zeroed round keys and report
// success, so every streaming call checks for it, not only the init calls.
std::int32_t check_direction_key(const QIV_AES_CTX& ctx, uint32_t bit) {
  if ((ctx.flags & bit) != 0) return QIV_SUCCESS;
  return bit == QIV_AES_HAS_ENC_KEY ? QIV_ERR_NO_ENC_KEY : QIV_ERR_NO_DEC_KEY;
}

}  // namespace

std::int32_t QIV_AES_SetInfo(QIV_AES_CTX* ctx, uint32_t flags, const uint8_t* key,
                             uint32_t keyLen, const uint8_t* iv, uint32_t ivLen,
                             uint32_t padding, uint32_t reserved) {
  if (ctx == nullptr) return QIV_ERR_NULL_PTR;
  if ((flags & QIV_AES_KEEP) == 0) mem_set(ctx, 0, sizeof *ctx);

  if (key != nullptr && keyLen != 0) {
    if ((flags & QIV_AES_ENC_DEC) != 0) {
      const std::int32_t rc = _AES_KeySchedule(key, keyLen, &ctx->enc_key, &ctx->dec_key);
      if (rc != QIV_SUCCESS) return rc;
      ctx->flags |= QIV_AES_HAS_ENC_KEY | QIV_AES_HAS_DEC_KEY;
    } else if ((flags & QIV_AES_ENCRYPT) != 0) {
      const std::int32_t rc = _AES_KeySchedule(key, keyLen, &ctx->enc_key, nullptr);
      if (rc != QIV_SUCCESS) return rc;
      // A kept decryption schedule belongs to the previous key: it must not stay usable.
      mem_set(&ctx->dec_key, 0, sizeof ctx->dec_key);
      ctx->flags = (ctx->flags & ~QIV_AES_HAS_DEC_KEY) | QIV_AES_HAS_ENC_KEY;
    }
  }

  if (iv != nullptr && ivLen != 0) {
    if (ivLen != kBlock) return QIV_ERR_IV_LENGTH;
    mem_copy(ctx->iv.data(), iv, kBlock);
    ctx->flags |= QIV_AES_HAS_IV;
  }

  if (padding != 0) ctx->padding = padding;
  if (reserved != 0) ctx->reserved = reserved;
  return QIV_SUCCESS;
}

namespace {

std::int32_t cbc_init(QIV_AES_CTX* ctx, uint32_t key_bit) {
  if (ctx == nullptr) return QIV_ERR_NULL_PTR;
  if (const std::int32_t rc = check_direction_key(*ctx, key_bit); rc != QIV_SUCCESS) return rc;
  if ((ctx->flags & QIV_AES_HAS_IV) == 0) return QIV_ERR_NO_IV;
  ctx->chain = ctx->iv;
  ctx->count = 0;
  return QIV_SUCCESS;
}

}  // namespace

std::int32_t QIV_AES_CBC_EncInit(QIV_AES_CTX* ctx) { return cbc_init(ctx, QIV_AES_HAS_ENC_KEY); }

std::int32_t QIV_AES_CBC_DecInit(QIV_AES_CTX* ctx) { return cbc_init(ctx, QIV_AES_HAS_DEC_KEY); }

std::int32_t QIV_AES_CBC_EncUpdate(QIV_AES_CTX* ctx, const uint8_t* in, uint32_t n, uint8_t* out,
                                   uint32_t* outlen) {
  if (ctx == nullptr || in == nullptr || out == nullptr) return QIV_ERR_NULL_PTR;
  if (in == out) return QIV_ERR_BUFFER_ALIAS;
  if (outlen == nullptr) return QIV_ERR_NULL_PTR;
  if (const auto rc = check_direction_key(*ctx, QIV_AES_HAS_ENC_KEY); rc != QIV_SUCCESS) {
    return rc;
  }
  if (ctx->count >= kBlock) return QIV_ERR_SEQUENCE;  // never left by an encryption call

  const std::uint64_t total = std::uint64_t{ctx->count} + n;
  if (total < kBlock) {
    mem_copy(ctx->buffer.data() + ctx->count, in, n);
    ctx->count += n;
    *outlen = 0;
    return QIV_SUCCESS;
  }
  if (total > std::numeric_limits<uint32_t>::max()) return QIV_ERR_BAD_PARAM;
  // Each output block is written before later input is read: the regions must be disjoint.
  if (overlaps(in, n, out, whole_blocks(total))) return QIV_ERR_BUFFER_ALIAS;

  const uint32_t cap = *outlen;
  *outlen = static_cast<uint32_t>(total);
  if (cap != 0 && cap < whole_blocks(total)) return QIV_ERR_OUT_TOO_SMALL;

  // Complete the buffered block, then chain each further whole input block on the previous
  // output block.
  const uint32_t fill = kBlock - ctx->count;
  mem_copy(ctx->buffer.data() + ctx->count, in, fill);
  encrypt_blocks(ctx->enc_key, ctx->chain.data(), ctx->buffer.data(), out, 1);
  const uint32_t more = (n - fill) / kBlock;
  encrypt_blocks(ctx->enc_key, ctx->chain.data(), in + fill, out + kBlock, more);

  const uint32_t consumed = fill + kBlock * more;
  ctx->count = n - consumed;
  mem_copy(ctx->buffer.data(), in + consumed, ctx->count);
  *outlen = kBlock * (more + 1);
  return QIV_SUCCESS;
}

std::int32_t QIV_AES_CBC_EncFinal(QIV_AES_CTX* ctx, uint8_t* out, uint32_t* outlen) {
  if (ctx == nullptr || out == nullptr || outlen == nullptr) return QIV_ERR_NULL_PTR;
  if (const auto rc = check_direction_key(*ctx, QIV_AES_HAS_ENC_KEY); rc != QIV_SUCCESS) {
    return rc;
  }
  if (ctx->count >= kBlock) return QIV_ERR_SEQUENCE;

  const std::int32_t pad = qiv_SetPadding(ctx->buffer.data(), ctx->count, kBlock, ctx->padding);
  if (is_error(pad)) return pad;
  const uint32_t filled = ctx->count + static_cast<uint32_t>(pad);
  if (filled == 0) return QIV_SUCCESS;  // nothing buffered and no padding: nothing to write
  if (filled != kBlock) return QIV_ERR_SEQUENCE;

  const uint32_t cap = *outlen;
  *outlen = kBlock;
  if (cap != 0 && cap < kBlock) return QIV_ERR_OUT_TOO_SMALL;
  encrypt_chained(ctx->enc_key, ctx->chain.data(), ctx->buffer.data(), out);
  return QIV_SUCCESS;
}

std::int32_t QIV_AES_CBC_DecUpdate(QIV_AES_CTX* ctx, const uint8_t* in, uint32_t n, uint8_t* out,
                                   uint32_t* outlen) {
  if (ctx == nullptr || in == nullptr || out == nullptr) return QIV_ERR_NULL_PTR;
  if (in != out) return QIV_ERR_BUFFER_ALIAS;
  if (outlen == nullptr) return QIV_ERR_NULL_PTR;
  if (const auto rc = check_direction_key(*ctx, QIV_AES_HAS_DEC_KEY); rc != QIV_SUCCESS) {
    return rc;
  }
  if (ctx->count != 0) return QIV_ERR_SEQUENCE;  // one update per message

  if (n <= kBlock) {
    mem_copy(ctx->buffer.data(), in, n);
    ctx->count = n;
    *outlen = 0;
    return QIV_SUCCESS;
  }
  const uint32_t cap = *outlen;
  *outlen = n;
  if (cap != 0 && cap < whole_blocks(n)) return QIV_ERR_OUT_TOO_SMALL;

  // Hold back the last 1 to 16 bytes: only the final call may strip padding from them.
  const uint32_t q = whole_blocks(n - 1);
  decrypt_blocks(ctx->dec_key, ctx->chain.data(), out, q / kBlock);
  ctx->count = n - q;
  mem_copy(ctx->buffer.data(), in + q, ctx->count);
  *outlen = q;
  return QIV_SUCCESS;
}

std::int32_t QIV_AES_CBC_DecFinal(QIV_AES_CTX* ctx, uint8_t* out, uint32_t* outlen) {
  if (ctx == nullptr || out == nullptr || outlen == nullptr) return QIV_ERR_NULL_PTR;
  if (const auto rc = check_direction_key(*ctx, QIV_AES_HAS_DEC_KEY); rc != QIV_SUCCESS) {
    return rc;
  }
  if (ctx->count == 0) return QIV_SUCCESS;
  if (ctx->count != kBlock) return QIV_ERR_LAST_BLOCK;

  uint8_t* last = ctx->buffer.data();
  qiv_AES_Decrypt(&ctx->dec_key, last);
  mem_xor(last, last, ctx->chain.data(), kBlock);
  const std::int32_t pad = qiv_CheckPadding(last, kBlock, ctx->padding);
  if (is_error(pad)) return pad;

  const uint32_t m = kBlock - static_cast<uint32_t>(pad);
  const uint32_t cap = *outlen;
  *outlen = m;
  if (cap != 0 && m > cap) return QIV_ERR_OUT_TOO_SMALL;
  mem_copy(out, last, m);
  return QIV_SUCCESS;
}

std::int32_t qiv_SetPadding(uint8_t* buf, uint32_t k, uint32_t size, uint32_t type) {
  switch (type) {
    case QIV_PAD_NONE:
      return k == 0 ? 0 : QIV_ERR_NOT_BLOCK_ALIGNED;
    case QIV_PAD_PKCS7: {
      // A pad is 1 to size bytes: a full block has no room left for one.
      if (k >= size) return QIV_ERR_BAD_PARAM;
      const uint32_t p = size - k;
      mem_set(buf + k, static_cast<int>(p & 0xFF), p);
      return static_cast<std::int32_t>(p);
    }
    default:
      return QIV_ERR_BAD_PARAM;
  }
}

std::int32_t qiv_CheckPadding(const uint8_t* buf, uint32_t size, uint32_t type) {
  switch (type) {
    case QIV_PAD_NONE:
      return 0;
    case QIV_PAD_PKCS7: {
      if (size == 0) return QIV_ERR_BAD_PARAM;
      const uint32_t p = buf[size - 1];
      if (p == 0 || p > size) return QIV_ERR_BAD_PADDING;
      // Inspect every pad byte rather than stopping at the first mismatch.
      uint32_t diff = 0;
      for (uint32_t i = size - p; i < size; ++i) diff |= buf[i] ^ p;
      return diff == 0 ? static_cast<std::int32_t>(p) : QIV_ERR_BAD_PADDING;
    }
    default:
      return QIV_ERR_BAD_PARAM;
  }
}
