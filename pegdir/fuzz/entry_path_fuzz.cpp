// Building the entry path and the default link text, with directories and
// prefixes of any length.  Input: four bytes of attempt number, four of
// parent id, then the directory and the prefix separated by a NUL byte.
// Each buffer is exactly as large as the program makes it.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_input.h"
#include "pegdir.h"

namespace {

FZ_HARNESS uint32_t take_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t number = take_u32(data);
  const uint32_t pid = take_u32(data + 4);
  // Strings each followed by poisoned bytes, as a block of their own would be.
  fz::Argv parts(data + 8, size - 8);
  char empty[] = "";
  char* dir = parts.argc() > 0 ? parts.argv()[0] : empty;
  const char* prefix = parts.argc() > 1 ? parts.argv()[1] : pegdir::default_prefix;
  const size_t prefix_len = strlen(prefix);

  pegdir::strip_trailing_slashes(dir);
  const size_t dir_len = strlen(dir);
  // What the path must read.
  static char want[2 * 65536];
  snprintf(want, sizeof want, "%s/%s%08X", dir, prefix, number);
  size_t path_size = pegdir::entry_path_size(dir_len, prefix_len);
  if (path_size != dir_len + prefix_len + pegdir::digit_count + 3) abort();

  char* path = static_cast<char*>(calloc(path_size, 1));
  if (path == nullptr) abort();
  char* digits = pegdir::put_path_head(path, dir, dir_len, prefix, prefix_len);
  pegdir::put_number(digits, number);
  digits[pegdir::digit_count] = '\0';
  if (strcmp(path, want) != 0) abort();
  // The newline and the string end that the report needs still fit.
  digits[pegdir::digit_count] = '\n';
  if (digits + pegdir::digit_count + 2 != path + path_size || path[path_size - 1] != '\0') abort();
  free(path);

  char* text = static_cast<char*>(malloc(pegdir::link_text_size));
  if (text == nullptr) abort();
  pegdir::put_parent_text(text, pid);
  snprintf(want, sizeof want, "/proc/%u", pid);
  if (strcmp(text, want) != 0) abort();
  free(text);

  // Sizes near the top of size_t: 0 exactly when the sum would not fit.
  size_t big_dir = SIZE_MAX - dir_len, big_prefix = SIZE_MAX - prefix_len - number;
  size_t sum;
  bool overflows = __builtin_add_overflow(big_dir, pegdir::digit_count + 3, &sum) ||
                   __builtin_add_overflow(sum, big_prefix, &sum);
  size_t got = pegdir::entry_path_size(big_dir, big_prefix);
  if (overflows ? got != 0 : got != sum) abort();
  return 0;
}
