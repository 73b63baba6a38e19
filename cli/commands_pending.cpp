// TEMPORARY stand-ins so the program links until the real commands land: delete each as its real definition arrives.
#include "cli/commands.h"

std::int32_t sb20_Generate_KeyPair(std::int32_t, const char*) { return -1; }
std::int32_t sb10_Generate_KeyPair(std::int32_t, const char*) { return -1; }
std::int32_t sb20_Generate_Stage1(std::uint8_t*, std::uint32_t) { return -1; }
std::int32_t sb20_Generate_Stage1_Polymorphic(std::uint8_t*, std::uint32_t) { return -1; }
std::int32_t sb10_Generate_Stage1(std::uint8_t*, std::uint32_t) { return -1; }
std::int32_t sb20_Verify_Stage1(const char*, const char*) { return -1; }
std::int32_t sb10_Verify_Stage1(const char*, const char*) { return -1; }
std::int32_t sb20_Generate_Stage2(const char*, std::uint8_t*, std::uint32_t, std::uint8_t*,
                                  std::uint32_t*) {
  return -1;
}
std::int32_t sb10_Generate_Stage2(const char*, std::uint8_t*, std::uint32_t, std::uint8_t*,
                                  std::uint32_t*) {
  return -1;
}
std::int32_t sb20_Verify_Stage2(const char*, const char*) { return -1; }
std::int32_t sb10_Verify_Stage2(const char*, const char*) { return -1; }
