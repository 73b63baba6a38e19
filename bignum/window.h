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

// The estimate for the window w[0 .. nd], refined with the divisor's second digit where it has
// one. With rhat = (wHi wLo) - qhat * dTop, the top three window digits minus qhat times the top
// two divisor digits are rhat * 2^32 + w[nd-2] - qhat * d[nd-2]. When that is negative, qhat
// times the divisor exceeds the window, so qhat is too large and is lowered; the true quotient
// q satisfies q * (top two divisor digits) <= top three window digits and is never passed. Once
// rhat reaches 2^32 the difference can no longer be negative. What remains is at most 1 too
// large, and seldom, so the add-backs all but vanish (Knuth, TAOCP 4.3.1, step D3).
inline std::uint32_t window_quotient(const std::uint32_t* w, const std::uint32_t* d,
                                     std::uint32_t nd) {
  std::uint32_t qhat = estimate_quotient(w[nd], w[nd - 1], d[nd - 1]);
  if (nd < 2) return qhat;
  const std::uint64_t top = (std::uint64_t{w[nd]} << 32) | w[nd - 1];
  // qhat * dTop <= top: the capped estimate of wHi = dTop takes off (2^32 - 1) * dTop.
  std::uint64_t rhat = top - std::uint64_t{qhat} * d[nd - 1];
  while (rhat <= 0xFFFFFFFFu && std::uint64_t{qhat} * d[nd - 2] > ((rhat << 32) | w[nd - 2])) {
    --qhat;
    rhat += d[nd - 1];
  }
  return qhat;
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
  const std::uint32_t borrow = sub_row(w, d, nd, qhat);
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
