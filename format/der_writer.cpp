#include "format/der_writer.h"

#include <algorithm>

#include "crypto/endian.h"

namespace der {

void append_tlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> contents) {
  out.push_back(tag);
  const std::size_t length = contents.size();
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else {
    // Long form: 0x80 | the count of length bytes, then the length big-endian, no leading zero.
    std::size_t bytes = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) ++bytes;
    out.push_back(static_cast<std::uint8_t>(0x80 | bytes));
    for (std::size_t i = bytes; i-- > 0;)
      out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  }
  out.insert(out.end(), contents.begin(), contents.end());
}

void append_unsigned_integer(Bytes& out, std::span<const std::uint8_t> bigEndian) {
  const auto first =
      std::find_if(bigEndian.begin(), bigEndian.end(), [](std::uint8_t b) { return b != 0; });
  Bytes value;
  if (first == bigEndian.end() || (*first & 0x80) != 0) value.push_back(0);
  value.insert(value.end(), first, bigEndian.end());
  append_tlv(out, kInteger, value);
}

Bytes rsa_public_key(std::span<const std::uint8_t> modulus,
                     std::span<const std::uint8_t> exponent) {
  Bytes numbers;
  append_unsigned_integer(numbers, modulus);
  append_unsigned_integer(numbers, exponent);
  Bytes out;
  append_tlv(out, kSequence, numbers);
  return out;
}

Bytes subject_public_key_info(std::span<const std::uint8_t> rsaPublicKey) {
  Bytes bits = {0};  // no unused bits in the last byte
  bits.insert(bits.end(), rsaPublicKey.begin(), rsaPublicKey.end());
  Bytes inner(kRsaEncryption.begin(), kRsaEncryption.end());
  append_tlv(inner, kBitString, bits);
  Bytes out;
  append_tlv(out, kSequence, inner);
  return out;
}

std::string base64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  // Three bytes make four characters of six bits each; a last group of one or two bytes is
  // filled with zero bits and its missing characters are '='.
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (n > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
    if (n > 2) group |= bytes[i + 2];
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

std::string pem(std::string_view label, std::span<const std::uint8_t> der) {
  constexpr std::size_t kLine = 64;
  const std::string text = base64(der);
  std::string out = "-----BEGIN " + std::string(label) + "-----\n";
  for (std::size_t i = 0; i < text.size(); i += kLine) out += text.substr(i, kLine) + "\n";
  return out + "-----END " + std::string(label) + "-----\n";
}

}  // namespace der

namespace {

std::uint32_t modulus_bytes(const sbl::KeySetLayout& set) {
  return set.modulusBits / 8;
}

}  // namespace

RsaPublicNumbers numbers_of_key_part(const sbl::KeySetLayout& set,
                                     std::span<const std::uint8_t> keyPart) {
  // The key part stores the modulus least significant byte first.
  const auto modulus = keyPart.subspan(set.record.modulus, modulus_bytes(set));
  RsaPublicNumbers numbers;
  numbers.modulus.assign(modulus.rbegin(), modulus.rend());
  const auto first = std::find_if(numbers.modulus.begin(), numbers.modulus.end(),
                                  [](std::uint8_t b) { return b != 0; });
  numbers.modulus.erase(numbers.modulus.begin(), first);
  numbers.exponent = qiv::load_le32(keyPart.data() + set.record.exponent);
  return numbers;
}

std::uint32_t key_part_of(const sbl::KeySetLayout& set, std::span<const std::uint8_t> modulus,
                          std::uint64_t exponent,
                          std::span<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const auto first =
      std::find_if(modulus.begin(), modulus.end(), [](std::uint8_t b) { return b != 0; });
  const auto n = modulus.subspan(static_cast<std::size_t>(first - modulus.begin()));
  // A set's modulus has exactly the set's bit length: its top byte has its top bit set.
  if (n.size() != modulus_bytes(set) || (n[0] & 0x80) == 0 || exponent != set.publicExponent) {
    return 0;
  }
  std::reverse_copy(n.begin(), n.end(), out.begin() + set.record.modulus);
  qiv::store_le32(out.data() + set.record.exponent, set.publicExponent);
  if (set.record.hasLengthFields) {  // each number's byte length stands just before it
    qiv::store_le32(out.data() + set.record.modulus - 4, modulus_bytes(set));
    qiv::store_le32(out.data() + set.record.exponent - 4, sbl::kDigitSize);
  }
  return set.record.keyPartSize;
}
