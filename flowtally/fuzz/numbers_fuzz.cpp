// The one-pass reading of a statistics line against strtok and strtoull,
// and the rate arithmetic against the plain 64-bit formulas.  Input: the
// line, up to its first NUL byte (and its first newline); its first 18
// bytes also give the rate's counter difference and elapsed time (two
// 64-bit values, each shifted right by a byte's count, to reach every
// width).
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "rates_match.h"
#include "sampler.h"

namespace {

// Where each of the first twenty fields goes among the four counters.
constexpr int slots[20] = {0,  1,  -1, -1, -1, -1, -1, -1, 2,  3,
                           -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

void check_line(std::string line) {
  // A line of the text, as the monitor reads it: ended by its newline or
  // cut at the line reader's room.
  const size_t newline = line.find('\n');
  line.resize(
      std::min(newline == std::string::npos ? line.size() : newline + 1, flowtally::line_max));
  static flowtally::Filter all;  // no filter: every line wanted
  static flowtally::Text text;
  static flowtally::Rows rows;
  line.copy(text.bytes.data(), line.size());
  text.lines = line.empty() ? 0 : 1;
  text.start[1] = line.size();
  flowtally::read_rows(all, text, rows);
  const bool wanted = rows.n == 1;
  const flowtally::Row& row = rows.row[0];

  // (With the word_room the token reader may look past a token's end.)
  static char copy[flowtally::line_max + 1 + flowtally::word_room];
  memcpy(copy, line.c_str(), line.size() + 1);
  char* colon = strchr(copy, ':');
  if (colon == nullptr) {
    if (wanted) abort();
    return;
  }
  *colon = '\0';
  const char* name = copy;
  while (*name == ' ' || *name == '\t') ++name;
  if (!wanted || row.name != rows.names.data() || row.name_len != strlen(name) ||
      memcmp(row.name, name, row.name_len) != 0)
    abort();
  int counters = 0;
  int k = 0;
  for (char* tok = strtok(colon + 1, " \t\n\r"); tok != nullptr && k < 20;
       tok = strtok(nullptr, " \t\n\r"), ++k) {
    uint64_t value = 0;
    const char* end = flowtally::read_token(tok, value);
    if (value != strtoull(tok, nullptr, 10) || end < tok || end > tok + strlen(tok)) abort();
    if (slots[k] < 0) continue;
    if (row.counter[static_cast<size_t>(slots[k])] != strtoull(tok, nullptr, 10)) abort();
    ++counters;
  }
  if (row.counters != counters) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  check_line(line.substr(0, line.find('\0')));
  if (size >= 18) {
    uint64_t d, e;
    memcpy(&d, data, sizeof d);
    memcpy(&e, data + 8, sizeof e);
    if (!rates_match_formulas(d >> (data[16] % 64), e >> (data[17] % 64))) abort();
  }
  return 0;
}
