#include "report.h"

#include <array>
#include <cstdio>
#include <cstring>

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

constexpr char border[] =
    "+----------------------------------------------------------------------+\n";
constexpr char column_header[] =
    "| IF      |Input                         |Output                       |\n";

// One output line, or one interface's part of a line-mode line, is laid out
// here and handed to standard output whole: a terminal's line buffering
// then writes where it always did, at each newline.
char line[max_name_len + 256];

template <size_t N>
char* put(char* out, const char (&text)[N]) {
  memcpy(out, text, N - 1);
  return out + N - 1;
}

char* put(char* out, const char* text, size_t n) {
  memcpy(out, text, n);
  return out + n;
}

char* put_signed(char* out, int64_t v) {
  if (v >= 0) return put_number(out, static_cast<uint64_t>(v), 0);
  *out++ = '-';
  return put_number(out, 0 - static_cast<uint64_t>(v), 0);
}

void emit_line(const char* end) { fwrite(line, 1, static_cast<size_t>(end - line), stdout); }

template <size_t N>
void emit(const char (&text)[N]) {
  fwrite(text, 1, N - 1, stdout);
}

char* put_rates(char* out, const Shown& row, bool line_mode) {
  for (int i = 0; i < row.rates; ++i)
    out = put_rate(out, i % 2 == 0 ? Item::kbit_rate : Item::packet_rate,
                   row.rate[static_cast<size_t>(i)], line_mode);
  return out;
}

}  // namespace

const char* format_for(Item item, bool line_mode) {
  // cppcheck 2.10 takes the std::array element for an integer here; it is
  // the format string itself.
  // cppcheck-suppress CastIntegerToAddressAtReturn
  return formats[2 * static_cast<unsigned>(item) + (line_mode ? 1U : 0U)];
}

char* put_number(char* out, uint64_t v, int width) {
  char digits[20];
  char* p = digits + sizeof digits;
  // 64-bit division is a library call on the boards: only the digits of a
  // value past 32 bits pay for it.
  while (v > UINT32_MAX) {
    uint64_t q = v / 10;
    *--p = static_cast<char>('0' + (v - q * 10));
    v = q;
  }
  auto w = static_cast<uint32_t>(v);
  do {
    *--p = static_cast<char>('0' + w % 10);
    w /= 10;
  } while (w != 0);
  auto n = static_cast<int>(digits + sizeof digits - p);
  for (; width > n; --width) *out++ = ' ';
  return put(out, p, static_cast<size_t>(n));
}

char* put_label(char* out, const char* name, size_t len, bool line_mode) {
  // Line mode names the interfaces in its header line only.
  if (line_mode) return put(out, " ");
  out = put(put(out, "| "), name, len);
  for (; len < 8; ++len) *out++ = ' ';
  return out;
}

char* put_rate(char* out, Item kind, Rate r, bool line_mode) {
  if (line_mode) {
    out = put_number(out, r.whole, 0);
    *out++ = '.';
    out = put_number(out, r.tenths, 1);
    return put(out, " ");
  }
  out = put_number(put(out, "|"), r.whole, 7);
  *out++ = '.';
  out = put_number(out, r.tenths, 1);
  return kind == Item::kbit_rate ? put(out, " kbps") : put(out, " pk/s|");
}

void print_screen(bool first_pass, int32_t interval_s, uint64_t elapsed_ms, const Shown* rows,
                  int n) {
  char* out = put(line, "\33[H\33[J");
  if (first_pass) {
    out = put(put_signed(put(out, "Calculating rates for "), interval_s), " seconds...\n");
  } else {
    // Shown signed: a wall clock stepped back gives a negative time.
    out = put(put_signed(put(out, "Averages for the last "), static_cast<int64_t>(elapsed_ms)),
              " msec\n");
  }
  emit_line(out);
  emit(border);
  emit(column_header);
  emit(border);
  for (int i = 0; i < n; ++i) {
    out = put_label(line, rows[i].name, rows[i].name_len, false);
    if (!first_pass) out = put_rates(out, rows[i], false);
    *out++ = '\n';
    emit_line(out);
  }
}

void print_lines(bool header, bool numbers, uint64_t start_ms, const Shown* rows, int n) {
  if (header) {
    emit("#   time   ");
    for (int i = 0; i < n; ++i)
      emit_line(put(put(line, rows[i].name, rows[i].name_len), "(ikb ipk okb opk) "));
    if (numbers) emit("\n");
  }
  if (!numbers) return;
  // The time column is 32 bits wide on every build, as on the board.
  emit_line(put_number(line, static_cast<uint32_t>(start_ms / 1000), 10));
  for (int i = 0; i < n; ++i)
    emit_line(put_rates(put_label(line, rows[i].name, rows[i].name_len, true), rows[i], true));
}

void print_pass_footer(bool line_mode) {
  if (line_mode) {
    putchar('\n');
    fflush(stdout);
    return;
  }
  emit(border);
}

}  // namespace flowtally
