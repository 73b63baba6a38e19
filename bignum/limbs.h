// Two ways of walking the same 32-bit digit arrays: digit by digit (32 x 32 -> 64-bit products,
// the reference) and limb by limb (64 x 64 -> 128-bit products, a quarter of the products).
//
// Limb i of an array is its digits 2i and 2i + 1, weighing 2^(64i). On a little-endian host
// those two digits, least significant first, are exactly the eight bytes of the limb, so a limb
// is moved with memcpy and no pointer is ever cast. The limb path applies to even digit counts
// (every size the system uses: 64 and 32 digits, the CRT halves of 32 and 16), on a host that is
// little-endian and has a 128-bit integer type; elsewhere the digit path runs. Both paths give
// the same numbers bit for bit: only the order of the work differs.
#pragma once

#include <cstdint>

namespace qiv::bn {

// True when the limb path serves operands of these digit counts on this host.
bool limbs_apply(std::uint32_t n);

// The digit path: the contracts of qiv_bn_Mul, qiv_bn_Sqr and qiv_bn_ClassicalRed.
void mul_digits(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb);
void sqr_digits(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n);
void red_digits(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m, std::uint32_t nm);

// The limb path, same contracts. Each returns false, having touched nothing, where
// limbs_apply does not hold for every count; the caller then takes the digit path.
bool mul_limbs(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na, const std::uint32_t* b,
               std::uint32_t nb);
bool sqr_limbs(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n);
bool red_limbs(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m, std::uint32_t nm);

// Which walk the modular routines use. kLimbs falls back to digits where limbs do not apply;
// the public routines use it, kDigits is the reference the two are tested against.
enum class Path { kDigits, kLimbs };

void mul(Path path, std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
         const std::uint32_t* b, std::uint32_t nb);
void sqr(Path path, std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n);
void classical_red(Path path, std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                   std::uint32_t nm);
// The contracts of qiv_bn_ModMul and qiv_bn_Binary.
void mod_mul(Path path, std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* b,
             const std::uint32_t* m, std::uint32_t n);
void binary(Path path, std::uint32_t* dst, const std::uint32_t* base, const std::uint32_t* m,
            std::uint32_t n, const std::uint32_t* e, std::uint32_t ne);

}  // namespace qiv::bn
