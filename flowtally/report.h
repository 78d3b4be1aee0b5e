// Every character flowtally writes to standard output.  The report lays out
// rows it is handed; it knows nothing of the text they came from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace flowtally {

// A rate to one decimal: its whole part and its tenths digit.
struct Rate {
  uint64_t whole = 0;
  uint64_t tenths = 0;
};

// The longest interface name laid out.
constexpr size_t max_name_len = 1023;

// One wanted interface as a pass shows it.
struct Shown {
  const char* name = nullptr;  // not ended by a string end
  size_t name_len = 0;
  // How many of its rates the line has, in the order receive kilobits,
  // receive packets, transmit kilobits, transmit packets.
  int rates = 0;
  std::array<Rate, 4> rate{};
};

// The kinds of item; each has a screen-mode and a line-mode format.
enum class Item : unsigned { label = 0, kbit_rate = 1, packet_rate = 2 };

// The reference layout of an item as a printf format (the label takes the
// name, a rate its whole part and tenths digit as unsigned long long):
// what put_label and put_rate write, byte for byte.
const char* format_for(Item item, bool line_mode);

// The layout itself, without interpreting a format per item: each writes at
// out and returns the end of what it wrote.
char* put_label(char* out, const char* name, size_t len, bool line_mode);
char* put_rate(char* out, Item kind, Rate r, bool line_mode);
// v in decimal, right-aligned in width columns (printf's "%*llu").
char* put_number(char* out, uint64_t v, int width);

// Screen mode: the screen clear, the pass's message, the table's top, then
// a row per interface (labels alone on the first pass).
void print_screen(bool first_pass, int32_t interval_s, uint64_t elapsed_ms, const Shown* rows,
                  int n);
// Line mode: with header, the header line naming the interfaces (its
// newline comes first when numbers follow); with numbers, the time column
// and the interfaces' rates.
void print_lines(bool header, bool numbers, uint64_t start_ms, const Shown* rows, int n);
void print_pass_footer(bool line_mode);

}  // namespace flowtally
