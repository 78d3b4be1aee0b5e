// pegdir: makes one new, uniquely numbered lock entry in a directory and
// prints its path; the caller holds that entry as its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pegdir {

// Exit statuses: scripts tell a held lock from a usage slip from a failure.
constexpr int exit_created = 0;
constexpr int exit_usage = 1;
constexpr int exit_failed = 2;

constexpr std::string_view usage_text =
    "Usage: pegdir [ -d ] [ -p prefix ] <directory> [data]\n";

constexpr char default_prefix[] = ".lock.";
constexpr std::size_t digit_count = 8;
// "/proc/", up to ten decimal digits of a 32-bit id, the string end.
constexpr std::size_t link_text_size = 17;

struct Options {
  bool dir_mode;       // -d: a directory instead of a symbolic link
  const char* prefix;  // placed in front of the number
  char* directory;     // stripped of trailing slashes in place
  const char* data;    // link text given by the caller, or null
};

// Scans the arguments from the left; false on a usage error.
bool parse_args(int argc, char** argv, Options* opt);

void strip_trailing_slashes(char* dir);

// Bytes for the entry path buffer: directory, "/", prefix, digits, newline
// and string end; 0 when that does not fit in size_t.
std::size_t entry_path_size(std::size_t dir_len, std::size_t prefix_len);

// Writes directory, "/" and prefix into path; returns where the digits go.
char* put_path_head(char* path, const char* dir, std::size_t dir_len,
                    const char* prefix, std::size_t prefix_len);

// Exactly digit_count upper-case hexadecimal digits, no string end.
void put_number(char* at, std::uint32_t n);

// "/proc/" and pid in decimal; buf holds link_text_size bytes.
void put_parent_text(char* buf, std::uint32_t pid);

// The whole program; returns the exit status.
int run(int argc, char** argv);

}  // namespace pegdir
