// SHA-1 (FIPS 180): streaming over a caller-owned context.
#include <bit>

#include "crypto/cpu.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"

namespace {

using std::uint32_t;
using std::uint8_t;

constexpr std::array<uint32_t, 5> kInitialState = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu,
                                                   0x10325476u, 0xC3D2E1F0u};

// The last 8 bytes of the final block carry the message length in bits, big-endian.
constexpr uint32_t kLengthOffset = 56;

bool is_word_aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 4 == 0; }

// The round functions of the four 20-round groups. Choice picks c or d by the bits of b; majority
// is 1 where two of three are. Both are written in forms with one operation fewer.
constexpr uint32_t choice(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
constexpr uint32_t parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
constexpr uint32_t majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (d & (b | c)); }

// W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]) never looks further back than 16 words, so
// the schedule lives in a ring of 16: W[t] overwrites W[t-16] in slot t % 16. With the rounds
// unrolled every slot index is a constant.
template <std::size_t T>
uint32_t schedule(std::array<uint32_t, 16>& w) {
  if constexpr (T >= 16) {
    w[T % 16] = std::rotl(w[(T - 3) % 16] ^ w[(T - 8) % 16] ^ w[(T - 14) % 16] ^ w[T % 16], 1);
  }
  return w[T % 16];
}

// One round without moving the five variables: the caller names them in their roles for round T
// (a b c d e), and the round writes its result into e and rotates b. The next round then takes
// (e a b c d): the roles turn by one place each round and come back after five.
template <std::size_t T, uint32_t F(uint32_t, uint32_t, uint32_t), uint32_t K>
void one_round(std::array<uint32_t, 16>& w, uint32_t a, uint32_t& b, uint32_t c, uint32_t d,
           uint32_t& e) {
  e += std::rotl(a, 5) + F(b, c, d) + K + schedule<T>(w);
  b = std::rotl(b, 30);
}

// Five rounds from T on, after which the variables hold their roles again.
template <std::size_t T, uint32_t F(uint32_t, uint32_t, uint32_t), uint32_t K>
void five_rounds(std::array<uint32_t, 16>& w, uint32_t& a, uint32_t& b, uint32_t& c,
                 uint32_t& d, uint32_t& e) {
  one_round<T + 0, F, K>(w, a, b, c, d, e);
  one_round<T + 1, F, K>(w, e, a, b, c, d);
  one_round<T + 2, F, K>(w, d, e, a, b, c);
  one_round<T + 3, F, K>(w, c, d, e, a, b);
  one_round<T + 4, F, K>(w, b, c, d, e, a);
}

// One group: 20 rounds of one function and one constant, straight-line.
template <std::size_t T, uint32_t F(uint32_t, uint32_t, uint32_t), uint32_t K>
void twenty_rounds(std::array<uint32_t, 16>& w, uint32_t& a, uint32_t& b, uint32_t& c,
                   uint32_t& d, uint32_t& e) {
  five_rounds<T + 0, F, K>(w, a, b, c, d, e);
  five_rounds<T + 5, F, K>(w, a, b, c, d, e);
  five_rounds<T + 10, F, K>(w, a, b, c, d, e);
  five_rounds<T + 15, F, K>(w, a, b, c, d, e);
}

// The table-free reference compression of one block.
void compress_portable(const uint8_t* block, uint32_t* state) {
  std::array<uint32_t, 16> w;
  for (std::size_t i = 0; i < 16; ++i) w[i] = qiv::load_be32(block + 4 * i);

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  twenty_rounds<0, choice, 0x5A827999u>(w, a, b, c, d, e);
  twenty_rounds<20, parity, 0x6ED9EBA1u>(w, a, b, c, d, e);
  twenty_rounds<40, majority, 0x8F1BBCDCu>(w, a, b, c, d, e);
  twenty_rounds<60, parity, 0xCA62C1D6u>(w, a, b, c, d, e);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  // The block may be key material (HMAC pads, generator state).
  qiv::wipe(w.data(), sizeof w);
}

// Compresses `count` whole blocks at `data`: with the SHA instructions where they are used,
// reading the blocks where they lie; otherwise block by block, staging a block that is not
// word-aligned in `staging` (64 bytes) first.
void compress_blocks(uint32_t* state, const uint8_t* data, std::size_t count, uint8_t* staging) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_sha1_instructions()) {
    qiv::crypto_detail::sha1_blocks_x86(state, data, count);
    return;
  }
#endif
  for (; count != 0; --count, data += QIV_SHA1_BLOCK_LEN) {
    const uint8_t* block = data;
    if (!is_word_aligned(block)) {
      mem_copy(staging, block, QIV_SHA1_BLOCK_LEN);
      block = staging;
    }
    compress_portable(block, state);
  }
}

}  // namespace

void qiv_SHA1_Transform(const uint8_t* block, uint32_t* state) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_sha1_instructions()) {
    qiv::crypto_detail::sha1_blocks_x86(state, block, 1);
    return;
  }
#endif
  compress_portable(block, state);
}

std::int32_t QIV_SHA1_Init(QIV_SHA1_CTX* ctx) {
  if (ctx == nullptr) return QIV_ERR_NULL_PTR;
  ctx->state = kInitialState;
  ctx->count_low = 0;
  ctx->count_high = 0;
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_Update(QIV_SHA1_CTX* ctx, const void* data, uint32_t n) {
  if (ctx == nullptr || data == nullptr) return QIV_ERR_NULL_PTR;
  const auto* in = static_cast<const uint8_t*>(data);

  const uint32_t index = ctx->count_low % QIV_SHA1_BLOCK_LEN;
  const uint32_t room = QIV_SHA1_BLOCK_LEN - index;
  ctx->count_low += n;
  if (ctx->count_low < n) ++ctx->count_high;

  if (n < room) {
    mem_copy(ctx->block.data() + index, in, n);
    return QIV_SUCCESS;
  }
  mem_copy(ctx->block.data() + index, in, room);
  qiv_SHA1_Transform(ctx->block.data(), ctx->state.data());

  // Whole caller blocks are hashed where they lie (unaligned ones staged in the context).
  const uint32_t whole = (n - room) / QIV_SHA1_BLOCK_LEN;
  compress_blocks(ctx->state.data(), in + room, whole, ctx->block.data());
  const uint32_t used = room + whole * QIV_SHA1_BLOCK_LEN;
  mem_copy(ctx->block.data(), in + used, n - used);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_Final(QIV_SHA1_CTX* ctx, uint8_t* digest) {
  if (ctx == nullptr || digest == nullptr) return QIV_ERR_NULL_PTR;
  uint8_t* block = ctx->block.data();

  // Pad with 0x80 and zeros up to the length field; when the 0x80 lands inside the length
  // field's 8 bytes the padding spills into one more block.
  const uint32_t index = ctx->count_low % QIV_SHA1_BLOCK_LEN;
  block[index] = 0x80;
  if (index >= kLengthOffset) {
    mem_set(block + index + 1, 0, QIV_SHA1_BLOCK_LEN - index - 1);
    qiv_SHA1_Transform(block, ctx->state.data());
    mem_set(block, 0, kLengthOffset);
  } else {
    mem_set(block + index + 1, 0, kLengthOffset - index - 1);
  }

  // Byte count to bit count, in place, as a 64-bit value split over the two counters.
  ctx->count_high = (ctx->count_high << 3) + (ctx->count_low >> 29);
  ctx->count_low <<= 3;
  qiv::store_be32(block + kLengthOffset, ctx->count_high);
  qiv::store_be32(block + kLengthOffset + 4, ctx->count_low);
  qiv_SHA1_Transform(block, ctx->state.data());

  for (std::size_t i = 0; i < ctx->state.size(); ++i) {
    qiv::store_be32(digest + 4 * i, ctx->state[i]);
  }
  return QIV_SUCCESS;
}
