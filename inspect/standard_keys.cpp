// RSA public keys in the standard forms (what `tarnwick keys export` writes, and other tools
// too): X.509 SubjectPublicKeyInfo or PKCS#1 RSAPublicKey, DER or PEM. A key of either set
// shows the fingerprint of its key part in the set's layout, so an exported key and its key
// file show the same one.
//
// Strict by construction: the numbers are taken from the structure, written again as DER
// (format/der_writer.h) and the result must be the file's DER byte for byte; so only canonical
// DER of positive numbers is recognised, and every offset is bounded by the file first.
#include <algorithm>
#include <optional>
#include <string_view>

#include "format/der_writer.h"
#include "inspect/describe.h"

namespace inspect::detail {

namespace {

// An RSA key of 16384 bits takes about 2.1 KiB of DER and 2.9 KiB of PEM.
constexpr std::size_t kMaxFile = 8192;

struct Element {
  std::uint8_t tag = 0;
  std::size_t contents = 0;  // offset of the contents
  std::size_t length = 0;
};

// The element at `at`, when its header is complete and its contents end by `end`. Only the
// length forms a key of at most kMaxFile bytes needs: short, and long with one or two bytes.
std::optional<Element> element_at(ByteView der, std::size_t at, std::size_t end) {
  if (end > der.size() || at > end || end - at < 2) return std::nullopt;
  Element e{der[at], at + 2, der[at + 1]};
  if (e.length == 0x81 || e.length == 0x82) {
    const std::size_t bytes = e.length & 0x7F;
    if (end - e.contents < bytes) return std::nullopt;
    e.length = 0;
    for (std::size_t i = 0; i < bytes; ++i) e.length = e.length << 8 | der[e.contents + i];
    e.contents += bytes;
  } else if (e.length >= 0x80) {
    return std::nullopt;
  }
  if (e.length > end - e.contents) return std::nullopt;
  return e;
}

struct Numbers {
  Element modulus, exponent;
};

// RSAPublicKey filling [at, end) exactly.
std::optional<Numbers> rsa_public_key_at(ByteView der, std::size_t at, std::size_t end) {
  const auto seq = element_at(der, at, end);
  if (!seq || seq->tag != der::kSequence || seq->contents + seq->length != end) {
    return std::nullopt;
  }
  const auto n = element_at(der, seq->contents, end);
  if (!n || n->tag != der::kInteger) return std::nullopt;
  const auto e = element_at(der, n->contents + n->length, end);
  if (!e || e->tag != der::kInteger || e->contents + e->length != end) return std::nullopt;
  return Numbers{*n, *e};
}

// The base64 of PEM armour (line breaks skipped) as bytes; nullopt for any other character,
// a length that is not whole groups, or '=' anywhere but at the end of the last group.
std::optional<der::Bytes> from_base64(std::string_view text) {
  std::string chars;
  for (const char c : text) {
    if (c != '\n' && c != '\r') chars.push_back(c);
  }
  if (chars.size() % 4 != 0) return std::nullopt;
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  der::Bytes out;
  for (std::size_t i = 0; i < chars.size(); i += 4) {
    const bool last = i + 4 == chars.size();
    std::uint32_t group = 0;
    std::size_t pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t value = kAlphabet.find(chars[i + k]);
      if (chars[i + k] == '=' && last && k >= 2) {
        ++pad;
      } else if (value == std::string_view::npos || pad != 0) {
        return std::nullopt;
      }
      group = group << 6 | static_cast<std::uint32_t>(value == std::string_view::npos ? 0 : value);
    }
    for (std::size_t k = 0; k < 3 - pad; ++k)
      out.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * k)));
  }
  return out;
}

// The DER in PEM armour with the label: the BEGIN line first, the END line last (line ends
// after it allowed), base64 lines between.
std::optional<der::Bytes> from_pem(ByteView file, std::string_view label) {
  const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
  const std::string begin = "-----BEGIN " + std::string(label) + "-----\n";
  const std::string end = "-----END " + std::string(label) + "-----";
  std::string_view rest = text;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  const std::string crlf = begin.substr(0, begin.size() - 1) + "\r\n";
  const std::size_t head = rest.starts_with(begin)  ? begin.size()
                           : rest.starts_with(crlf) ? crlf.size()
                                                    : 0;
  if (head == 0 || !rest.ends_with(end) || rest.size() < head + end.size()) return std::nullopt;
  return from_base64(rest.substr(head, rest.size() - head - end.size()));
}

std::uint64_t value_of(ByteView magnitude) {
  std::uint64_t value = 0;
  for (const std::uint8_t b : magnitude) value = value << 8 | b;
  return value;
}

}  // namespace

bool describe_standard_public_key(ByteView file, Report& report) {
  if (file.size() > kMaxFile) return false;
  // Which form: PEM by its label, else DER by its structure.
  std::optional<der::Bytes> pem = from_pem(file, der::kSpkiLabel);
  bool pkcs1 = false;
  if (!pem) {
    pem = from_pem(file, der::kPkcs1Label);
    pkcs1 = pem.has_value();
  }
  const ByteView der = pem ? ByteView(*pem) : file;
  std::optional<Numbers> numbers;
  const auto spki = element_at(der, 0, der.size());
  if (!pem || !pkcs1) {
    const std::size_t bits = der::kRsaEncryption.size() + 2;  // after the outer header
    if (spki && spki->tag == der::kSequence && spki->contents + spki->length == der.size() &&
        spki->length > bits &&
        std::equal(der::kRsaEncryption.begin(), der::kRsaEncryption.end(),
                   der.begin() + static_cast<std::ptrdiff_t>(spki->contents))) {
      const auto bitString =
          element_at(der, spki->contents + der::kRsaEncryption.size(), der.size());
      if (bitString && bitString->tag == der::kBitString && bitString->length > 1 &&
          der[bitString->contents] == 0) {
        numbers = rsa_public_key_at(der, bitString->contents + 1, der.size());
      }
    }
  }
  if (!numbers && (!pem || pkcs1)) {
    numbers = rsa_public_key_at(der, 0, der.size());
    pkcs1 = numbers.has_value();
  }
  if (!numbers) return false;

  // The magnitudes without the sign byte; then the canonical encoding must be the file's.
  const auto magnitude = [&](const Element& e) {
    ByteView v = der.subspan(e.contents, e.length);
    return !v.empty() && v[0] == 0 ? v.subspan(1) : v;
  };
  const ByteView n = magnitude(numbers->modulus);
  const ByteView e = magnitude(numbers->exponent);
  der::Bytes again = der::rsa_public_key(n, e);
  if (!pkcs1) again = der::subject_public_key_info(again);
  if (e.size() > sizeof(std::uint64_t) ||
      !std::equal(again.begin(), again.end(), der.begin(), der.end())) {
    return false;
  }

  const std::uint64_t exponent = value_of(e);
  std::array<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> part{};
  const sbl::KeySetLayout* set = nullptr;
  std::uint32_t partSize = 0;
  for (const sbl::KeySetLayout* candidate : {&sbl::kKeySetV21, &sbl::kKeySetV11}) {
    if (partSize == 0 && (partSize = key_part_of(*candidate, n, exponent, part)) != 0)
      set = candidate;
  }
  std::uint32_t nBits = 0;
  if (!n.empty()) {
    nBits = 8 * static_cast<std::uint32_t>(n.size() - 1);
    for (std::uint8_t top = n[0]; top != 0; top >>= 1) ++nBits;
  }
  // Offsets of the numbers are the file's own only in DER.
  const auto at = [&](const Element& el) {
    return pem ? std::uint64_t{0} : std::uint64_t{el.contents};
  };
  const auto size = [&](const Element& el) {
    return pem ? std::uint64_t{0} : std::uint64_t{el.length};
  };
  report.kind = pkcs1 ? Kind::kPublicKeyPkcs1 : Kind::kPublicKeySpki;
  report.sections.push_back(
      SectionBuilder("RSA public key", 0, file.size())
          .text("encoding", 0, file.size(), pem ? "PEM" : "DER")
          .text("modulus", at(numbers->modulus), size(numbers->modulus),
                std::to_string(nBits) + " bits")
          .number("exponent", at(numbers->exponent), size(numbers->exponent), exponent)
          .text("key set", 0, 0,
                set ? std::string(set->name) + ": RSA-" + std::to_string(set->modulusBits) +
                          " with exponent " + std::to_string(set->publicExponent)
                    : "neither: v2.1 keys are RSA-2048 with exponent 3, v1.1 keys RSA-1024 with "
                      "exponent 65537")
          .text("key fingerprint", 0, 0,
                set ? fingerprint(ByteView(part).first(partSize)) : "none: not a key of either set")
          .done());
  return true;
}

}  // namespace inspect::detail
