// Steps of securing (stage1.cpp) that preparing a BL1 for a signature made elsewhere
// (external.cpp) shares, so that both refuse the same files in the same words. Core only.
#pragma once

#include <cstdint>
#include <span>

#include "core/commands.h"
#include "core/report.h"
#include "sbl/layout.h"

namespace core {

// The next-stage key into publicKey once its self-signature verifies; the maker's eFuse value
// into the set's buffer; the refusal of a failed code encryption; the keys a context binds, told
// to the report.
[[nodiscard]] std::int32_t load_next_stage_key(Report& report, const sbl::KeySetLayout& set,
                                               const char* path);
// The build-information block's time when the job asks for the block (build_time); false after
// refusing a SOURCE_DATE_EPOCH that is no such time.
[[nodiscard]] bool job_build_time(Report& report, const SecureJob& job, std::uint32_t& time);
[[nodiscard]] bool read_maker_efuse(Report& report, const sbl::KeySetLayout& set, const char* path);
std::int32_t refuse_encryption(Report& report, const SecureJob& job, std::uint32_t codeLength,
                               std::int32_t rc);
void report_stage1_keys(Report& report, const sbl::KeySetLayout& set,
                        std::span<const std::uint8_t> context);

}  // namespace core
