#include "sampler.h"

#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

static_assert(piece_max <= max_name_len, "a piece's name must fit the report");

constexpr uint64_t two32 = 1ULL << 32;

// The blanks strtok was given, which end a token, as the string end does.
bool is_blank(char c) {
  auto u = static_cast<unsigned char>(c);
  // Bits 9, 10 and 13: tab, newline, carriage return.
  return u == ' ' || (u < ' ' && ((0x2600U >> u) & 1U) != 0);
}

bool ends_token(char c) {
  // Most characters of a line are above the blank: one comparison for them.
  return static_cast<unsigned char>(c) <= ' ' && (c == '\0' || is_blank(c));
}

bool same_name(const Row& a, const Row& b) {
  return a.name != nullptr && b.name != nullptr && a.name_len == b.name_len &&
         memcmp(a.name, b.name, a.name_len) == 0;
}

// The first position at or after from that holds a wanted interface.
int next_wanted(const Rows& rows, int from) {
  while (from < max_lines && rows[static_cast<size_t>(from)].name == nullptr) ++from;
  return from;
}

// v / 10 by a multiplication: code built for size would call a library
// routine for it on the boards.
uint32_t div10(uint32_t v) {
  return static_cast<uint32_t>((static_cast<uint64_t>(v) * 0xCCCCCCCDU) >> 35);
}

// n / e.ms for a 32-bit n, exactly, by Granlund and Montgomery's method.
uint32_t divide(uint32_t n, const Elapsed& e) {
  auto t = static_cast<uint32_t>((static_cast<uint64_t>(e.magic) * n) >> 32);
  return (t + ((n - t) >> e.shift1)) >> e.shift2;
}

// scale: tenths of the rate's unit per counted unit and millisecond.
template <uint32_t scale>
Rate rate(uint64_t d, const Elapsed& e) {
  if (e.ms == 0) return {};
  // One division gives both the whole part and the tenths digit, exactly
  // as the two divisions of the plain formulas do while the product fits.
  // 32 bits are enough for the usual board, whose division is otherwise a
  // library routine.
  if (e.ms <= UINT32_MAX && d <= UINT32_MAX / scale) {
    uint32_t q = divide(static_cast<uint32_t>(d) * scale, e);
    uint32_t whole = div10(q);
    return {whole, q - whole * 10};
  }
  if (d <= UINT64_MAX / scale) {
    uint64_t q = d * scale / e.ms;
    return {q / 10, q % 10};
  }
  // Products past 64 bits are taken modulo 2^64, as the plain formulas have them.
  return {d * (scale / 10) / e.ms, d * scale / e.ms % 10};
}

}  // namespace

bool filter_append(Sampler& s, const char* name) {
  size_t name_len = strlen(name);
  // The first name makes ",name,", each later one adds "name,".
  size_t at = s.filter == nullptr ? 1 : s.filter_len;
  char* grown = static_cast<char*>(realloc(s.filter, at + name_len + 2));
  if (grown == nullptr) return false;
  grown[0] = ',';
  memcpy(grown + at, name, name_len);
  grown[at + name_len] = ',';
  grown[at + name_len + 1] = '\0';
  s.filter = grown;
  s.filter_len = at + name_len + 1;
  return true;
}

bool filter_wants(const Sampler& s, const char* name, size_t len) {
  if (s.filter == nullptr || s.filter[0] == '\0') return true;
  // Both commas in the key keep eth0 from matching eth1 or veth0.  The key
  // is 30 characters at most: a name of 29 or more loses its closing comma
  // (a longer one its end too) and then matches by its start.
  char key[31];
  size_t kept = len < 29 ? len : 29;
  key[0] = ',';
  memcpy(key + 1, name, kept);
  size_t n = kept + 1;
  if (len < 29) key[n++] = ',';
  key[n] = '\0';
  return strstr(s.filter, key) != nullptr;
}

Text& begin_pass(Sampler& s) {
  s.current ^= 1;
  return s.text;
}

const char* read_token(const char* token, uint64_t& value) {
  const char* p = token;
  // The blanks that do not end a token.
  while (*p == '\v' || *p == '\f') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const char* digits = p;
  uint32_t head = 0;
  for (auto d = static_cast<unsigned char>(*p - '0'); d < 10;
       d = static_cast<unsigned char>(*++p - '0'))
    head = head * 10 + d;
  uint64_t v = head;
  // Nine digits always fit 32 bits; a longer number is read again in 64.
  if (p - digits > 9) {
    constexpr uint64_t tenth = UINT64_MAX / 10;
    v = 0;
    for (const char* q = digits; q != p; ++q) {
      auto d = static_cast<uint64_t>(*q - '0');
      if (v > tenth || (v == tenth && d > UINT64_MAX % 10)) {
        value = UINT64_MAX;
        return p;
      }
      v = v * 10 + d;
    }
  }
  value = negative ? 0 - v : v;
  return p;
}

void parse_line(const Sampler& s, const char* line, Row& row) {
  row.name = nullptr;
  const char* colon = strchr(line, ':');
  if (colon == nullptr) return;
  // Blanks before the name are skipped; those between it and the colon
  // are part of it.
  const char* name = line;
  while (*name == ' ' || *name == '\t') ++name;
  auto len = static_cast<size_t>(colon - name);
  if (!filter_wants(s, name, len)) return;
  row.name = name;
  row.name_len = len;
  // One walk over the fields: each is counted, four are converted.  p
  // stays on the character before the next one looked at.
  const char* p = colon;
  int n = 0;
  for (int k = 0; k < fields_read; ++k) {
    char c = *++p;
    // The kernel pads its columns with spaces.
    while (c == ' ') c = *++p;
    while (is_blank(c)) c = *++p;
    if (c == '\0') break;
    if (k < 2 || k >= 8) p = read_token(p, row.counter[static_cast<size_t>(n++)]) - 1;
    do {
      while (static_cast<unsigned char>(c = *++p) > ' ') {
      }
    } while (!ends_token(c));
    if (c == '\0') break;
  }
  row.counters = n;
}

uint64_t counter_diff(uint64_t previous, uint64_t current) {
  if (current >= previous) return current - previous;
  // A counter that went down without a reset is a 32-bit one that wrapped.
  return current + two32 - previous;
}

bool was_reset(const Row& previous, const Row& current) {
  int both = previous.counters < current.counters ? previous.counters : current.counters;
  unsigned down = 0;
  for (int i = 0; i < both; ++i)
    if (current.counter[static_cast<size_t>(i)] < previous.counter[static_cast<size_t>(i)])
      down |= 1U << i;
  // Byte and packet counters of one direction sit side by side: i ^ 1 is
  // the other counter of i's direction.
  for (int i = 0; i < both; ++i)
    if (((down >> i) & 1U) != 0 &&
        (previous.counter[static_cast<size_t>(i)] >= two32 || ((down >> (i ^ 1)) & 1U) != 0))
      return true;
  return false;
}

Elapsed elapsed_of(uint64_t ms) {
  Elapsed e;
  e.ms = ms;
  if (ms == 0 || ms > UINT32_MAX) return e;
  // l is the bit length of ms - 1: 2^l is the least power of two >= ms.
  uint32_t l = 0;
  while (l < 32 && (1ULL << l) < ms) ++l;
  e.magic = static_cast<uint32_t>(((1ULL << 32) * ((1ULL << l) - ms)) / ms + 1);
  e.shift1 = static_cast<uint8_t>(l < 1 ? l : 1);
  e.shift2 = static_cast<uint8_t>(l < 1 ? 0 : l - 1);
  return e;
}

Rate kbit_rate(uint64_t bytes, const Elapsed& e) { return rate<80>(bytes, e); }

Rate packet_rate(uint64_t packets, const Elapsed& e) { return rate<10000>(packets, e); }

namespace {

// What a wanted row shows, given the row at its position on the previous
// pass.
void show(Shown& out, const Row& row, const Row& previous, bool same_place, const Elapsed& e) {
  out.name = row.name;
  out.name_len = row.name_len;
  out.rates = row.counters;
  out.rate = {};
  // Only the counters this interface had at this position on the previous
  // pass can be differenced; otherwise the rates stay 0.0, as they do for
  // the pass in which an interface was reset.
  if (!same_place || was_reset(previous, row)) return;
  for (int i = 0; i < row.counters; ++i) {
    auto c = static_cast<size_t>(i);
    uint64_t d = i < previous.counters ? counter_diff(previous.counter[c], row.counter[c]) : 0;
    out.rate[c] = i % 2 == 0 ? kbit_rate(d, e) : packet_rate(d, e);
  }
}

// The text is read anew next pass: the names its rows point to are kept.
void keep_names(Sampler& s, Rows& rows) {
  char* kept = s.names.data();
  for (Row& row : rows) {
    if (row.name == nullptr) continue;
    memcpy(kept, row.name, row.name_len);
    row.name = kept;
    kept += row.name_len;
  }
}

}  // namespace

void sample(Sampler& s, uint64_t elapsed_ms) {
  const Elapsed elapsed = elapsed_of(elapsed_ms);
  Rows& now = s.rows[static_cast<size_t>(s.current)];
  const Rows& before = s.rows[static_cast<size_t>(s.current ^ 1)];
  Text& text = s.text;
  int shown = 0;
  bool changed = false;
  int before_at = next_wanted(before, 0);
  for (int pos = 0; pos < max_lines; ++pos) {
    auto at = static_cast<size_t>(pos);
    Row& row = now[at];
    if (pos >= text.pieces) {
      row.name = nullptr;
      continue;
    }
    // A piece is read as the string it is.  The byte after it, the next
    // piece's first, holds its string end meanwhile.
    char& after = text.bytes[text.start[at + 1]];
    char kept = after;
    after = '\0';
    parse_line(s, &text.bytes[text.start[at]], row);
    after = kept;
    if (row.name == nullptr) continue;

    bool same_place = same_name(before[at], row);
    // The names shown, in order, against the previous pass's.
    if (!changed) {
      changed = before_at == max_lines ||
                !(before_at == pos ? same_place
                                   : same_name(before[static_cast<size_t>(before_at)], row));
      before_at = next_wanted(before, before_at + 1);
    }
    show(s.shown[static_cast<size_t>(shown++)], row, before[at], same_place, elapsed);
  }
  s.shown_count = shown;
  s.names_changed = changed || before_at < max_lines;
  keep_names(s, now);
}

}  // namespace flowtally
