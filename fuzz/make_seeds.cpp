// Writes the committed seed corpora: valid records, keys, signatures and images made with our
// own key generation under the fixed test noise (so every run writes the same bytes), plus a
// few malformed variants of each. Each seed is laid out in its harness's input format (see the
// comment at the top of each *_fuzz.cpp).
//
//   fuzz_make_seeds <corpus folder>    (writes <corpus folder>/<harness>/<seed name>)
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "format/format.h"
#include "rsa/rsa.h"
#include "sbl/sbl.h"
#include "tests/support/fixed_noise.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path corpus;

void write_seed(const char* harness, const std::string& name, const Bytes& bytes) {
  const fs::path dir = corpus / harness;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", harness, name.c_str());
    std::exit(1);
  }
}

void put32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

Bytes le(const std::uint32_t* digits, std::uint32_t count) {
  Bytes out;
  for (std::uint32_t i = 0; i < count; ++i) put32(out, digits[i]);
  return out;
}

Bytes text(const char* s) {
  return Bytes(s, s + std::strlen(s));
}

Bytes sha1(const Bytes& data) {
  QIV_SHA1_CTX ctx{};
  Bytes digest(20);
  if (QIV_SHA1_Init(&ctx) != 0 ||
      QIV_SHA1_Update(&ctx, data.data(), std::uint32_t(data.size())) != 0 ||
      QIV_SHA1_Final(&ctx, digest.data()) != 0) {
    std::exit(1);
  }
  return digest;
}

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "seed generation failed: %s\n", what);
    std::exit(1);
  }
}

QIV_RSA_PRIVATE_KEY make_key(std::uint32_t bits, std::uint32_t e) {
  QIV_RSA_PRIVATE_KEY key{};
  key.e[0] = e;
  key.e_count = 1;
  require(QIV_RSA_KeyGen(&key, bits) == 0, "key generation");
  return key;
}

struct Component {
  const std::uint32_t* digits;
  std::uint32_t count;
};

Bytes blob_of(const std::vector<Component>& components) {
  Bytes out;
  for (const Component& c : components) {
    put32(out, 4 * c.count);
    append(out, le(c.digits, c.count));
  }
  return out;
}

Bytes crt_blob(const QIV_RSA_PRIVATE_KEY& k) {
  return blob_of({{k.n, k.n_count},
                  {k.e, k.e_count},
                  {k.d, k.d_count},
                  {k.p, k.p_count},
                  {k.q, k.q_count},
                  {k.dP, k.dP_count},
                  {k.dQ, k.dQ_count},
                  {k.qInv, k.qInv_count}});
}

Bytes plain_blob(const QIV_RSA_PRIVATE_KEY& k) {
  return blob_of({{k.n, k.n_count},
                  {k.d, k.d_count},
                  {k.p, k.p_count},
                  {k.q, k.q_count},
                  {k.dP, k.dP_count},
                  {k.dQ, k.dQ_count},
                  {k.qInv, k.qInv_count}});
}

Bytes sign(std::int32_t form, const Bytes& blob, const Bytes& message) {
  Bytes signature(256);
  std::uint32_t length = 0;
  static const std::uint8_t kNothing = 0;  // an empty message still needs a valid address
  require(Generate_PSS_RSASignature2(form, blob.data(), std::uint32_t(blob.size()),
                                     message.empty() ? &kNothing : message.data(),
                                     std::uint32_t(message.size()), signature.data(), &length) == 0,
          "signing");
  signature.resize(length);
  return signature;
}

Bytes sign_digest(std::int32_t form, const Bytes& blob, const Bytes& digest) {
  Bytes signature(256);
  std::uint32_t length = 0;
  require(Generate_PSS_RSASignature(form, blob.data(), std::uint32_t(blob.size()), digest.data(),
                                    std::uint32_t(digest.size()), signature.data(), &length) == 0,
          "signing a digest");
  signature.resize(length);
  return signature;
}

Bytes image_bytes(std::uint32_t length, std::uint8_t salt) {
  Bytes out(length);
  for (std::uint32_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + salt);
  return out;
}

// ---------------------------------------------------------------------------------------------

void pss_verify_seeds(const QIV_RSA_PRIVATE_KEY& k2048, const QIV_RSA_PRIVATE_KEY& k1024,
                      const QIV_RSA_PRIVATE_KEY& k384) {
  const auto seed = [](const QIV_RSA_PRIVATE_KEY& key, std::uint32_t k, std::uint32_t eDigits,
                       const Bytes& modulus, const Bytes& signature, const Bytes& mHash) {
    Bytes out{static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(eDigits)};
    append(out, modulus);
    append(out, signature);
    append(out, le(key.e, eDigits));
    append(out, mHash);
    return out;
  };
  const Bytes mHash = sha1(text("boot image"));
  for (const auto* key : {&k2048, &k1024, &k384}) {
    const Bytes blob = crt_blob(*key);
    const Bytes n = le(key->n, key->n_count);
    const Bytes sig = sign_digest(QIV_SBL_FORM_CRT, blob, mHash);
    const std::string bits = std::to_string(32 * key->n_count);
    write_seed("pss_verify", "valid-" + bits, seed(*key, key->n_count, 1, n, sig, mHash));
    Bytes flipped = sig;
    flipped[5] ^= 0x01;
    write_seed("pss_verify", "bad-signature-" + bits,
               seed(*key, key->n_count, 1, n, flipped, mHash));
  }
  const Bytes n = le(k384.n, k384.n_count);
  const Bytes longHash = image_bytes(37, 1);  // the digest enters M' as given, any length
  const Bytes blob = crt_blob(k384);
  write_seed("pss_verify", "valid-384-long-digest",
             seed(k384, 12, 1, n, sign_digest(QIV_SBL_FORM_CRT, blob, longHash), longHash));
  const Bytes sig = sign_digest(QIV_SBL_FORM_CRT, blob, mHash);
  write_seed("pss_verify", "bad-no-exponent-digits", seed(k384, 12, 0, n, sig, mHash));
  Bytes low = n;
  low.back() &= 0x7F;
  write_seed("pss_verify", "bad-modulus-top-bit-clear", seed(k384, 12, 1, low, sig, mHash));
  write_seed("pss_verify", "bad-k5",
             seed(k384, 5, 1, Bytes(n.begin(), n.begin() + 20),
                  Bytes(sig.begin(), sig.begin() + 20), mHash));
  Bytes big = le(k2048.n, 64);
  big.insert(big.end(), {1, 0, 0, 0x80});
  write_seed("pss_verify", "bad-k65", seed(k2048, 65, 1, big, Bytes(260, 0x42), mHash));
  write_seed("pss_verify", "empty", {});
}

void aes_seeds() {
  // [key length choice][padding][flags][IV choice][capacities][pieces][lengths][key][IV][data]
  // Key length choices 0, 1, 2 are 16, 24, 32; padding 0 none, 1 PKCS #7.
  const auto encrypt = [](const Bytes& key, const Bytes& iv, std::uint32_t padding,
                          const Bytes& plain) {
    QIV_AES_CTX ctx{};
    require(QIV_AES_SetInfo(&ctx, QIV_AES_ENC_DEC, key.data(), std::uint32_t(key.size()), iv.data(),
                            16, padding, 0) == 0 &&
                QIV_AES_CBC_EncInit(&ctx) == 0,
            "AES set-up");
    Bytes out(plain.size() + 16);
    std::uint32_t n1 = 0, n2 = 0;
    require(QIV_AES_CBC_EncUpdate(&ctx, plain.data(), std::uint32_t(plain.size()), out.data(),
                                  &n1) == 0 &&
                QIV_AES_CBC_EncFinal(&ctx, out.data() + n1, &n2) == 0,
            "AES encryption");
    out.resize(n1 + n2);
    return out;
  };
  const auto seed = [](std::uint8_t keyChoice, std::uint8_t padChoice, std::uint8_t flags,
                       std::uint8_t ivChoice, std::uint8_t capacities,
                       const std::vector<std::uint16_t>& lengths, const Bytes& key, const Bytes& iv,
                       const Bytes& data) {
    Bytes out{keyChoice, padChoice,  flags,
              ivChoice,  capacities, static_cast<std::uint8_t>(lengths.size())};
    for (std::uint16_t len : lengths) put16(out, len);
    append(out, key);
    append(out, iv);
    append(out, data);
    return out;
  };
  const Bytes iv = image_bytes(16, 9);
  const Bytes k16 = image_bytes(16, 3), k24 = image_bytes(24, 4), k32 = image_bytes(32, 5);
  const Bytes plain48 = image_bytes(48, 11), plain20 = image_bytes(20, 12);
  const Bytes ct128 = encrypt(k16, iv, QIV_PAD_NONE, plain48);
  write_seed("aes_cbc_decrypt", "aes128-none-48", seed(0, 0, 3, 0, 0, {}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "aes192-pkcs7-20",
             seed(1, 1, 3, 0, 0, {}, k24, iv, encrypt(k24, iv, QIV_PAD_PKCS7, plain20)));
  const Bytes ct256 = encrypt(k32, iv, QIV_PAD_PKCS7, plain48);  // a whole block of padding
  write_seed("aes_cbc_decrypt", "aes256-pkcs7-aligned", seed(2, 1, 3, 0, 0, {}, k32, iv, ct256));
  write_seed("aes_cbc_decrypt", "split-empty-then-rest", seed(2, 1, 3, 0, 0, {0}, k32, iv, ct256));
  write_seed("aes_cbc_decrypt", "split-second-update",
             seed(0, 0, 3, 0, 0, {32, 5}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "update-capacity-short", seed(0, 0, 3, 0, 2, {}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "update-capacity-written-only",
             seed(0, 0, 3, 0, 3, {}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "final-capacity-2",
             seed(1, 1, 3, 0, 2 << 2, {}, k24, iv, encrypt(k24, iv, QIV_PAD_PKCS7, plain20)));
  write_seed("aes_cbc_decrypt", "pkcs7-bad-padding", seed(0, 1, 3, 0, 0, {}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "not-block-aligned-33",
             seed(0, 0, 3, 0, 0, {}, k16, iv, Bytes(ct128.begin(), ct128.begin() + 33)));
  write_seed("aes_cbc_decrypt", "one-short-block",
             seed(0, 0, 3, 0, 0, {}, k16, iv, Bytes(ct128.begin(), ct128.begin() + 7)));
  write_seed("aes_cbc_decrypt", "key-length-20",
             seed(7, 0, 3, 0, 0, {}, image_bytes(20, 1), iv, ct128));
  write_seed("aes_cbc_decrypt", "iv-length-8", seed(0, 0, 3, 2, 0, {}, k16, Bytes(8, 1), ct128));
  write_seed("aes_cbc_decrypt", "encrypt-keys-only", seed(0, 0, 1, 0, 0, {}, k16, iv, ct128));
  write_seed("aes_cbc_decrypt", "no-padding-type", seed(0, 2, 3, 0, 0, {}, k16, iv, ct128));
}

void noise_seeds() {
  // [target length][kind: 0 file, 5 missing, 6 folder, 7 FIFO][contents]
  const auto seed = [](std::uint8_t target, std::uint8_t kind, std::uint32_t length) {
    Bytes out{target, kind};
    append(out, image_bytes(length, 17));
    return out;
  };
  write_seed("noise_file", "file-300", seed(40, 0, 300));
  write_seed("noise_file", "file-256", seed(40, 0, 256));
  write_seed("noise_file", "file-255", seed(40, 0, 255));
  write_seed("noise_file", "file-10", seed(40, 0, 10));
  write_seed("noise_file", "file-empty", seed(40, 0, 0));
  write_seed("noise_file", "target-42-partial-word", seed(42, 0, 64));
  write_seed("noise_file", "target-3", seed(3, 0, 10));
  write_seed("noise_file", "missing", seed(40, 5, 0));
  write_seed("noise_file", "folder", seed(40, 6, 0));
  write_seed("noise_file", "fifo", seed(40, 7, 0));
}

void key_blob_seeds(const QIV_RSA_PRIVATE_KEY& k2048, const QIV_RSA_PRIVATE_KEY& k1024,
                    const QIV_RSA_PRIVATE_KEY& k384) {
  // [form][mode: 1 hashes the message][message length: u16][message][blob]
  const auto seed = [](std::int8_t form, std::uint8_t mode, const Bytes& message,
                       const Bytes& blob) {
    Bytes out{static_cast<std::uint8_t>(form), mode};
    put16(out, std::uint32_t(message.size()));
    append(out, message);
    append(out, blob);
    return out;
  };
  const Bytes message = text("second-stage boot loader");
  const Bytes digest = sha1(message);
  write_seed("key_blob_sign", "crt-2048", seed(1, 1, message, crt_blob(k2048)));
  write_seed("key_blob_sign", "crt-2048-digest", seed(1, 0, digest, crt_blob(k2048)));
  write_seed("key_blob_sign", "plain-1024", seed(0, 1, message, plain_blob(k1024)));
  write_seed("key_blob_sign", "plain-1024-n-and-d-only",
             seed(0, 1, message, blob_of({{k1024.n, 32}, {k1024.d, 32}})));
  write_seed("key_blob_sign", "crt-384", seed(1, 1, message, crt_blob(k384)));
  write_seed("key_blob_sign", "plain-384-form-minus-1", seed(-1, 1, message, plain_blob(k384)));
  write_seed("key_blob_sign", "crt-blob-read-as-plain", seed(0, 1, message, crt_blob(k384)));

  // Consistent keys outside what the generator makes: p < q, and an unreduced qInv.
  const std::uint32_t h = k384.p_count;
  {
    std::array<std::uint32_t, 34> pMinusQ{}, inv{};
    qiv_bn_Sub(pMinusQ.data(), k384.p, h, k384.q, h);  // p mod q, as p < 2q
    require(qiv_bn_Euclid(inv.data(), pMinusQ.data(), k384.q, h) == 0, "p^-1 mod q");
    const Bytes swapped = blob_of({{k384.n, k384.n_count},
                                   {k384.e, 1},
                                   {k384.d, k384.d_count},
                                   {k384.q, h},
                                   {k384.p, h},
                                   {k384.dQ, h},
                                   {k384.dP, h},
                                   {inv.data(), h}});
    write_seed("key_blob_sign", "crt-384-p-below-q", seed(1, 1, message, swapped));
  }
  {
    std::array<std::uint32_t, 34> qInvPlusP{};
    if (qiv_bn_Add(qInvPlusP.data(), k384.qInv, h, k384.p, h) == 0) {
      const Bytes unreduced = blob_of({{k384.n, k384.n_count},
                                       {k384.e, 1},
                                       {k384.d, k384.d_count},
                                       {k384.p, h},
                                       {k384.q, h},
                                       {k384.dP, h},
                                       {k384.dQ, h},
                                       {qInvPlusP.data(), h}});
      write_seed("key_blob_sign", "crt-384-qinv-unreduced", seed(1, 1, message, unreduced));
    }
  }

  // Malformed blobs.
  Bytes past = crt_blob(k384);
  past.resize(past.size() - 1);
  write_seed("key_blob_sign", "bad-truncated", seed(1, 1, message, past));
  Bytes unaligned = crt_blob(k384);
  unaligned[0] = 47;  // modulus length not whole digits
  write_seed("key_blob_sign", "bad-length-not-digits", seed(1, 1, message, unaligned));
  Bytes huge = crt_blob(k384);
  huge[0] = 0xFC;
  huge[1] = huge[2] = huge[3] = 0xFF;  // 0xFFFFFFFC bytes
  write_seed("key_blob_sign", "bad-length-huge", seed(1, 1, message, huge));
  Bytes oversized;
  put32(oversized, 67 * 4);
  append(oversized, image_bytes(67 * 4, 2));
  write_seed("key_blob_sign", "bad-modulus-67-digits", seed(0, 1, message, oversized));
  write_seed("key_blob_sign", "bad-odd-k",
             seed(1, 1, message,
                  blob_of({{k384.n, 11},
                           {k384.e, 1},
                           {k384.d, 11},
                           {k384.p, 6},
                           {k384.q, 6},
                           {k384.dP, 6},
                           {k384.dQ, 6},
                           {k384.qInv, 6}})));
  write_seed("key_blob_sign", "empty", {});
}

// Stage-1 contexts and secured images.
void context_seeds(const QIV_RSA_PRIVATE_KEY& k2048, const QIV_RSA_PRIVATE_KEY& k1024) {
  // [choice: bit 0 v1.1; bits 1-2 eFuse length][eFuse value][image || context]
  const auto seed = [](std::uint8_t choice, const Bytes& eFuse, const Bytes& image,
                       const Bytes& context) {
    Bytes out{choice};
    append(out, eFuse);
    append(out, image);
    append(out, context);
    return out;
  };
  {
    Bytes context(1024, 0), eFuse(20);
    std::uint32_t eFuseLen = 20;
    require(Generate_SB20_PublicKeyInfo(nullptr, 0, k2048.n, 64, k2048.e, 1, eFuse.data(),
                                        &eFuseLen, context.data() + 528) == 0,
            "v2.1 record");
    Bytes code = image_bytes(96, 21);
    require(Encrypt_Code(eFuse.data(), 20, context.data(), code.data(), 96) == 0,
            "code encryption");
    Bytes withBlock = code;
    append(withBlock, image_bytes(48, 22));  // stands for the build-information block
    const Bytes blob = crt_blob(k2048);
    Bytes plainContext = context;
    require(Generate_SB20_Context(blob.data(), std::uint32_t(blob.size()), nullptr, code.data(), 96,
                                  context.data()) == 0 &&
                Check_SB20_Context(eFuse.data(), 20, context.data(), code.data(), 96) == 0,
            "v2.1 context");
    write_seed("context_check", "v21-valid", seed(0, eFuse, code, context));
    Bytes withBlockContext = plainContext;
    require(Generate_SB20_Context(blob.data(), std::uint32_t(blob.size()), nullptr,
                                  withBlock.data(), 144, withBlockContext.data()) == 0,
            "v2.1 context with block");
    write_seed("context_check", "v21-valid-info-block",
               seed(0, eFuse, withBlock, withBlockContext));
    Bytes emptyContext = plainContext;
    require(Generate_SB20_Context(blob.data(), std::uint32_t(blob.size()), nullptr, code.data(), 0,
                                  emptyContext.data()) == 0,
            "v2.1 context, empty code");
    write_seed("context_check", "v21-valid-empty-code", seed(0, eFuse, {}, emptyContext));

    Bytes wrong = eFuse;
    wrong[19] ^= 0x80;
    write_seed("context_check", "v21-wrong-efuse", seed(0, wrong, code, context));
    write_seed("context_check", "v21-efuse-of-other-set",
               seed(4, Bytes(eFuse.begin(), eFuse.begin() + 16), code, context));
    Bytes altered = code;
    altered[0] ^= 1;
    write_seed("context_check", "v21-altered-code", seed(0, eFuse, altered, context));
    Bytes sigLen128 = context;
    sigLen128[268] = 128;
    sigLen128[269] = 0;
    write_seed("context_check", "v21-signature-length-128", seed(0, eFuse, code, sigLen128));
    write_seed("context_check", "v21-truncated",
               seed(0, eFuse, {}, Bytes(context.begin(), context.begin() + 700)));
  }
  {
    Bytes context(512, 0), eFuse(16);
    std::uint32_t eFuseLen = 16;
    require(Generate_SB10_PublicKeyInfo(nullptr, 0, k1024.n, 32, k1024.e, 1, eFuse.data(),
                                        &eFuseLen, context.data() + 260) == 0,
            "v1.1 record");
    const Bytes code = image_bytes(200, 23);
    const Bytes blob = plain_blob(k1024);
    require(Generate_SB10_Context(blob.data(), std::uint32_t(blob.size()), nullptr, code.data(),
                                  200, context.data()) == 0 &&
                Check_SB10_Context(eFuse.data(), 16, context.data(), code.data(), 200) == 0,
            "v1.1 context");
    write_seed("context_check", "v11-valid", seed(1, eFuse, code, context));
    Bytes wrong = eFuse;
    wrong[0] ^= 1;
    write_seed("context_check", "v11-wrong-efuse", seed(1, wrong, code, context));
    Bytes badSig = context;
    badSig[140] ^= 0x10;
    write_seed("context_check", "v11-altered-signature", seed(1, eFuse, code, badSig));
    write_seed("context_check", "v11-efuse-length-0", seed(7, {}, code, context));
  }
}

// Public key files and signed stage-2 images.
void stage2_seeds(const QIV_RSA_PRIVATE_KEY& k2048, const QIV_RSA_PRIVATE_KEY& k1024,
                  const QIV_RSA_PRIVATE_KEY& k384) {
  // [choice: bit 0 v1.1, bit 1 odd signature length][key file length: u16][odd length: u16]
  // [key file][signed image]
  const auto seed = [](std::uint8_t choice, std::uint16_t oddLength, const Bytes& keyFile,
                       const Bytes& image) {
    Bytes out{choice};
    put16(out, std::uint32_t(keyFile.size()));
    put16(out, oddLength);
    append(out, keyFile);
    append(out, image);
    return out;
  };
  const Bytes bl2 = image_bytes(100, 31);
  const auto signed_image = [&](std::int32_t form, const Bytes& blob, const Bytes& image) {
    Bytes out = image;
    append(out, sign(form, blob, image));
    return out;
  };

  // v2.1: the signed public key file, as the key-pair command lays it out.
  std::array<std::uint8_t, 288> record{};
  std::array<std::uint8_t, 20> eFuse{};
  std::uint32_t eFuseLen = 20;
  require(Generate_SB20_PublicKeyInfo(nullptr, 0, k2048.n, 64, k2048.e, 1, eFuse.data(), &eFuseLen,
                                      record.data()) == 0,
          "v2.1 record");
  std::array<std::uint8_t, SignedPublicKeyFileV21::kSize> keyFile{};
  fill_sb20_signed_public_key_file(keyFile, record);
  const Bytes crt = crt_blob(k2048);
  const Bytes selfSig = sign(QIV_SBL_FORM_CRT, crt, Bytes(keyFile.begin(), keyFile.begin() + 288));
  std::copy(selfSig.begin(), selfSig.end(), keyFile.begin() + 292);
  const Bytes v21Key(keyFile.begin(), keyFile.end());
  const Bytes v21Image = signed_image(QIV_SBL_FORM_CRT, crt, bl2);
  write_seed("stage2_verify", "v21-valid", seed(0, 0, v21Key, v21Image));
  write_seed("stage2_verify", "v21-valid-empty-bl2",
             seed(0, 0, v21Key, signed_image(QIV_SBL_FORM_CRT, crt, {})));
  Bytes tampered = v21Image;
  tampered[3] ^= 4;
  write_seed("stage2_verify", "v21-altered-image", seed(0, 0, v21Key, tampered));
  Bytes damagedTail = v21Key;
  damagedTail[300] ^= 0xFF;  // self-signature: not looked at
  write_seed("stage2_verify", "v21-damaged-self-signature", seed(0, 0, damagedTail, v21Image));
  write_seed("stage2_verify", "v21-short-image",
             seed(0, 0, v21Key, Bytes(v21Image.begin(), v21Image.begin() + 200)));
  Bytes tooLarge = v21Key;
  tooLarge.resize(1100, 0);
  write_seed("stage2_verify", "v21-key-file-too-large", seed(0, 0, tooLarge, v21Image));
  write_seed("stage2_verify", "v21-odd-signature-length-129", seed(2, 129, v21Key, v21Image));

  // A v2.1 key part whose length fields describe a 12-digit modulus: refused by the front end,
  // verified by the library with k taken from the record.
  {
    Bytes small(268, 0);
    small[0] = 48;
    const Bytes n = le(k384.n, 12);
    std::copy(n.begin(), n.end(), small.begin() + 4);
    small[260] = 4;
    small[264] = static_cast<std::uint8_t>(k384.e[0]);
    Bytes image = bl2;
    append(image, sign(QIV_SBL_FORM_CRT, crt_blob(k384), bl2));
    image.resize(bl2.size() + 256, 0xEE);
    write_seed("stage2_verify", "v21-record-k12", seed(0, 0, small, image));
    Bytes k5 = small;
    k5[0] = 20;
    write_seed("stage2_verify", "v21-record-k5", seed(0, 0, k5, image));
  }

  // v1.1: the public key record, as the key-pair command lays it out.
  std::array<std::uint8_t, 132> keyPart{};
  const Bytes n1024 = le(k1024.n, 32);
  std::copy(n1024.begin(), n1024.end(), keyPart.begin());
  keyPart[128] = static_cast<std::uint8_t>(k1024.e[0]);
  keyPart[129] = static_cast<std::uint8_t>(k1024.e[0] >> 8);
  keyPart[130] = static_cast<std::uint8_t>(k1024.e[0] >> 16);
  std::array<std::uint8_t, PublicKeyRecordV11::kSize> rec{};
  fill_sb10_public_record(rec, keyPart);
  const Bytes plain = plain_blob(k1024);
  const Bytes recSig = sign(QIV_SBL_FORM_PLAIN, plain, Bytes(rec.begin() + 36, rec.begin() + 176));
  std::copy(recSig.begin(), recSig.end(), rec.begin() + 180);
  const Bytes v11Key(rec.begin(), rec.end());
  const Bytes v11Image = signed_image(QIV_SBL_FORM_PLAIN, plain, bl2);
  write_seed("stage2_verify", "v11-valid", seed(1, 0, v11Key, v11Image));
  Bytes exp3 = v11Key;
  exp3[168] = 3;  // a three-byte exponent: 65537 still fits
  write_seed("stage2_verify", "v11-exponent-length-3", seed(1, 0, exp3, v11Image));
  Bytes exp5 = v11Key;
  exp5[168] = 5;
  write_seed("stage2_verify", "v11-exponent-length-5", seed(1, 0, exp5, v11Image));
  write_seed("stage2_verify", "v11-given-v21-key-file", seed(1, 0, v21Key, v21Image));
  write_seed("stage2_verify", "v21-given-v11-record", seed(0, 0, v11Key, v11Image));
  write_seed("stage2_verify", "v11-short-record",
             seed(1, 0, Bytes(v11Key.begin(), v11Key.begin() + 100), v11Image));
  write_seed("stage2_verify", "v11-odd-signature-length-64", seed(3, 64, v11Key, v11Image));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  corpus = argv[1];
  qiv_test_reset_random();
  const QIV_RSA_PRIVATE_KEY k2048 = make_key(2048, 3);
  const QIV_RSA_PRIVATE_KEY k1024 = make_key(1024, 65537);
  const QIV_RSA_PRIVATE_KEY k384 = make_key(384, 3);
  pss_verify_seeds(k2048, k1024, k384);
  aes_seeds();
  noise_seeds();
  key_blob_seeds(k2048, k1024, k384);
  context_seeds(k2048, k1024);
  stage2_seeds(k2048, k1024, k384);
  return 0;
}
