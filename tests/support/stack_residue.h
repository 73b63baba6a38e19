// What the frames of a call that has returned leave on the stack below its caller. A secret
// that a function kept in a local and did not wipe is still there after it returns; these
// probes, called from the same frame as the function under test, look at exactly that region.
//
//   stack_residue::clear();        // the region as zeros
//   call_under_test();
//   EXPECT_FALSE(stack_residue::holds(secretBytes));
//
// `can_see()` proves, on this compiler and build, that a local left behind is found; a test
// skips when it cannot (a sanitizer may move locals off the stack).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stack_residue {

inline constexpr std::size_t kDepth = 96 * 1024;

[[gnu::noinline]] inline void clear() {
  volatile std::uint8_t area[kDepth];  // a C array: std::array has no volatile access
  for (std::size_t i = 0; i < kDepth; ++i) area[i] = 0;
  asm volatile("" : : "r"(area) : "memory");  // the stores are the point: keep them
}

// True when `needle` lies in the region (read, never written, by this probe).
[[gnu::noinline]] inline bool holds(std::span<const std::uint8_t> needle) {
  volatile std::uint8_t area[kDepth];  // left uninitialised: the residue is the point
  std::vector<std::uint8_t> copy(kDepth);
  for (std::size_t i = 0; i < kDepth; ++i) copy[i] = area[i];
  return std::search(copy.begin(), copy.end(), needle.begin(), needle.end()) != copy.end();
}

// A local that is not wiped, for the positive control.
[[gnu::noinline]] inline void leave(std::span<const std::uint8_t> bytes) {
  volatile std::uint8_t local[4096];
  for (std::size_t i = 0; i < bytes.size() && i < sizeof local; ++i) local[i] = bytes[i];
  asm volatile("" : : "r"(local) : "memory");
}

[[gnu::noinline]] inline bool can_see() {
  const std::array<std::uint8_t, 16> marker = {0x5e, 0xc7, 0x1a, 0xb2, 0x93, 0x04, 0xfe, 0x6d,
                                               0x21, 0x88, 0x3c, 0xd9, 0x47, 0xa0, 0x15, 0x7b};
  clear();
  leave(marker);
  return holds(marker);
}

}  // namespace stack_residue
