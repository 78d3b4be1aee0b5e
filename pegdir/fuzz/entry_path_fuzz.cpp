// Building the entry path and the default link text, with directories and
// prefixes of any length.  Input: four bytes of attempt number, four of
// parent id (missing bytes read as zeros, so that every input reaches the
// program's code), then the directory and the prefix separated by a NUL
// byte.  ASan checks that the digits, newline and string end fit the path.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "pegdir.h"

namespace {

FZ_HARNESS uint32_t take_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t head[8] = {};
  const size_t taken = size < sizeof head ? size : sizeof head;
  if (taken != 0) memcpy(head, data, taken);
  const uint32_t number = take_u32(head);
  const uint32_t pid = take_u32(head + 4);
  // Strings each followed by poisoned bytes, as a block of their own would be.
  fz::Argv parts(data + taken, size - taken);
  const char* dir = parts.argc() > 0 ? parts.argv()[0] : "";
  const char* prefix = parts.argc() > 1 ? parts.argv()[1] : ".lock.";

  // What the path must read.
  static char want[2 * 65536];
  snprintf(want, sizeof want, "%s/%s%08X\n", dir, prefix, number);
  char* path = pegdir::entry_path(dir, prefix);
  if (path == nullptr) abort();
  char* digits = path + strlen(path);
  pegdir::put_hex(digits, number);
  digits[pegdir::digit_count] = '\n';
  digits[pegdir::digit_count + 1] = '\0';
  if (strcmp(path, want) != 0) abort();
  free(path);

  char text[pegdir::link_text_size];
  pegdir::put_parent_text(text, pid);
  snprintf(want, sizeof want, "/proc/%u", pid);
  if (strcmp(text, want) != 0) abort();
  return 0;
}
