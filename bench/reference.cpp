#include "bench/reference.h"

#include <random>

namespace qiv::bench {

Bytes pattern(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

Digits random_modulus(std::uint32_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Digits m(n);
  for (auto& d : m) d = static_cast<std::uint32_t>(gen());
  m.front() |= 1u;
  m.back() |= 0x80000000u;
  return m;
}

Digits random_below(const Digits& m, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Digits a(m.size());
  for (auto& d : a) d = static_cast<std::uint32_t>(gen());
  // The top digit of m is at least 2^31, so this is below it and a < m whatever lies under it.
  a.back() = static_cast<std::uint32_t>(a.back() % m.back());
  return a;
}

KeyPair make_key(int bits, std::uint32_t e, bool crt) {
  KeyPair pair;
  pair.ours = ref::openssl_generated_key(bits, e);
  pair.openssl = to_pkey(pair.ours, crt);
  return pair;
}

Owned<EVP_PKEY> to_pkey(const QIV_RSA_PRIVATE_KEY& key, bool crt) {
  return ref::to_pkey(key, crt ? ref::KeyParts::kPrivateCrt : ref::KeyParts::kPrivate);
}

Owned<EVP_PKEY_CTX> pss_context(EVP_PKEY* key, bool sign) {
  return ref::pss_context(key, 20, sign);
}

}  // namespace qiv::bench
