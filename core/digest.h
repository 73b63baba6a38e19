// The SHA-256 of a file's bytes, as reports of written files carry it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

[[nodiscard]] std::array<std::uint8_t, 32> sha256_of(std::span<const std::uint8_t> bytes);
