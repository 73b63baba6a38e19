// The result codes are part of the record format's contract: each equals its documented word.
#include <gtest/gtest.h>

#include <set>

#include "sbl/sbl.h"

namespace {

TEST(ResultCodes, EachCodeIsItsDocumentedWordAndDistinctWithinItsFamily) {
  struct Code {
    std::int32_t value;
    std::uint32_t word;
  };
  const Code codes[] = {
      {QIV_SBL_SIGN_SHA1_INIT, 0xFFF40060},        {QIV_SBL_SIGN_SHA1_UPDATE, 0xFFF40070},
      {QIV_SBL_SIGN_SHA1_FINAL, 0xFFF40080},       {QIV_SBL_SIGN_FAILED, 0xFFF40090},
      {QIV_SBL_VERIFY_BAD_LENGTH, 0xFFF20000},     {QIV_SBL_VERIFY_SHA1_INIT, 0xFFF20060},
      {QIV_SBL_VERIFY_SHA1_UPDATE, 0xFFF20070},    {QIV_SBL_VERIFY_SHA1_FINAL, 0xFFF20080},
      {QIV_SBL_VERIFY_FAILED, 0xFFF20090},         {QIV_SBL_PKI_BAD_PARAM, 0xFFF50000},
      {QIV_SBL_PKI_GEN_HMAC_SETINFO, 0xFFF50010},  {QIV_SBL_PKI_GEN_HMAC_INIT, 0xFFF50020},
      {QIV_SBL_PKI_GEN_HMAC_UPDATE, 0xFFF50030},   {QIV_SBL_PKI_GEN_HMAC_FINAL, 0xFFF50040},
      {QIV_SBL_PKI_VAL_HMAC_SETINFO, 0xFFF10010},  {QIV_SBL_PKI_VAL_HMAC_INIT, 0xFFF10020},
      {QIV_SBL_PKI_VAL_HMAC_UPDATE, 0xFFF10030},   {QIV_SBL_PKI_VAL_HMAC_FINAL, 0xFFF10040},
      {QIV_SBL_PKI_TAG_MISMATCH, 0xFFF10050},      {QIV_SBL_CTX_GEN_SHA1_INIT, 0xFFF60020},
      {QIV_SBL_CTX_GEN_SHA1_UPDATE_IMAGE, 0xFFF60031},
      {QIV_SBL_CTX_GEN_SHA1_UPDATE_KEY, 0xFFF60032},
      {QIV_SBL_CTX_GEN_SHA1_FINAL, 0xFFF60040},    {QIV_SBL_CTX_GEN_SIGN_FAILED, 0xFFF40000},
      {QIV_SBL_CTX_CHK_BAD_PARAM, 0xFFF30000},     {QIV_SBL_CTX_CHK_SHA1_INIT, 0xFFF30060},
      {QIV_SBL_CTX_CHK_SHA1_UPDATE_IMAGE, 0xFFF30071},
      {QIV_SBL_CTX_CHK_SHA1_UPDATE_KEY, 0xFFF30072},
      {QIV_SBL_CTX_CHK_SHA1_FINAL, 0xFFF30080},    {QIV_SBL_CTX_CHK_BAD_SIGNATURE, 0xFFF30090},
      {QIV_SBL_AES_BAD_PARAM, 0xFFF7A000},         {QIV_SBL_AES_SETUP_FAILED, 0xFFF7B000},
      {QIV_SBL_AES_ENCRYPT_FAILED, 0xFFF7C000},    {QIV_SBL_AES_DECRYPT_FAILED, 0xFFF7D000},
  };
  std::set<std::int32_t> seen;
  for (const Code& c : codes) {
    EXPECT_EQ(static_cast<std::uint32_t>(c.value), c.word) << c.value;
    EXPECT_TRUE(seen.insert(c.value).second) << c.value;
  }
}

}  // namespace
