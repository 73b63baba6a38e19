// Recognition: which file of the tool chain the bytes are, decided by size and content.
//
// Files with a marker in their content are tried first: a stage-1 context at the end of an
// image, the length fields or header of a public key file. A signed BL2 has no marker at all,
// only a signature at its end; with --key, bytes that verify under that key are one. Files
// whose content is random to an observer (eFuse values, encrypted private keys) are known by
// their size alone, and come after. Last, with --key, anything long enough is taken as a
// signed BL2 whose signature is then reported as failing.
#include "format/format.h"
#include "inspect/describe.h"
#include "token/token.h"

namespace inspect {

namespace {

using namespace detail;

bool describe_marked_key_file(ByteView file, const DeviceInputs& device, Report& report) {
  if (const auto f = record_at<SignedPublicKeyFileV21::kSize>(file, 0);
      f && file.size() == SignedPublicKeyFileV21::kSize &&
      looks_like_signed_public_key_file_v21(*f)) {
    report.kind = Kind::kSignedPublicKeyFileV21;
    describe_signed_public_key_file_v21(*f, report);
    if (device.has_efuse()) {
      report.checks.push_back(
          check_record_tag(file, SignedPublicKeyFileV21::kRecord, KeySet::kV21, device));
    }
    return true;
  }
  if (const auto f = record_at<MakerPublicKeyFileV11::kSize>(file, 0);
      f && file.size() == MakerPublicKeyFileV11::kSize &&
      looks_like_maker_public_key_file_v11(*f)) {
    report.kind = Kind::kMakerPublicKeyFileV11;
    describe_maker_public_key_file_v11(*f, report);
    if (device.has_efuse()) {
      report.checks.push_back(
          check_record_tag(file, MakerPublicKeyFileV11::kRecord, KeySet::kV11, device));
    }
    return true;
  }
  if (const auto f = record_at<PublicKeyRecordV11::kSize>(file, 0);
      f && file.size() == PublicKeyRecordV11::kSize && looks_like_public_key_record_v11(*f)) {
    report.kind = Kind::kPublicKeyRecordV11;
    describe_public_key_record_v11(*f, report);
    return true;
  }
  return false;
}

bool describe_by_size(ByteView file, Report& report) {
  constexpr const char* kNotExamined = "encrypted private key: kind and size only, never decrypted";
  switch (file.size()) {
    case sbl::EFuseV21::kSize:
      report.kind = Kind::kEFuseV21;
      describe_efuse(file, report);
      return true;
    case sbl::EFuseV11::kSize:
      report.kind = Kind::kEFuseV11;
      describe_efuse(file, report);
      return true;
    case ProtectedPrivateKeyFile::kSizeV21:
      report.kind = Kind::kProtectedPrivateKeyV21;
      report.note = kNotExamined;
      return true;
    case ProtectedPrivateKeyFile::kSizeV11:
      report.kind = Kind::kProtectedPrivateKeyV11;
      report.note = kNotExamined;
      return true;
    case ProtectedPrivateKeyFile::kSizeV11Record:
      report.kind = Kind::kProtectedPrivateRecordV11;
      report.note = kNotExamined;
      return true;
    default:
      return false;
  }
}

// A key reference: one line of printable text, a PKCS#11 URI, in place of a private key file.
// The set its key must belong to follows from the file names the commands read it under.
std::string set_by_name(std::string_view name) {
  const auto endsWith = [name](std::string_view tail) {
    return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
  };
  if (endsWith("privateKey_V21.dat") || endsWith("_V21.prv")) {
    return "v2.1: RSA-2048 with exponent 3 (as the maker's privateKey_V21.dat or a customer's "
           "_V21.prv)";
  }
  if (endsWith("privateKey.dat") || endsWith(".prv")) {
    return "v1.1: RSA-1024 with exponent 65537 (as the maker's privateKey.dat or a customer's "
           ".prv)";
  }
  return "the file name does not say: v2.1 keys are RSA-2048 with exponent 3, v1.1 keys "
         "RSA-1024 with exponent 65537";
}

bool describe_key_reference(std::string_view name, ByteView file, Report& report) {
  std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const auto uri = token::Uri::parse(text);
  if (!uri) return false;
  report.kind = Kind::kKeyReference;
  // A PIN written by hand may sit in the path part as well as in the query.
  report.note = uri->query("pin-value") || uri->path("pin-value")
                    ? "the file holds the token's PIN (not shown here): anyone who reads it can "
                      "sign with the key; use pin-source instead"
                    : "the private key stays in the token; this file holds only its URI";
  // shown() never carries a pin-value: a PIN written into the file by hand is not repeated.
  // Its other text is the file's own, escaped where it is rendered.
  report.sections.push_back(SectionBuilder("key reference", 0, file.size())
                                .text("URI", 0, text.size(), uri->shown())
                                .text("key set", 0, 0, set_by_name(name))
                                .done());
  return true;
}

void describe_as_stage2(ByteView file, const StageKey& key, Report& report) {
  report.kind = key.set == KeySet::kV21 ? Kind::kSignedBl2V21 : Kind::kSignedBl2V11;
  describe_stage2(file, key, report);
  report.checks.push_back(check_stage2_signature(file, key));
}

std::uint64_t stage2_signature_size(const StageKey& key) {
  return layout_of(key.set).context.signatureSize;
}

}  // namespace

Report inspect_bytes(std::string_view name, ByteView file, const DeviceInputs& device) {
  Report report;
  report.file = std::string(name);
  report.size = file.size();

  if (const auto layout = find_stage1_layout(file)) {
    report.kind = layout->set == KeySet::kV11 ? Kind::kSecuredBl1V11
                  : layout->buildInfo         ? Kind::kSecuredBl1V21BuildInfo
                                              : Kind::kSecuredBl1V21;
    describe_stage1(file, *layout, report);
    add_stage1_checks(file, *layout, device, report);
    return report;
  }
  if (describe_key_reference(name, file, report)) return report;
  if (describe_marked_key_file(file, device, report)) return report;
  if (describe_standard_public_key(file, report)) return report;
  const auto& key = device.key();
  if (key && stage2_signature_verifies(file, *key)) {
    describe_as_stage2(file, *key, report);
    return report;
  }
  if (describe_by_size(file, report)) return report;
  if (key && file.size() >= stage2_signature_size(*key)) {
    describe_as_stage2(file, *key, report);
    report.note = "not recognised otherwise: taken as a BL2 signed for the --key key";
    return report;
  }
  report.kind = Kind::kUnknown;
  return report;
}

}  // namespace inspect
