// Every character flowtally writes to standard output.
#pragma once

#include <cstdint>

namespace flowtally {

// What one pass hands to the sampler and the layout.
struct PassState {
  bool line_mode = false;
  bool first_pass = true;
  int32_t interval_s = 3;
  uint64_t start_ms = 0;
  uint64_t elapsed_ms = 0;
};

// The kinds of item; each has a screen-mode and a line-mode format.
enum class Item : unsigned { label = 0, kbit_rate = 1, packet_rate = 2 };

const char* format_for(Item item, bool line_mode);

void print_pass_header(const PassState& pass);
void print_label(const char* name, const PassState& pass);
void print_rate(Item kind, uint64_t whole, uint64_t tenths, bool line_mode);
void print_row_end(bool line_mode);
void print_pass_footer(bool line_mode);

}  // namespace flowtally
