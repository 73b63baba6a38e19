// Digit-level helpers shared by the big-number routines.
#pragma once

#include <cstdint>

#include "crypto/wipe.h"

namespace qiv::bn {

constexpr std::uint32_t lo(std::uint64_t t) {
  return static_cast<std::uint32_t>(t);
}
constexpr std::uint32_t hi(std::uint64_t t) {
  return static_cast<std::uint32_t>(t >> 32);
}

// Local work arrays hold secret values (primes, private exponents, CRT halves): they are wiped
// on every path out of their scope.
template <std::uint32_t N>
using Scratch = qiv::SecretArray<std::uint32_t, N>;

}  // namespace qiv::bn
