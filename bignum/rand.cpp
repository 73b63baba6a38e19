// Random big numbers from the process-wide generator.

#include <bit>
#include <limits>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "random/random.h"

// The generator's bytes land in the digits' memory as they come: on the little-endian targets
// digit i is made of output bytes 4i .. 4i+3, least significant first. A digit count whose byte
// length does not fit the generator's 32-bit length is refused rather than silently shortened.
static_assert(std::endian::native == std::endian::little,
              "random digits are the generator's bytes in little-endian digit order");

std::int32_t qiv_bn_rand(std::uint32_t* dst, std::uint32_t n) {
  if (dst != nullptr && n > std::numeric_limits<std::uint32_t>::max() / 4) {
    return QIV_ERR_BAD_PARAM;
  }
  return QIV_SHA1_PRNG_Rand(4 * n, dst);
}
