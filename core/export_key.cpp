#include "core/export_key.h"

#include <array>
#include <optional>
#include <span>
#include <string>

#include "core/image_jobs.h"
#include "core/key_store.h"
#include "core/signing_key.h"
#include "core/working_buffers.h"
#include "crypto/endian.h"
#include "format/der_writer.h"
#include "format/format.h"

namespace core {

namespace {

using KeyPart = std::array<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize>;

struct FoundKey {
  const sbl::KeySetLayout* set = nullptr;
  KeyPart part{};
  std::uint32_t size = 0;
};

// The largest key file of either set: the v2.1 protected private key file.
constexpr std::size_t kLargestKeyFile = ProtectedPrivateKeyFile::kSizeV21;

// A private key file or key reference: loaded as the signing commands load it, its key part
// taken; the loaded key goes with `key` and the working buffers with the scope.
std::optional<FoundKey> private_key_part(Report& report, const char* path,
                                         const sbl::KeySetLayout* set, std::size_t size) {
  const PrivateKeyScope secrets;
  SigningKey key;
  if (set == nullptr) {  // a key reference: the token key's size names the set
    const auto uri = read_key_reference(path);
    if (!uri || !key.use_token(report, *uri, nullptr, path)) return std::nullopt;
    set = key.token_set();
  } else {
    const std::int32_t rc = size == ProtectedPrivateKeyFile::kSizeV21
                                ? load_sb20_private_key(report, Event::kSilent, path, key)
                            : size == ProtectedPrivateKeyFile::kSizeV11
                                ? load_sb10_maker_private_key(report, Event::kSilent, path, key)
                                : load_sb10_private_record(report, Event::kSilent, path, key);
    if (rc != 0) {
      // A v2.1 file that is not whole AES blocks is refused under the protection's code.
      if (!report.refused()) report.refuse(Class::kKey, Event::kSilent, path, "not a key file");
      return std::nullopt;
    }
  }
  FoundKey found;
  found.set = set;
  found.size = key.key_part(*set, found.part);
  if (found.size == 0) {
    report.refuse(Class::kKey, Event::kSilent, path,
                  std::string("not a ") + set->name + " key (" + std::to_string(set->modulusBits) +
                      " bits, exponent " + std::to_string(set->publicExponent) + ")");
    return std::nullopt;
  }
  return found;
}

// A public key file: its key part in the set's layout (v1.1 records: the modulus, then the
// exponent's bytes with the rest zero, as the verifier takes it).
std::optional<FoundKey> public_key_part(Report& report, const char* path,
                                        std::span<const std::uint8_t> file) {
  FoundKey found;
  switch (file.size()) {
    case SignedPublicKeyFileV21::kSize:
      found.set = &sbl::kKeySetV21;
      if (sb20_key_part_ok(file)) {
        std::copy_n(file.begin(), SignedPublicKeyFileV21::kKeyPartSize, found.part.begin());
        found.size = SignedPublicKeyFileV21::kKeyPartSize;
      }
      break;
    case PublicKeyRecordV11::kSize:
      found.set = &sbl::kKeySetV11;
      if (sb10_verification_key(file.first<PublicKeyRecordV11::kSize>(), found.part) != 0) {
        found.size = sbl::PublicKeyInfoV11::kKeyPartSize;
      }
      break;
    case MakerPublicKeyFileV11::kSize:
      found.set = &sbl::kKeySetV11;
      std::copy_n(file.begin(), sbl::PublicKeyInfoV11::kKeyPartSize, found.part.begin());
      found.size = sbl::PublicKeyInfoV11::kKeyPartSize;
      break;
    default:
      break;
  }
  if (found.set == nullptr || found.size == 0) {
    report.refuse(Class::kKey, Event::kSilent, path,
                  found.set == nullptr ? std::to_string(file.size()) +
                                             " bytes: no key file of either set has that size"
                                       : std::string("not a ") + found.set->name +
                                             " public key file (its length fields are not ours)");
    return std::nullopt;
  }
  return found;
}

std::optional<FoundKey> key_of_file(Report& report, const char* path) {
  if (read_key_reference(path)) return private_key_part(report, path, nullptr, 0);
  qiv::SecretArray<std::uint8_t, kLargestKeyFile> room;
  const WholeFile file = read_whole_file(report, path, std::span(*room));
  if (file.status == WholeFile::kFailed) return std::nullopt;
  if (file.status == WholeFile::kTooLong) {
    report.refuse(Class::kKey, Event::kSilent, path,
                  std::to_string(file.length) + " bytes: no key file of either set has that size");
    return std::nullopt;
  }
  switch (file.length) {
    case ProtectedPrivateKeyFile::kSizeV21:
      return private_key_part(report, path, &sbl::kKeySetV21, file.length);
    case ProtectedPrivateKeyFile::kSizeV11:
    case ProtectedPrivateKeyFile::kSizeV11Record:
      return private_key_part(report, path, &sbl::kKeySetV11, file.length);
    default:
      return public_key_part(report, path, std::span(*room).first(file.length));
  }
}

}  // namespace

std::int32_t export_public_key(Report& report, const ExportJob& job) {
  const std::array<const char*, 1> keyFiles = {job.keyFile};
  if (output_is_a_key_file(report, job.output, keyFiles)) return -1;
  const auto key = key_of_file(report, job.keyFile);
  if (!key) return -1;
  const sbl::KeySetLayout& set = *key->set;
  const std::span<const std::uint8_t> part(key->part.data(), key->size);
  // A public key file may carry any numbers; only the set's kind of key is exported, so that
  // what leaves is what a device of the set would accept.
  const RsaPublicNumbers numbers = numbers_of_key_part(set, part);
  KeyPart check{};
  if (key_part_of(set, numbers.modulus, numbers.exponent, check) == 0) {
    return report.refuse(Class::kKey, Event::kSilent, job.keyFile,
                         std::string("not a ") + set.name + " key (" +
                             std::to_string(set.modulusBits) + " bits, exponent " +
                             std::to_string(set.publicExponent) + ")");
  }
  report.used_key({"exported", set.name, key_fingerprint(part)});

  std::array<std::uint8_t, 4> exponent{};
  qiv::store_be32(exponent.data(), numbers.exponent);
  der::Bytes bytes = der::rsa_public_key(numbers.modulus, exponent);
  if (!job.pkcs1) bytes = der::subject_public_key_info(bytes);
  std::string what = std::string(set.name) + " public key (" +
                     (job.pkcs1 ? "RSAPublicKey" : "SubjectPublicKeyInfo") + ", " +
                     (job.der ? "DER" : "PEM") + ")";
  if (!job.der) {
    const std::string text = der::pem(job.pkcs1 ? der::kPkcs1Label : der::kSpkiLabel, bytes);
    bytes.assign(text.begin(), text.end());
  }
  OutputSet outputs(report);
  if (!outputs.add(job.output, bytes, FileAccess::kShared, job.existing, std::move(what))) {
    return -1;
  }
  switch (outputs.install()) {
    case OutputSet::Result::kInstalled:
      return 0;
    case OutputSet::Result::kExists:
      return report.refuse(Class::kOutput, Event::kFileOpenError, job.output,
                           "exists already; --force replaces it");
    case OutputSet::Result::kFailed:
      break;
  }
  return -1;
}

}  // namespace core
