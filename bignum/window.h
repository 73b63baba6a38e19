// One step of schoolbook long division, shared by qiv_bn_Div and qiv_bn_ClassicalRed.
//
// A window is nd + 1 digits w[0 .. nd] whose top nd digits, read as a number, are below the
// nd-digit divisor d; d is normalised (top bit of d[nd-1] set). The step finds the quotient digit
// floor(w / d), which fits one digit because of the first condition, and leaves w mod d in
// w[0 .. nd-1] with w[nd] = 0.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"
#include "bignum/digits.h"

namespace qiv::bn {

// Estimate from the window's top two digits and the divisor's top digit. With d normalised and
// the window's top below d, the estimate is never too small and at most 2 too large (Knuth,
// TAOCP 4.3.1, Theorem B). wHi <= dTop always holds; at equality the true quotient is still at
// most 0xFFFFFFFF, so the estimate is capped there.
constexpr std::uint32_t estimate_quotient(std::uint32_t wHi, std::uint32_t wLo,
                                          std::uint32_t dTop) {
  if (wHi == dTop) return 0xFFFFFFFFu;
  return lo(((std::uint64_t{wHi} << 32) | wLo) / dTop);
}

// w[0 .. nd] += d; returns the carry out of w[nd].
inline bool add_back(std::uint32_t* w, const std::uint32_t* d, std::uint32_t nd) {
  const std::uint32_t carry = qiv_bn_Add(w, w, nd, d, nd);
  const std::uint32_t top = w[nd] + carry;
  const bool out = top < w[nd];
  w[nd] = top;
  return out;
}

// Subtracts qhat * d from the window and corrects qhat downwards; returns the exact digit.
inline std::uint32_t reduce_window(std::uint32_t* w, const std::uint32_t* d, std::uint32_t nd,
                                   std::uint32_t qhat) {
  const std::uint32_t borrow = qiv_bn_MulSub(w, nd, d, nd, qhat);
  const std::uint32_t top = w[nd];
  w[nd] = top - borrow;
  if (top >= borrow) return qhat;
  // The window went negative (modulo 2^(32(nd+1))): qhat was too large, by 1 or 2. Adding d back
  // carries out of the top exactly when the window becomes non-negative again.
  --qhat;
  if (add_back(w, d, nd)) return qhat;
  --qhat;
  add_back(w, d, nd);
  return qhat;
}

}  // namespace qiv::bn
