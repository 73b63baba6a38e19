// AES and AES-CBC with the x86 AES instructions. Only these functions are compiled for them;
// the caller checks the CPU first (crypto/cpu.h).
//
// The records of aes.cpp hold each round key as four little-endian column words, so on x86 the
// 16 bytes of round key r lie in memory exactly as AESENC takes them. The decryption record
// holds the equivalent inverse cipher's schedule (reversed, inner keys through InvMixColumns),
// which is the form AESDEC takes, so neither direction derives anything per call.
//
// Round keys go from the caller's record (which its owner wipes) into registers, and no copy of
// the schedule is made in memory. Each loop keeps what it holds within the sixteen SSE
// registers, so that the compiler has no reason to spill key or plain text to the stack, where
// nothing would wipe it: CBC encryption holds the AES-128 keys and its block, decryption holds
// its blocks and one round key at a time.
#include "crypto/cpu.h"

#if QIV_CRYPTO_X86
#include <immintrin.h>

#define QIV_AES_TARGET __attribute__((target("aes,sse4.1")))
#define QIV_AES_INLINE QIV_AES_TARGET inline __attribute__((always_inline))

namespace qiv::crypto_detail {
namespace {

constexpr std::size_t kBlock = QIV_AES_BLOCK_LEN;

// Blocks decrypted side by side. AESDEC has a latency of several cycles and a throughput of one
// or more per cycle, so independent blocks fill the pipeline; eight state registers plus a
// round key and the chaining block stay within the sixteen SSE registers.
constexpr std::size_t kLanes = 8;

constexpr std::uint32_t rounds_of(const QIV_AES_KEY& key) { return key.nk + 6; }

QIV_AES_INLINE __m128i round_key(const QIV_AES_KEY& key, std::uint32_t r) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.round_keys.data() + 4 * r));
}

QIV_AES_INLINE __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

QIV_AES_INLINE void store(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

QIV_AES_INLINE __m128i encrypt_block(const QIV_AES_KEY& enc, std::uint32_t nr, __m128i s) {
  s = _mm_xor_si128(s, round_key(enc, 0));
  for (std::uint32_t r = 1; r < nr; ++r) s = _mm_aesenc_si128(s, round_key(enc, r));
  return _mm_aesenclast_si128(s, round_key(enc, nr));
}

QIV_AES_INLINE __m128i decrypt_block(const QIV_AES_KEY& dec, std::uint32_t nr, __m128i s) {
  s = _mm_xor_si128(s, round_key(dec, 0));
  for (std::uint32_t r = 1; r < nr; ++r) s = _mm_aesdec_si128(s, round_key(dec, r));
  return _mm_aesdeclast_si128(s, round_key(dec, nr));
}

// C[i] = E(C[i-1] ^ P[i]) is one dependent chain, so what lies on it is what costs. The last
// round adds K[nr] ^ K[0] instead of K[nr]: the chaining register then holds C[i] ^ K[0], and
// XORing in P[i+1] completes the next block's first AddRoundKey in one step. The ciphertext
// itself is recovered off the chain for the store.
//
// kRounds is the round count when known at compile time (0: read it from the record). For
// AES-128 the round loop then unrolls and the eleven round keys stay in registers for the whole
// run, which takes the loop's own overhead off the chain too.
template <std::uint32_t kRounds>
QIV_AES_INLINE void cbc_encrypt_run(const QIV_AES_KEY& enc, std::uint8_t* chain,
                                    const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
  const std::uint32_t nr = kRounds != 0 ? kRounds : rounds_of(enc);
  const __m128i first = round_key(enc, 0);
  const __m128i last_and_first = _mm_xor_si128(round_key(enc, nr), first);
  __m128i c = _mm_xor_si128(load(chain), first);
  for (std::size_t i = 0; i < count; ++i) {
    __m128i s = _mm_xor_si128(c, load(in + kBlock * i));
    for (std::uint32_t r = 1; r < nr; ++r) s = _mm_aesenc_si128(s, round_key(enc, r));
    c = _mm_aesenclast_si128(s, last_and_first);
    store(out + kBlock * i, _mm_xor_si128(c, first));
  }
  store(chain, _mm_xor_si128(c, first));
}

}  // namespace

QIV_AES_TARGET void aes_encrypt_x86(const QIV_AES_KEY& enc, std::uint8_t* block) {
  store(block, encrypt_block(enc, rounds_of(enc), load(block)));
}

QIV_AES_TARGET void aes_decrypt_x86(const QIV_AES_KEY& dec, std::uint8_t* block) {
  store(block, decrypt_block(dec, rounds_of(dec), load(block)));
}

QIV_AES_TARGET void cbc_encrypt_x86(const QIV_AES_KEY& enc, std::uint8_t* chain,
                                    const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
  if (rounds_of(enc) == 10) {
    cbc_encrypt_run<10>(enc, chain, in, out, count);
  } else {
    cbc_encrypt_run<0>(enc, chain, in, out, count);
  }
}

// P[i] = D(C[i]) ^ C[i-1]: the block decryptions are independent, so kLanes run side by side.
// In place, writing P[i] destroys C[i], which P[i+1] needs; a group is therefore written from
// its last block back to its first, each block reading the ciphertext before it while that is
// still intact, and the group's last ciphertext block is kept as the next chaining value first.
QIV_AES_TARGET void cbc_decrypt_x86(const QIV_AES_KEY& dec, std::uint8_t* chain,
                                    const std::uint8_t* in, std::uint8_t* out, std::size_t count) {
  const std::uint32_t nr = rounds_of(dec);
  __m128i prev = load(chain);
  std::size_t i = 0;
  for (; count - i >= kLanes; i += kLanes) {
    const std::uint8_t* c = in + kBlock * i;
    std::uint8_t* p = out + kBlock * i;
    __m128i s[kLanes];
    __m128i k = round_key(dec, 0);
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLanes; ++j) s[j] = _mm_xor_si128(load(c + kBlock * j), k);
    for (std::uint32_t r = 1; r < nr; ++r) {
      k = round_key(dec, r);
#pragma GCC unroll 8
      for (std::size_t j = 0; j < kLanes; ++j) s[j] = _mm_aesdec_si128(s[j], k);
    }
    k = round_key(dec, nr);
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLanes; ++j) s[j] = _mm_aesdeclast_si128(s[j], k);

    const __m128i last = load(c + kBlock * (kLanes - 1));
#pragma GCC unroll 8
    for (std::size_t j = kLanes - 1; j > 0; --j) {
      store(p + kBlock * j, _mm_xor_si128(s[j], load(c + kBlock * (j - 1))));
    }
    store(p, _mm_xor_si128(s[0], prev));
    prev = last;
  }
  for (; i < count; ++i) {
    const __m128i c = load(in + kBlock * i);
    store(out + kBlock * i, _mm_xor_si128(decrypt_block(dec, nr, c), prev));
    prev = c;
  }
  store(chain, prev);
}

}  // namespace qiv::crypto_detail
#endif
