// The test seam of the random generator: a deterministic qiv_GetNoise.
//
// A test binary that links the OBJECT library qiv_noise_fixed (instead of qiv_noise_system)
// gets the qiv_GetNoise defined here, and with it qiv_random: every byte the generator gives,
// and so every key, PSS salt and integrity key drawn from it, is the same in every run.
//
//   qiv_add_gtest(rsa_keygen_test SOURCES keygen_test.cpp LIBS qiv_rsa qiv_noise_fixed)
//
//   #include "tests/support/fixed_noise.h"
//   TEST(KeyGen, ...) { qiv_test_reset_random(); ... first run ...
//                       qiv_test_reset_random(); ... identical second run ... }
//
// The n-th call (counting from 0 since the last reset) XORs qiv_test_noise_pattern(n, ...)
// into its target. The program never links this library.
#pragma once

#include <cstdint>

// qiv_GetNoise calls since the process started or since the last qiv_test_reset_random.
std::uint32_t qiv_test_noise_calls();

// Puts the generator back to the state a process starts with (secret state and pool zero,
// reseed due, pool used up) and the call counter to 0: the stream that follows is the stream
// a fresh process would get.
void qiv_test_reset_random();

// XORs the fixed noise of call number `call` into target: word j (little-endian, j counted
// over whole words; a trailing partial word is untouched) gets
//   (call + 1) * 0x9E3779B9 ^ (j + 1) * 0x85EBCA6B   (mod 2^32).
// Exposed so that models of the generator can replay what the seam did.
void qiv_test_noise_pattern(std::uint32_t call, std::uint8_t* target, std::uint32_t length);
