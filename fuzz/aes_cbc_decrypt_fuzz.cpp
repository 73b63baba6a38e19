// The AES-CBC decryption stream: QIV_AES_SetInfo, DecInit, DecUpdate over arbitrary splits of
// an arbitrary ciphertext, DecFinal with no padding or PKCS #7, arbitrary capacities; then,
// when the message decrypted, an encryption of the plaintext in arbitrary pieces.
//
// Input: [key length choice][padding choice][set-up flags][IV choice][capacities]
//        [piece count, mod 4][piece lengths: u16 each][key][IV: 16][ciphertext: the rest]
// The ciphertext lies in one guarded buffer and is decrypted in place, piece by piece; the
// last piece is whatever the listed lengths leave.
//
// A small model of the stream says what every call must return; an independent CBC
// decryption (ref::aes_cbc_decrypt) says what the plaintext must be:
// - set-up and init report the key-length, IV-length and missing-key/IV codes exactly;
// - only the first non-empty piece is decrypted; every update after it is QIV_ERR_SEQUENCE
//   and leaves its bytes alone;
// - an update refused for capacity leaves buffer and context as they were (it is retried
//   with the capacity unchecked and must then behave as if it had never happened);
// - the update writes exactly the bytes it reports, all but the last 1 to 16; the final call
//   writes the last block minus its padding and nothing else, or fails with the exact code
//   (QIV_ERR_LAST_BLOCK, QIV_ERR_BAD_PADDING, QIV_ERR_BAD_PARAM, QIV_ERR_OUT_TOO_SMALL);
// - the plaintext equals the reference; re-encrypting it gives the ciphertext back;
// - no byte outside the buffers changes (guards).
#include <array>
#include <vector>

#include "crypto/crypto.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/reference.h"

namespace {

constexpr std::uint32_t kBlock = 16;
constexpr std::array<std::uint32_t, 11> kKeyLengths{16, 24, 32, 0, 1, 15, 17, 20, 31, 33, 64};
constexpr std::array<std::uint32_t, 4> kPaddings{QIV_PAD_NONE, QIV_PAD_PKCS7, 0, 0x12345678};
constexpr std::array<std::uint32_t, 4> kIvLengths{16, 0, 8, 32};  // choice 4: null IV

constexpr std::uint32_t whole_blocks(std::uint32_t n) { return n - n % kBlock; }

struct Piece {
  std::uint32_t offset, length;
};

// The lengths listed in the input, each clamped to what is left, then the rest.
std::vector<Piece> split(const std::vector<std::uint16_t>& lengths, std::uint32_t total) {
  std::vector<Piece> pieces;
  std::uint32_t at = 0;
  for (std::uint16_t want : lengths) {
    const std::uint32_t len = std::min<std::uint32_t>(want, total - at);
    pieces.push_back({at, len});
    at += len;
  }
  pieces.push_back({at, total - at});
  return pieces;
}

// The update's capacity: unchecked, exact, one short, or just the bytes it will write (which
// is short of the rule's whole_blocks(n) when n is block-aligned).
std::uint32_t update_capacity(std::uint8_t choice, std::uint32_t n) {
  const std::uint32_t need = whole_blocks(n);
  switch (choice & 3) {
    case 0: return 0;
    case 1: return need;
    case 2: return need - 1;
    default: return whole_blocks(n - 1);
  }
}

// Expected qiv_CheckPadding result for the decrypted last block.
std::int32_t expected_padding(std::uint32_t type, const std::uint8_t* last) {
  if (type == QIV_PAD_NONE) return 0;
  if (type != QIV_PAD_PKCS7) return QIV_ERR_BAD_PARAM;
  const std::uint32_t p = last[kBlock - 1];
  if (p == 0 || p > kBlock) return QIV_ERR_BAD_PADDING;
  for (std::uint32_t i = kBlock - p; i < kBlock; ++i) {
    if (last[i] != p) return QIV_ERR_BAD_PADDING;
  }
  return static_cast<std::int32_t>(p);
}

bool range_equals(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n) {
  return n == 0 || std::memcmp(a, b, n) == 0;
}

// Encrypts the plaintext in the same pieces with the context that decrypted it; the result
// must be the original ciphertext.
void check_reencryption(QIV_AES_CTX& ctx, std::span<const std::uint8_t> plain,
                        const std::vector<std::uint16_t>& lengths,
                        std::span<const std::uint8_t> ciphertext) {
  const fuzz::Exact source(plain);
  fuzz::Guarded out(plain.size() + kBlock, 0);
  FUZZ_CHECK(QIV_AES_CBC_EncInit(&ctx) == QIV_SUCCESS);
  std::uint32_t produced = 0;
  for (const Piece& piece : split(lengths, fuzz::u32(plain.size()))) {
    std::uint32_t outlen = 0;
    FUZZ_CHECK(QIV_AES_CBC_EncUpdate(&ctx, source.data() + piece.offset, piece.length,
                                     out.data() + produced, &outlen) == QIV_SUCCESS);
    produced += outlen;
    FUZZ_CHECK(produced % kBlock == 0 && produced <= plain.size());
  }
  std::uint32_t last = 0;
  FUZZ_CHECK(QIV_AES_CBC_EncFinal(&ctx, out.data() + produced, &last) == QIV_SUCCESS);
  produced += last;
  FUZZ_CHECK(produced == ciphertext.size());
  FUZZ_CHECK(range_equals(out.data(), ciphertext.data(), produced));
  FUZZ_CHECK(out.guards_intact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const std::uint32_t keyLen = kKeyLengths[in.u8() % kKeyLengths.size()];
  const std::uint32_t padding = kPaddings[in.u8() % kPaddings.size()];
  const std::uint32_t flags = in.u8();
  const std::uint8_t ivChoice = in.u8() % 5;
  const std::uint8_t capacities = in.u8();
  std::vector<std::uint16_t> lengths(in.u8() % 4);
  for (std::uint16_t& len : lengths) len = in.u16();
  const bool ivNull = ivChoice == 4;
  const std::uint32_t ivLen = ivNull ? kBlock : kIvLengths[ivChoice];
  const fuzz::Exact key(in.bytes(keyLen));
  const fuzz::Exact iv(in.bytes(ivLen));
  const fuzz::Bytes ciphertext = in.rest();

  // Set-up: the key step first (its failure returns before the IV is looked at), then the IV.
  const bool keyValid = keyLen == 16 || keyLen == 24 || keyLen == 32;
  std::int32_t expectedSetInfo = QIV_SUCCESS;
  bool hasDecKey = false;
  bool hasEncKey = false;
  bool hasIv = false;
  if (keyLen != 0 && (flags & (QIV_AES_ENCRYPT | QIV_AES_ENC_DEC)) != 0) {
    if (!keyValid) {
      expectedSetInfo = QIV_ERR_KEY_LENGTH;
    } else {
      hasEncKey = true;
      hasDecKey = (flags & QIV_AES_ENC_DEC) != 0;
    }
  }
  if (expectedSetInfo == QIV_SUCCESS && !ivNull && ivLen != 0) {
    if (ivLen != kBlock) {
      expectedSetInfo = QIV_ERR_IV_LENGTH;
    } else {
      hasIv = true;
    }
  }

  QIV_AES_CTX ctx{};
  FUZZ_CHECK(QIV_AES_SetInfo(&ctx, flags, key.data(), keyLen, ivNull ? nullptr : iv.data(), ivLen,
                             padding, 0) == expectedSetInfo);

  fuzz::Guarded buffer(ciphertext);
  const std::int32_t expectedInit =
      !hasDecKey ? QIV_ERR_NO_DEC_KEY : (!hasIv ? QIV_ERR_NO_IV : QIV_SUCCESS);
  FUZZ_CHECK(QIV_AES_CBC_DecInit(&ctx) == expectedInit);
  if (expectedInit != QIV_SUCCESS) {
    // Without a decryption key nothing may be decrypted; any other outcome is only required
    // to stay inside the buffer.
    std::uint32_t outlen = 0;
    const std::int32_t rc =
        QIV_AES_CBC_DecUpdate(&ctx, buffer.data(), fuzz::u32(buffer.size()), buffer.data(), &outlen);
    if (!hasDecKey) FUZZ_CHECK(rc == QIV_ERR_NO_DEC_KEY && buffer.equals(ciphertext));
    FUZZ_CHECK(buffer.guards_intact());
    return 0;
  }

  // Updates: the first non-empty piece is the message.
  const std::vector<Piece> pieces = split(lengths, fuzz::u32(ciphertext.size()));
  const Piece* message = nullptr;
  std::uint32_t q = 0;  // bytes the update decrypted in place
  for (const Piece& piece : pieces) {
    std::uint8_t* at = buffer.data() + piece.offset;
    const std::uint32_t n = piece.length;
    const std::uint32_t capacity = message == nullptr ? update_capacity(capacities, n) : 0;
    std::uint32_t outlen = capacity;
    const std::int32_t rc = QIV_AES_CBC_DecUpdate(&ctx, at, n, at, &outlen);
    if (message != nullptr) {
      FUZZ_CHECK(rc == QIV_ERR_SEQUENCE);
      continue;
    }
    if (n == 0) {
      FUZZ_CHECK(rc == QIV_SUCCESS && outlen == 0);
      continue;
    }
    message = &piece;
    if (n > kBlock && capacity != 0 && capacity < whole_blocks(n)) {
      FUZZ_CHECK(rc == QIV_ERR_OUT_TOO_SMALL && outlen == n);
      FUZZ_CHECK(range_equals(at, ciphertext.data() + piece.offset, n));
      outlen = 0;
      FUZZ_CHECK(QIV_AES_CBC_DecUpdate(&ctx, at, n, at, &outlen) == QIV_SUCCESS);
    } else {
      FUZZ_CHECK(rc == QIV_SUCCESS);
    }
    q = n <= kBlock ? 0 : whole_blocks(n - 1);
    FUZZ_CHECK(outlen == q);
  }

  // Final.
  const std::uint32_t finalCapacity = (capacities >> 2) % (kBlock + 1);
  std::uint32_t finalLen = finalCapacity;
  if (message == nullptr) {
    FUZZ_CHECK(QIV_AES_CBC_DecFinal(&ctx, buffer.data(), &finalLen) == QIV_SUCCESS);
    FUZZ_CHECK(finalLen == finalCapacity);
    FUZZ_CHECK(buffer.equals(ciphertext) && buffer.guards_intact());
    return 0;
  }
  const std::uint32_t n = message->length;
  const std::uint8_t* original = ciphertext.data() + message->offset;
  std::uint8_t* msg = buffer.data() + message->offset;
  const ref::Bytes plain = ref::aes_cbc_decrypt(
      key.span(), iv.span(), std::span(original, whole_blocks(n)));

  const std::int32_t rc = QIV_AES_CBC_DecFinal(&ctx, msg + q, &finalLen);
  std::uint32_t written = 0;
  if (n - q != kBlock) {
    FUZZ_CHECK(rc == QIV_ERR_LAST_BLOCK);
  } else {
    const std::int32_t pad = expected_padding(padding, plain.data() + q);
    if (pad < 0) {
      FUZZ_CHECK(rc == pad);
    } else {
      const std::uint32_t m = kBlock - static_cast<std::uint32_t>(pad);
      FUZZ_CHECK(finalLen == m);
      if (finalCapacity != 0 && m > finalCapacity) {
        FUZZ_CHECK(rc == QIV_ERR_OUT_TOO_SMALL);
      } else {
        FUZZ_CHECK(rc == QIV_SUCCESS);
        written = m;
      }
    }
  }

  // Contents: the update's q bytes and the final's bytes are plaintext; everything else in the
  // buffer is the ciphertext as it came.
  FUZZ_CHECK(buffer.guards_intact());
  FUZZ_CHECK(range_equals(msg, plain.data(), q + written));
  FUZZ_CHECK(range_equals(msg + q + written, original + q + written, n - q - written));
  for (const Piece& piece : pieces) {
    if (&piece == message) continue;
    FUZZ_CHECK(range_equals(buffer.data() + piece.offset, ciphertext.data() + piece.offset,
                            piece.length));
  }

  if (rc == QIV_SUCCESS && hasEncKey) {
    check_reencryption(ctx, std::span(msg, q + written), lengths, std::span(original, n));
  }
  return 0;
}
