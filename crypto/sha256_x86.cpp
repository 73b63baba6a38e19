// SHA-256 compression with the x86 SHA extensions. Only this function is compiled for the
// extensions; the caller checks the CPU first (crypto/cpu.h).
#include "crypto/cpu.h"

#if QIV_CRYPTO_X86
#include <immintrin.h>

#include <utility>

#define QIV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define QIV_SHA_INLINE QIV_SHA_TARGET inline __attribute__((always_inline))

namespace qiv::crypto_detail {

void sha256_blocks_x86(std::uint32_t* state, const std::uint8_t* data, std::size_t count,
                       const std::uint32_t* round_constants);

namespace {

// SHA256RNDS2 does two rounds on the eight variables split over two registers, ABEF and CDGH
// (A, C in the top lanes), with W[t] + K[t] for the two rounds in the low two lanes of its
// third operand. It returns the new ABEF; the old ABEF is the new CDGH, so the two registers
// swap roles every two rounds and are back in place after four.
//
// The message schedule runs in a ring of four registers, group g's words W[4g..4g+3] in
// msg[g % 4] (the first word in the lowest lane). For g >= 4, SHA256MSG1 of the words 16 and
// 12 back gives W[t-16] + s0(W[t-15]); the words 7 back (an ALIGNR of groups g-2 and g-1)
// are added; SHA256MSG2 adds s1(W[t-2]), taking the first two from group g-1 and the last two
// from the words it has just made.
struct Lanes {
  __m128i abef;
  __m128i cdgh;
  __m128i msg[4];
};

// Rounds 4G to 4G+3, after the words of group G are made.
template <int G>
QIV_SHA_INLINE void four_rounds(Lanes& s, const std::uint32_t* k) {
  __m128i& w = s.msg[G % 4];
  if constexpr (G >= 4) {
    const __m128i prev = s.msg[(G + 3) % 4];
    const __m128i seven_back = _mm_alignr_epi8(prev, s.msg[(G + 2) % 4], 4);
    w = _mm_add_epi32(_mm_sha256msg1_epu32(w, s.msg[(G + 1) % 4]), seven_back);
    w = _mm_sha256msg2_epu32(w, prev);
  }
  const __m128i k4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * G));
  const __m128i wk = _mm_add_epi32(w, k4);
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

template <int... G>
QIV_SHA_INLINE void sixty_four_rounds(Lanes& s, const std::uint32_t* k,
                                      std::integer_sequence<int, G...>) {
  (four_rounds<G>(s, k), ...);
}

}  // namespace

QIV_SHA_TARGET void sha256_blocks_x86(std::uint32_t* state, const std::uint8_t* data,
                                      std::size_t count, const std::uint32_t* round_constants) {
  // Reverses the bytes of each 32-bit lane: big-endian words, the first in the lowest lane.
  const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0b, 0x0405060700010203);
  const auto* in = reinterpret_cast<const __m128i*>(data);

  // state[0..3] = A B C D and state[4..7] = E F G H. Registers are named top lane first, as
  // the instructions name ABEF.
  const __m128i cdab =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  const __m128i efgh =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  Lanes s;
  s.abef = _mm_alignr_epi8(cdab, efgh, 8);
  s.cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (std::size_t b = 0; b < count; ++b, in += 4) {
    const __m128i abef_before = s.abef;
    const __m128i cdgh_before = s.cdgh;
    for (int i = 0; i < 4; ++i) s.msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(in + i), big_endian);
    sixty_four_rounds(s, round_constants, std::make_integer_sequence<int, 16>{});
    s.abef = _mm_add_epi32(s.abef, abef_before);
    s.cdgh = _mm_add_epi32(s.cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace qiv::crypto_detail
#endif
