// pegdir: makes one new, uniquely numbered lock entry in a directory and
// prints its path; the caller holds that entry as its lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pegdir {

constexpr std::size_t digit_count = 8;
// "/proc/", up to ten decimal digits of a 32-bit id, the string end.
constexpr std::size_t link_text_size = 17;

// dir, "/" and prefix in a zero-filled buffer of its own, with room after
// them for the digits, a newline and the string end; null without memory.
char* entry_path(const char* dir, const char* prefix);

// Exactly digit_count upper-case hexadecimal digits, no string end.
void put_hex(char* at, std::uint32_t n);

// "/proc/" and pid in decimal; buf holds link_text_size bytes.
void put_parent_text(char* buf, std::uint32_t pid);

// The whole program; returns the exit status.
int run(int argc, char** argv);

}  // namespace pegdir
