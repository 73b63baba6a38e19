// SHA-1 compression with the x86 SHA extensions. Only these functions are compiled for the
// extensions; the caller checks the CPU first (crypto/cpu.h).
#include "crypto/cpu.h"

#if QIV_CRYPTO_X86
#include <immintrin.h>

#include <utility>

#define QIV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define QIV_SHA_INLINE QIV_SHA_TARGET inline __attribute__((always_inline))

namespace qiv::crypto_detail {
namespace {

// The instructions work four rounds at a time on 32-bit lanes, the first word in the top lane:
// `abcd` holds A B C D (A on top), and the top lane of an E register holds the E that the next
// four rounds add in. After four rounds the next E is the A of before those rounds rotated by
// 30, which SHA1NEXTE computes (adding the next message words too); so two E registers take
// turns, one feeding the current rounds and one catching the A for the following ones.
//
// The message schedule W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]) runs in a ring of
// four registers, group g's words in msg[g % 4]. SHA1MSG1 adds W[t-14] to W[t-16], a plain XOR
// adds W[t-8], and SHA1MSG2 adds W[t-3] and rotates. Each step is issued as soon as its inputs
// exist: SHA1MSG1 of a group's words is issued three groups ahead of their use, the XOR two,
// SHA1MSG2 one.
struct Lanes {
  __m128i abcd;
  __m128i e[2];
  __m128i msg[4];
};

// Rounds 4G to 4G+3. The round function and constant change every five groups (20 rounds).
template <int G>
QIV_SHA_INLINE void four_rounds(Lanes& s) {
  __m128i& e = s.e[G % 2];
  const __m128i w = s.msg[G % 4];
  if constexpr (G == 0) {
    e = _mm_add_epi32(e, w);  // the chaining value's E, not a rotated A
  } else {
    e = _mm_sha1nexte_epu32(e, w);
  }
  s.e[(G + 1) % 2] = s.abcd;
  if constexpr (G >= 3 && G <= 18) {
    s.msg[(G + 1) % 4] = _mm_sha1msg2_epu32(s.msg[(G + 1) % 4], w);
  }
  s.abcd = _mm_sha1rnds4_epu32(s.abcd, e, G / 5);
  if constexpr (G >= 1 && G <= 16) {
    s.msg[(G + 3) % 4] = _mm_sha1msg1_epu32(s.msg[(G + 3) % 4], w);
  }
  if constexpr (G >= 2 && G <= 17) s.msg[(G + 2) % 4] = _mm_xor_si128(s.msg[(G + 2) % 4], w);
}

template <int... G>
QIV_SHA_INLINE void eighty_rounds(Lanes& s, std::integer_sequence<int, G...>) {
  (four_rounds<G>(s), ...);
}

}  // namespace

QIV_SHA_TARGET void sha1_blocks_x86(std::uint32_t* state, const std::uint8_t* data,
                                    std::size_t count) {
  // Reverses all 16 bytes: four big-endian words, the first in the top lane.
  const __m128i big_endian = _mm_set_epi64x(0x0001020304050607, 0x08090a0b0c0d0e0f);
  const auto* in = reinterpret_cast<const __m128i*>(data);

  Lanes s;
  s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  s.e[0] = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  s.e[1] = _mm_setzero_si128();
  for (std::size_t b = 0; b < count; ++b, in += 4) {
    const __m128i abcd_before = s.abcd;
    const __m128i e_before = s.e[0];
    for (int i = 0; i < 4; ++i) s.msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(in + i), big_endian);
    eighty_rounds(s, std::make_integer_sequence<int, 20>{});
    // After round 79 e[0] caught the A of round 76; its rotation is the E to add.
    s.e[0] = _mm_sha1nexte_epu32(s.e[0], e_before);
    s.abcd = _mm_add_epi32(s.abcd, abcd_before);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(s.abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(s.e[0], 3));
}

}  // namespace qiv::crypto_detail
#endif
