// Turns a pass's statistics text into rows and rates, and keeps what
// outlives a pass: the filter list and the previous pass's rows.  It prints
// nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "report.h"

namespace flowtally {

constexpr int max_lines = 99;
// Fields past the tenth change nothing a report shows (it uses fields 0, 1,
// 8 and 9), so a line is read no further; that fields past the twentieth
// are ignored holds all the more.
constexpr int fields_read = 10;
// The text is cut as a line reader with a buffer of line_room bytes would
// see it: a line that does not fit with its string end arrives in pieces of
// at most piece_max bytes, each counting as a line.
constexpr size_t line_room = 1024;
constexpr size_t piece_max = line_room - 1;

// The statistics text of one pass, as read, and where its pieces start.
// (The text comes last: only as much of it as is read is ever touched.)
struct Text {
  std::array<size_t, max_lines + 1> start;  // piece k: [start[k], start[k + 1])
  int pieces;
  // The longest pieces there can be, and a byte to end the last one's string.
  std::array<char, max_lines * piece_max + 1> bytes;
};

// A wanted interface's line of a pass.
struct Row {
  const char* name = nullptr;  // in its pass's text; null: no wanted interface
  size_t name_len = 0;
  // Fields 0, 1, 8 and 9, as far as the line has them: a line has the first
  // `counters` of the four.
  int counters = 0;
  std::array<uint64_t, 4> counter{};
};

using Rows = std::array<Row, max_lines>;

struct Sampler {
  char* filter = nullptr;  // ",name1,name2," or absent: every interface
  size_t filter_len = 0;
  // This pass's rows and the previous pass's, in turn, so that a row's
  // name can be compared with what stood at its position last time.
  int current = 0;
  std::array<Rows, 2> rows{};
  // What this pass shows: the wanted interfaces in the text's order.
  std::array<Shown, max_lines> shown{};
  int shown_count = 0;
  // The wanted interfaces' names, in order, differ from the previous pass's.
  bool names_changed = false;
  // Last, as only their beginnings are ever touched: this pass's text, and
  // the names of its rows, kept for the next pass once the text is read
  // anew.
  Text text{};
  std::array<char, max_lines * piece_max> names{};
};

// Appends a name to the filter list; false when memory ran out.
bool filter_append(Sampler& s, const char* name);
bool filter_wants(const Sampler& s, const char* name, size_t len);

// The text this pass reads into.
Text& begin_pass(Sampler& s);

// Reads one line (a string) into row: its name and, when it is a wanted
// interface's, the counters a report uses.
void parse_line(const Sampler& s, const char* line, Row& row);

// strtoull's reading of a token in base 10 (blanks, a sign, digits; values
// too large saturate) into value; returns where the reading stopped.
const char* read_token(const char* token, uint64_t& value);

// How much a counter grew, allowing for a 32-bit counter that wrapped.
uint64_t counter_diff(uint64_t previous, uint64_t current);

// Whether an interface was reset between two passes: a counter went down
// from 2^32 or more, or both counters of one direction went down.
bool was_reset(const Row& previous, const Row& current);

// A pass's elapsed time, which divides all of its rates, with what makes
// that division by a multiplication where the values fit 32 bits.
struct Elapsed {
  uint64_t ms = 0;
  uint32_t magic = 0;
  uint8_t shift1 = 0, shift2 = 0;
};
Elapsed elapsed_of(uint64_t ms);

Rate kbit_rate(uint64_t bytes, const Elapsed& e);
Rate packet_rate(uint64_t packets, const Elapsed& e);

// Parses this pass's text and works out what each wanted interface shows,
// against the previous pass's rows, into shown, shown_count and
// names_changed; then keeps the rows' names for the next pass.
void sample(Sampler& s, uint64_t elapsed_ms);

}  // namespace flowtally
