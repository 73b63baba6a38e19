#include "core/working_buffers.h"

#include "crypto/wipe.h"
#include "random/random.h"

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
  qiv::wipe(&object, sizeof object);
}

// Static objects are destroyed on exit() as on a return from main. The buffers themselves are
// constant-initialised and trivially destructible, so they are still there when this runs.
struct WipeAtExit {
  WipeAtExit() = default;
  WipeAtExit(const WipeAtExit&) = delete;
  WipeAtExit& operator=(const WipeAtExit&) = delete;
  ~WipeAtExit() {
    wipe_working_buffers();
    // The generator's pool still holds the last integrity key and salt it served.
    qiv_SHA1_PRNG_Forget();
  }
} wipeAtExit;

}  // namespace

void wipe_working_buffers() {
  wipe(publicKey);
  wipe(publicKeyLen);
  wipe(sb20_Context);
  wipe(sb10_Context);
  wipe(sb20_eFuseData);
  wipe(sb20_eFuseDataLen);
  wipe(sb10_eFuseData);
  wipe(sb10_eFuseDataLen);
  wipe(sb10_pubkey_file);
  wipe_private_key_buffers();
}

void wipe_private_key_buffers() {
  wipe(privateKey);
  wipe(privateKeyLen);
  wipe(sb10_privkey_file);
}
