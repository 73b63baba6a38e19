// Stage-1 contexts: generation checked against OpenSSL (the signature is RSASSA-PSS over
// SHA-1(image || next-stage key) under the record's key), and the device-order check.
#include <gtest/gtest.h>

#include <algorithm>

#include "sbl/layout.h"
#include "sbl/sbl.h"
#include "tests/sbl/guarded.h"
#include "tests/sbl/test_keys.h"
#include "tests/support/reference.h"

namespace {

using sbl::ContextV11;
using sbl::ContextV21;

std::uint32_t size32(const Bytes& b) {
  return static_cast<std::uint32_t>(b.size());
}

bool all_equal(std::span<const std::uint8_t> s, std::uint8_t v) {
  return std::all_of(s.begin(), s.end(), [v](std::uint8_t b) { return b == v; });
}

std::uint32_t load32(const std::uint8_t* p) {
  return digits_of(std::span(p, 4))[0];
}

// One generation's shape and its keys: the stage-1 key (slot 0, whose record goes into the
// context) and a stage-2 key (slot 1) for the next-stage key.
struct Generation {
  const char* name;
  decltype(&Generate_SB20_Context) generate;
  decltype(&Check_SB20_Context) check;
  decltype(&Generate_SB20_PublicKeyInfo) makeRecord;
  std::uint32_t size, keyPartSize, signature, signatureSize, publicKeyInfo, recordSize,
      modulusInRecord, exponentInRecord, serviceTable, slots, reserved, reservedSize, tag, filler,
      eFuseSize;
  const std::array<std::uint8_t, 12>* tagText;
  const TestKey& (*key)(int);
  Bytes (TestKey::*blob)() const;
};

const Generation kV21{"v2.1",
                      Generate_SB20_Context,
                      Check_SB20_Context,
                      Generate_SB20_PublicKeyInfo,
                      ContextV21::kSize,
                      ContextV21::kNextStageKeySize,
                      ContextV21::kSignature,
                      ContextV21::kSignatureSize,
                      ContextV21::kPublicKeyInfo,
                      sbl::PublicKeyInfoV21::kSize,
                      sbl::PublicKeyInfoV21::kModulus,
                      sbl::PublicKeyInfoV21::kExponent,
                      ContextV21::kServiceTable,
                      24,
                      ContextV21::kReserved,
                      ContextV21::kReservedSize,
                      ContextV21::kTag,
                      ContextV21::kFiller,
                      20,
                      &sbl::kContextTagV21,
                      key2048,
                      &TestKey::crt_blob};
const Generation kV11{"v1.1",
                      Generate_SB10_Context,
                      Check_SB10_Context,
                      Generate_SB10_PublicKeyInfo,
                      ContextV11::kSize,
                      ContextV11::kNextStageKeySize,
                      ContextV11::kSignature,
                      ContextV11::kSignatureSize,
                      ContextV11::kPublicKeyInfo,
                      sbl::PublicKeyInfoV11::kSize,
                      sbl::PublicKeyInfoV11::kModulus,
                      sbl::PublicKeyInfoV11::kExponent,
                      ContextV11::kServiceTable,
                      12,
                      ContextV11::kReserved,
                      ContextV11::kReservedSize,
                      ContextV11::kTag,
                      ContextV11::kFiller,
                      16,
                      &sbl::kContextTagV11,
                      key1024,
                      &TestKey::plain_blob};
const Generation* const kGenerations[] = {&kV21, &kV11};

struct KeySet {
  Bytes blob, record, eFuse, nextStageKey;
};

KeySet make_key_set(const Generation& g, int slot) {
  const TestKey& k = g.key(slot);
  KeySet s{(k.*g.blob)(), Bytes(g.recordSize), Bytes(g.eFuseSize), {}};
  std::uint32_t eFuseLen = g.eFuseSize;
  const std::uint32_t e = k.exponent;
  EXPECT_EQ(g.makeRecord(nullptr, 0, k.n.data(), k.digits, &e, 1, s.eFuse.data(), &eFuseLen,
                         s.record.data()),
            0);
  s.nextStageKey.assign(s.record.begin(), s.record.begin() + g.keyPartSize);
  return s;
}

const KeySet& stage1(const Generation& g) {
  static const KeySet v21 = make_key_set(kV21, 0), v11 = make_key_set(kV11, 0);
  return &g == &kV21 ? v21 : v11;
}
const KeySet& stage2(const Generation& g) {
  static const KeySet v21 = make_key_set(kV21, 1), v11 = make_key_set(kV11, 1);
  return &g == &kV21 ? v21 : v11;
}

const Bytes kImage = [] {
  Bytes m(4096);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  return m;
}();

// A context as the caller prepares it: cleared, stage-1 record in place.
Guarded prepared(const Generation& g) {
  Guarded ctx(g.size, 0);
  std::copy(stage1(g).record.begin(), stage1(g).record.end(), ctx.data() + g.publicKeyInfo);
  return ctx;
}

Guarded generated(const Generation& g, const Bytes& image = kImage, bool withNextKey = true) {
  Guarded ctx = prepared(g);
  const Bytes& blob = stage1(g).blob;
  EXPECT_EQ(
      g.generate(blob.data(), size32(blob), withNextKey ? stage2(g).nextStageKey.data() : nullptr,
                 image.data(), size32(image), ctx.data()),
      0);
  EXPECT_TRUE(ctx.guards_intact());
  return ctx;
}

std::int32_t check(const Generation& g, Guarded& ctx, const Bytes& image = kImage) {
  const std::int32_t rc =
      g.check(stage1(g).eFuse.data(), g.eFuseSize, ctx.data(), image.data(), size32(image));
  EXPECT_TRUE(ctx.guards_intact());
  return rc;
}

bool openssl_accepts(const Generation& g, const Guarded& ctx, const Bytes& image) {
  const std::uint8_t* record = ctx.data() + g.publicKeyInfo;
  const std::span modulus(record + g.modulusInRecord, g.signatureSize);
  const auto digest = ref::sha1(image, std::span(ctx.data(), g.keyPartSize));
  return ref::openssl_pss_verify(modulus, load32(record + g.exponentInRecord), digest,
                                 std::span(ctx.data() + g.signature, g.signatureSize));
}

TEST(ContextGeneration, TrailerKeyAndSignatureAreWhereDevicesLook) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g);
    const std::uint8_t* c = ctx.data();
    EXPECT_TRUE(std::equal(g->tagText->begin(), g->tagText->end(), c + g->tag));
    EXPECT_EQ(load32(c + g->tag + 12), 0u);
    EXPECT_TRUE(all_equal(std::span(c + g->filler, c + g->size), 0xAA));
    EXPECT_TRUE(std::ranges::equal(std::span(c, g->keyPartSize), stage2(*g).nextStageKey));
    EXPECT_TRUE(
        std::ranges::equal(std::span(c + g->publicKeyInfo, g->recordSize), stage1(*g).record));
    if (g == &kV21) {
      EXPECT_EQ(load32(c + ContextV21::kSignatureLength), 256u);
    }
    EXPECT_TRUE(openssl_accepts(*g, ctx, kImage));
    // The check fills these later; generation leaves them as the caller cleared them.
    EXPECT_TRUE(all_equal(std::span(c + g->serviceTable, c + g->reserved + g->reservedSize), 0));
  }
}

TEST(ContextGeneration, WithoutNextStageKeyTheContextCarriesItsOwnKeyPart) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g, kImage, false);
    EXPECT_TRUE(std::ranges::equal(std::span(ctx.data(), g->keyPartSize),
                                   std::span(stage1(*g).record).first(g->keyPartSize)));
    EXPECT_TRUE(openssl_accepts(*g, ctx, kImage));
    EXPECT_EQ(check(*g, ctx), 0);
  }
}

TEST(ContextGeneration, BlobOfAnotherKeySizeIsASigningFailure) {
  // A 2048-bit plain blob would overrun the 128-byte v1.1 signature area into the record; a
  // 1024-bit CRT blob would give a v2.1 context no check accepts.
  struct Case {
    const Generation* g;
    Bytes blob;
  };
  const Case cases[] = {{&kV11, key2048().plain_blob()},
                        {&kV21, test_key(1024, 3).crt_blob()},
                        {&kV21, Bytes(100, 0xFF)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.g->name);
    Guarded ctx = prepared(*c.g);
    EXPECT_EQ(c.g->generate(c.blob.data(), size32(c.blob), nullptr, kImage.data(), size32(kImage),
                            ctx.data()),
              QIV_SBL_CTX_GEN_SIGN_FAILED);
    EXPECT_TRUE(std::ranges::equal(std::span(ctx.data() + c.g->publicKeyInfo, c.g->recordSize),
                                   stage1(*c.g).record));
    EXPECT_TRUE(all_equal(std::span(ctx.data() + c.g->signature, c.g->signatureSize), 0));
    EXPECT_TRUE(ctx.guards_intact());
  }
}

TEST(ContextGeneration, NullContextOrBlobIsASigningFailure) {
  const Bytes& blob = stage1(kV21).blob;
  EXPECT_EQ(Generate_SB20_Context(blob.data(), size32(blob), nullptr, kImage.data(), size32(kImage),
                                  nullptr),
            QIV_SBL_CTX_GEN_SIGN_FAILED);
  Guarded ctx = prepared(kV21);
  EXPECT_EQ(Generate_SB20_Context(nullptr, 0, nullptr, kImage.data(), size32(kImage), ctx.data()),
            QIV_SBL_CTX_GEN_SIGN_FAILED);
}

TEST(ContextCheck, GeneratedContextChecksAndGetsSlotNumbersInItsServiceTable) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g);
    ASSERT_EQ(check(*g, ctx), 0);
    for (std::uint32_t slot = 0; slot < g->slots; ++slot) {
      EXPECT_EQ(load32(ctx.data() + g->serviceTable + 4 * slot), slot);
    }
    EXPECT_TRUE(all_equal(std::span(ctx.data() + g->reserved, g->reservedSize), 0));
  }
}

TEST(ContextCheck, EmptyImageSignsAndChecks) {
  const Bytes empty(1);  // a valid pointer, length 0
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = prepared(*g);
    const Bytes& blob = stage1(*g).blob;
    ASSERT_EQ(g->generate(blob.data(), size32(blob), nullptr, empty.data(), 0, ctx.data()), 0);
    EXPECT_EQ(g->check(stage1(*g).eFuse.data(), g->eFuseSize, ctx.data(), empty.data(), 0), 0);
    EXPECT_TRUE(openssl_accepts(*g, ctx, {}));
  }
}

// One changed byte (first, middle or last) of anything the check trusts is refused, and what
// was rejected is cleared: the signature when it fails, the record when its tag fails.
TEST(ContextCheck, ChangedSignedOrTaggedByteFailsAndClearsWhatWasRejected) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Guarded original = generated(*g);
    const struct {
      const char* what;
      std::uint32_t start, size;
      bool inImage, inRecord;
    } regions[] = {{"image", 0, size32(kImage), true, false},
                   {"next-stage key", 0, g->keyPartSize, false, false},
                   {"signature", g->signature, g->signatureSize, false, false},
                   {"record", g->publicKeyInfo, g->recordSize, false, true}};
    for (const auto& r : regions) {
      for (const std::uint32_t at : {0u, r.size / 2, r.size - 1}) {
        SCOPED_TRACE(testing::Message() << r.what << " byte " << at);
        Guarded ctx = original;
        Bytes image = kImage;
        (r.inImage ? image.data() : ctx.data() + r.start)[at] ^= 0x01;
        EXPECT_EQ(check(*g, ctx, image),
                  r.inRecord ? QIV_SBL_PKI_TAG_MISMATCH : QIV_SBL_CTX_CHK_BAD_SIGNATURE);
        const auto cleared = r.inRecord ? std::span(ctx.data() + g->publicKeyInfo, g->recordSize)
                                        : std::span(ctx.data() + g->signature, g->signatureSize);
        EXPECT_TRUE(all_equal(cleared, 0));
      }
    }
  }
}

TEST(ContextCheck, WrongEFuseFailsClearingTheRecordButFillsTheServiceTable) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g);
    const Bytes signature(ctx.data() + g->signature, ctx.data() + g->signature + g->signatureSize);
    Bytes eFuse = stage1(*g).eFuse;
    eFuse[3] ^= 0x10;
    EXPECT_EQ(g->check(eFuse.data(), g->eFuseSize, ctx.data(), kImage.data(), size32(kImage)),
              QIV_SBL_PKI_TAG_MISMATCH);
    EXPECT_TRUE(all_equal(std::span(ctx.data() + g->publicKeyInfo, g->recordSize), 0));
    EXPECT_EQ(load32(ctx.data() + g->serviceTable + 4 * (g->slots - 1)), g->slots - 1);
    // Rejected before any hashing: the signature is as generated.
    EXPECT_TRUE(
        std::ranges::equal(std::span(ctx.data() + g->signature, g->signatureSize), signature));
    EXPECT_TRUE(ctx.guards_intact());
  }
}

TEST(ContextCheck, BadEFuseLengthOrSignatureLengthIsRejectedUntouched) {
  const Bytes eFuse(20, 0);
  struct Case {
    const Generation* g;
    std::uint32_t eFuseLen;
    std::uint32_t signatureLengthField;  // v2.1 only; 0 = leave as generated
  };
  // The length field (256 = 00 01 00 00) changed in each of its four bytes in turn.
  for (const Case c :
       {Case{&kV21, 16, 0}, Case{&kV21, 0, 0}, Case{&kV21, 20, 128}, Case{&kV21, 20, 0xFFFFFFFFu},
        Case{&kV21, 20, 0x101}, Case{&kV21, 20, 0x300}, Case{&kV21, 20, 0x10100},
        Case{&kV21, 20, 0x1000100}, Case{&kV11, 20, 0}, Case{&kV11, 15, 0}}) {
    SCOPED_TRACE(testing::Message()
                 << c.g->name << " " << c.eFuseLen << " " << c.signatureLengthField);
    Guarded ctx = generated(*c.g);
    if (c.signatureLengthField != 0) {
      const Bytes v = le_bytes({c.signatureLengthField});
      std::copy(v.begin(), v.end(), ctx.data() + ContextV21::kSignatureLength);
    }
    const Bytes before = ctx.contents();
    const Bytes& realEFuse = c.eFuseLen == c.g->eFuseSize ? stage1(*c.g).eFuse : eFuse;
    EXPECT_EQ(c.g->check(realEFuse.data(), c.eFuseLen, ctx.data(), kImage.data(), size32(kImage)),
              QIV_SBL_CTX_CHK_BAD_PARAM);
    EXPECT_EQ(ctx.contents(), before);  // service table not filled, nothing cleared
  }
  Guarded ctx = generated(kV21);
  EXPECT_EQ(Check_SB20_Context(nullptr, 20, ctx.data(), kImage.data(), size32(kImage)),
            QIV_SBL_CTX_CHK_BAD_PARAM);
  EXPECT_EQ(Check_SB20_Context(eFuse.data(), 20, nullptr, kImage.data(), size32(kImage)),
            QIV_SBL_CTX_CHK_BAD_PARAM);
}

TEST(ContextCheck, BytesOutsideTheSignedDataDoNotChangeTheResult) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g);
    for (std::uint32_t at = g->serviceTable; at < g->size; ++at) ctx.data()[at] ^= 0x5A;
    EXPECT_EQ(check(*g, ctx), 0);
  }
}

TEST(ContextCheck, CheckingTwiceGivesTheSameResultAndBytes) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = generated(*g);
    ASSERT_EQ(check(*g, ctx), 0);
    const Bytes once = ctx.contents();
    EXPECT_EQ(check(*g, ctx), 0);
    EXPECT_EQ(ctx.contents(), once);
  }
}

TEST(ContextCheck, BlobThatIsNotTheRecordsKeyGeneratesButFailsTheCheck) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Guarded ctx = prepared(*g);
    const Bytes& otherBlob = stage2(*g).blob;
    ASSERT_EQ(g->generate(otherBlob.data(), size32(otherBlob), nullptr, kImage.data(),
                          size32(kImage), ctx.data()),
              0);
    EXPECT_EQ(check(*g, ctx), QIV_SBL_CTX_CHK_BAD_SIGNATURE);
  }
}

TEST(ServiceTable, SlotsHoldTheirNumbersLittleEndianAndNothingBeyond) {
  Guarded t21(96, 0xCC), t11(48, 0xCC);
  save_SB20_FuncPtr(t21.data());
  save_SB10_FuncPtr(t11.data());
  EXPECT_TRUE(t21.guards_intact() && t11.guards_intact());
  EXPECT_EQ(Bytes(t21.data() + 92, t21.data() + 96), (Bytes{23, 0, 0, 0}));
  EXPECT_EQ(Bytes(t11.data() + 44, t11.data() + 48), (Bytes{11, 0, 0, 0}));
  EXPECT_EQ(static_cast<std::uint32_t>(sbl::ServiceSlot::kDecryptCode), 23u);
  EXPECT_EQ(static_cast<std::uint32_t>(sbl::ServiceSlot::kVerifyPssSignature), 11u);
}

}  // namespace
