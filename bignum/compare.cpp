// Copying and comparing big numbers of possibly different digit counts.

#include "bignum/bignum.h"

void qiv_bn_copy(std::uint32_t* dst, const std::uint32_t* src, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) dst[i] = src[i];
}

// The longer operand's extra digits decide first: any non-zero one makes it the larger. Only
// digits below each operand's own count are read, whichever operand is longer.
int qiv_bn_cmp(const std::uint32_t* a, std::uint32_t na, const std::uint32_t* b, std::uint32_t nb) {
  for (std::uint32_t i = na; i-- > nb;) {
    if (a[i] != 0) return 1;
  }
  for (std::uint32_t i = nb; i-- > na;) {
    if (b[i] != 0) return -1;
  }
  for (std::uint32_t i = na < nb ? na : nb; i-- > 0;) {
    if (a[i] > b[i]) return 1;
    if (a[i] < b[i]) return -1;
  }
  return 0;
}
