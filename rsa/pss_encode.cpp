// RSASSA-PSS encoding (EMSA-PSS-ENCODE over SHA-1 and MGF1-SHA-1) into the representative.
#include "rsa/pss_encode.h"

#include <array>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "random/random.h"
#include "rsa/rsa.h"

namespace {

constexpr std::array<std::uint8_t, 8> kMPrimePrefix{};  // M' starts with eight zero bytes

// SHA-1 Update rejects a null pointer even for an empty part; an empty part adds nothing.
void absorb(QIV_SHA1_CTX& ctx, const std::uint8_t* data, std::uint32_t len) {
  if (len != 0) QIV_SHA1_Update(&ctx, data, len);
}

}  // namespace

void qiv_PSS_HashMPrime(const std::uint8_t* mHash, std::uint32_t mHashLen, const std::uint8_t* salt,
                        std::uint32_t sLen, std::uint8_t* h) {
  QIV_SHA1_CTX ctx;
  QIV_SHA1_Init(&ctx);
  absorb(ctx, kMPrimePrefix.data(), static_cast<std::uint32_t>(kMPrimePrefix.size()));
  absorb(ctx, mHash, mHashLen);
  absorb(ctx, salt, sLen);
  QIV_SHA1_Final(&ctx, h);
}

void qiv_PSS_EncodeAroundSalt(std::uint8_t* em, std::uint32_t emLen, const std::uint8_t* digest,
                              std::uint32_t digestLen, std::uint32_t sLen) {
  using namespace qiv::pss;
  const EmLayout at = em_layout(emLen / 4);
  const std::uint32_t ps_len = at.db_len - 1 - sLen;
  const std::uint8_t* salt = em + ps_len + 1;

  mem_set(em, 0, ps_len);
  em[ps_len] = kSaltMarker;
  qiv_PSS_HashMPrime(digest, digestLen, salt, sLen, em + at.h_pos);
  em[at.trailer_pos] = kTrailer;
  qiv_PKCS1_MGF1_Sha1(em, at.db_len, em + at.h_pos, kHashLen);
  // The modulus has its top bit set, so clearing the first bit puts the representative
  // below it.
  em[0] &= kFirstBitClear;
}

void qiv_PSS_EncodeRepresentative(std::uint32_t* m, std::uint32_t k, const std::uint8_t* digest,
                                  std::uint32_t digestLen, std::uint32_t sLen) {
  using namespace qiv::pss;
  // Room for the key record's largest modulus, so a record that slipped past its caller's
  // checks cannot overflow the buffer.
  qiv::SecretArray<std::uint8_t, 4 * QIV_RSA_MAX_DIGITS> em;
  const EmLayout at = em_layout(k);
  const std::uint32_t salt_pos = at.db_len - sLen;

  // The salt is the only draw of a signature; its result cannot fail on a valid buffer.
  QIV_SHA1_PRNG_Rand(sLen, em.data() + salt_pos);
  qiv_PSS_EncodeAroundSalt(em.data(), at.em_len, digest, digestLen, sLen);
  OS2BN(m, em.data(), at.em_len);
}
