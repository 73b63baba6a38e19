// "-VERIFY"'s check: Check_SB20_Context / Check_SB10_Context over an arbitrary secured image
// and eFuse value, with Validate_SB20/SB10_PublicKeyInfo on the record it carries.
//
// Input: [choice: u8][eFuse value][secured image: the rest]
//   choice bit 0: the v1.1 set (else v2.1); bits 1-2: eFuse length: the set's own (0, 1), the
//   other set's (2), or 0 (3).
// As the command does, the context is the last 1024 (512) bytes of the image and the signed
// image is everything before it; a shorter input becomes a zero-padded context over an empty
// image. The check is then predicted in full from independent pieces (OpenSSL HMAC-SHA1 and
// SHA-1, ref::pss_verify), in the order a device works:
// - a wrong eFuse length, or (v2.1) a signature length field other than 256: the argument
//   code, context untouched;
// - otherwise the service table holds the slot numbers 0, 1, 2, ...;
// - a record whose tag does not recompute under eFuse XOR tag: the validation code, record
//   zeroed (and Validate_* alone says the same on a copy);
// - a signature over SHA-1(image || next-stage key) that does not verify under the record's
//   key: QIV_SBL_CTX_CHK_BAD_SIGNATURE, signature zeroed; else 0;
// - no other context byte changes, the image and eFuse value are only read, and a context that
//   passed passes again unchanged.
// Then the command itself (core::verify_bl1 in either set) on the same bytes written to files in
// a private folder: it succeeds exactly when the image holds a whole context and the check,
// with the first 20 (16) bytes of the eFuse file, is predicted to pass. Otherwise it is refused
// once: an eFuse file shorter than that as an input (naming it), anything else as an image
// that does not verify (naming the image).
#include <array>

#include "core/commands.h"
#include "sbl/layout.h"
#include "fuzz/command_files.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"
#include "sbl/sbl.h"

namespace {

// The two context layouts, stated here independently of the library's headers.
struct Format {
  std::uint32_t contextSize;
  std::uint32_t keyPartSize;  // next-stage key at 0, and the record's own key part
  std::uint32_t signatureLengthField;  // 0: none
  std::uint32_t signature, signatureSize;
  std::uint32_t record, recordSize;
  std::uint32_t modulus, modulusSize;  // inside the record
  std::uint32_t exponent;              // inside the record, one digit
  std::uint32_t tag;                   // inside the record, 20 bytes
  std::uint32_t serviceTable, serviceSlots;
  std::uint32_t eFuseSize;
  std::int32_t (*check)(const std::uint8_t*, std::uint32_t, std::uint8_t*, const std::uint8_t*,
                        std::uint32_t);
  std::int32_t (*validate)(const std::uint8_t*, std::uint32_t, std::uint8_t*);
};

constexpr Format kV21{1024, 268, 268, 272, 256, 528, 288, 4, 256, 264, 268, 816, 24, 20,
                      Check_SB20_Context, Validate_SB20_PublicKeyInfo};
constexpr Format kV11{512, 132, 0, 132, 128, 260, 152, 0, 128, 128, 132, 412, 12, 16,
                      Check_SB10_Context, Validate_SB10_PublicKeyInfo};

using Span = std::span<const std::uint8_t>;

// The record validates when HMAC-SHA1 under (eFuse XOR first tag bytes) of the key part is the
// tag.
bool record_validates(const Format& f, Span eFuse, Span record) {
  fuzz::Bytes key(f.eFuseSize);
  for (std::uint32_t i = 0; i < f.eFuseSize; ++i) key[i] = eFuse[i] ^ record[f.tag + i];
  const ref::Sha1 tag = ref::hmac_sha1(key, record.first(f.keyPartSize));
  return std::equal(tag.begin(), tag.end(), record.begin() + f.tag);
}

// What the check must return for this eFuse value, context and image, and the context it must
// leave behind.
struct Outcome {
  std::int32_t rc;
  fuzz::Bytes context;
};

Outcome predict(const Format& f, Span eFuse, Span context, Span image) {
  Outcome out{0, fuzz::Bytes(context.begin(), context.end())};
  const bool signatureLengthOk =
      f.signatureLengthField == 0 ||
      fuzz::le32(context.data() + f.signatureLengthField) == f.signatureSize;
  if (eFuse.size() != f.eFuseSize || !signatureLengthOk) {
    out.rc = QIV_SBL_CTX_CHK_BAD_PARAM;
    return out;
  }
  for (std::uint32_t slot = 0; slot < f.serviceSlots; ++slot) {
    std::uint8_t* at = out.context.data() + f.serviceTable + 4 * slot;
    at[0] = static_cast<std::uint8_t>(slot);
    at[1] = at[2] = at[3] = 0;
  }
  const Span record = context.subspan(f.record, f.recordSize);
  if (!record_validates(f, eFuse, record)) {
    out.rc = QIV_SBL_PKI_TAG_MISMATCH;
    std::fill_n(out.context.begin() + f.record, f.recordSize, std::uint8_t{0});
    return out;
  }
  const ref::Sha1 digest = ref::sha1(image, context.first(f.keyPartSize));
  if (!ref::pss_verify(record.subspan(f.modulus, f.modulusSize),
                       context.subspan(f.signature, f.signatureSize),
                       record.subspan(f.exponent, 4), digest)) {
    out.rc = QIV_SBL_CTX_CHK_BAD_SIGNATURE;
    std::fill_n(out.context.begin() + f.signature, f.signatureSize, std::uint8_t{0});
  }
  return out;
}

// "-VERIFY" on the input written to files; its result must be the predicted one.
void run_command(bool v11, const Format& f, const fuzz::Bytes& eFuse, const fuzz::Bytes& file) {
  static fuzz::TempFolder folder("context-check-fuzz");
  const std::string imagePath = folder.write("secured.bin", file);
  const std::string eFusePath = folder.write("eFuse.dat", eFuse);
  core::Report report;
  const std::int32_t rc = core::verify_bl1(report, v11 ? sbl::kKeySetV11 : sbl::kKeySetV21,
                                           imagePath.c_str(), eFusePath.c_str());
  const bool eFuseShort = eFuse.size() < f.eFuseSize;
  bool passes = false;
  if (!eFuseShort && file.size() >= f.contextSize) {
    const Span all(file);
    const std::size_t code = file.size() - f.contextSize;
    passes = predict(f, Span(eFuse).first(f.eFuseSize), all.subspan(code), all.first(code)).rc == 0;
  }
  FUZZ_CHECK(rc == (passes ? 0 : -1));
  FUZZ_CHECK(report.refused() == !passes);
  if (passes) return;
  FUZZ_CHECK(report.refused_as(eFuseShort ? core::Class::kInput : core::Class::kVerify));
  FUZZ_CHECK(report.refusal()->file == (eFuseShort ? eFusePath : imagePath));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint8_t choice = in.u8();
  const bool v11 = (choice & 1) != 0;
  const Format& f = v11 ? kV11 : kV21;
  const Format& other = v11 ? kV21 : kV11;
  const std::uint32_t lengthChoice = (choice >> 1) & 3;
  const std::uint32_t eFuseLen =
      lengthChoice < 2 ? f.eFuseSize : (lengthChoice == 2 ? other.eFuseSize : 0);
  const fuzz::Bytes eFuseBytes = in.bytes(eFuseLen);
  const fuzz::Exact eFuse(eFuseBytes);
  const fuzz::Bytes file = in.rest();

  fuzz::Bytes contextBytes(f.contextSize, 0);
  fuzz::Bytes imageBytes;
  if (file.size() >= f.contextSize) {
    imageBytes.assign(file.begin(), file.end() - f.contextSize);
    std::copy(file.end() - f.contextSize, file.end(), contextBytes.begin());
  } else {
    std::copy(file.begin(), file.end(), contextBytes.begin());
  }
  const fuzz::Exact image(imageBytes);
  const Span record = Span(contextBytes).subspan(f.record, f.recordSize);
  const bool lengthOk = eFuseLen == f.eFuseSize;

  // The validator alone, on a copy of the record.
  fuzz::Guarded recordCopy(record);
  const std::int32_t vr = f.validate(eFuse.data(), eFuseLen, recordCopy.data());
  FUZZ_CHECK(recordCopy.guards_intact());
  if (!lengthOk) {
    FUZZ_CHECK(vr == QIV_SBL_PKI_BAD_PARAM && recordCopy.equals(record));
  } else if (record_validates(f, eFuse.span(), record)) {
    FUZZ_CHECK(vr == 0 && recordCopy.equals(record));
  } else {
    FUZZ_CHECK(vr == QIV_SBL_PKI_TAG_MISMATCH && fuzz::all_zero(recordCopy.span()));
  }

  // The check.
  fuzz::Guarded context(contextBytes);
  const std::int32_t rc =
      f.check(eFuse.data(), eFuseLen, context.data(), image.data(), fuzz::u32(image.size()));
  const Outcome expected = predict(f, eFuse.span(), contextBytes, imageBytes);
  FUZZ_CHECK(context.guards_intact());
  FUZZ_CHECK(image.equals(imageBytes) && eFuse.equals(eFuseBytes));
  FUZZ_CHECK(rc == expected.rc);
  FUZZ_CHECK(context.equals(expected.context));
  if (rc == 0) {
    FUZZ_CHECK(f.check(eFuse.data(), eFuseLen, context.data(), image.data(),
                       fuzz::u32(image.size())) == 0);
    FUZZ_CHECK(context.equals(expected.context) && context.guards_intact());
  }

  run_command(v11, f, eFuseBytes, file);
  return 0;
}

