// Helpers shared by the libFuzzer targets: pieces of the input laid out the
// way the programs receive them, each in a heap block of its exact size so
// that ASan catches a read past its end.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fz {

// Pieces of data split at every NUL byte, as the kernel lays out argv.
inline std::vector<std::string> split_at_nul(const uint8_t* data, size_t size) {
  std::vector<std::string> v;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
    const char* stop = nul != nullptr ? nul : end;
    v.emplace_back(p, stop);
    p = stop + 1;
  }
  return v;
}

// A string in a block of exactly its length plus the string end.
inline std::unique_ptr<char[]> exact_copy(const std::string& s) {
  auto b = std::make_unique<char[]>(s.size() + 1);
  memcpy(b.get(), s.c_str(), s.size() + 1);
  return b;
}

// argc strings and the null entry after them, as main receives them.
struct Argv {
  explicit Argv(const std::vector<std::string>& args) {
    for (const auto& a : args) {
      store.push_back(exact_copy(a));
      ptrs.push_back(store.back().get());
    }
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(ptrs.size()) - 1; }
  char** argv() { return ptrs.data(); }
  std::vector<std::unique_ptr<char[]>> store;
  std::vector<char*> ptrs;
};

// atoi/atol of a 32-bit board: strtoll's reading, saturated to 32 bits.
inline int32_t saturating_atoi32(const char* s) {
  long long v = strtoll(s, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace fz
