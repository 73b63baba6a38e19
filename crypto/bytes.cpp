// Byte-buffer helpers used by the whole library in place of the platform's byte functions.
//
// The word paths move 32 bits at a time through std::memcpy of 4 bytes: that is the defined way
// to reinterpret bytes as a word, and it compiles to a single load or store. Every word path
// produces exactly the bytes the plain byte loop would.
#include <cstring>

#include "crypto/crypto.h"

namespace {

using std::uint32_t;
using std::uint8_t;
using std::uintptr_t;

constexpr uintptr_t kWord = 4;

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Bytes needed to bring p up to the next word boundary, capped at n so that a short run never
// writes past its end.
uint32_t prologue_length(const void* p, uint32_t n) {
  const auto to_boundary = static_cast<uint32_t>((kWord - address(p) % kWord) % kWord);
  return to_boundary < n ? to_boundary : n;
}

uint32_t load_word(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

void store_word(uint8_t* p, uint32_t w) { std::memcpy(p, &w, sizeof w); }

void copy_bytes_forward(uint8_t* d, const uint8_t* s, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) d[i] = s[i];
}

void copy_bytes_backward(uint8_t* d, const uint8_t* s, uint32_t n) {
  for (uint32_t i = n; i > 0; --i) d[i - 1] = s[i - 1];
}

// Disjoint regions whose addresses agree modulo 4: once the destination is aligned so is the
// source, and whole words can be moved.
void copy_words_disjoint(uint8_t* d, const uint8_t* s, uint32_t n) {
  const uint32_t head = prologue_length(d, n);
  copy_bytes_forward(d, s, head);
  uint32_t i = head;
  for (; n - i >= kWord; i += kWord) store_word(d + i, load_word(s + i));
  copy_bytes_forward(d + i, s + i, n - i);
}

}  // namespace

int mem_compare(const void* a, const void* b, uint32_t n) {
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  // Sign is the reverse of memcmp: +1 when a's first differing byte is the smaller one.
  for (uint32_t i = 0; i < n; ++i) {
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? 1 : -1;
  }
  return 0;
}

void mem_copy(void* dst, const void* src, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* s = static_cast<const uint8_t*>(src);
  if (d == s || n == 0) return;

  // The unsigned differences are below n exactly when the other region starts inside this one.
  const bool dst_inside_src = address(d) - address(s) < n;
  const bool src_inside_dst = address(s) - address(d) < n;
  if (dst_inside_src) {
    // The destination overlaps the source's tail: copy from the end so every source byte is
    // read before it is overwritten.
    copy_bytes_backward(d, s, n);
  } else if (src_inside_dst) {
    copy_bytes_forward(d, s, n);
  } else if (address(d) % kWord == address(s) % kWord) {
    copy_words_disjoint(d, s, n);
  } else {
    copy_bytes_forward(d, s, n);
  }
}

void mem_set(void* dst, int value, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto byte = static_cast<uint8_t>(value);
  const uint32_t word = 0x01010101u * byte;

  const uint32_t head = prologue_length(d, n);
  for (uint32_t i = 0; i < head; ++i) d[i] = byte;
  uint32_t i = head;
  for (; n - i >= kWord; i += kWord) store_word(d + i, word);
  for (; i < n; ++i) d[i] = byte;
}

void mem_xor(void* dst, const void* a, const void* b, uint32_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);

  // With all three addresses aligned, any overlap between them is a whole number of words, so
  // each word is read in full before any store can touch it, as in the ascending byte loop.
  uint32_t i = 0;
  if ((address(d) | address(pa) | address(pb)) % kWord == 0) {
    for (; n - i >= kWord; i += kWord) store_word(d + i, load_word(pa + i) ^ load_word(pb + i));
  }
  for (; i < n; ++i) d[i] = static_cast<uint8_t>(pa[i] ^ pb[i]);
}
