#include "report.h"

#include <array>
#include <cstdio>

namespace flowtally {

namespace {

// Each kind's screen entry is followed by its line entry.
constexpr std::array<const char*, 6> formats = {
    "| %-8s",
    " ",
    "|%7llu.%1llu kbps",
    "%llu.%1llu ",
    "|%7llu.%1llu pk/s|",
    "%llu.%1llu ",
};

constexpr const char* border =
    "+----------------------------------------------------------------------+";

}  // namespace

const char* format_for(Item item, bool line_mode) {
  // cppcheck 2.10 takes the std::array element for an integer here; it is
  // the format string itself.
  // cppcheck-suppress CastIntegerToAddressAtReturn
  return formats[2 * static_cast<unsigned>(item) + (line_mode ? 1U : 0U)];
}

void print_pass_header(const PassState& pass) {
  if (pass.line_mode) {
    if (pass.first_pass) {
      printf("#   time   ");
    } else {
      // The time column is 32 bits wide on every build, as on the board.
      printf("%10lu", static_cast<unsigned long>(static_cast<uint32_t>(pass.start_ms / 1000)));
    }
    return;
  }
  printf("\33[H\33[J");
  if (pass.first_pass) {
    printf("Calculating rates for %d seconds...\n", static_cast<int>(pass.interval_s));
  } else {
    printf("Averages for the last %lld msec\n", static_cast<long long>(pass.elapsed_ms));
  }
  puts(border);
  printf("| %-7s |%-29s |%-29s|\n", "IF", "Input", "Output");
  puts(border);
}

void print_label(const char* name, const PassState& pass) {
  if (pass.line_mode && pass.first_pass) {
    printf("%s(ikb ipk okb opk) ", name);
    return;
  }
  printf(format_for(Item::label, pass.line_mode), name);
}

void print_rate(Item kind, uint64_t whole, uint64_t tenths, bool line_mode) {
  printf(format_for(kind, line_mode), static_cast<unsigned long long>(whole),
         static_cast<unsigned long long>(tenths));
}

void print_row_end(bool line_mode) {
  if (!line_mode) putchar('\n');
}

void print_pass_footer(bool line_mode) {
  if (line_mode) {
    putchar('\n');
    fflush(stdout);
    return;
  }
  puts(border);
}

}  // namespace flowtally
