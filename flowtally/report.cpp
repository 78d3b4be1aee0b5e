#include "report.h"

#include <bit>
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

// Copies n bytes, n fixed, to out.  Where words load anywhere that is a
// few loads and stores; elsewhere a copy to an address the compiler cannot
// prove aligned is a call to memcpy, which only a long copy is worth: a
// short one goes a byte at a time.
template <size_t n>
[[gnu::always_inline]] inline char* copy(char* out, const char* from) {
  if constexpr (unaligned_loads || n > 2 * sizeof(size_t)) {
    memcpy(out, from, n);
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = from[i];
  }
  return out + n;
}

template <size_t N>
char* put(char* out, const char (&text)[N]) {
  return copy<N - 1>(out, text);
}

// (Names are short: a loop costs less than the library's call.)
char* put(char* out, const char* text, size_t n) {
  while (n-- > 0) *out++ = *text++;
  return out;
}

// 10^k: a 32-bit number below tens[k] has k digits at most.
constexpr uint32_t tens[] = {1,      10,      100,      1000,      10000,
                             100000, 1000000, 10000000, 100000000, 1000000000};

// How many digits w has: log10(2) is about 1233 / 4096, so its bit length
// tells, or one more.  (Inline, as are the digits, where a rate is laid out:
// each pass lays out hundreds.)
[[gnu::always_inline]] inline int digits_of(uint32_t w) {
  const uint32_t v = w | 1;  // as many digits, and a bit length for 0 too
  const auto t = static_cast<int>((std::bit_width(v) * 1233) >> 12);
  return t + 1 - (v < tens[t] ? 1 : 0);
}

// w's n digits, straight into their places two at a time from the last.
[[gnu::always_inline]] inline char* put_digits(char* out, uint32_t w, int n) {
  char* p = out + n;
  while (w >= 100) {
    const uint32_t q = w / 100;
    p -= 2;
    copy<2>(p, &digit_pairs[2 * static_cast<size_t>(w - q * 100)]);
    w = q;
  }
  if (w >= 10) {
    copy<2>(p - 2, &digit_pairs[2 * static_cast<size_t>(w)]);
  } else {
    p[-1] = static_cast<char>('0' + w);
  }
  return out + n;
}

// A rate as the mode lays it out.
template <bool line_mode>
[[gnu::always_inline]] inline char* rate_at(char* out, Rate r, bool packets) {
  if (!line_mode) *out++ = '|';
  if (r.whole > UINT32_MAX) {
    out = put_number(out, r.whole, line_mode ? 0 : 7);
  } else {
    const auto w = static_cast<uint32_t>(r.whole);
    const int n = digits_of(w);
    // Right-aligned in seven columns: spaces first, the digits over their end.
    if (!line_mode && n < 7) out = put(out, "        ") - 1 - n;
    out = put_digits(out, w, n);
  }
  out[0] = '.';
  out[1] = static_cast<char>('0' + r.tenths);
  if (line_mode) return put(out + 2, " ");
  return packets ? put(out + 2, " pk/s|") : put(out + 2, " kbps");
}

// A screen row's label: eight columns at least, spaces first, the name over
// them.
char* put_label(char* out, const char* name, size_t len) {
  out = put(put(out, "| "), "        ") - 8;
  put(out, name, len);
  return out + (len < 8 ? 8 : len);
}

template <bool line_mode>
char* put_rates(char* out, const Row& row) {
  for (size_t i = 0; i < static_cast<size_t>(row.counters); ++i)
    out = rate_at<line_mode>(out, row.rate[i], i % 2 != 0);
  return out;
}

}  // namespace

char* put_number(char* out, uint64_t v, int width) {
  // 64-bit division is a library call on the boards: only the digits of a
  // value past 32 bits pay for it, the lowest first.
  char low[number_max];
  int peeled = 0;
  for (; v > UINT32_MAX; v /= 10) low[peeled++] = static_cast<char>('0' + v % 10);
  const auto w = static_cast<uint32_t>(v);
  const int n = digits_of(w);
  for (int pad = width - n - peeled; pad > 0; --pad) *out++ = ' ';
  out = put_digits(out, w, n);
  while (peeled > 0) *out++ = low[--peeled];
  return out;
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
    out = put_label(out, row.name, row.name_len);
    if (!first_pass) out = put_rates<false>(out, row);
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
    // The time column is the whole seconds cut to their low 32 bits (they
    // wrap in 2106): its format, the same on every build; the clock itself
    // is 64-bit.
    out = put_number(out, static_cast<uint32_t>(wall_ms / 1000), 10);
    for (int k = 0; k < rows.n; ++k) {
      const Row& row = rows.row[static_cast<size_t>(k)];
      out = put_rates<true>(put(out, " "), row);
    }
  }
  return out;
}

char* lay_out_footer(char* out, bool line_mode) {
  return line_mode ? put(out, "\n") : put(out, border);
}

}  // namespace flowtally
