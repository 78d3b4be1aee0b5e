// The fast layout against snprintf of the format table's strings.  Input:
// a flag byte (bit 0 line mode, bit 1 the rate's kind), a width byte, three
// 64-bit values, then a name up to the first NUL byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <string>

#include "fuzz_input.h"
#include "report.h"

namespace {

// The kinds of item, each with a screen-mode and a line-mode format.
enum class Item : unsigned { label = 0, kbit_rate = 1, packet_rate = 2 };

// The reference layout of an item as a printf format (the label takes the
// name, a rate its whole part and tenths digit as unsigned long long); each
// kind's screen entry is followed by its line entry.
constexpr std::array<const char*, 6> formats = {
    "| %-8s", " ", "|%7llu.%1llu kbps", "%llu.%1llu ", "|%7llu.%1llu pk/s|", "%llu.%1llu ",
};

FZ_HARNESS const char* format_for(Item item, bool line_mode) {
  return formats[2 * static_cast<unsigned>(item) + (line_mode ? 1U : 0U)];
}

uint64_t u64_at(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

FZ_HARNESS void expect_same(const char* begin, const char* end, const char* want, int want_len) {
  if (want_len < 0 || end - begin != want_len ||
      memcmp(begin, want, static_cast<size_t>(want_len)) != 0)
    abort();
}

}  // namespace

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 26) return 0;
  const bool line_mode = (data[0] & 1) != 0;
  const Item kind = (data[0] & 2) != 0 ? Item::packet_rate : Item::kbit_rate;
  const int width = data[1] % 32;
  // A tenths digit is one digit: the rates make no other.
  const flowtally::Rate rate{u64_at(data + 2), static_cast<uint32_t>(u64_at(data + 10) % 10)};
  const uint64_t number = u64_at(data + 18);
  std::string name(reinterpret_cast<const char*>(data) + 26, size - 26);
  name = name.substr(0, std::min(name.find('\0'), flowtally::name_max));

  static char fast[4096];
  static char slow[4096];
  // The format table takes its printf arguments as the monitor passes them.
  char* end = flowtally::put_label(fast, name.data(), name.size(), line_mode);
  expect_same(fast, end, slow,
              snprintf(slow, sizeof slow, format_for(Item::label, line_mode), name.c_str()));
  end = flowtally::put_rate(fast, rate, kind == Item::packet_rate, line_mode);
  expect_same(fast, end, slow,
              snprintf(slow, sizeof slow, format_for(kind, line_mode),
                       static_cast<unsigned long long>(rate.whole),
                       static_cast<unsigned long long>(rate.tenths)));
  end = flowtally::put_number(fast, number, width);
  expect_same(fast, end, slow,
              snprintf(slow, sizeof slow, "%*llu", width, static_cast<unsigned long long>(number)));
  return 0;
}
