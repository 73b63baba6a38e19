// PBKDF2 (RFC 8018): T_i = U_1 ^ U_2 ^ ... ^ U_c with U_1 = PRF(P, S || INT(i)) and
// U_j = PRF(P, U_{j-1}); the output is T_1 || T_2 || ... cut to the length asked for. The
// password keys the HMAC once; each U_j then costs only the two finishing compressions.
#include "crypto/crypto.h"
#include "crypto/wipe.h"

namespace {

using std::uint32_t;
using std::uint8_t;

constexpr uint32_t kMaxDigest = QIV_SHA256_DIGEST_LEN;

// The two HMACs behind one interface; the keyed state is wiped when it goes.
class Prf {
 public:
  Prf(uint32_t which, const void* password, uint32_t n) : sha256_(which == QIV_PRF_HMAC_SHA256) {
    if (sha256_) {
      QIV_SHA256_HMAC_SetInfo(h256_.get(), password, n);
    } else {
      QIV_SHA1_HMAC_SetInfo(h1_.get(), password, n);
    }
  }
  [[nodiscard]] uint32_t size() const {
    return sha256_ ? QIV_SHA256_DIGEST_LEN : QIV_SHA1_DIGEST_LEN;
  }
  // tag = PRF(a || b); b may be empty.
  void mac(const uint8_t* a, uint32_t na, const uint8_t* b, uint32_t nb, uint8_t* tag) {
    if (sha256_) {
      QIV_SHA256_HMAC_Init(h256_.get());
      if (na != 0) QIV_SHA256_HMAC_Update(h256_.get(), a, na);
      if (nb != 0) QIV_SHA256_HMAC_Update(h256_.get(), b, nb);
      QIV_SHA256_HMAC_Final(h256_.get(), tag);
    } else {
      QIV_SHA1_HMAC_Init(h1_.get());
      if (na != 0) QIV_SHA1_HMAC_Update(h1_.get(), a, na);
      if (nb != 0) QIV_SHA1_HMAC_Update(h1_.get(), b, nb);
      QIV_SHA1_HMAC_Final(h1_.get(), tag);
    }
  }

 private:
  bool sha256_;
  qiv::Wiped<QIV_SHA1_HMAC_CTX> h1_;
  qiv::Wiped<QIV_SHA256_HMAC_CTX> h256_;
};

}  // namespace

std::int32_t QIV_PBKDF2(uint32_t prf, const void* password, uint32_t passwordLen,
                        const uint8_t* salt, uint32_t saltLen, uint32_t iterations, uint8_t* out,
                        uint32_t outLen) {
  if (out == nullptr || (password == nullptr && passwordLen != 0) ||
      (salt == nullptr && saltLen != 0)) {
    return QIV_ERR_NULL_PTR;
  }
  if ((prf != QIV_PRF_HMAC_SHA1 && prf != QIV_PRF_HMAC_SHA256) || iterations == 0 ||
      outLen == 0) {
    return QIV_ERR_BAD_PARAM;
  }
  static const uint8_t kNothing = 0;
  Prf mac(prf, password != nullptr ? password : &kNothing, passwordLen);
  const uint32_t h = mac.size();

  qiv::SecretArray<uint8_t, kMaxDigest> u;
  qiv::SecretArray<uint8_t, kMaxDigest> t;
  uint32_t done = 0;
  for (uint32_t block = 1; done < outLen; ++block) {
    const uint8_t index[4] = {static_cast<uint8_t>(block >> 24), static_cast<uint8_t>(block >> 16),
                              static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
    mac.mac(salt, saltLen, index, 4, u.data());
    mem_copy(t.data(), u.data(), h);
    for (uint32_t j = 1; j < iterations; ++j) {
      mac.mac(u.data(), h, nullptr, 0, u.data());
      mem_xor(t.data(), t.data(), u.data(), h);
    }
    const uint32_t take = outLen - done < h ? outLen - done : h;
    mem_copy(out + done, t.data(), take);
    done += take;
  }
  return QIV_SUCCESS;
}
