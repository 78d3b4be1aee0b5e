// The fast layout of an interface's row against snprintf of the reference
// formats.  Input, zeros past its end: a flag byte (bit 0 line mode, bits
// 1-2 the row's counters less one), a width byte, three 64-bit values (a
// rate's whole part and tenths digit, a number), then a name up to the
// first NUL byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "report.h"

namespace {

// The reference layout of a row: its label, then a rate for each counter,
// kilobits and packets in turn (their whole part and tenths digit as
// unsigned long long); screen mode's, then line mode's.
constexpr const char* label_formats[] = {"| %-8s", ""};
constexpr const char* rate_formats[][2] = {{"|%7llu.%1llu kbps", "|%7llu.%1llu pk/s|"},
                                           {"%llu.%1llu ", "%llu.%1llu "}};

FZ_HARNESS uint64_t u64_at(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

FZ_HARNESS void expect_same(const char* begin, const char* end, const char* want, int want_len) {
  if (want_len < 0 || end - begin != want_len ||
      memcmp(begin, want, static_cast<size_t>(want_len)) != 0)
    abort();
}

}  // namespace

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A short input is read as if zeros followed it, so that every input, the
  // empty one too, lays out a row.
  uint8_t head[26] = {};
  const size_t in_head = std::min(size, sizeof head);
  if (in_head > 0) memcpy(head, data, in_head);
  const bool line_mode = (head[0] & 1) != 0;
  const int counters = 1 + ((head[0] >> 1) & 3);
  const int width = head[1] % 32;
  // A tenths digit is one digit: the rates make no other.
  const flowtally::Rate rate{u64_at(head + 2), static_cast<uint32_t>(u64_at(head + 10) % 10)};
  const uint64_t number = u64_at(head + 18);
  std::string name(reinterpret_cast<const char*>(data) + in_head, size - in_head);
  name = name.substr(0, std::min(name.find('\0'), flowtally::name_max));

  static flowtally::Rows rows;
  rows.n = 1;
  flowtally::Row& row = rows.row[0];
  row.name = name.data();
  row.name_len = name.size();
  row.counters = counters;
  row.rate.fill(rate);
  static flowtally::Output out;
  static char want[sizeof out];
  // The row's reference: what follows the time column in line mode, and
  // the table's top in screen mode.
  int n = snprintf(want, sizeof want, label_formats[line_mode], name.c_str());
  if (line_mode) want[n++] = ' ';
  for (int i = 0; i < counters; ++i)
    n += snprintf(want + n, sizeof want - static_cast<size_t>(n), rate_formats[line_mode][i % 2],
                  static_cast<unsigned long long>(rate.whole),
                  static_cast<unsigned long long>(rate.tenths));
  if (!line_mode) want[n++] = '\n';
  const char* end = line_mode ? flowtally::lay_out_lines(out.data(), false, true, number, rows)
                              : flowtally::lay_out_screen(out.data(), false, 60, number, rows);
  if (end - out.data() < n) abort();
  expect_same(end - n, end, want, n);
  end = flowtally::put_number(out.data(), number, width);
  expect_same(out.data(), end, want,
              snprintf(want, sizeof want, "%*llu", width, static_cast<unsigned long long>(number)));
  return 0;
}
