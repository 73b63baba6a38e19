// Secured BL1 images (code, optional build-information block, stage-1 context) and signed BL2
// images (image, signature): where their parts lie, and their fields.
//
// A secured BL1 carries its context at the very end, so the context is looked for there: its
// tag text, or, should the tag be damaged, fields that only a context has at those places.
// The build-information block has no length field either; it is recognised by its fixed
// zero words and text right before the context.
#include <algorithm>

#include "format/format.h"
#include "inspect/describe.h"

namespace inspect::detail {

namespace {

using C21 = sbl::ContextV21;
using C11 = sbl::ContextV11;
using P21 = sbl::PublicKeyInfoV21;
using P11 = sbl::PublicKeyInfoV11;
using B = BuildInfoBlock;

template <std::size_t N>
bool tag_is(Record<N> tag, const std::array<std::uint8_t, sbl::kContextTagSize>& expected) {
  return std::equal(tag.begin(), tag.end(), expected.begin());
}

bool is_context_v21(Record<C21::kSize> ctx) {
  if (tag_is(field<C21::kTag, sbl::kContextTagSize>(ctx), sbl::kContextTagV21)) return true;
  // Four length fields at once: 2^-128 for bytes that are not a context.
  return field32<C21::kSignatureLength>(ctx) == C21::kSignatureSize &&
         field32<C21::kPublicKeyInfo + P21::kModulusLength>(ctx) == P21::kModulusSize &&
         field32<C21::kPublicKeyInfo + P21::kExponentLength>(ctx) == P21::kExponentSize &&
         field32<C21::kNextStageKey + P21::kModulusLength>(ctx) == P21::kModulusSize;
}

bool is_context_v11(Record<C11::kSize> ctx) {
  if (tag_is(field<C11::kTag, sbl::kContextTagSize>(ctx), sbl::kContextTagV11)) return true;
  return field32<C11::kZero>(ctx) == 0 &&
         all_bytes_are(field<C11::kFiller, C11::kFillerSize>(ctx), sbl::kContextFillerByte) &&
         field32<C11::kPublicKeyInfo + P11::kExponent>(ctx) == kExponentV11;
}

bool is_build_info(Record<B::kSize> block) {
  const auto text = zero_padded_text(field<B::kText, B::kTextSize>(block));
  return field32<B::kZeroWord0>(block) == 0 && field32<B::kZeroWord1>(block) == 0 && text &&
         *text == B::kTextValue;
}

// The slot numbers in every slot is what the signing program's own check leaves behind.
std::string service_table_state(ByteView table) {
  if (all_bytes_are(table, 0)) return "empty";
  const std::size_t slots = table.size() / sbl::kServiceSlotSize;
  for (std::size_t slot = 0; slot < slots; ++slot) {
    if (qiv::load_le32(table.data() + slot * sbl::kServiceSlotSize) != slot) {
      return "slot " + std::to_string(slot) + " does not hold its slot number";
    }
  }
  return "slots 0.." + std::to_string(slots - 1) + " hold their slot numbers";
}

std::string tag_state(ByteView tag,
                      const std::array<std::uint8_t, sbl::kContextTagSize>& expected) {
  if (std::equal(tag.begin(), tag.end(), expected.begin())) {
    return std::string(expected.begin(), expected.end());
  }
  return "DAMAGED: bytes " + hex(tag);
}

std::string filler_state(ByteView filler) {
  const auto wrong = std::count_if(filler.begin(), filler.end(),
                                   [](std::uint8_t b) { return b != sbl::kContextFillerByte; });
  if (wrong == 0) return "intact (" + std::to_string(filler.size()) + " bytes 0xAA)";
  return "DAMAGED: " + std::to_string(wrong) + " of " + std::to_string(filler.size()) +
         " bytes are not 0xAA";
}

std::string zero_state(ByteView bytes) {
  return all_bytes_are(bytes, 0) ? "zero" : "NOT zero";
}

std::string signature_state(ByteView signature) {
  return all_bytes_are(signature, 0) ? "all zero"
                                     : std::to_string(signature.size()) + " bytes present";
}

Section describe_code(const Stage1Layout& layout) {
  std::string state = "in clear";
  if (layout.set == KeySet::kV21) {
    state = layout.codeLength % kAesBlockSize == 0
                ? "encrypted (AES-128-CBC, " + std::to_string(layout.codeLength / kAesBlockSize) +
                      " blocks)"
                : "encrypted, but NOT a whole number of AES blocks";
  }
  return SectionBuilder("code", 0, layout.codeLength)
      .number("length", 0, layout.codeLength, layout.codeLength)
      .text("state", 0, layout.codeLength, std::move(state))
      .done();
}

Section describe_build_info(Record<B::kSize> block, std::uint64_t offset) {
  const std::uint32_t time = field32<B::kCreationTime>(block);
  return SectionBuilder("build-information block", offset, B::kSize)
      .number("zero word", B::kZeroWord0, kWordSize, field32<B::kZeroWord0>(block))
      .text("creation time", B::kCreationTime, kWordSize,
            utc_date(time) + " (" + std::to_string(time) + ")")
      .number("zero word", B::kZeroWord1, kWordSize, field32<B::kZeroWord1>(block))
      .text("text", B::kText, B::kTextSize, std::string(B::kTextValue))
      .done();
}

// The next-stage key has the layout of a v2.1 key part: the record's first kKeyPartSize bytes.
Section describe_next_stage_key_v21(Record<C21::kSize> ctx, std::uint64_t offset) {
  const auto key = field<C21::kNextStageKey, C21::kNextStageKeySize>(ctx);
  return SectionBuilder("next-stage key", offset + C21::kNextStageKey, C21::kNextStageKeySize)
      .number("modulus length", P21::kModulusLength, kWordSize, field32<P21::kModulusLength>(key))
      .text("modulus", P21::kModulus, P21::kModulusSize,
            std::to_string(bit_length(field<P21::kModulus, P21::kModulusSize>(key))) + " bits")
      .number("exponent length", P21::kExponentLength, kWordSize,
              field32<P21::kExponentLength>(key))
      .number("exponent", P21::kExponent, P21::kExponentSize, field32<P21::kExponent>(key))
      .text("key fingerprint", 0, C21::kNextStageKeySize, fingerprint(key))
      .done();
}

Section describe_next_stage_key_v11(Record<C11::kSize> ctx, std::uint64_t offset) {
  const auto key = field<C11::kNextStageKey, C11::kNextStageKeySize>(ctx);
  return SectionBuilder("next-stage key", offset + C11::kNextStageKey, C11::kNextStageKeySize)
      .text("modulus", P11::kModulus, P11::kModulusSize,
            std::to_string(bit_length(field<P11::kModulus, P11::kModulusSize>(key))) + " bits")
      .number("exponent", P11::kExponent, P11::kExponentSize, field32<P11::kExponent>(key))
      .text("key fingerprint", 0, C11::kNextStageKeySize, fingerprint(key))
      .done();
}

// Service table, reserved bytes, context tag, zero word and filler: the same fields in both
// sets, at the offsets of the set's context layout C.
template <typename C>
Section describe_trailer(Record<C::kSize> ctx, std::uint64_t offset,
                         const std::array<std::uint8_t, sbl::kContextTagSize>& expectedTag) {
  return SectionBuilder("context trailer", offset + C::kServiceTable, C::kSize - C::kServiceTable)
      .text("service table", 0, C::kServiceTableSize,
            service_table_state(field<C::kServiceTable, C::kServiceTableSize>(ctx)))
      .text("reserved", C::kReserved - C::kServiceTable, C::kReservedSize,
            zero_state(field<C::kReserved, C::kReservedSize>(ctx)))
      .text("context tag", C::kTag - C::kServiceTable, sbl::kContextTagSize,
            tag_state(field<C::kTag, sbl::kContextTagSize>(ctx), expectedTag))
      .number("zero word", C::kZero - C::kServiceTable, C::kZeroSize, field32<C::kZero>(ctx))
      .text("filler", C::kFiller - C::kServiceTable, C::kFillerSize,
            filler_state(field<C::kFiller, C::kFillerSize>(ctx)))
      .done();
}

void describe_context_v21(Record<C21::kSize> ctx, std::uint64_t offset, Report& report) {
  report.sections.push_back(describe_next_stage_key_v21(ctx, offset));
  report.sections.push_back(
      SectionBuilder("signature", offset + C21::kSignatureLength,
                     C21::kPublicKeyInfo - C21::kSignatureLength)
          .number("signature length", 0, kWordSize, field32<C21::kSignatureLength>(ctx))
          .text("signature", C21::kSignature - C21::kSignatureLength, C21::kSignatureSize,
                signature_state(field<C21::kSignature, C21::kSignatureSize>(ctx)))
          .done());
  report.sections.push_back(
      describe_record_v21(field<C21::kPublicKeyInfo, C21::kPublicKeyInfoSize>(ctx),
                          offset + C21::kPublicKeyInfo, "public key information record"));
  report.sections.push_back(describe_trailer<C21>(ctx, offset, sbl::kContextTagV21));
}

void describe_context_v11(Record<C11::kSize> ctx, std::uint64_t offset, Report& report) {
  report.sections.push_back(describe_next_stage_key_v11(ctx, offset));
  report.sections.push_back(
      SectionBuilder("signature", offset + C11::kSignature, C11::kSignatureSize)
          .text("signature", 0, C11::kSignatureSize,
                signature_state(field<C11::kSignature, C11::kSignatureSize>(ctx)))
          .done());
  report.sections.push_back(
      describe_record_v11(field<C11::kPublicKeyInfo, C11::kPublicKeyInfoSize>(ctx),
                          offset + C11::kPublicKeyInfo, "public key information record"));
  report.sections.push_back(describe_trailer<C11>(ctx, offset, sbl::kContextTagV11));
}

}  // namespace

std::optional<Stage1Layout> find_stage1_layout(ByteView file) {
  if (file.size() >= C21::kSize) {
    const std::uint64_t at = file.size() - C21::kSize;
    if (const auto ctx = record_at<C21::kSize>(file, at); ctx && is_context_v21(*ctx)) {
      Stage1Layout layout{KeySet::kV21, at, false, at};
      if (at >= B::kSize) {
        const auto block = record_at<B::kSize>(file, at - B::kSize);
        if (block && is_build_info(*block)) {
          layout.buildInfo = true;
          layout.codeLength = at - B::kSize;
        }
      }
      return layout;
    }
  }
  if (file.size() >= C11::kSize) {
    const std::uint64_t at = file.size() - C11::kSize;
    if (const auto ctx = record_at<C11::kSize>(file, at); ctx && is_context_v11(*ctx)) {
      return Stage1Layout{KeySet::kV11, at, false, at};
    }
  }
  return std::nullopt;
}

void describe_stage1(ByteView file, const Stage1Layout& layout, Report& report) {
  report.sections.push_back(describe_code(layout));
  if (layout.buildInfo) {
    if (const auto block = record_at<B::kSize>(file, layout.codeLength)) {
      report.sections.push_back(describe_build_info(*block, layout.codeLength));
    }
  }
  if (layout.set == KeySet::kV21) {
    if (const auto ctx = record_at<C21::kSize>(file, layout.contextOffset)) {
      describe_context_v21(*ctx, layout.contextOffset, report);
    }
  } else if (const auto ctx = record_at<C11::kSize>(file, layout.contextOffset)) {
    describe_context_v11(*ctx, layout.contextOffset, report);
  }
}

void describe_stage2(ByteView file, const StageKey& key, Report& report) {
  const std::uint64_t signatureSize = layout_of(key.set).context.signatureSize;
  if (file.size() < signatureSize) return;
  const std::uint64_t imageLength = file.size() - signatureSize;
  report.sections.push_back(
      SectionBuilder("image", 0, imageLength).number("length", 0, imageLength, imageLength).done());
  report.sections.push_back(
      SectionBuilder("signature", imageLength, signatureSize)
          .text("signature", 0, signatureSize,
                signature_state(file.subspan(static_cast<std::size_t>(imageLength))))
          .text("key fingerprint (--key)", 0, signatureSize, fingerprint(key.bytes()))
          .done());
}

}  // namespace inspect::detail
