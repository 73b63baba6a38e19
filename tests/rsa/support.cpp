#include "tests/rsa/support.h"

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "random/random.h"
#include "tests/support/fixed_noise.h"

namespace qiv::test {

Bytes sha1(const Bytes& data) {
  const ref::Sha1 digest = ref::sha1(data);
  return Bytes(digest.begin(), digest.end());
}

Bytes m_prime(const Bytes& mhash, const Bytes& salt) {
  Bytes m(8 + mhash.size() + salt.size(), 0);
  std::copy(mhash.begin(), mhash.end(), m.begin() + 8);
  std::copy(salt.begin(), salt.end(), m.begin() + 8 + static_cast<long>(mhash.size()));
  return m;
}

PssVectorSet read_pss_vectors(int number) {
  std::ifstream in(std::string(QIV_VECTORS_DIR) + "/asymmetric/RSA/pkcs-1v2-1d2-vec/pss-vect.txt");
  ref::require(in.good(), "pss-vect.txt not readable");
  // The file is a run of "# Label:" lines, each followed by lines of hex bytes. Inside a key
  // set, "Exponent" names e in the public part and d after "Public exponent".
  const std::string start = "# Example " + std::to_string(number) + ":";
  std::map<std::string, Bytes> fields;
  PssVectorSet set;
  std::string line, label;
  bool inside = false;
  auto close_label = [&] {
    if (label == "Signature") {
      set.examples.push_back({fields["Message to be signed"], fields["Salt"], fields[label]});
    }
    label.clear();
  };
  while (std::getline(in, line)) {
    if (line.rfind("# Example ", 0) == 0) {
      if (inside) break;
      inside = line.rfind(start, 0) == 0;
      continue;
    }
    if (!inside) continue;
    if (line.rfind("# ", 0) == 0) {
      close_label();
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      label = line.substr(2, colon - 2);
      if (label == "Exponent" && fields.count("Public exponent") != 0) label = "d";
      fields[label].clear();
      continue;
    }
    std::istringstream hex(line);
    std::string byte;
    while (!label.empty() && hex >> byte) {
      fields[label].push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
  }
  close_label();
  ref::require(set.examples.size() == 6, "six examples per key set");

  const auto k = static_cast<std::uint32_t>(ref::from_octets(fields["Modulus"]).size());
  auto put_field = [&](std::uint32_t* field, std::uint32_t* count, const char* name,
                       std::uint32_t digits) {
    const ref::Digits value = ref::from_octets(fields[name], digits);
    std::copy(value.begin(), value.end(), field);
    *count = digits;
  };
  put_field(set.key.n, &set.key.n_count, "Modulus", k);
  put_field(set.key.e, &set.key.e_count, "Public exponent", 1);
  put_field(set.key.d, &set.key.d_count, "d", k);
  put_field(set.key.p, &set.key.p_count, "Prime 1", k / 2);
  put_field(set.key.q, &set.key.q_count, "Prime 2", k / 2);
  put_field(set.key.dP, &set.key.dP_count, "Prime exponent 1", k / 2);
  put_field(set.key.dQ, &set.key.dQ_count, "Prime exponent 2", k / 2);
  put_field(set.key.qInv, &set.key.qInv_count, "Coefficient", k / 2);
  return set;
}

int scaled(int normal, int under_sanitizers) {
  return ref::sanitized() ? under_sanitizers : normal;
}

Bytes next_generator_bytes() {
  Bytes out(40);
  QIV_SHA1_PRNG_Rand(static_cast<std::uint32_t>(out.size()), out.data());
  return out;
}

Bytes generator_after(std::uint32_t requests, std::uint32_t size) {
  qiv_test_reset_random();
  Bytes scratch(size);
  for (std::uint32_t i = 0; i < requests; ++i) QIV_SHA1_PRNG_Rand(size, scratch.data());
  return next_generator_bytes();
}

}  // namespace qiv::test
