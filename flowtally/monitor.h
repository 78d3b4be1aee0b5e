// flowtally's command line, clocks, statistics file and pass schedule.
#pragma once

#include <cstdint>

#include "report.h"
#include "sampler.h"

namespace flowtally {

// (Runs and their options are all zero until set, so that a run's large
// rows cost the program file nothing.)
struct Options {
  bool line_mode = false;
  int32_t interval_s = 0;  // 3 unless given
  Filter filter;
};

enum class Parse { ok, usage, no_memory };

// Reads the command line; -i names go into the filter list.
Parse parse_args(int argc, char** argv, Options& opts);

// atoi on a 32-bit board: optional blanks and sign, digits, saturating.
int32_t to_int32(const char* s);

// The clocks, in whole milliseconds.  The monotonic clock times the passes,
// which a step of the date must not disturb; the wall clock only shows in
// line mode's time column.
uint64_t monotonic_ms();
uint64_t wall_ms();

// How long to sleep after a pass so that the next one starts on the
// interval grid counted from this pass's start.
uint64_t sleep_after_pass(uint64_t start_ms, uint64_t end_ms, uint64_t interval_ms);

// Cuts text.bytes[0, used) into lines, carrying on from those already cut;
// ended: nothing more is to be read.  True once the text has every line it
// takes, false while its next line needs more bytes.
bool cut_lines(Text& text, size_t used, bool ended);

// Reads the statistics text afresh from fd (at its start) into text, no
// further than its max_lines-th line; a read error ends it like the end of
// the file.
void read_text(int fd, Text& text);

// What a run keeps from one pass to the next.
struct Run {
  Options opts;
  int fd = 0;
  uint64_t passes = 0;  // taken in so far
  // rows[latest] holds the latest pass's rows, the other set the pass's
  // before it.
  size_t latest = 0;
  bool same_names = false;  // the latest pass shows the names, in order, of the one before
  std::array<Rows, 2> rows{};
};

// Takes in a pass's text: its rows, in the set that held the rows of the
// pass before last, become the latest, with their rates against the
// previous pass's.
void take_in_pass(Run& r, const Text& text, uint64_t elapsed_ms);

// The latest pass's report but its footer, laid out at out; returns its end.
char* lay_out_report(const Run& r, uint64_t elapsed_ms, uint64_t wall_ms, char* out);

int run(int argc, char** argv);

}  // namespace flowtally
