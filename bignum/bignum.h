// Multi-precision arithmetic on caller-owned digit arrays.
//
// A big number is an array of 32-bit digits, least significant digit first (digit i weighs
// 2^(32i)); its digit count travels beside it as a separate argument. There is no header, no
// sign and no trimming: every routine works over exactly the counts it is given, leading zero
// digits included, and writes its outputs in full over their stated lengths. Nothing here
// allocates or keeps state; local work arrays are wiped before they go out of scope. The fixed
// temporaries bound the sizes: dividends of at most 131 digits, moduli of at most 66, inverses
// of at most 64 (the system uses 64 at most).
//
// Aliasing: "dst may be a" means the output may be the very same array as that input; a
// shifted overlap is never allowed. "No overlap" means the arrays must be disjoint.
//
// Preconditions are the caller's to keep; none is reported except by qiv_bn_Div and
// qiv_bn_Euclid. Where breaking one would read or write outside the arrays, divide by zero or
// overflow a temporary, the routine refuses the call instead, as each entry below says.
#pragma once

#include <cstdint>

// The capacities of the fixed temporaries, by operation. Callers bound their sizes by these.
inline constexpr std::uint32_t QIV_BN_MAX_DIVIDEND_DIGITS = 131;  // qiv_bn_Div: na
inline constexpr std::uint32_t QIV_BN_MAX_MODULUS_DIGITS = 66;    // modular products, powers
inline constexpr std::uint32_t QIV_BN_MAX_INVERSE_DIGITS = 64;    // qiv_bn_Euclid
// A modular product is reduced as a dividend of 2n digits.
static_assert(2 * QIV_BN_MAX_MODULUS_DIGITS <= QIV_BN_MAX_DIVIDEND_DIGITS + 1);

// ---------------------------------------------------------------------------------------------
// Octet strings are big-endian, most significant byte first (PKCS #1 I2OSP / OS2IP).

// Writes byteLen/4 digits: digit k is made of the four bytes that end 4k bytes before the end of
// src. byteLen is a multiple of 4 (0 writes nothing); otherwise the leading byteLen % 4 bytes
// are ignored. No overlap.
void OS2BN(std::uint32_t* dst, const std::uint8_t* src, std::uint32_t byteLen);
// Writes exactly 4*n bytes: bytes 4k .. 4k+3 are digit n-1-k. With n = 1 it turns one digit into
// a 4-byte big-endian counter. No overlap.
void BN2OS(std::uint8_t* dst, const std::uint32_t* src, std::uint32_t n);

// ---------------------------------------------------------------------------------------------
// One-digit helpers.

// out[0] = low digit, out[1] = high digit of the 64-bit product a*b.
void D_Mul_D(std::uint32_t* out, std::uint32_t a, std::uint32_t b);
// Low 32 bits of (hi*2^32 + lo) / d; the quotient fits a digit only when hi < d. 0 for d = 0.
std::uint32_t DD_Div_D(std::uint32_t hi, std::uint32_t lo, std::uint32_t d);
// (hi*2^32 + lo) mod d; 0 for d = 0.
std::uint32_t DD_Mod_D(std::uint32_t hi, std::uint32_t lo, std::uint32_t d);
// gcd(a, b), with gcd(a, 0) = a, gcd(0, b) = b and gcd(0, 0) = 0.
std::uint32_t D_Gcd(std::uint32_t a, std::uint32_t b);
// a mod d for an n-digit a (0 when n = 0); 0 for d = 0.
std::uint32_t bn_ModD(const std::uint32_t* a, std::uint32_t n, std::uint32_t d);

// ---------------------------------------------------------------------------------------------
// Copy, compare, add, subtract.

// Copies n digits in ascending order. dst may be src; no other overlap.
void qiv_bn_copy(std::uint32_t* dst, const std::uint32_t* src, std::uint32_t n);
// 1, 0 or -1 as a is above, equal to or below b. The contract is na >= 1 and na >= nb; a
// shorter a is compared correctly as well. Each operand is read only below its own count.
int qiv_bn_cmp(const std::uint32_t* a, std::uint32_t na, const std::uint32_t* b, std::uint32_t nb);
// dst (na digits) = a + b, returning the final carry (0 or 1): a + b = dst + carry * 2^(32 na).
// na >= nb. dst may be a (every caller's use), or b when na = nb, or an array of its own.
std::uint32_t qiv_bn_Add(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb);
// dst (na digits) = a - b, returning the final borrow: 1 exactly when a < b, dst then holding
// a - b + 2^(32 na). Same lengths and aliasing as qiv_bn_Add.
std::uint32_t qiv_bn_Sub(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb);

// ---------------------------------------------------------------------------------------------
// Multiply-accumulate by one digit (over acc's nAcc digits; na <= nAcc, and a longer a is cut to
// nAcc digits). acc must not overlap a.

// acc += a*d, returning r with acc_before + a*d = acc_after + r * 2^(32 nAcc): the full carry
// digit when na = nAcc, otherwise the 0/1 carry that rippled out of acc's top digit. na = 0
// returns 0 and changes nothing.
std::uint32_t qiv_bn_MulAdd(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d);
// acc -= a*d, returning r with acc_before - a*d = acc_after - r * 2^(32 nAcc).
std::uint32_t qiv_bn_MulSub(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d);

// ---------------------------------------------------------------------------------------------
// Multiplication (schoolbook).

// dst (na + nb digits) = a*b. With nb = 0 only na zeros are written. No overlap with a or b.
void qiv_bn_Mul(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb);
// dst (2n digits) = a^2, each cross product formed once. The contract is n >= 2; n = 1 is
// squared correctly too. No overlap with a.
void qiv_bn_Sqr(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n);

// ---------------------------------------------------------------------------------------------
// Division, reduction and modular exponentiation. A normalised modulus has the top bit of its
// top digit set.

// Quotient q (na - nb + 1 digits) and remainder r (nb digits) of a by b; either may be null and
// is then not written. Returns 1 when the remainder is non-zero, 0 when the division is exact.
// Requires nb >= 1, b[nb-1] != 0 and nb <= na <= 131; otherwise returns QIV_ERR_BAD_PARAM
// (negative) and writes nothing. b is normalised in a local copy and left exactly as given (the
// parameter is not const only for the callers' sake). q and r may share storage with a, which
// is copied before anything is written; they must not overlap each other.
int qiv_bn_Div(std::uint32_t* q, std::uint32_t* r, const std::uint32_t* a, std::uint32_t na,
               std::uint32_t* b, std::uint32_t nb);
// Reduces t in place: its low nm digits become t mod m, the nt - nm digits above become 0.
// Requires m normalised, nt >= nm, and the top nm digits of t, read as a number, below m (that
// is t < m * 2^(32(nt - nm))). nt = nm leaves t unchanged (t < m is then the caller's promise),
// and so do nt < nm, nm = 0 and an unnormalised m. m must not overlap t.
void qiv_bn_ClassicalRed(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                         std::uint32_t nm);
// dst (n digits) = a*b mod m. Requires m normalised, n <= 66 and at least one factor below m;
// n >= 2 is no longer needed when a and b are the same array (the squaring path). dst may be a
// and/or b. A modulus that is not normalised or longer than 66 digits gives dst = 0.
void qiv_bn_ModMul(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* b,
                   const std::uint32_t* m, std::uint32_t n);
// dst (n digits) = base^e mod m by left-to-right square-and-multiply; e has its own count ne
// (e = 0 or ne = 0 gives 1). base is any n-digit value, also one not below m. Requires m
// normalised and n <= 66, otherwise dst = 0. The running time depends on e's bits. The result
// is accumulated locally and copied out last, so dst may even overlap an input.
void qiv_bn_Binary(std::uint32_t* dst, const std::uint32_t* base, const std::uint32_t* m,
                   std::uint32_t n, const std::uint32_t* e, std::uint32_t ne);

// ---------------------------------------------------------------------------------------------
// Modular inverse and random digits.

// dst (n digits) = a^-1 mod m, in [0, m), by the extended Euclidean algorithm. Returns 0, or
// QIV_ERR_FAIL (-65536) when gcd(a, m) != 1, dst then holding (low digit of the gcd, 0, ..., 0).
// Requires 1 <= n <= 64, m[n-1] != 0 and 0 < a < m (a = 0 fails with m's low digit as the gcd).
// Sizes out of range, a zero top digit of m and a >= m fail with dst cleared. dst may be null
// (the result code alone answers) and may share storage with a or m.
std::int32_t qiv_bn_Euclid(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* m,
                           std::uint32_t n);
// Fills n digits with 4*n bytes of the process-wide generator, QIV_SHA1_PRNG_Rand(4*n, dst):
// digit i is output bytes 4i .. 4i+3, least significant first. No bit is masked or forced.
// Returns the generator's result: 0, or QIV_ERR_NULL_PTR (-65520) for a null dst. An n whose
// byte count does not fit 32 bits returns QIV_ERR_BAD_PARAM and writes nothing.
std::int32_t qiv_bn_rand(std::uint32_t* dst, std::uint32_t n);
