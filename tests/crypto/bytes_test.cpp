// Byte helpers against the obvious byte-loop references, over every small alignment and length
// combination so each word path, prologue and tail is exercised.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#include "crypto/crypto.h"
#include "crypto/wipe.h"

namespace {

using Arena = std::array<std::uint8_t, 96>;

Arena pattern() {
  alignas(8) Arena a;
  std::iota(a.begin(), a.end(), std::uint8_t{1});
  return a;
}

TEST(MemCompare, SignIsReversedAtFirstDifferingByte) {
  const std::array<std::uint8_t, 4> a = {1, 2, 3, 4};
  const std::array<std::uint8_t, 4> lower = {1, 2, 3, 3};
  const std::array<std::uint8_t, 4> higher = {1, 2, 3, 5};
  EXPECT_EQ(mem_compare(a.data(), a.data(), 4), 0);
  EXPECT_EQ(mem_compare(lower.data(), a.data(), 4), 1);
  EXPECT_EQ(mem_compare(higher.data(), a.data(), 4), -1);
  // The first difference decides, not the later ones.
  const std::array<std::uint8_t, 4> mixed = {0, 9, 9, 9};
  EXPECT_EQ(mem_compare(mixed.data(), a.data(), 4), 1);
  // A single differing byte decides wherever it sits: first, middle and last of 33 bytes.
  const Arena base = pattern();
  for (const std::uint32_t at : {0u, 16u, 32u}) {
    Arena smaller = base;
    --smaller[at];
    EXPECT_EQ(mem_compare(smaller.data(), base.data(), 33), 1) << at;
    EXPECT_EQ(mem_compare(base.data(), smaller.data(), 33), -1) << at;
  }
}

TEST(MemCompare, ZeroLengthIsEqualEvenForDifferentBuffers) {
  const std::uint8_t a = 1, b = 2;
  EXPECT_EQ(mem_compare(&a, &b, 0), 0);
}

TEST(MemCompare, BytesAreUnsigned) {
  const std::uint8_t big = 0x80, small = 0x7F;
  EXPECT_EQ(mem_compare(&small, &big, 1), 1);
  EXPECT_EQ(mem_compare(&big, &small, 1), -1);
}

// Every source and destination offset within one arena, overlapping or not, against memmove.
TEST(MemCopy, MatchesMemmoveForAllOffsetsAndOverlaps) {
  for (std::uint32_t src = 0; src < 12; ++src) {
    for (std::uint32_t dst = 0; dst < 12; ++dst) {
      for (std::uint32_t n = 0; n <= 40; ++n) {
        Arena got = pattern(), want = pattern();
        mem_copy(got.data() + dst, got.data() + src, n);
        std::memmove(want.data() + dst, want.data() + src, n);
        ASSERT_EQ(got, want) << "src " << src << " dst " << dst << " n " << n;
      }
    }
  }
}

TEST(MemCopy, DisjointBuffersWriteExactlyNBytesAtEveryAlignment) {
  alignas(8) Arena from = pattern();
  for (std::uint32_t src = 0; src < 8; ++src) {
    for (std::uint32_t dst = 0; dst < 8; ++dst) {
      for (std::uint32_t n = 0; n <= 40; ++n) {
        alignas(8) Arena to{};
        mem_copy(to.data() + dst, from.data() + src, n);
        for (std::uint32_t i = 0; i < to.size(); ++i) {
          const bool inside = i >= dst && i < dst + n;
          ASSERT_EQ(to[i], inside ? from[src + i - dst] : 0) << src << " " << dst << " " << n;
        }
      }
    }
  }
}

TEST(MemSet, WritesExactlyNBytesOfTheLowByteAtEveryAlignment) {
  for (std::uint32_t off = 0; off < 8; ++off) {
    for (std::uint32_t n = 0; n <= 40; ++n) {
      alignas(8) Arena a{};
      mem_set(a.data() + off, 0x1A5, n);  // only the low 8 bits count
      for (std::uint32_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i], i >= off && i < off + n ? 0xA5 : 0) << off << " " << n;
      }
    }
  }
}

TEST(MemXor, MatchesByteLoopAlignedMisalignedAndInPlace) {
  const Arena x = pattern();
  Arena y;
  std::transform(x.begin(), x.end(), y.begin(),
                 [](std::uint8_t v) { return static_cast<std::uint8_t>(v * 37 + 11); });
  for (std::uint32_t off = 0; off < 8; ++off) {
    for (std::uint32_t n = 0; n <= 40; ++n) {
      alignas(8) Arena a = x, b = y, d{};
      mem_xor(d.data() + off, a.data() + off, b.data(), n);
      for (std::uint32_t i = 0; i < d.size(); ++i) {
        const bool inside = i >= off && i < off + n;
        ASSERT_EQ(d[i], inside ? (x[i] ^ y[i - off]) : 0) << off << " " << n;
      }
      // In place on either operand.
      mem_xor(a.data() + off, a.data() + off, b.data(), n);
      mem_xor(b.data(), a.data() + off, b.data(), n);
      for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(a[off + i], x[off + i] ^ y[i]);
        ASSERT_EQ(b[i], x[off + i]);  // (x ^ y) ^ y
      }
    }
  }
}

}  // namespace

// A growing secret buffer keeps its contents across moves to larger blocks, reads new bytes as
// zero (also bytes once cut off and grown back), and a moved-from buffer owns nothing.
TEST(SecretBuffer, GrowsShrinksAndMovesKeepingContentsAndZeroTail) {
  qiv::SecretBuffer buffer;
  ASSERT_TRUE(buffer.ok());
  const Arena base = pattern();
  for (const std::size_t size : {1u, 7u, 33u, 96u}) {  // each step past the capacity
    const std::size_t had = buffer.size();
    ASSERT_TRUE(buffer.resize(size));
    EXPECT_TRUE(std::all_of(buffer.data() + had, buffer.data() + size, [](auto b) { return b == 0; }));
    std::copy_n(base.begin() + static_cast<std::ptrdiff_t>(had), size - had, buffer.data() + had);
    EXPECT_TRUE(std::equal(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(size), buffer.data()));
  }
  ASSERT_TRUE(buffer.resize(10));
  ASSERT_TRUE(buffer.resize(96));
  EXPECT_TRUE(std::equal(base.begin(), base.begin() + 10, buffer.data()));
  EXPECT_TRUE(std::all_of(buffer.data() + 10, buffer.data() + 96, [](auto b) { return b == 0; }));
  // Across the size from which blocks are mapped from the kernel, and back below it.
  const std::size_t large = std::size_t{3} << 20;
  ASSERT_TRUE(buffer.resize(large));
  EXPECT_TRUE(std::equal(base.begin(), base.begin() + 10, buffer.data()));
  EXPECT_TRUE(std::all_of(buffer.data() + 10, buffer.data() + large, [](auto b) { return b == 0; }));
  buffer.data()[large - 1] = 7;
  ASSERT_TRUE(buffer.resize(96));
  qiv::SecretBuffer moved(std::move(buffer));
  EXPECT_EQ(moved.size(), 96u);
  const qiv::SecretBuffer mapped(large);
  ASSERT_TRUE(mapped.ok());
  EXPECT_TRUE(std::all_of(mapped.data(), mapped.data() + large, [](auto b) { return b == 0; }));
  EXPECT_FALSE(buffer.ok());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(buffer.size(), 0u);
}

// Every block a secret buffer gives back is all zero by then: the one it grows out of, the one
// it shrinks within, the one it owns at the end; across the size from which blocks are mapped
// from the kernel, exactly at it and one byte either side (each freed the way it was had).
TEST(SecretBuffer, EveryBlockGivenBackIsWipedAndFreedAsItWasHad) {
  static std::size_t released = 0;
  static std::size_t dirty = 0;
  qiv::wipe_seam::released = [](const std::uint8_t* block, std::size_t size) {
    ++released;
    if (!std::all_of(block, block + size, [](std::uint8_t b) { return b == 0; })) ++dirty;
  };
  constexpr std::size_t kMapped = std::size_t{2} << 20;
  for (const std::size_t size : {std::size_t{100}, kMapped - 1, kMapped, kMapped + 1}) {
    released = dirty = 0;
    {
      qiv::SecretBuffer buffer(size);
      ASSERT_TRUE(buffer.ok());
      std::fill_n(buffer.data(), size, std::uint8_t{0xA5});
      ASSERT_TRUE(buffer.resize(size + 1));  // past the capacity: moves to a larger block
      buffer.data()[size] = 0x5A;
      ASSERT_TRUE(buffer.resize(size / 2));
    }
    EXPECT_EQ(released, 2u) << size;
    EXPECT_EQ(dirty, 0u) << size;
  }
  qiv::wipe_seam::released = nullptr;
}
