// SHA-256 (FIPS 180-4): streaming over a caller-owned context.
#include <bit>
#include <utility>

#include "crypto/cpu.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"

#if QIV_CRYPTO_X86
namespace qiv::crypto_detail {
// In sha256_x86.cpp: `count` 64-byte blocks at `data` (any alignment) into the eight chaining
// words, with the 64 round constants below (one table for both paths).
void sha256_blocks_x86(std::uint32_t* state, const std::uint8_t* data, std::size_t count,
                       const std::uint32_t* round_constants);
}  // namespace qiv::crypto_detail
#endif

namespace {

using std::uint32_t;
using std::uint8_t;

// The first 32 bits of the fractional parts of the square roots of the first eight primes.
constexpr std::array<uint32_t, 8> kInitialState = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u,
                                                   0xa54ff53au, 0x510e527fu, 0x9b05688cu,
                                                   0x1f83d9abu, 0x5be0cd19u};

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u};

// The last 8 bytes of the final block carry the message length in bits, big-endian.
constexpr uint32_t kLengthOffset = 56;

// Choice picks f or g by the bits of e; majority is 1 where two of three are.
constexpr uint32_t choice(uint32_t e, uint32_t f, uint32_t g) {
  return g ^ (e & (f ^ g));
}
constexpr uint32_t majority(uint32_t a, uint32_t b, uint32_t c) {
  return (a & b) | (c & (a | b));
}
constexpr uint32_t big_sigma0(uint32_t a) {
  return std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
}
constexpr uint32_t big_sigma1(uint32_t e) {
  return std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
}
constexpr uint32_t small_sigma0(uint32_t w) {
  return std::rotr(w, 7) ^ std::rotr(w, 18) ^ (w >> 3);
}
constexpr uint32_t small_sigma1(uint32_t w) {
  return std::rotr(w, 17) ^ std::rotr(w, 19) ^ (w >> 10);
}

// W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16] never looks further back than 16 words, so
// the schedule lives in a ring of 16: W[t] overwrites W[t-16] in slot t % 16. With the rounds
// unrolled every slot index is a constant.
template <std::size_t T>
uint32_t schedule(std::array<uint32_t, 16>& w) {
  if constexpr (T >= 16) {
    w[T % 16] += small_sigma1(w[(T - 2) % 16]) + w[(T - 7) % 16] + small_sigma0(w[(T - 15) % 16]);
  }
  return w[T % 16];
}

// One round without moving the eight variables: the caller names them in their roles for round
// T (a..h). Of the shifted register only two words are new: d + T1 becomes the next e, and
// T1 + T2 the next a; they are written into d and h, and the next round takes (h a b c d e f g).
// The roles come back after eight rounds.
template <std::size_t T>
void one_round(std::array<uint32_t, 16>& w, uint32_t a, uint32_t b, uint32_t c, uint32_t& d,
               uint32_t e, uint32_t f, uint32_t g, uint32_t& h) {
  const uint32_t t1 = h + big_sigma1(e) + choice(e, f, g) + kRound[T] + schedule<T>(w);
  d += t1;
  h = t1 + big_sigma0(a) + majority(a, b, c);
}

// Eight rounds from T on, after which the variables hold their roles again.
template <std::size_t T>
void eight_rounds(std::array<uint32_t, 16>& w, std::array<uint32_t, 8>& v) {
  auto& [a, b, c, d, e, f, g, h] = v;
  one_round<T + 0>(w, a, b, c, d, e, f, g, h);
  one_round<T + 1>(w, h, a, b, c, d, e, f, g);
  one_round<T + 2>(w, g, h, a, b, c, d, e, f);
  one_round<T + 3>(w, f, g, h, a, b, c, d, e);
  one_round<T + 4>(w, e, f, g, h, a, b, c, d);
  one_round<T + 5>(w, d, e, f, g, h, a, b, c);
  one_round<T + 6>(w, c, d, e, f, g, h, a, b);
  one_round<T + 7>(w, b, c, d, e, f, g, h, a);
}

template <std::size_t... G>
void sixty_four_rounds(std::array<uint32_t, 16>& w, std::array<uint32_t, 8>& v,
                       std::index_sequence<G...>) {
  (eight_rounds<8 * G>(w, v), ...);
}

// The reference compression of one block.
void compress_portable(const uint8_t* block, uint32_t* state) {
  std::array<uint32_t, 16> w;
  for (std::size_t i = 0; i < 16; ++i) w[i] = qiv::load_be32(block + 4 * i);

  std::array<uint32_t, 8> v;
  for (std::size_t i = 0; i < 8; ++i) v[i] = state[i];
  sixty_four_rounds(w, v, std::make_index_sequence<8>{});
  for (std::size_t i = 0; i < 8; ++i) state[i] += v[i];
  // The block may be key material.
  qiv::wipe(w.data(), sizeof w);
  qiv::wipe(v.data(), sizeof v);
}

// Compresses `count` whole blocks at `data` (any alignment: the words are loaded bytewise).
void compress_blocks(uint32_t* state, const uint8_t* data, std::size_t count) {
#if QIV_CRYPTO_X86
  // The SHA extensions carry SHA-1 and SHA-256 alike, with the same SSSE3 and SSE4.1 needs: the
  // SHA-1 feature check is the check for both.
  if (qiv::crypto_detail::use_sha1_instructions()) {
    qiv::crypto_detail::sha256_blocks_x86(state, data, count, kRound.data());
    return;
  }
#endif
  for (; count != 0; --count, data += QIV_SHA256_BLOCK_LEN) compress_portable(data, state);
}

}  // namespace

std::int32_t QIV_SHA256_Init(QIV_SHA256_CTX* ctx) {
  if (ctx == nullptr) return QIV_ERR_NULL_PTR;
  ctx->state = kInitialState;
  ctx->count_low = 0;
  ctx->count_high = 0;
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256_Update(QIV_SHA256_CTX* ctx, const void* data, uint32_t n) {
  if (ctx == nullptr || data == nullptr) return QIV_ERR_NULL_PTR;
  const auto* in = static_cast<const uint8_t*>(data);

  const uint32_t index = ctx->count_low % QIV_SHA256_BLOCK_LEN;
  const uint32_t room = QIV_SHA256_BLOCK_LEN - index;
  ctx->count_low += n;
  if (ctx->count_low < n) ++ctx->count_high;

  if (n < room) {
    mem_copy(ctx->block.data() + index, in, n);
    return QIV_SUCCESS;
  }
  mem_copy(ctx->block.data() + index, in, room);
  compress_blocks(ctx->state.data(), ctx->block.data(), 1);

  // Whole caller blocks are hashed where they lie.
  const uint32_t whole = (n - room) / QIV_SHA256_BLOCK_LEN;
  compress_blocks(ctx->state.data(), in + room, whole);
  const uint32_t used = room + whole * QIV_SHA256_BLOCK_LEN;
  mem_copy(ctx->block.data(), in + used, n - used);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256_Final(QIV_SHA256_CTX* ctx, uint8_t* digest) {
  if (ctx == nullptr || digest == nullptr) return QIV_ERR_NULL_PTR;
  uint8_t* block = ctx->block.data();

  // Pad with 0x80 and zeros up to the length field; when the 0x80 lands inside the length
  // field's 8 bytes the padding spills into one more block.
  const uint32_t index = ctx->count_low % QIV_SHA256_BLOCK_LEN;
  block[index] = 0x80;
  if (index >= kLengthOffset) {
    mem_set(block + index + 1, 0, QIV_SHA256_BLOCK_LEN - index - 1);
    compress_blocks(ctx->state.data(), block, 1);
    mem_set(block, 0, kLengthOffset);
  } else {
    mem_set(block + index + 1, 0, kLengthOffset - index - 1);
  }

  // The byte count as a 64-bit bit count: the high word takes the three bits shifted out.
  qiv::store_be32(block + kLengthOffset, (ctx->count_high << 3) | (ctx->count_low >> 29));
  qiv::store_be32(block + kLengthOffset + 4, ctx->count_low << 3);
  compress_blocks(ctx->state.data(), block, 1);

  for (std::size_t i = 0; i < ctx->state.size(); ++i) {
    qiv::store_be32(digest + 4 * i, ctx->state[i]);
  }
  qiv::wipe_object(*ctx);
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA256(const void* data, std::size_t n, uint8_t* digest) {
  if (digest == nullptr || (data == nullptr && n != 0)) return QIV_ERR_NULL_PTR;
  QIV_SHA256_CTX ctx;
  QIV_SHA256_Init(&ctx);
  // Update counts in 32 bits; longer inputs go in pieces of whole blocks.
  constexpr std::size_t kPiece = std::size_t{1} << 31;
  const auto* in = static_cast<const uint8_t*>(data);
  for (; n != 0;) {
    const std::size_t len = n < kPiece ? n : kPiece;
    QIV_SHA256_Update(&ctx, in, static_cast<uint32_t>(len));
    in += len;
    n -= len;
  }
  return QIV_SHA256_Final(&ctx, digest);
}
