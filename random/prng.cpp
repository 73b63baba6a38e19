// The SHA-1 pseudo-random generator.
//
// Output is served from a 40-byte pool P. A used-up pool is refilled by hashing the secret state
// S together with the previous pool, and each refill also overwrites one half of S (alternating
// halves), so S moves on with every 40 output bytes and earlier output cannot be recomputed from
// a later S. Noise is stirred into S on the first request, after every 32 refills and whenever
// a seed is added. The order of these steps decides which bytes every caller gets.
#include <algorithm>
#include <span>

#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "random/noise_internal.h"
#include "random/prng_state.h"
#include "random/random.h"

namespace qiv::prng {

std::array<std::uint8_t, kStateLen> sabSecretState{};
std::array<std::uint8_t, kStateLen> sabRandPool{};
std::uint32_t suCount = kInitialCount;
std::uint32_t uIndexRandPool = kPoolUsedUp;

namespace {

using Half = std::span<std::uint8_t, kHalfLen>;
using Whole = std::span<const std::uint8_t, kStateLen>;

Half first_half(std::array<std::uint8_t, kStateLen>& a) {
  return Half(a.data(), kHalfLen);
}
Half second_half(std::array<std::uint8_t, kStateLen>& a) {
  return Half(a.data() + kHalfLen, kHalfLen);
}

// out = SHA-1(a || b). The inputs are fully absorbed before the digest is written, so out may
// lie inside them. The SHA-1 calls cannot fail on these buffers.
void hash_into(Half out, Whole a, std::span<const std::uint8_t> b = {}) {
  QIV_SHA1_CTX ctx{};
  QIV_SHA1_Init(&ctx);
  QIV_SHA1_Update(&ctx, a.data(), kStateLen);
  if (!b.empty()) QIV_SHA1_Update(&ctx, b.data(), static_cast<std::uint32_t>(b.size()));
  QIV_SHA1_Final(&ctx, out.data());
  wipe_object(ctx);
}

// Noise into S, then S rehashed half by half; the second half is hashed over the new first.
void reseed() {
  qiv_GetNoise(sabSecretState.data(), kStateLen);
  hash_into(first_half(sabSecretState), sabSecretState);
  hash_into(second_half(sabSecretState), sabSecretState);
  suCount = 0;
}

// P rebuilt half by half from S || P, then one half of S (first when suCount is even) replaced
// by the hash of S || the completely new P.
void refill() {
  hash_into(first_half(sabRandPool), sabSecretState, sabRandPool);
  hash_into(second_half(sabRandPool), sabSecretState, sabRandPool);
  const Half renewed = suCount % 2 == 0 ? first_half(sabSecretState) : second_half(sabSecretState);
  hash_into(renewed, sabSecretState, sabRandPool);
  ++suCount;
}

// Serves n pool bytes starting at `from` and returns the output position after them.
std::uint8_t* serve(std::uint8_t* out, std::uint32_t from, std::uint32_t n) {
  return std::copy_n(sabRandPool.begin() + from, n, out);
}

}  // namespace
}  // namespace qiv::prng

std::int32_t QIV_SHA1_PRNG_Rand(std::uint32_t n, void* out) {
  using namespace qiv::prng;
  if (out == nullptr) return QIV_ERR_NULL_PTR;
  auto* dst = static_cast<std::uint8_t*>(out);

  // The reseed test runs only here: a long request refills as often as it needs without
  // reseeding, and the request after it reseeds.
  if (suCount >= kReseedAfterRefills) reseed();

  // Bytes a previous request left in the pool are served first.
  if (uIndexRandPool < kPoolUsedUp) {
    const std::uint32_t left = kPoolUsedUp - uIndexRandPool;
    if (n <= left) {
      serve(dst, uIndexRandPool, n);
      uIndexRandPool += n;
      return QIV_SUCCESS;
    }
    dst = serve(dst, uIndexRandPool, left);
    n -= left;
  }

  // At least one refill, even for n = 0: the last pool is served only as far as n reaches,
  // and its remaining bytes wait for the next request.
  refill();
  while (n > kStateLen) {
    dst = serve(dst, 0, kStateLen);
    n -= kStateLen;
    refill();
  }
  serve(dst, 0, n);
  uIndexRandPool = n;
  return QIV_SUCCESS;
}

std::int32_t QIV_SHA1_PRNG_AddSeed(const void* seed, std::uint32_t n) {
  using namespace qiv::prng;
  if (n > 0 && seed == nullptr) return QIV_ERR_NULL_PTR;
  // A seed longer than the state wraps around and is XORed over it again.
  const auto* bytes = static_cast<const std::uint8_t*>(seed);
  for (std::uint32_t i = 0; i < n; ++i) sabSecretState[i % kStateLen] ^= bytes[i];
  // The pool is left alone: bytes computed before the seed was added are still served first.
  reseed();
  return QIV_SUCCESS;
}

void qiv_SHA1_PRNG_Forget() {
  using namespace qiv::prng;
  qiv::wipe(sabSecretState.data(), sabSecretState.size());
  qiv::wipe(sabRandPool.data(), sabRandPool.size());
  suCount = kInitialCount;
  uIndexRandPool = kPoolUsedUp;
}

bool qiv_RandomDeviceGivesBytes() {
  return qiv::noise::random_device_gives_bytes(qiv::noise::random_device_path);
}
