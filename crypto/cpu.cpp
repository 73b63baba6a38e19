// Run-time choice between the CPU's SHA and AES instructions and the portable code.
#include "crypto/cpu.h"

#include <atomic>

#if QIV_CRYPTO_X86
#include <cpuid.h>
#endif

namespace qiv::crypto_detail {
namespace {

struct Features {
  bool sha1 = false;
  bool aes = false;
};

#if QIV_CRYPTO_X86
// CPUID leaf 1, ECX: SSSE3 (9), SSE4.1 (19), AES-NI (25). Leaf 7 sub-leaf 0, EBX: SHA (29).
// These are all SSE-register instructions, whose state every x86-64 system saves; no OS
// support bit needs checking.
constexpr unsigned kSsse3 = 1u << 9;
constexpr unsigned kSse41 = 1u << 19;
constexpr unsigned kAesNi = 1u << 25;
constexpr unsigned kSha = 1u << 29;

Features detect() {
  Features f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  const unsigned leaf1_ecx = ecx;
  f.aes = (leaf1_ecx & kAesNi) != 0 && (leaf1_ecx & kSse41) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.sha1 = (ebx & kSha) != 0 && (leaf1_ecx & kSsse3) != 0 && (leaf1_ecx & kSse41) != 0;
  return f;
}
#else
Features detect() { return {}; }
#endif

const Features& features() {
  static const Features f = detect();
  return f;
}

std::atomic<bool> forced_portable{false};

}  // namespace

bool cpu_has_sha1_instructions() { return features().sha1; }
bool cpu_has_aes_instructions() { return features().aes; }

void force_portable(bool portable) { forced_portable.store(portable, std::memory_order_relaxed); }

bool use_sha1_instructions() {
  return features().sha1 && !forced_portable.load(std::memory_order_relaxed);
}
bool use_aes_instructions() {
  return features().aes && !forced_portable.load(std::memory_order_relaxed);
}

}  // namespace qiv::crypto_detail
