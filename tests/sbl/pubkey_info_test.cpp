// Public key information records: byte layout, the eFuse bond checked with OpenSSL's
// HMAC-SHA1, argument faults, and validation that destroys what it rejects.
#include <gtest/gtest.h>

#include <algorithm>

#include "crypto/wipe.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"
#include "sbl/secret.h"
#include "tests/sbl/guarded.h"
#include "tests/sbl/test_keys.h"
#include "tests/support/reference.h"

namespace {

using sbl::PublicKeyInfoV11;
using sbl::PublicKeyInfoV21;

bool all_zero(std::span<const std::uint8_t> s) {
  return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// One generation's shape, so each property is tested for both.
struct Generation {
  const char* name;
  decltype(&Generate_SB20_PublicKeyInfo) generate;
  decltype(&Validate_SB20_PublicKeyInfo) validate;
  std::uint32_t recordSize, keyPartSize, tag, eFuseSize, maxDigits;
  const TestKey& (*key)(int);
};
const Generation kV21{"v2.1",
                      Generate_SB20_PublicKeyInfo,
                      Validate_SB20_PublicKeyInfo,
                      PublicKeyInfoV21::kSize,
                      PublicKeyInfoV21::kKeyPartSize,
                      PublicKeyInfoV21::kTag,
                      sbl::EFuseV21::kSize,
                      64,
                      key2048};
const Generation kV11{"v1.1",
                      Generate_SB10_PublicKeyInfo,
                      Validate_SB10_PublicKeyInfo,
                      PublicKeyInfoV11::kSize,
                      PublicKeyInfoV11::kKeyPartSize,
                      PublicKeyInfoV11::kTag,
                      sbl::EFuseV11::kSize,
                      32,
                      key1024};
const Generation* const kGenerations[] = {&kV21, &kV11};

struct Made {
  Bytes record, eFuse;
};

Made make(const Generation& g, const std::uint8_t* givenKey = nullptr,
          std::uint32_t givenKeyLen = 0, int slot = 0) {
  const TestKey& k = g.key(slot);
  Guarded record(g.recordSize), eFuse(g.eFuseSize);
  std::uint32_t eFuseLen = g.eFuseSize;
  const std::uint32_t e = k.exponent;
  EXPECT_EQ(g.generate(givenKey, givenKeyLen, k.n.data(), k.digits, &e, 1, eFuse.data(), &eFuseLen,
                       record.data()),
            0);
  EXPECT_EQ(eFuseLen, g.eFuseSize);
  EXPECT_TRUE(record.guards_intact() && eFuse.guards_intact());
  return {record.contents(), eFuse.contents()};
}

std::span<const std::uint8_t> key_part(const Generation& g, const Bytes& record) {
  return std::span(record).first(g.keyPartSize);
}
std::span<const std::uint8_t> tag_of(const Generation& g, const Bytes& record) {
  return std::span(record).subspan(g.tag, 20);
}

Bytes xor_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  Bytes out(std::min(a.size(), b.size()));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = a[i] ^ b[i];
  return out;
}

TEST(PublicKeyInfoLayout, V21RecordOf2048BitKeyHasItsFieldsInPlace) {
  const Made m = make(kV21);
  const Bytes& r = m.record;
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Bytes(r.begin() + 260, r.begin() + 264), (Bytes{0x04, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(r.begin() + 264, r.begin() + 268), (Bytes{0x03, 0x00, 0x00, 0x00}));
  const Bytes n = key2048().modulus_le();
  EXPECT_TRUE(std::equal(n.begin(), n.end(), r.begin() + 4));
  EXPECT_EQ(r[4], n.front());   // least significant byte first
  EXPECT_NE(r[259] & 0x80, 0);  // most significant byte, top bit set
}

TEST(PublicKeyInfoLayout, V11RecordHasModulusAtZeroAndExponentAt128) {
  const Made m = make(kV11);
  const Bytes n = key1024().modulus_le();
  EXPECT_TRUE(std::equal(n.begin(), n.end(), m.record.begin()));
  EXPECT_EQ(Bytes(m.record.begin() + 128, m.record.begin() + 132), (Bytes{0x01, 0x00, 0x01, 0x00}));
  EXPECT_NE(m.record[127] & 0x80, 0);
}

TEST(PublicKeyInfoLayout, ShortModulusIsZeroExtendedAndItsLengthRecorded) {
  const TestKey& k = key1024();
  Bytes record(PublicKeyInfoV21::kSize, 0xEE), eFuse(20);
  std::uint32_t eFuseLen = 20;
  const std::uint32_t e = 3;
  ASSERT_EQ(Generate_SB20_PublicKeyInfo(nullptr, 0, k.n.data(), 32, &e, 1, eFuse.data(), &eFuseLen,
                                        record.data()),
            0);
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x80, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(all_zero(std::span(record).subspan(4 + 128, 128)));
  EXPECT_EQ(Validate_SB20_PublicKeyInfo(eFuse.data(), 20, record.data()), 0);
}

TEST(PublicKeyInfoBond, TagIsOpenSSLHmacUnderEFuseXorTag) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Made m = make(*g);
    const Bytes integrityKey = xor_bytes(m.eFuse, tag_of(*g, m.record));
    ASSERT_EQ(integrityKey.size(), g->eFuseSize);
    const auto expected = ref::hmac_sha1(integrityKey, key_part(*g, m.record));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), tag_of(*g, m.record).begin()));
    Bytes record = m.record;
    EXPECT_EQ(g->validate(m.eFuse.data(), g->eFuseSize, record.data()), 0);
    EXPECT_EQ(record, m.record);
  }
}

TEST(PublicKeyInfoBond, GivenKeyIsRecoveredFromTheEFuseValue) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    Bytes givenKey(g->eFuseSize);
    for (std::size_t i = 0; i < givenKey.size(); ++i)
      givenKey[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Made m = make(*g, givenKey.data(), g->eFuseSize);
    EXPECT_EQ(m.eFuse, xor_bytes(tag_of(*g, m.record), givenKey));
    const auto expected = ref::hmac_sha1(givenKey, key_part(*g, m.record));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), tag_of(*g, m.record).begin()));
  }
}

TEST(PublicKeyInfoBond, RandomIntegrityKeysDifferButKeyPartsAgree) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Made a = make(*g);
    const Made b = make(*g);
    EXPECT_NE(a.eFuse, b.eFuse);
    EXPECT_FALSE(std::ranges::equal(tag_of(*g, a.record), tag_of(*g, b.record)));
    EXPECT_TRUE(std::ranges::equal(key_part(*g, a.record), key_part(*g, b.record)));
  }
}

TEST(PublicKeyInfoGeneration, ArgumentFaultsLeaveRecordAndEFuseUntouched) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const TestKey& k = g->key(0);
    const Bytes key16(16, 1), key20(20, 1);
    const Bytes& wrongKey = g->eFuseSize == 20 ? key16 : key20;
    const Bytes& rightKey = g->eFuseSize == 20 ? key20 : key16;
    const Digits longModulus(g->maxDigits + 1, 0xFFFFFFFFu);
    const std::uint32_t e[2] = {k.exponent, 0};
    struct Case {
      const char* name;
      const std::uint8_t* givenKey;
      std::uint32_t givenKeyLen;
      const std::uint32_t* modulus;
      std::uint32_t digits;
      std::uint32_t expDigits;
      std::uint32_t capacity;
    };
    const Case cases[] = {
        {"wrong given key length", wrongKey.data(), static_cast<std::uint32_t>(wrongKey.size()),
         k.n.data(), k.digits, 1, g->eFuseSize},
        {"key with length 0", rightKey.data(), 0, k.n.data(), k.digits, 1, g->eFuseSize},
        {"null key with length", nullptr, g->eFuseSize, k.n.data(), k.digits, 1, g->eFuseSize},
        {"eFuse capacity one short", nullptr, 0, k.n.data(), k.digits, 1, g->eFuseSize - 1},
        {"modulus longer than field", nullptr, 0, longModulus.data(), g->maxDigits + 1, 1,
         g->eFuseSize},
        {"empty modulus", nullptr, 0, k.n.data(), 0, 1, g->eFuseSize},
        {"null modulus", nullptr, 0, nullptr, k.digits, 1, g->eFuseSize},
        {"exponent of two digits", nullptr, 0, k.n.data(), k.digits, 2, g->eFuseSize},
        {"exponent of no digits", nullptr, 0, k.n.data(), k.digits, 0, g->eFuseSize},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Guarded record(g->recordSize, 0x5E), eFuse(g->eFuseSize, 0x6F);
      std::uint32_t eFuseLen = c.capacity;
      EXPECT_EQ(g->generate(c.givenKey, c.givenKeyLen, c.modulus, c.digits, e, c.expDigits,
                            eFuse.data(), &eFuseLen, record.data()),
                QIV_SBL_PKI_BAD_PARAM);
      EXPECT_EQ(record.contents(), Bytes(g->recordSize, 0x5E));
      EXPECT_EQ(eFuse.contents(), Bytes(g->eFuseSize, 0x6F));
      EXPECT_EQ(eFuseLen, c.capacity);
      EXPECT_TRUE(record.guards_intact() && eFuse.guards_intact());
    }
    std::uint32_t eFuseLen = g->eFuseSize;
    Bytes record(g->recordSize), eFuse(g->eFuseSize);
    EXPECT_EQ(g->generate(nullptr, 0, k.n.data(), k.digits, e, 1, eFuse.data(), &eFuseLen, nullptr),
              QIV_SBL_PKI_BAD_PARAM);
    EXPECT_EQ(
        g->generate(nullptr, 0, k.n.data(), k.digits, e, 1, eFuse.data(), nullptr, record.data()),
        QIV_SBL_PKI_BAD_PARAM);
  }
}

TEST(PublicKeyInfoValidation, EveryFlippedEFuseBitFailsAndClearsTheRecord) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Made m = make(*g);
    for (std::uint32_t bit = 0; bit < 8 * g->eFuseSize; ++bit) {
      Bytes eFuse = m.eFuse;
      eFuse[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      Guarded record(g->recordSize);
      std::copy(m.record.begin(), m.record.end(), record.data());
      ASSERT_EQ(g->validate(eFuse.data(), g->eFuseSize, record.data()), QIV_SBL_PKI_TAG_MISMATCH)
          << bit;
      ASSERT_TRUE(all_zero(record.span()));
      ASSERT_TRUE(record.guards_intact());
    }
  }
}

TEST(PublicKeyInfoValidation, EveryChangedRecordByteFails) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Made m = make(*g);
    for (std::uint32_t i = 0; i < g->recordSize; ++i) {
      Bytes record = m.record;
      record[i] ^= 0x01;
      ASSERT_EQ(g->validate(m.eFuse.data(), g->eFuseSize, record.data()), QIV_SBL_PKI_TAG_MISMATCH)
          << i;
    }
  }
}

// The tag comparison on its own: a change to any single byte, the first and the last
// included, makes the tags unequal. (Through validation a changed tag byte also changes the
// integrity key, so there every byte differs and a skipped position would go unseen.)
TEST(PublicKeyInfoValidation, TagComparisonSeesADifferenceAtEveryPosition) {
  const auto tag = ref::hmac_sha1(Bytes(20, 7), Bytes(3, 1));
  const auto n = static_cast<std::uint32_t>(tag.size());
  EXPECT_TRUE(sbl::equal_in_constant_time(tag.data(), tag.data(), n));
  for (std::uint32_t i = 0; i < n; ++i) {
    for (const std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      auto other = tag;
      other[i] ^= bit;
      EXPECT_FALSE(sbl::equal_in_constant_time(tag.data(), other.data(), n)) << i;
      EXPECT_FALSE(sbl::equal_in_constant_time(other.data(), tag.data(), n)) << i;
    }
  }
}

// *eFuseLen is a capacity on entry and the value's length on return, whatever the capacity.
TEST(PublicKeyInfoGeneration, EFuseLengthIsReportedWhateverTheCapacity) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const TestKey& k = g->key(0);
    for (const std::uint32_t capacity : {g->eFuseSize, g->eFuseSize + 1, 0xFFFFFFFFu}) {
      Guarded record(g->recordSize), eFuse(g->eFuseSize);
      std::uint32_t eFuseLen = capacity;
      ASSERT_EQ(g->generate(nullptr, 0, k.n.data(), k.digits, &k.exponent, 1, eFuse.data(),
                            &eFuseLen, record.data()),
                0);
      EXPECT_EQ(eFuseLen, g->eFuseSize) << capacity;
      EXPECT_TRUE(eFuse.guards_intact() && record.guards_intact());
      EXPECT_EQ(g->validate(eFuse.data(), g->eFuseSize, record.data()), 0);
    }
  }
}

TEST(PublicKeyInfoValidation, WrongEFuseLengthIsRejectedAndLeavesTheRecord) {
  for (const Generation* g : kGenerations) {
    SCOPED_TRACE(g->name);
    const Made m = make(*g);
    Bytes eFuse = m.eFuse;
    eFuse.resize(20, 0);
    for (std::uint32_t len : {0u, 16u, 19u, 20u, 21u}) {
      if (len == g->eFuseSize) continue;
      Bytes record = m.record;
      EXPECT_EQ(g->validate(eFuse.data(), len, record.data()), QIV_SBL_PKI_BAD_PARAM) << len;
      EXPECT_EQ(record, m.record);
    }
    Bytes record = m.record;
    EXPECT_EQ(g->validate(nullptr, g->eFuseSize, record.data()), QIV_SBL_PKI_BAD_PARAM);
    EXPECT_EQ(g->validate(m.eFuse.data(), g->eFuseSize, nullptr), QIV_SBL_PKI_BAD_PARAM);
  }
}

}  // namespace
