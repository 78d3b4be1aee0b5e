// flowtally's command line, clock and pass schedule.
#pragma once

#include <cstdint>

#include "sampler.h"

namespace flowtally {

struct Options {
  bool line_mode = false;
  int32_t interval_s = 3;
};

// What a pass needs to know of the run.
struct PassState {
  bool line_mode = false;
  bool first_pass = true;
  int32_t interval_s = 3;
  uint64_t start_ms = 0;
  uint64_t elapsed_ms = 0;  // since the previous pass's start
};

enum class Parse { ok, usage, no_memory };

// Reads the command line; -i names go into the sampler's filter list.
Parse parse_args(int argc, char** argv, Options& opts, Sampler& sampler);

// atoi on a 32-bit board: optional blanks and sign, digits, saturating.
int32_t to_int32(const char* s);

uint64_t now_ms();

// How long to sleep after a pass so that the next one starts on the
// interval grid counted from this pass's start.
uint64_t sleep_after_pass(uint64_t start_ms, uint64_t end_ms, uint64_t interval_ms);

// Reads the statistics text afresh from fd (at its start) into text, up to
// max_lines pieces; a read error ends it like the end of the file.
void read_text(int fd, Text& text);

// A pass once its start is taken: the snapshot, then the report.  False
// when the file cannot be rewound for the next pass.
bool run_pass(Sampler& sampler, int fd, const PassState& pass);

int run(int argc, char** argv);

}  // namespace flowtally
