#include "cli/working_buffers.h"

#include "random/prng_state.h"
#include "sbl/secret.h"

std::array<std::uint8_t, kPublicKeyBufferSize> publicKey{};
std::uint32_t publicKeyLen = 0;
std::array<std::uint8_t, kPrivateKeyBufferSize> privateKey{};
std::uint32_t privateKeyLen = 0;
std::array<std::uint8_t, sbl::ContextV21::kSize> sb20_Context{};
std::array<std::uint8_t, sbl::ContextV11::kSize> sb10_Context{};
std::array<std::uint8_t, sbl::EFuseV21::kSize> sb20_eFuseData{};
std::uint32_t sb20_eFuseDataLen = 0;
std::array<std::uint8_t, sbl::EFuseV11::kSize> sb10_eFuseData{};
std::uint32_t sb10_eFuseDataLen = 0;
std::array<std::uint8_t, kSb10PublicKeyRecordSize> sb10_pubkey_file{};
std::array<std::uint8_t, kSb10PrivateKeyRecordSize> sb10_privkey_file{};

namespace {

template <typename T>
void wipe(T& object) {
  sbl::secure_wipe(&object, sizeof object);
}

// The generator keeps the pool bytes it has served until its next refill, which hashes them:
// after a key pair these are the integrity key (the eFuse value XOR the record's tag) and the
// self-signature's salt. At exit nothing draws from it again, so its state is zeroed and set
// back to where a process starts (reseed due, pool used up).
void forget_random_state() {
  using namespace qiv::prng;
  wipe(sabSecretState);
  wipe(sabRandPool);
  suCount = kInitialCount;
  uIndexRandPool = kPoolUsedUp;
}

// Static objects are destroyed on exit() as on a return from main. The buffers themselves are
// constant-initialised and trivially destructible, so they are still there when this runs.
struct WipeAtExit {
  WipeAtExit() = default;
  WipeAtExit(const WipeAtExit&) = delete;
  WipeAtExit& operator=(const WipeAtExit&) = delete;
  ~WipeAtExit() {
    wipe_working_buffers();
    forget_random_state();
  }
} wipeAtExit;

}  // namespace

void wipe_working_buffers() {
  wipe(publicKey);
  wipe(publicKeyLen);
  wipe(privateKey);
  wipe(privateKeyLen);
  wipe(sb20_Context);
  wipe(sb10_Context);
  wipe(sb20_eFuseData);
  wipe(sb20_eFuseDataLen);
  wipe(sb10_eFuseData);
  wipe(sb10_eFuseDataLen);
  wipe(sb10_pubkey_file);
  wipe(sb10_privkey_file);
}
