// Every character flowtally writes to standard output, laid out a pass at a
// time in one buffer from the rows it is handed; it knows nothing of the
// text they came from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sampler.h"

namespace flowtally {

// The digits of the largest 64-bit number.
constexpr size_t number_max = 20;
// A border or the column header, with its newline.
constexpr size_t border_len = 73;
// A screen row: "| ", its name, its rates (each a bar, a number, a point,
// the tenths digit and " kbps" or " pk/s|"), its newline.
constexpr size_t screen_row_max =
    2 + name_max + 2 * (1 + number_max + 2 + 5) + 2 * (1 + number_max + 2 + 6) + 1;
// The largest pass: screen mode's, the longest message ("Averages for the
// last N msec") after the screen clear, and every row at its longest.
constexpr size_t output_max = 6 + 22 + number_max + 6 + 4 * border_len + max_lines * screen_row_max;
using Output = std::array<char, output_max>;

// Each lays out at out and returns the end of what it laid out.

// v in decimal, right-aligned in width columns (printf's "%*llu").
char* put_number(char* out, uint64_t v, int width);

// Screen mode: the screen clear, the pass's message, the table's top, then
// a row per interface (labels alone on the first pass).
char* lay_out_screen(char* out, bool first_pass, int32_t interval_s, uint64_t elapsed_ms,
                     const Rows& rows);
// Line mode: with header, the header line naming the interfaces (its
// newline comes at once when numbers follow); with numbers, the time column
// and the interfaces' rates.
char* lay_out_lines(char* out, bool header, bool numbers, uint64_t wall_ms, const Rows& rows);
// What ends a pass: the closing border, or the line's newline.
char* lay_out_footer(char* out, bool line_mode);

}  // namespace flowtally
