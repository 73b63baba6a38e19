// Importing a private key made elsewhere: read it, check that it is the set's key and a
// consistent one, prove that it signs, then hand it to the key-pair command, which lays it out
// and writes the set's files (or stores it in a token) as for a key it made itself.
#include "core/import_key.h"

#include <algorithm>
#include <array>
#include <span>

#include "bignum/bignum.h"
#include "core/commands.h"
#include "core/files.h"
#include "core/key_store.h"
#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "format/private_key_der.h"

namespace core {

namespace {

using Digits = qiv::SecretArray<std::uint32_t, 2 * QIV_RSA_MAX_DIGITS + 2>;

bool top_bit_set(const std::uint32_t* digits, std::uint32_t count, std::uint32_t want) {
  return count == want && (digits[count - 1] >> 31) != 0;
}

bool equal(const std::uint32_t* a, const std::uint32_t* b, std::uint32_t n) {
  return std::equal(a, a + n, b);
}

// r = a mod m (m of nm digits, top digit non-zero, nm <= na); r has nm digits.
void mod(std::uint32_t* r, const std::uint32_t* a, std::uint32_t na, std::uint32_t* m,
         std::uint32_t nm) {
  static_cast<void>(qiv_bn_Div(nullptr, r, a, na, m, nm));
}

// Widens a field to `count` digits: the digits above its own count are zero already (the
// reader clears the record), only the count changes.
void widen(std::uint32_t& count, std::uint32_t want) { count = std::max(count, want); }

}  // namespace

std::optional<std::string> check_imported_key(QIV_RSA_PRIVATE_KEY& key,
                                              const sbl::KeySetLayout& set) {
  const std::uint32_t k = set.modulusBits / 32;
  const std::uint32_t h = k / 2;
  const std::string bits = std::to_string(set.modulusBits);
  if (!top_bit_set(key.n, key.n_count, k)) {
    return "the key is not of " + bits + " bits, as the " + set.name + " set's keys are";
  }
  if (key.e_count != 1 || key.e[0] != set.publicExponent) {
    return "the public exponent is not " + std::to_string(set.publicExponent) + ", as the " +
           set.name + " set's is";
  }
  if (!top_bit_set(key.p, key.p_count, h) || !top_bit_set(key.q, key.q_count, h)) {
    return "the primes are not of " + std::to_string(set.modulusBits / 2) + " bits each";
  }
  if (equal(key.p, key.q, h)) return "the two primes are equal";
  if (key.d_count > k || key.dP_count > h || key.dQ_count > h) {
    return "the private exponents are longer than the modulus";
  }
  // Our key generation orders p > q; the other order only swaps the CRT halves.
  if (qiv_bn_cmp(key.p, h, key.q, h) < 0) {
    std::swap_ranges(key.p, key.p + h, key.q);
    std::swap_ranges(key.dP, key.dP + QIV_RSA_MAX_HALF_DIGITS, key.dQ);
    std::swap(key.dP_count, key.dQ_count);
  }
  Digits product;
  qiv_bn_Mul(product.data(), key.p, h, key.q, h);
  if (!equal(product.data(), key.n, k)) return "n is not the product of the two primes";

  // e*d = 1 modulo p-1 and modulo q-1, and the CRT exponents are d reduced by each.
  widen(key.d_count, k);
  Digits ed;
  std::fill_n(ed.data(), k + 1, 0u);
  ed[k] = qiv_bn_MulAdd(ed.data(), k, key.d, k, key.e[0]);
  for (int half = 0; half < 2; ++half) {
    std::uint32_t* prime = half == 0 ? key.p : key.q;
    const std::uint32_t* crt = half == 0 ? key.dP : key.dQ;
    qiv::SecretArray<std::uint32_t, QIV_RSA_MAX_HALF_DIGITS> less;
    qiv::SecretArray<std::uint32_t, QIV_RSA_MAX_HALF_DIGITS> r;
    const std::uint32_t one = 1;
    qiv_bn_Sub(less.data(), prime, h, &one, 1);  // p is odd-or-not, p-1 keeps the top bit
    mod(r.data(), ed.data(), k + 1, less.data(), h);
    if (r[0] != 1 || !std::all_of(r.data() + 1, r.data() + h, [](std::uint32_t x) { return x == 0; })) {
      return "e*d is not 1 modulo lcm(p-1, q-1): the private exponent does not match";
    }
    mod(r.data(), key.d, k, less.data(), h);
    if (!equal(r.data(), crt, h)) return "the CRT exponents do not match d";
  }
  widen(key.dP_count, h);
  widen(key.dQ_count, h);
  // qInv from p and q themselves: whatever the file held, it now matches the order above.
  std::fill(std::begin(key.qInv), std::end(key.qInv), 0u);
  if (qiv_bn_Euclid(key.qInv, key.q, key.p, h) != 0) return "q has no inverse modulo p";
  key.qInv_count = h;
  return std::nullopt;
}

bool signs_and_verifies(const QIV_RSA_PRIVATE_KEY& key, const sbl::KeySetLayout& set) {
  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> digest{};
  static constexpr char kProbe[] = "a key made elsewhere signs once before it is taken";
  QIV_SHA1_CTX sha;
  QIV_SHA1_Init(&sha);
  QIV_SHA1_Update(&sha, kProbe, sizeof kProbe);
  QIV_SHA1_Final(&sha, digest.data());
  std::array<std::uint32_t, QIV_RSA_MAX_DIGITS> signature{};
  std::uint32_t digits = 0;
  const std::uint32_t k = key.n_count;
  if (set.crtSigning) {
    QIV_RSA_PSS_SignCRT(&digits, signature.data(), &key, QIV_SHA1_DIGEST_LEN, digest.data(),
                        QIV_SHA1_DIGEST_LEN);
  } else {
    QIV_RSA_PSS_Sign(&digits, signature.data(), k, key.n, key.d, QIV_SHA1_DIGEST_LEN,
                     digest.data(), QIV_SHA1_DIGEST_LEN);
  }
  return digits == k && QIV_RSA_PSS_Verify(k, key.n, signature.data(), key.e_count, key.e,
                                           QIV_SHA1_DIGEST_LEN, digest.data()) == 0;
}

std::int32_t import_key_pair(Report& report, const ImportJob& job) {
  const sbl::KeySetLayout& set = *job.pair.set;
  qiv::SecretBuffer file(format::kMaxPrivateKeyFileBytes);
  if (!file.ok()) {
    return report.refuse(Class::kSystem, Event::kOutOfMemory, job.keyFile, "out of memory",
                         kKeyFileRejected);
  }
  const WholeFile read = read_whole_file(report, job.keyFile, {file.data(), file.size()});
  if (read.status == WholeFile::kFailed) return kKeyFileRejected;
  if (read.status == WholeFile::kTooLong) {
    return report.refuse(Class::kInput, Event::kSilent, job.keyFile,
                         "longer than any private key file", kKeyFileRejected);
  }
  const std::span<const std::uint8_t> bytes(file.data(), read.length);
  qiv::SecretBuffer passphrase(0);
  if (format::private_key_is_encrypted(bytes) &&
      (!job.passphrase || !job.passphrase(passphrase))) {
    if (report.refused()) return kKeyFileRejected;
    return report.refuse(Class::kUsage, Event::kSilent, job.keyFile,
                         "the key is encrypted and no passphrase was given", kKeyFileRejected);
  }
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  std::string error;
  if (!format::read_private_key(bytes, {passphrase.data(), passphrase.size()}, *key, error)) {
    return report.refuse(Class::kInput, Event::kSilent, job.keyFile, error, kKeyFileRejected);
  }
  if (const auto cause = check_imported_key(*key, set)) {
    return report.refuse(Class::kKey, Event::kSilent, job.keyFile, *cause, kKeyFileRejected);
  }
  if (!signs_and_verifies(*key, set)) {
    return report.refuse(Class::kKey, Event::kSilent, job.keyFile,
                         "the key's signature does not verify", kKeyFileRejected);
  }
  KeyPairJob pair = job.pair;
  pair.given = key.get();
  return make_key_pair(report, pair);
}

}  // namespace core
