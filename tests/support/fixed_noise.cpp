// Deterministic noise for tests; see fixed_noise.h.
#include "tests/support/fixed_noise.h"

#include "crypto/endian.h"
#include "random/prng_state.h"
#include "random/random.h"

namespace {
std::uint32_t noise_calls = 0;
}  // namespace

std::uint32_t qiv_test_noise_calls() {
  return noise_calls;
}

void qiv_test_reset_random() {
  using namespace qiv::prng;
  sabSecretState.fill(0);
  sabRandPool.fill(0);
  suCount = kInitialCount;
  uIndexRandPool = kPoolUsedUp;
  noise_calls = 0;
}

void qiv_test_noise_pattern(std::uint32_t call, std::uint8_t* target, std::uint32_t length) {
  for (std::uint32_t j = 0; j < length / 4; ++j) {
    const std::uint32_t w = (call + 1) * 0x9E3779B9u ^ (j + 1) * 0x85EBCA6Bu;
    qiv::store_le32(target + 4 * j, qiv::load_le32(target + 4 * j) ^ w);
  }
}

void qiv_GetNoise(std::uint8_t* target, std::uint32_t length) {
  if (target == nullptr) return;
  qiv_test_noise_pattern(noise_calls++, target, length);
}
