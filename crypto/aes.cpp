// AES (FIPS 197) on little-endian 32-bit columns: key expansion, and one-block encryption and
// decryption (the equivalent inverse cipher) with one 256-word table per direction.
#include <bit>

#include "crypto/aes_tables.h"
#include "crypto/cpu.h"
#include "crypto/crypto.h"
#include "crypto/endian.h"

namespace {

using qiv::ft_tab;
using qiv::isb_tab;
using qiv::it_tab;
using qiv::sbx_tab;
using std::uint32_t;
using std::uint8_t;

constexpr uint32_t kColumns = 4;  // words per block and per round key

constexpr uint32_t rounds_for(uint32_t nk) { return nk + 6; }

constexpr uint32_t byte_at(uint32_t w, unsigned index) { return (w >> (8 * index)) & 0xFF; }

// S-box on each byte of a word, in place (SubWord).
constexpr uint32_t sub_word(uint32_t w) {
  return uint32_t{sbx_tab[byte_at(w, 0)]} | uint32_t{sbx_tab[byte_at(w, 1)]} << 8 |
         uint32_t{sbx_tab[byte_at(w, 2)]} << 16 | uint32_t{sbx_tab[byte_at(w, 3)]} << 24;
}

// RotWord moves byte 0 to the top; on a little-endian column image that is a right rotation.
constexpr uint32_t sub_rot_word(uint32_t w) { return sub_word(std::rotr(w, 8)); }

// Doubling of four packed field elements at once: shift each byte left, and reduce the bytes
// whose top bit fell out. y - (y >> 7) turns each 0x80 into 0x7F without borrowing across
// bytes, and masking with 0x1B leaves the reduction constant exactly where it is needed.
constexpr uint32_t xtime_packed(uint32_t x) {
  const uint32_t y = x & 0x80808080u;
  return ((x & 0x7F7F7F7Fu) << 1) ^ ((y - (y >> 7)) & 0x1B1B1B1Bu);
}

// InvMixColumns of one column: row 0 gets 0E·b0 ^ 0B·b1 ^ 0D·b2 ^ 09·b3 and the other rows the
// rotations of that. 0E = 2+4+8, 0B = 2+9, 0D = 4+9, 09 = 1+8; the right rotations bring
// byte k of each product down to row 0.
constexpr uint32_t inv_mix_column(uint32_t x) {
  const uint32_t f2 = xtime_packed(x);
  const uint32_t f4 = xtime_packed(f2);
  const uint32_t f8 = xtime_packed(f4);
  const uint32_t f9 = x ^ f8;
  return f2 ^ f4 ^ f8 ^ std::rotr(f9, 24) ^ std::rotr(f2 ^ f9, 8) ^ std::rotr(f4 ^ f9, 16);
}

// MixColumns takes the FIPS 197 column db 13 53 45 to 8e 4d a1 bc; this must undo it.
static_assert(inv_mix_column(0xBCA14D8Eu) == 0x455313DBu);

void expand_encryption_key(const uint8_t* key, uint32_t nk, QIV_AES_KEY& enc) {
  uint32_t* w = enc.round_keys.data();
  const uint32_t total = kColumns * (rounds_for(nk) + 1);
  for (uint32_t i = 0; i < nk; ++i) w[i] = qiv::load_le32(key + 4 * i);

  uint32_t rcon = 0x01;  // x^(i/nk - 1) in GF(2^8), XORed into row 0
  for (uint32_t i = nk; i < total; ++i) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = sub_rot_word(temp) ^ rcon;
      rcon = xtime_packed(rcon);
    } else if (nk == 8 && i % nk == 4) {
      temp = sub_word(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
  enc.nk = nk;
}

// Equivalent inverse cipher: round keys in reverse order, with InvMixColumns applied to the
// inner ones so that decryption rounds have the same shape as encryption rounds.
void derive_decryption_key(const QIV_AES_KEY& enc, QIV_AES_KEY& dec) {
  const uint32_t nr = rounds_for(enc.nk);
  const uint32_t* e = enc.round_keys.data();
  uint32_t* d = dec.round_keys.data();
  for (uint32_t c = 0; c < kColumns; ++c) {
    d[c] = e[kColumns * nr + c];
    d[kColumns * nr + c] = e[c];
  }
  for (uint32_t r = 1; r < nr; ++r) {
    for (uint32_t c = 0; c < kColumns; ++c) {
      d[kColumns * r + c] = inv_mix_column(e[kColumns * (nr - r) + c]);
    }
  }
  dec.nk = enc.nk;
}

}  // namespace

std::int32_t _AES_KeySchedule(const uint8_t* key, uint32_t n, QIV_AES_KEY* enc,
                              QIV_AES_KEY* dec) {
  if (key == nullptr || enc == nullptr) return QIV_ERR_NULL_PTR;
  if (n != 16 && n != 24 && n != 32) return QIV_ERR_KEY_LENGTH;
  expand_encryption_key(key, n / 4, *enc);
  if (dec != nullptr) derive_decryption_key(*enc, *dec);
  return QIV_SUCCESS;
}

// A full round computes each output column from one byte of each of the four input columns,
// taken along the ShiftRows diagonal (columns i, i+1, i+2, i+3 for rows 0..3). One table holds
// the row-0 column image; rotating it left by 8·row gives the images for the other rows.
void qiv_AES_Encrypt(const QIV_AES_KEY* enc, uint8_t* block) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_aes_instructions()) {
    qiv::crypto_detail::aes_encrypt_x86(*enc, block);
    return;
  }
#endif
  const uint32_t* rk = enc->round_keys.data();
  const uint32_t nr = rounds_for(enc->nk);
  std::array<uint32_t, 4> s, t;
  for (uint32_t i = 0; i < 4; ++i) s[i] = qiv::load_le32(block + 4 * i) ^ rk[i];

  for (uint32_t r = 1; r < nr; ++r) {
    rk += kColumns;
    for (uint32_t i = 0; i < 4; ++i) {
      t[i] = ft_tab[byte_at(s[i], 0)] ^ std::rotl(ft_tab[byte_at(s[(i + 1) % 4], 1)], 8) ^
             std::rotl(ft_tab[byte_at(s[(i + 2) % 4], 2)], 16) ^
             std::rotl(ft_tab[byte_at(s[(i + 3) % 4], 3)], 24) ^ rk[i];
    }
    s = t;
  }

  rk += kColumns;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t out = uint32_t{sbx_tab[byte_at(s[i], 0)]} |
                         uint32_t{sbx_tab[byte_at(s[(i + 1) % 4], 1)]} << 8 |
                         uint32_t{sbx_tab[byte_at(s[(i + 2) % 4], 2)]} << 16 |
                         uint32_t{sbx_tab[byte_at(s[(i + 3) % 4], 3)]} << 24;
    qiv::store_le32(block + 4 * i, out ^ rk[i]);
  }
}

// The inverse rounds take their bytes along the opposite diagonal (InvShiftRows).
void qiv_AES_Decrypt(const QIV_AES_KEY* dec, uint8_t* block) {
#if QIV_CRYPTO_X86
  if (qiv::crypto_detail::use_aes_instructions()) {
    qiv::crypto_detail::aes_decrypt_x86(*dec, block);
    return;
  }
#endif
  const uint32_t* rk = dec->round_keys.data();
  const uint32_t nr = rounds_for(dec->nk);
  std::array<uint32_t, 4> s, t;
  for (uint32_t i = 0; i < 4; ++i) s[i] = qiv::load_le32(block + 4 * i) ^ rk[i];

  for (uint32_t r = 1; r < nr; ++r) {
    rk += kColumns;
    for (uint32_t i = 0; i < 4; ++i) {
      t[i] = it_tab[byte_at(s[i], 0)] ^ std::rotl(it_tab[byte_at(s[(i + 3) % 4], 1)], 8) ^
             std::rotl(it_tab[byte_at(s[(i + 2) % 4], 2)], 16) ^
             std::rotl(it_tab[byte_at(s[(i + 1) % 4], 3)], 24) ^ rk[i];
    }
    s = t;
  }

  rk += kColumns;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t out = uint32_t{isb_tab[byte_at(s[i], 0)]} |
                         uint32_t{isb_tab[byte_at(s[(i + 3) % 4], 1)]} << 8 |
                         uint32_t{isb_tab[byte_at(s[(i + 2) % 4], 2)]} << 16 |
                         uint32_t{isb_tab[byte_at(s[(i + 1) % 4], 3)]} << 24;
    qiv::store_le32(block + 4 * i, out ^ rk[i]);
  }
}
