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

// How long to sleep after a pass so that the next one starts on the
// interval grid counted from this pass's start.
uint64_t sleep_after_pass(uint64_t start_ms, uint64_t end_ms, uint64_t interval_ms);

// Reads the statistics text afresh from fd (at its start) into text, no
// further than its max_lines-th line; a read error ends it like the end of
// the file.
void read_text(int fd, Text& text);

// What a run keeps from one pass to the next.
struct Run {
  Options opts;
  uint64_t passes = 0;  // taken in so far
  // rows[latest] holds the latest pass's rows, the other set the pass's
  // before it.
  size_t latest = 0;
  bool same_names = false;  // the latest pass shows the names, in order, of the one before
  std::array<Rows, 2> rows{};
};

// Where a pass's report, laid out from out, ends; and whether the file was
// rewound for the next pass.
struct Laid {
  char* end;
  bool rewound;
};

// A pass: reads the statistics text afresh from fd into text, rewinds fd,
// takes the text in (its rows, in the set that held the rows of the pass
// before last, become the latest, with their rates against the previous
// pass's) and lays out its report at out, its footer last.  A file that
// cannot be rewound gives no further pass: the report then has no footer.
Laid pass(Run& r, int fd, Text& text, uint64_t elapsed_ms, uint64_t wall_ms, char* out);

int run(int argc, char** argv);

}  // namespace flowtally
