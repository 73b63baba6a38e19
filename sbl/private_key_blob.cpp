// Private key blob parser.
#include "sbl/private_key_blob.h"

#include <array>
#include <cstddef>

#include "bignum/bignum.h"
#include "crypto/endian.h"
#include "sbl/layout.h"

namespace sbl {
namespace {

// Where one component lands in the record.
struct Field {
  std::uint32_t* digits;
  std::uint32_t* count;
  std::uint32_t capacity;  // in digits
};

template <std::size_t N>
constexpr Field field(std::uint32_t (&digits)[N], std::uint32_t& count) {
  return Field{digits, &count, static_cast<std::uint32_t>(N)};
}

std::array<Field, 8> crt_fields(QIV_RSA_PRIVATE_KEY& k) {
  return {field(k.n, k.n_count),   field(k.e, k.e_count),      field(k.d, k.d_count),
          field(k.p, k.p_count),   field(k.q, k.q_count),      field(k.dP, k.dP_count),
          field(k.dQ, k.dQ_count), field(k.qInv, k.qInv_count)};
}

std::array<Field, PrivateKeyBlob::kPlainComponentsUsed> plain_fields(QIV_RSA_PRIVATE_KEY& k) {
  return {field(k.n, k.n_count), field(k.d, k.d_count)};
}

// Two passes: the first walks the length fields and proves that every component lies inside
// the blob, is whole digits and fits its field; only then does the second copy. So a malformed
// blob never writes a byte.
template <std::size_t N>
bool load_components(std::span<const std::uint8_t> blob, const std::array<Field, N>& fields) {
  constexpr std::size_t kLen = PrivateKeyBlob::kLengthFieldSize;
  std::array<std::uint32_t, N> lengths{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (blob.size() - pos < kLen) return false;
    const std::uint32_t len = qiv::load_le32(blob.data() + pos);
    pos += kLen;
    if (len % kDigitSize != 0 || len / kDigitSize > fields[i].capacity) return false;
    if (blob.size() - pos < len) return false;
    lengths[i] = len;
    pos += len;
  }
  pos = 0;
  for (std::size_t i = 0; i < N; ++i) {
    pos += kLen;
    const std::uint32_t digits = lengths[i] / kDigitSize;
    qiv::load_digits(fields[i].digits, blob.data() + pos, digits);
    *fields[i].count = digits;
    pos += lengths[i];
  }
  return true;
}

constexpr std::uint32_t kTopBit = 0x80000000u;

bool has_top_bit(const std::uint32_t* digits, std::uint32_t count) {
  return count > 0 && (digits[count - 1] & kTopBit) != 0;
}

bool usable_modulus_and_d(const QIV_RSA_PRIVATE_KEY& key) {
  const std::uint32_t k = key.n_count;
  return k >= PrivateKeyBlob::kMinModulusDigits && k <= PrivateKeyBlob::kMaxModulusDigits &&
         has_top_bit(key.n, k) && key.d_count <= k;
}

// The CRT operation takes p, q and qInv as h = k/2 digits whatever their counts say,
// exponentiates with dP, dQ over their stored counts, and recombines with one conditional
// addition of p, which suffices only when p > q.
bool usable_crt_values(const QIV_RSA_PRIVATE_KEY& key) {
  if (key.n_count % 2 != 0) return false;
  const std::uint32_t h = key.n_count / 2;
  const bool primes = key.p_count == h && key.q_count == h && has_top_bit(key.p, h) &&
                      has_top_bit(key.q, h) && qiv_bn_cmp(key.p, h, key.q, h) > 0;
  const bool exponents =
      key.dP_count >= 1 && key.dP_count <= h && key.dQ_count >= 1 && key.dQ_count <= h;
  return primes && exponents && key.qInv_count <= h;
}

}  // namespace

bool load_private_key_blob(std::span<const std::uint8_t> blob, KeyForm form,
                           QIV_RSA_PRIVATE_KEY& key) {
  if (form == KeyForm::kCrt) {
    return load_components(blob, crt_fields(key)) && usable_modulus_and_d(key) &&
           usable_crt_values(key);
  }
  return load_components(blob, plain_fields(key)) && usable_modulus_and_d(key);
}

}  // namespace sbl
