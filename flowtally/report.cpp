#include "report.h"

#include <cstring>

namespace flowtally {

namespace {

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

constexpr char border[] =
    "+----------------------------------------------------------------------+\n";
constexpr char column_header[] =
    "| IF      |Input                         |Output                       |\n";
static_assert(sizeof border - 1 == border_len && sizeof column_header - 1 == border_len);

// Line mode's largest pass, a header line and the numbers, is the smaller.
static_assert(11 + max_lines * (name_max + 18) + 1 + 10 + max_lines * (1 + 4 * (number_max + 3)) +
                  1 <=
              output_max);

template <size_t N>
char* put(char* out, const char (&text)[N]) {
  memcpy(out, text, N - 1);
  return out + N - 1;
}

char* put(char* out, const char* text, size_t n) {
  memcpy(out, text, n);
  return out + n;
}

char* put_rates(char* out, const Row& row, bool line_mode) {
  for (size_t i = 0; i < static_cast<size_t>(row.counters); ++i)
    out = put_rate(out, row.rate[i], i % 2 != 0, line_mode);
  return out;
}

}  // namespace

char* put_number(char* out, uint64_t v, int width) {
  char digits[number_max];
  char* const last = digits + sizeof digits;
  char* p = last;
  // 64-bit division is a library call on the boards: only the digits of a
  // value past 32 bits pay for it.
  while (v > UINT32_MAX) {
    uint64_t q = v / 10;
    *--p = static_cast<char>('0' + (v - q * 10));
    v = q;
  }
  // Two digits at a time.
  auto w = static_cast<uint32_t>(v);
  while (w >= 100) {
    uint32_t q = w / 100;
    p -= 2;
    memcpy(p, &digit_pairs[2 * static_cast<size_t>(w - q * 100)], 2);
    w = q;
  }
  if (w >= 10) {
    p -= 2;
    memcpy(p, &digit_pairs[2 * static_cast<size_t>(w)], 2);
  } else {
    *--p = static_cast<char>('0' + w);
  }
  for (auto n = static_cast<int>(last - p); width > n; --width) *out++ = ' ';
  while (p != last) *out++ = *p++;
  return out;
}

char* put_label(char* out, const char* name, size_t len, bool line_mode) {
  // Line mode names the interfaces in its header line only.
  if (line_mode) return put(out, " ");
  out = put(put(out, "| "), name, len);
  for (; len < 8; ++len) *out++ = ' ';
  return out;
}

char* put_rate(char* out, Rate r, bool packets, bool line_mode) {
  if (!line_mode) *out++ = '|';
  out = put_number(out, r.whole, line_mode ? 0 : 7);
  out[0] = '.';
  out[1] = static_cast<char>('0' + r.tenths);
  if (line_mode) return put(out + 2, " ");
  return packets ? put(out + 2, " pk/s|") : put(out + 2, " kbps");
}

char* lay_out_screen(char* out, bool first_pass, int32_t interval_s, uint64_t elapsed_ms,
                     const Rows& rows) {
  out = put(out, "\33[H\33[J");
  if (first_pass) {
    out = put(put_number(put(out, "Calculating rates for "), static_cast<uint32_t>(interval_s), 0),
              " seconds...\n");
  } else {
    out = put(put_number(put(out, "Averages for the last "), elapsed_ms, 0), " msec\n");
  }
  out = put(put(put(out, border), column_header), border);
  for (int k = 0; k < rows.n; ++k) {
    const Row& row = rows.row[static_cast<size_t>(k)];
    out = put_label(out, row.name, row.name_len, false);
    if (!first_pass) out = put_rates(out, row, false);
    *out++ = '\n';
  }
  return out;
}

char* lay_out_lines(char* out, bool header, bool numbers, uint64_t wall_ms, const Rows& rows) {
  if (header) {
    out = put(out, "#   time   ");
    for (int k = 0; k < rows.n; ++k) {
      const Row& row = rows.row[static_cast<size_t>(k)];
      out = put(put(out, row.name, row.name_len), "(ikb ipk okb opk) ");
    }
    if (numbers) *out++ = '\n';
  }
  if (numbers) {
    // The time column is 32 bits wide on every build, as on the board.
    out = put_number(out, static_cast<uint32_t>(wall_ms / 1000), 10);
    for (int k = 0; k < rows.n; ++k) {
      const Row& row = rows.row[static_cast<size_t>(k)];
      out = put_rates(put_label(out, row.name, row.name_len, true), row, true);
    }
  }
  return out;
}

char* lay_out_footer(char* out, bool line_mode) {
  return line_mode ? put(out, "\n") : put(out, border);
}

}  // namespace flowtally
