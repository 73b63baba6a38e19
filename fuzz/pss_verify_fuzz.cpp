// QIV_RSA_PSS_Verify with an arbitrary digit count, modulus, exponent, signature and digest.
//
// Input: [k: u8] [exponent digits: u8, taken mod 9] [modulus: 4k] [signature: 4k]
//        [exponent: 4 x digits] [mHash: the rest]
// Each number sits in a heap array of exactly its size, so a read past it is a sanitizer
// report. Invariants:
// - the result is 0 or QIV_ERR_FAIL, nothing else;
// - nothing passed in is modified;
// - a digit count outside 6..64, a modulus without its top bit, or an exponent that is even or
//   below 3 (it proves no private key: e = 1 accepts the encoding itself) fails;
// - the result agrees with an independent verifier on OpenSSL's arithmetic (ref::pss_verify):
//   no signature is accepted that the scheme rejects, and none refused that it accepts.
#include <algorithm>
#include <memory>

#include "crypto/crypto.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"
#include "rsa/rsa.h"

namespace {

constexpr std::uint32_t kMaxExponentDigits = 8;

// Digits from their stored form, in an array of exactly count digits.
std::unique_ptr<std::uint32_t[]> digits_of(const fuzz::Bytes& le, std::uint32_t count) {
  std::unique_ptr<std::uint32_t[]> out(new std::uint32_t[count]);
  for (std::uint32_t i = 0; i < count; ++i) out[i] = fuzz::le32(le.data() + 4 * i);
  return out;
}

bool same_digits(const std::uint32_t* a, const fuzz::Bytes& le, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (a[i] != fuzz::le32(le.data() + 4 * i)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint32_t k = in.u8();
  const std::uint32_t eDigits = in.u8() % (kMaxExponentDigits + 1);
  const fuzz::Bytes modulusLe = in.bytes(4 * k);
  const fuzz::Bytes signatureLe = in.bytes(4 * k);
  const fuzz::Bytes exponentLe = in.bytes(4 * eDigits);
  const fuzz::Bytes mHashBytes = in.rest();

  const auto modulus = digits_of(modulusLe, k);
  const auto signature = digits_of(signatureLe, k);
  const auto exponent = digits_of(exponentLe, eDigits);
  const fuzz::Exact mHash(mHashBytes);

  const std::int32_t rc = QIV_RSA_PSS_Verify(k, modulus.get(), signature.get(), eDigits,
                                             exponent.get(), fuzz::u32(mHash.size()), mHash.data());

  FUZZ_CHECK(rc == QIV_SUCCESS || rc == QIV_ERR_FAIL);
  FUZZ_CHECK(same_digits(modulus.get(), modulusLe, k));
  FUZZ_CHECK(same_digits(signature.get(), signatureLe, k));
  FUZZ_CHECK(same_digits(exponent.get(), exponentLe, eDigits));
  FUZZ_CHECK(mHash.equals(mHashBytes));
  if (k < 6 || k > 64 || (modulus[k - 1] & 0x80000000u) == 0) FUZZ_CHECK(rc == QIV_ERR_FAIL);

  // Read off the bytes, not the digits: odd, and 3 or more.
  const bool exponentProves =
      !exponentLe.empty() && (exponentLe[0] & 1) != 0 &&
      (exponentLe[0] >= 3 || std::any_of(exponentLe.begin() + 1, exponentLe.end(),
                                         [](std::uint8_t b) { return b != 0; }));
  if (!exponentProves) FUZZ_CHECK(rc == QIV_ERR_FAIL);
  const bool expected =
      exponentProves && ref::pss_verify(modulusLe, signatureLe, exponentLe, mHashBytes);
  FUZZ_CHECK((rc == QIV_SUCCESS) == expected);
  return 0;
}
