// Helpers shared by the libFuzzer targets: pieces of the input laid out the
// way the programs receive them, each followed by poisoned bytes so that
// ASan catches a read past its end.
#pragma once

#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// The harness's own code, left out of the coverage that steers the fuzzer:
// its branches say nothing of the program's, and tracing them slows each run.
#if defined(__clang__)
#define FZ_HARNESS __attribute__((no_sanitize("coverage")))
#else
#define FZ_HARNESS
#endif

namespace fz {

// argc strings and the null entry after them, as main receives them: data
// split at every NUL byte.  The strings share one block kept from input to
// input, each followed by poisoned bytes, so that ASan catches a read past
// a string's end as it would past a block of its own, without the cost of
// an allocation for each.  Valid until the next Argv.
class Argv {
 public:
  FZ_HARNESS Argv(const uint8_t* data, size_t size) {
    static std::vector<char> block;
    static std::vector<char*> ptrs;
    static size_t poisoned = 0;  // how much of the block the last input used
    // Each string at an 8-byte boundary, at least 8 poisoned bytes after it.
    ASAN_UNPOISON_MEMORY_REGION(block.data(), poisoned);
    block.resize(std::max(block.size(), 16 * (size + 1) + size));
    ptrs.resize(std::max(ptrs.size(), size + 2));
    size_t at = 0;
    int n = 0;
    for (const uint8_t *p = data, *end = data + size;; ++p) {
      const auto* nul = static_cast<const uint8_t*>(memchr(p, 0, static_cast<size_t>(end - p)));
      if (nul == nullptr) nul = end;
      const auto len = static_cast<size_t>(nul - p);
      if (len != 0) memcpy(&block[at], p, len);
      block[at + len] = '\0';
      ptrs[static_cast<size_t>(n++)] = &block[at];
      const size_t next = (at + len + 1 + 7) / 8 * 8 + 8;
      ASAN_POISON_MEMORY_REGION(&block[at + len + 1], next - (at + len + 1));
      at = next;
      p = nul;
      if (p == end) break;
    }
    poisoned = at;
    // Input that ends at a NUL byte has no empty string after it, as before.
    if (size == 0 || data[size - 1] == 0) --n;
    ptrs[static_cast<size_t>(n)] = nullptr;
    argv_ = ptrs.data();
    argc_ = n;
  }
  // The unit tests' argument lists: each string and its end, as the kernel
  // lays them out.
  explicit Argv(const std::vector<std::string>& args) : Argv(joined(args)) {}
  int argc() const { return argc_; }
  char** argv() { return argv_; }

 private:
  explicit Argv(const std::string& data)
      : Argv(reinterpret_cast<const uint8_t*>(data.data()), data.size()) {}
  static std::string joined(const std::vector<std::string>& args) {
    std::string data;
    for (const std::string& a : args) data.append(a).push_back('\0');
    return data;
  }
  char** argv_;
  int argc_;
};

}  // namespace fz
