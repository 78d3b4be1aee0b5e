// Building the entry path and the default link text, with directories and
// prefixes of any length.  Input: four bytes of attempt number, four of
// parent id, then the directory and the prefix separated by a NUL byte.
// Each buffer is exactly as large as the program makes it.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_input.h"
#include "pegdir.h"

namespace {

uint32_t take_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t number = take_u32(data);
  const uint32_t pid = take_u32(data + 4);
  std::vector<std::string> parts = fz::split_at_nul(data + 8, size - 8);
  std::string dir_arg = parts.empty() ? "" : parts[0];
  std::string prefix = parts.size() < 2 ? pegdir::default_prefix : parts[1];

  auto dir = fz::exact_copy(dir_arg);
  pegdir::strip_trailing_slashes(dir.get());
  size_t dir_len = strlen(dir.get());
  size_t path_size = pegdir::entry_path_size(dir_len, prefix.size());
  if (path_size != dir_len + prefix.size() + pegdir::digit_count + 3) abort();

  char* path = static_cast<char*>(calloc(path_size, 1));
  if (path == nullptr) abort();
  char* digits = pegdir::put_path_head(path, dir.get(), dir_len, prefix.c_str(), prefix.size());
  pegdir::put_number(digits, number);
  digits[pegdir::digit_count] = '\0';
  char hex[pegdir::digit_count + 1];
  snprintf(hex, sizeof hex, "%08X", number);
  if (std::string(path) != std::string(dir.get()) + "/" + prefix + hex) abort();
  // The newline and the string end that the report needs still fit.
  digits[pegdir::digit_count] = '\n';
  if (digits + pegdir::digit_count + 2 != path + path_size || path[path_size - 1] != '\0') abort();
  free(path);

  auto text = std::make_unique<char[]>(pegdir::link_text_size);
  pegdir::put_parent_text(text.get(), pid);
  if (std::string(text.get()) != "/proc/" + std::to_string(pid)) abort();

  // Sizes near the top of size_t: 0 exactly when the sum would not fit.
  size_t big_dir = SIZE_MAX - dir_len, big_prefix = SIZE_MAX - prefix.size() - number;
  size_t sum;
  bool overflows = __builtin_add_overflow(big_dir, pegdir::digit_count + 3, &sum) ||
                   __builtin_add_overflow(sum, big_prefix, &sum);
  size_t got = pegdir::entry_path_size(big_dir, big_prefix);
  if (overflows ? got != 0 : got != sum) abort();
  return 0;
}
