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

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

constexpr char border[] =
    "+----------------------------------------------------------------------+\n";
constexpr char column_header[] =
    "| IF      |Input                         |Output                       |\n";

// What is laid out gathers here and is handed to standard output at each
// line's end, so that a terminal's line buffering writes where it always
// did, or once it passes handover_at bytes, well below stdio's own buffer,
// so that a full buffer is written where it always was.
constexpr size_t handover_at = 4096;
// The longest thing laid out at once, a screen row: a label and four rates
// of at most 48 characters each.
constexpr size_t longest_item = max_name_len + 2 + 4 * size_t{48} + 1;
char chunk[handover_at + longest_item];
char* at = chunk;

void hand_over() {
  fwrite(chunk, 1, static_cast<size_t>(at - chunk), stdout);
  at = chunk;
}

// Where the next item goes.
char* room() {
  if (at - chunk > static_cast<ptrdiff_t>(handover_at)) hand_over();
  return at;
}

void end_line() {
  *at++ = '\n';
  hand_over();
}

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

// A tenths digit is one character, as "%1llu" makes it.
char* put_tenths(char* out, uint64_t tenths) {
  if (tenths >= 10) return put_number(out, tenths, 1);
  *out++ = static_cast<char>('0' + tenths);
  return out;
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
  char* const last = digits + sizeof digits;
  char* p = last;
  // 64-bit division is a library call on the boards: only the digits of a
  // value past 32 bits pay for it.
  while (v > UINT32_MAX) {
    uint64_t q = v / 10;
    *--p = static_cast<char>('0' + (v - q * 10));
    v = q;
  }
  // Two digits at a time, the division by 100 a multiplication.
  auto w = static_cast<uint32_t>(v);
  while (w >= 100) {
    auto q = static_cast<uint32_t>((static_cast<uint64_t>(w) * 0x51EB851FU) >> 37);
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

char* put_rate(char* out, Item kind, Rate r, bool line_mode) {
  if (line_mode) {
    out = put_number(out, r.whole, 0);
    *out++ = '.';
    return put(put_tenths(out, r.tenths), " ");
  }
  out = put_number(put(out, "|"), r.whole, 7);
  *out++ = '.';
  out = put_tenths(out, r.tenths);
  return kind == Item::kbit_rate ? put(out, " kbps") : put(out, " pk/s|");
}

void print_screen(bool first_pass, int32_t interval_s, uint64_t elapsed_ms, const Shown* rows,
                  int n) {
  at = put(room(), "\33[H\33[J");
  if (first_pass) {
    at = put(put_signed(put(at, "Calculating rates for "), interval_s), " seconds...");
  } else {
    // Shown signed: a wall clock stepped back gives a negative time.
    at = put(put_signed(put(at, "Averages for the last "), static_cast<int64_t>(elapsed_ms)),
             " msec");
  }
  end_line();
  at = put(at, border);
  hand_over();
  at = put(at, column_header);
  hand_over();
  at = put(at, border);
  hand_over();
  for (int i = 0; i < n; ++i) {
    at = put_label(at, rows[i].name, rows[i].name_len, false);
    if (!first_pass) at = put_rates(at, rows[i], false);
    end_line();
  }
}

void print_lines(bool header, bool numbers, uint64_t start_ms, const Shown* rows, int n) {
  if (header) {
    at = put(at, "#   time   ");
    for (int i = 0; i < n; ++i)
      at = put(put(room(), rows[i].name, rows[i].name_len), "(ikb ipk okb opk) ");
    if (numbers) end_line();
  }
  if (numbers) {
    // The time column is 32 bits wide on every build, as on the board.
    at = put_number(room(), static_cast<uint32_t>(start_ms / 1000), 10);
    for (int i = 0; i < n; ++i)
      at = put_rates(put_label(room(), rows[i].name, rows[i].name_len, true), rows[i], true);
  }
  // The line's newline comes with the pass's footer.
  hand_over();
}

void print_pass_footer(bool line_mode) {
  if (line_mode) {
    putchar('\n');
    fflush(stdout);
    return;
  }
  at = put(at, border);
  hand_over();
}

}  // namespace flowtally
