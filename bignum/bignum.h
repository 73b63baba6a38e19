// Multi-precision arithmetic on caller-owned digit arrays.
//
// A big number is an array of 32-bit digits, least significant digit first; its digit count
// travels beside it as a separate argument. There is no header, no sign, no trimming: every
// routine works over exactly the counts it is given and writes its outputs in full. Nothing
// here allocates; the fixed temporaries bound the sizes (dividends of at most 131 digits,
// moduli of at most 66 digits, inverses of at most 64 digits).
//
// "dst = a allowed" means the output may be the very same array as that input; a shifted
// overlap is never allowed.
#pragma once

#include <cstdint>

// Octet strings are big-endian (PKCS #1 I2OSP/OS2IP). byteLen is a multiple of 4.
void OS2BN(std::uint32_t* dst, const std::uint8_t* src, std::uint32_t byteLen);
// Writes exactly 4*n bytes.
void BN2OS(std::uint8_t* dst, const std::uint32_t* src, std::uint32_t n);

// One-digit helpers.
void D_Mul_D(std::uint32_t* out, std::uint32_t a, std::uint32_t b);  // out[0] low, out[1] high
std::uint32_t DD_Div_D(std::uint32_t hi, std::uint32_t lo, std::uint32_t d);  // low 32 bits
std::uint32_t DD_Mod_D(std::uint32_t hi, std::uint32_t lo, std::uint32_t d);
std::uint32_t D_Gcd(std::uint32_t a, std::uint32_t b);
std::uint32_t bn_ModD(const std::uint32_t* a, std::uint32_t n, std::uint32_t d);

void qiv_bn_copy(std::uint32_t* dst, const std::uint32_t* src, std::uint32_t n);
// 1, 0 or -1; requires na >= 1 and na >= nb.
int qiv_bn_cmp(const std::uint32_t* a, std::uint32_t na, const std::uint32_t* b,
               std::uint32_t nb);
// Return the final carry / borrow. na >= nb; digits above nb are taken from dst (dst = a).
std::uint32_t qiv_bn_Add(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb);
std::uint32_t qiv_bn_Sub(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb);
// acc += a*d (MulAdd) or acc -= a*d (MulSub); returns the carry / borrow out of acc.
std::uint32_t qiv_bn_MulAdd(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d);
std::uint32_t qiv_bn_MulSub(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d);
// dst (na + nb digits) = a * b; no overlap.
void qiv_bn_Mul(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb);
// dst (2n digits) = a^2; n >= 2; no overlap.
void qiv_bn_Sqr(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n);

// Quotient (na - nb + 1 digits) and remainder (nb digits) of a by b; q and r may be null.
// Returns 1 when the remainder is non-zero, 0 when the division is exact. b is shifted during
// the call and restored before it returns. nb >= 1, b[nb-1] != 0, nb <= na <= 131.
int qiv_bn_Div(std::uint32_t* q, std::uint32_t* r, const std::uint32_t* a, std::uint32_t na,
               std::uint32_t* b, std::uint32_t nb);
// t mod m in t's low nm digits, zeros above. m normalised (top bit set), the top nm digits of t
// below m.
void qiv_bn_ClassicalRed(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                         std::uint32_t nm);
// dst = a*b mod m over n <= 66 digits; m normalised; dst may be a and/or b.
void qiv_bn_ModMul(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* b,
                   const std::uint32_t* m, std::uint32_t n);
// dst = base^e mod m; m normalised, 2 <= n <= 66; dst overlaps none of the inputs.
void qiv_bn_Binary(std::uint32_t* dst, const std::uint32_t* base, const std::uint32_t* m,
                   std::uint32_t n, const std::uint32_t* e, std::uint32_t ne);

// dst = a^-1 mod m over n <= 64 digits; 0 < a < m, m[n-1] != 0. Returns 0, or QIV_ERR_FAIL
// (-65536) when gcd(a, m) != 1, in which case dst holds the gcd's low digit. dst may be null.
std::int32_t qiv_bn_Euclid(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* m,
                           std::uint32_t n);
// n random digits from the process-wide generator: QIV_SHA1_PRNG_Rand(4*n, dst).
std::int32_t qiv_bn_rand(std::uint32_t* dst, std::uint32_t n);
