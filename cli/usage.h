// The texts the dispatchers print: banner, usage screens, version and argument-count hint.
#pragma once

#include <string_view>

inline constexpr std::string_view kTitleV11 =
    "***Tarnwick v1.1 for Orvalle Application Processor***\n";
inline constexpr std::string_view kTitleV21 =
    "***Tarnwick v2.1 for Orvalle Application Processor***\n";
inline constexpr std::string_view kVersionLine = "tarnWick version 2.1\n";
// Printed by main, alone, for an argument count outside 3 to 6.
inline constexpr std::string_view kArgumentCountHint = "tarnwick_V21 -v1.1(or -v2.1) -help\n";

// The line printed when memory runs out, wherever that happens (main catches what the core
// does not report itself).
inline constexpr const char* kOutOfMemory = "Out of memory.\n";

// An empty line, the title, the six-line notice and an empty line.
void print_banner(std::string_view title);

// The usage screens of the v1.1 and the v2.1 set.
void print_SB10_Usage();
void print_SB20_Usage();

// Writes text to standard output as it is.
void print_text(std::string_view text);
