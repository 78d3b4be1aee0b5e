// The fast layout of a pass with one interface against snprintf of the
// reference formats.  Input, read as if zeros followed it: a flag byte
// (bit 0 line mode, bits 1-2 the row's counters less one), three 64-bit
// values (a rate's whole part and tenths digit, the elapsed time in screen
// mode or the wall clock in line mode), then a name up to the first NUL.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "report.h"

namespace {

FZ_HARNESS uint64_t u64_at(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input, the empty one too, lays out a row.
  uint8_t head[25] = {};
  const size_t in_head = std::min(size, sizeof head);
  if (in_head > 0) memcpy(head, data, in_head);
  const bool line_mode = (head[0] & 1) != 0;
  const int counters = 1 + ((head[0] >> 1) & 3);
  // A tenths digit is one digit: the rates make no other.
  const flowtally::Rate rate{u64_at(head + 1), static_cast<uint32_t>(u64_at(head + 9) % 10)};
  const auto ms = static_cast<unsigned long long>(u64_at(head + 17));
  std::string name(reinterpret_cast<const char*>(data) + in_head, size - in_head);
  name = name.substr(0, std::min(name.find('\0'), flowtally::name_max));

  static flowtally::Rows rows;
  rows.n = 1;
  rows.row[0] = {0, name.data(), name.size(), counters, {}, {rate, rate, rate, rate}};
  static flowtally::Output out;
  const char* end = line_mode ? flowtally::lay_out_lines(out.data(), false, true, ms, rows)
                              : flowtally::lay_out_screen(out.data(), false, 60, ms, rows);
  const std::string_view got(out.data(), static_cast<size_t>(end - out.data()));
  // What comes first: the time column (32-bit seconds), or the message.
  static char want[sizeof out];
  int n = line_mode
              ? snprintf(want, sizeof want, "%10u", static_cast<uint32_t>(ms / 1000))
              : snprintf(want, sizeof want, "\33[H\33[JAverages for the last %llu msec\n", ms);
  if (!got.starts_with(std::string_view(want, static_cast<size_t>(n)))) abort();
  // The row, at the end.
  n = snprintf(want, sizeof want, line_mode ? " " : "| %-8s", name.c_str());
  for (int i = 0; i < counters; ++i)
    n += snprintf(want + n, sizeof want - static_cast<size_t>(n),
                  line_mode    ? "%llu.%1llu "
                  : i % 2 == 0 ? "|%7llu.%1llu kbps"
                               : "|%7llu.%1llu pk/s|",
                  static_cast<unsigned long long>(rate.whole),
                  static_cast<unsigned long long>(rate.tenths));
  if (!line_mode) want[n++] = '\n';
  if (!got.ends_with(std::string_view(want, static_cast<size_t>(n)))) abort();
  return 0;
}
