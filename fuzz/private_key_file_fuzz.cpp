// The private key readers on arbitrary files: PEM armour and base64, the DER walk, PKCS#1,
// PKCS#8 and PBES2-encrypted PKCS#8.
//
// Input: [passphrase length, mod 32][passphrase][key file: the rest]
//
// Whatever the bytes:
// - a refusal is one non-empty line and leaves the key record all zero;
// - an accepted key has every number within its field and in minimal form (no zero top digit);
// - the raw DER readers, fed the file itself, keep the same two rules;
// - strict base64 of the file either fails or decodes to exactly 3/4 of its length less the
//   padding, and decoding is deterministic.
#include <string>

#include "crypto/wipe.h"
#include "format/pem.h"
#include "format/private_key_der.h"
#include "fuzz/fuzz_support.h"

namespace {

bool all_zero(const QIV_RSA_PRIVATE_KEY& key) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&key);
  return std::all_of(b, b + sizeof key, [](std::uint8_t x) { return x == 0; });
}

bool minimal(const std::uint32_t* digits, std::uint32_t count, std::uint32_t capacity) {
  return count <= capacity && (count == 0 || digits[count - 1] != 0);
}

using Read = bool (*)(std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                      QIV_RSA_PRIVATE_KEY&, std::string&);

void check(Read read, std::span<const std::uint8_t> file, std::span<const std::uint8_t> pass) {
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  std::string error = "stale";
  if (read(file, pass, *key, error)) {
    FUZZ_CHECK(minimal(key->n, key->n_count, QIV_RSA_MAX_DIGITS));
    FUZZ_CHECK(minimal(key->e, key->e_count, QIV_RSA_MAX_DIGITS));
    FUZZ_CHECK(minimal(key->d, key->d_count, QIV_RSA_MAX_DIGITS));
    FUZZ_CHECK(minimal(key->p, key->p_count, QIV_RSA_MAX_HALF_DIGITS));
    FUZZ_CHECK(minimal(key->q, key->q_count, QIV_RSA_MAX_HALF_DIGITS));
    FUZZ_CHECK(minimal(key->dP, key->dP_count, QIV_RSA_MAX_HALF_DIGITS));
    FUZZ_CHECK(minimal(key->dQ, key->dQ_count, QIV_RSA_MAX_HALF_DIGITS));
    FUZZ_CHECK(minimal(key->qInv, key->qInv_count, QIV_RSA_MAX_HALF_DIGITS));
  } else {
    FUZZ_CHECK(!error.empty() && error != "stale");
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    FUZZ_CHECK(all_zero(*key));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::size_t passLen = std::min<std::size_t>(in.u8() % 32, size > 0 ? size - 1 : 0);
  const std::size_t head = std::min<std::size_t>(size, 1 + passLen);
  const std::span<const std::uint8_t> pass(data + std::min<std::size_t>(size, 1), head - std::min<std::size_t>(size, 1));
  const std::span<const std::uint8_t> file(data + head, size - head);

  check(format::read_private_key, file, pass);
  check([](auto f, auto, auto& k, auto& e) { return format::read_rsa_private_key_der(f, k, e); },
        file, pass);
  check([](auto f, auto, auto& k, auto& e) { return format::read_private_key_info_der(f, k, e); },
        file, pass);
  check(format::read_encrypted_private_key_info_der, file, pass);
  static_cast<void>(format::private_key_is_encrypted(file));

  qiv::SecretBuffer once(0);
  qiv::SecretBuffer twice(0);
  const bool decoded = format::base64_decode(file, once);
  FUZZ_CHECK(decoded == format::base64_decode(file, twice));
  if (decoded) {
    FUZZ_CHECK(file.size() % 4 == 0);
    FUZZ_CHECK(once.size() + 2 >= file.size() / 4 * 3 && once.size() <= file.size() / 4 * 3);
    FUZZ_CHECK(once.size() == twice.size() &&
               std::equal(once.data(), once.data() + once.size(), twice.data()));
  }
  return 0;
}
