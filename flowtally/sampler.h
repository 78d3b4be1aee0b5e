// Turns lines of the kernel's interface statistics text into rates, and
// keeps the state that outlives a pass: the filter list and counter table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "report.h"

namespace flowtally {

constexpr int max_lines = 99;
constexpr int max_fields = 20;
// Only the start of a name is kept; its length and hash tell the rest.
constexpr size_t kept_name_bytes = 16;

// The counters stored for one line position, whose they are and when.
struct CounterRow {
  std::array<uint64_t, max_fields> counter{};
  int fields = 0;  // how many counters the last store filled
  uint64_t stored_in = 0;  // the pass that stored them; 0: none yet
  size_t name_len = 0;
  uint64_t name_hash = 0;
  std::array<char, kept_name_bytes> name{};
};

struct Sampler {
  char* filter = nullptr;  // ",name1,name2," or absent: every interface
  size_t filter_len = 0;
  uint64_t pass = 0;  // passes begun
  std::array<CounterRow, max_lines> rows{};
};

// Called at the start of every pass, before its lines are sampled.
void begin_pass(Sampler& s);

// Appends a name to the filter list; false when memory ran out.
bool filter_append(Sampler& s, const char* name);
bool filter_wants(const Sampler& s, const char* name);

uint64_t counter_diff(uint64_t previous, uint64_t current);

struct Rate {
  uint64_t whole;
  uint64_t tenths;
};
Rate kbit_rate(uint64_t bytes, uint64_t elapsed_ms);
Rate packet_rate(uint64_t packets, uint64_t elapsed_ms);

// Handles one line read at position pos (below max_lines); cuts it in place.
void sample_line(Sampler& s, char* line, int pos, const PassState& pass);

}  // namespace flowtally
