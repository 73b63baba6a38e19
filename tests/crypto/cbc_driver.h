// Drives the CBC layer the way the library's callers do: set up, init, update(s), final, with
// the final call's output placed right after the update's.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "crypto/crypto.h"
#include "tests/crypto/vector_file.h"

namespace qiv::test {

struct CbcResult {
  std::int32_t rc = QIV_SUCCESS;
  Bytes data;
};

inline QIV_AES_CTX cbc_context(const Bytes& key, const Bytes& iv, std::uint32_t padding) {
  QIV_AES_CTX ctx;
  const std::int32_t rc =
      QIV_AES_SetInfo(&ctx, QIV_AES_ENCRYPT | QIV_AES_ENC_DEC, key.data(),
                      static_cast<std::uint32_t>(key.size()), iv.data(),
                      static_cast<std::uint32_t>(iv.size()), padding, 0);
  if (rc != QIV_SUCCESS) throw std::runtime_error("SetInfo failed");
  return ctx;
}

// `splits` lists the lengths of the update calls; whatever they leave over goes in a last one.
inline CbcResult cbc_encrypt(QIV_AES_CTX& ctx, const Bytes& plain,
                             const std::vector<std::size_t>& splits = {}) {
  CbcResult r;
  if ((r.rc = QIV_AES_CBC_EncInit(&ctx)) != QIV_SUCCESS) return r;
  r.data.assign(plain.size() + 2 * QIV_AES_BLOCK_LEN, 0);
  std::size_t in_at = 0, out_at = 0;
  auto update = [&](std::size_t len) {
    std::uint32_t outlen = 0;
    // A one-byte stand-in keeps the input pointer non-null for empty messages.
    static const std::uint8_t kNothing = 0;
    const std::uint8_t* in = plain.empty() ? &kNothing : plain.data() + in_at;
    r.rc = QIV_AES_CBC_EncUpdate(&ctx, in, static_cast<std::uint32_t>(len),
                                 r.data.data() + out_at, &outlen);
    in_at += len;
    out_at += outlen;
    return r.rc == QIV_SUCCESS;
  };
  for (const std::size_t len : splits) {
    if (!update(len)) return r;
  }
  if (!update(plain.size() - in_at)) return r;
  std::uint32_t final_len = 0;
  if ((r.rc = QIV_AES_CBC_EncFinal(&ctx, r.data.data() + out_at, &final_len)) != QIV_SUCCESS) {
    return r;
  }
  r.data.resize(out_at + final_len);
  return r;
}

// One update over the whole ciphertext, decrypted in place, then the final call.
inline CbcResult cbc_decrypt(QIV_AES_CTX& ctx, const Bytes& cipher) {
  CbcResult r;
  if ((r.rc = QIV_AES_CBC_DecInit(&ctx)) != QIV_SUCCESS) return r;
  r.data = cipher;
  r.data.resize(cipher.size() + 1);  // a non-null buffer even for an empty message
  std::uint32_t outlen = 0, final_len = 0;
  r.rc = QIV_AES_CBC_DecUpdate(&ctx, r.data.data(), static_cast<std::uint32_t>(cipher.size()),
                               r.data.data(), &outlen);
  if (r.rc != QIV_SUCCESS) return r;
  r.rc = QIV_AES_CBC_DecFinal(&ctx, r.data.data() + outlen, &final_len);
  if (r.rc != QIV_SUCCESS) return r;
  r.data.resize(outlen + final_len);
  return r;
}

}  // namespace qiv::test
