// The 64-bit-limb walk against the 32-bit-digit walk (bignum/limbs.h): the same numbers bit for
// bit, over the operand shapes of the other suites and the quotient estimate's extremes.
// Every output buffer carries a guard digit that neither path may touch.
#include "bignum/limbs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using bntest::Gen;
using qiv::bn::Path;
using ref::Digits;

constexpr std::uint32_t kGuard = 0xA5A5A5A5u;

std::uint32_t size(const Digits& d) {
  return static_cast<std::uint32_t>(d.size());
}

// A modulus of n digits in a named shape that stresses the quotient estimate.
enum class Modulus { kRandom, kTopLimbJustTwoTo63, kAllOnes, kTwoTo63PlusOne };

Digits modulus(Gen& g, Modulus shape, std::uint32_t n) {
  Digits m = g.normalised(n);  // n >= 2
  if (shape == Modulus::kTopLimbJustTwoTo63) {
    m.back() = 0x80000000u;
    m.end()[-2] = 0;
  } else if (shape == Modulus::kAllOnes) {
    m.assign(n, 0xFFFFFFFFu);
  } else if (shape == Modulus::kTwoTo63PlusOne) {
    m.assign(n, 0);
    m.back() = 0x80000000u;
    m.front() = 1;
  }
  return m;
}

// A dividend of nt digits whose top n digits are below m: m - 1 (the estimate's cap), all ones
// below m's top digit, or random.
Digits dividend(Gen& g, const Digits& m, std::uint32_t nt, int shape) {
  Digits t = g.number(nt);
  const std::uint32_t n = size(m), low = nt - n;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (shape == 0) t[low + i] = m[i];
    if (shape == 1) t[low + i] = i + 1 < n ? 0xFFFFFFFFu : m[i] - 1;
  }
  if (shape == 0) {  // m - 1, m being odd or even
    std::uint32_t i = low;
    while (t[i] == 0) t[i++] = 0xFFFFFFFFu;
    --t[i];
  }
  if (shape >= 2) t[nt - 1] = std::min(t[nt - 1], m[n - 1] - 1);  // top digit below m's
  return t;
}

TEST(LimbPath, ProductMatchesDigitsForEveryShapeAndLength) {
  const std::uint32_t lengths[][2] = {{0, 4},   {4, 0},   {2, 2},   {2, 6},   {8, 2},
                                      {16, 16}, {32, 32}, {64, 64}, {16, 48}, {66, 66}};
  Gen g(71);
  for (const auto& [na, nb] : lengths) {
    ASSERT_TRUE(qiv::bn::limbs_apply(na) && qiv::bn::limbs_apply(nb));
    for (int i = 0; i < bntest::cases(40); ++i) {
      const Digits a = g.number(na), b = g.number(nb);
      Digits fast(na + nb + 1, kGuard), slow(na + nb + 1, kGuard);
      qiv::bn::mul(Path::kLimbs, fast.data(), a.data(), na, b.data(), nb);
      qiv::bn::mul_digits(slow.data(), a.data(), na, b.data(), nb);
      ASSERT_EQ(fast, slow) << na << "x" << nb << ", " << g.where(i);
    }
  }
}

TEST(LimbPath, SquareMatchesDigitsForEveryShapeAndLength) {
  Gen g(72);
  for (const std::uint32_t n : {0u, 2u, 4u, 6u, 16u, 32u, 64u, 66u}) {
    for (int i = 0; i < bntest::cases(60); ++i) {
      const Digits a = g.number(n);
      Digits fast(2 * n + 1, kGuard), slow(2 * n + 1, kGuard);
      qiv::bn::sqr(Path::kLimbs, fast.data(), a.data(), n);
      qiv::bn::sqr_digits(slow.data(), a.data(), n);
      ASSERT_EQ(fast, slow) << n << " digits, " << g.where(i);
    }
  }
}

// Besides the differential cases, a dividend q*m - 1 with m of three limbs or more: its top
// three limbs are those of q*m, so the refined estimate is q while the quotient is q - 1, and
// the add-back must run. Its remainder is m - 1 on both paths.
TEST(LimbPath, ReductionMatchesDigitsAtTheQuotientEstimatesExtremes) {
  struct Case {
    std::uint32_t nm, nt;
  };
  const Case cases[] = {{2, 4},   {2, 8},   {4, 6},    {6, 12},  {16, 32},
                        {32, 64}, {32, 34}, {64, 128}, {66, 132}};
  Gen g(73);
  for (const Case& c : cases) {
    for (const Modulus shape : {Modulus::kRandom, Modulus::kTopLimbJustTwoTo63, Modulus::kAllOnes,
                                Modulus::kTwoTo63PlusOne}) {
      for (int i = 0; i < bntest::cases(12); ++i) {
        const Digits m = modulus(g, shape, c.nm);
        Digits fast = dividend(g, m, c.nt, i % 4);
        Digits slow = fast;
        qiv::bn::classical_red(Path::kLimbs, fast.data(), c.nt, m.data(), c.nm);
        qiv::bn::red_digits(slow.data(), c.nt, m.data(), c.nm);
        ASSERT_EQ(fast, slow) << c.nm << "/" << c.nt << " digits, " << g.where(i);
      }
    }
    if (c.nm < 6) continue;
    Digits m = g.normalised(c.nm);
    m[0] |= 1;  // m and q odd: q*m is odd, so subtracting 1 leaves its upper limbs alone
    const auto w = ref::to_bn(m);
    BN_mul_word(w.get(), (std::uint64_t{g.digit()} << 32 | g.digit()) | 1u);
    BN_sub_word(w.get(), 1);
    Digits t = ref::to_digits(w.get(), c.nm + 2);
    qiv::bn::classical_red(Path::kLimbs, t.data(), c.nm + 2, m.data(), c.nm);
    Digits expected = m;
    expected[0] -= 1;
    expected.resize(c.nm + 2, 0);
    EXPECT_EQ(t, expected) << "add-back, " << c.nm << " digits";
  }
  // Odd counts are the digit path's: the limb path declines and touches nothing.
  Digits t(5, 7), m = {1, 0x80000000u};
  EXPECT_FALSE(qiv::bn::red_limbs(t.data(), 5, m.data(), 2));
  EXPECT_EQ(t, Digits(5, 7));
}

TEST(LimbPath, ModMulMatchesDigitsSquaringAndMultiplying) {
  Gen g(74);
  for (const std::uint32_t n : {2u, 4u, 16u, 32u, 64u, 66u}) {
    for (const Modulus shape : {Modulus::kRandom, Modulus::kTopLimbJustTwoTo63, Modulus::kAllOnes,
                                Modulus::kTwoTo63PlusOne}) {
      for (int i = 0; i < bntest::cases(10); ++i) {
        const Digits m = modulus(g, shape, n);
        const Digits a = dividend(g, m, n, i % 4), b = g.number(n);  // a < m, b anything
        for (const bool square : {true, false}) {
          const Digits& second = square ? a : b;
          Digits fast(n + 1, kGuard), slow(n + 1, kGuard);
          qiv::bn::mod_mul(Path::kLimbs, fast.data(), a.data(), second.data(), m.data(), n);
          qiv::bn::mod_mul(Path::kDigits, slow.data(), a.data(), second.data(), m.data(), n);
          ASSERT_EQ(fast, slow) << n << " digits, square " << square << ", " << g.where(i);
        }
      }
    }
  }
}

TEST(LimbPath, BinaryMatchesDigitsForShortAndFullExponents) {
  struct Case {
    std::uint32_t n, ne;
  };
  const Case cases[] = {{2, 1}, {2, 2}, {4, 3}, {16, 16}, {32, 2}, {32, 32}, {64, 1}, {64, 64}};
  Gen g(75);
  for (const Case& c : cases) {
    for (int i = 0; i < bntest::cases(4); ++i) {
      const Digits m = modulus(g, static_cast<Modulus>(i % 4), c.n);
      const Digits base = g.number(c.n), e = g.full(c.ne);
      Digits fast(c.n + 1, kGuard), slow(c.n + 1, kGuard);
      qiv::bn::binary(Path::kLimbs, fast.data(), base.data(), m.data(), c.n, e.data(), c.ne);
      qiv::bn::binary(Path::kDigits, slow.data(), base.data(), m.data(), c.n, e.data(), c.ne);
      ASSERT_EQ(fast, slow) << c.n << " digits, " << g.where(i);
    }
  }
}

}  // namespace
