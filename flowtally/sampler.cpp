#include "sampler.h"

#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

constexpr uint64_t two32 = 1ULL << 32;

// The line reader's string end, or the newline that only ever ends a piece:
// either ends the line.
bool ends_line(char c) { return c == '\0' || c == '\n'; }

// strtok's delimiters, the newline apart.
bool parts_fields(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool ends_field(char c) {
  // Most characters of a line are above the blank: one comparison for them.
  return static_cast<unsigned char>(c) <= ' ' && (ends_line(c) || parts_fields(c));
}

bool same_name(const Row& a, const Row& b) {
  return a.name_len == b.name_len && memcmp(a.name, b.name, a.name_len) == 0;
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
  // 32 bits are enough for the usual board, whose division by a run-time
  // divisor is otherwise a library routine.
  if (e.ms <= UINT32_MAX && d <= UINT32_MAX / scale) {
    uint32_t q = divide(static_cast<uint32_t>(d) * scale, e);
    return {q / 10, q % 10};
  }
  if (d <= UINT64_MAX / scale) {
    uint64_t q = d * scale / e.ms;
    return {q / 10, static_cast<uint32_t>(q % 10)};
  }
  // Products past 64 bits are taken modulo 2^64, as the plain formulas have them.
  return {d * (scale / 10) / e.ms, static_cast<uint32_t>(d * scale / e.ms % 10)};
}

uint64_t counter_diff(uint64_t previous, uint64_t current) {
  if (current >= previous) return current - previous;
  return current + two32 - previous;
}

// How much one direction's bytes and packets grew, into d[0] and d[1].
// False when they went down as only a reset of the interface makes them:
// one from 2^32 or more, both at once, or one alone to leave differences
// that describe no packets there can be.
bool grew(uint64_t bytes0, uint64_t bytes1, uint64_t packets0, uint64_t packets1, uint64_t* d) {
  const bool bytes_down = bytes1 < bytes0, packets_down = packets1 < packets0;
  d[0] = counter_diff(bytes0, bytes1);
  d[1] = counter_diff(packets0, packets1);
  if (!bytes_down && !packets_down) return true;
  if (bytes_down == packets_down || (bytes_down ? bytes0 : packets0) >= two32) return false;
  // A 32-bit counter that wrapped: packets of 1 to 65536 bytes each.
  return d[1] <= d[0] && (d[0] - 1) >> 16 < d[1];
}

}  // namespace

bool filter_append(Filter& f, const char* name) {
  size_t name_len = strlen(name);
  // The first name makes ",name,", each later one adds "name,".
  size_t at = f.list == nullptr ? 1 : f.len;
  char* grown = static_cast<char*>(realloc(f.list, at + name_len + 2));
  if (grown == nullptr) return false;
  grown[0] = ',';
  memcpy(grown + at, name, name_len);
  grown[at + name_len] = ',';
  grown[at + name_len + 1] = '\0';
  f.list = grown;
  f.len = at + name_len + 1;
  return true;
}

bool filter_wants(const Filter& f, const char* name, size_t len) {
  if (f.list == nullptr) return true;
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
  return strstr(f.list, key) != nullptr;
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

bool parse_line(const Filter& f, const char* line, Row& row, char* name_to) {
  // Blanks before the name are skipped; those between it and the colon
  // are part of it.
  const char* name = line;
  while (*name == ' ' || *name == '\t') ++name;
  const char* colon = name;
  for (; *colon != ':'; ++colon)
    if (ends_line(*colon)) return false;
  auto len = static_cast<size_t>(colon - name);
  if (!filter_wants(f, name, len)) return false;
  memcpy(name_to, name, len);
  row.name = name_to;
  row.name_len = len;
  // One walk over the fields: each is counted, four are converted.
  const char* p = colon + 1;
  int n = 0;
  for (int k = 0; k < fields_read; ++k) {
    while (parts_fields(*p)) ++p;
    if (ends_line(*p)) break;
    if (k < 2 || k >= 8) p = read_token(p, row.counter[static_cast<size_t>(n++)]);
    while (!ends_field(*p)) ++p;
  }
  row.counters = n;
  return true;
}

void read_rows(const Filter& f, const Text& text, Rows& rows) {
  // A piece that does not end its line (cut at the line reader's room, or
  // the text's last without a newline) is read from a copy ended as the
  // line reader would end it.
  static char cut[line_room];
  char* name_to = rows.names.data();
  int n = 0;
  for (int pos = 0; pos < text.pieces; ++pos) {
    auto at = static_cast<size_t>(pos);
    const char* line = &text.bytes[text.start[at]];
    size_t len = text.start[at + 1] - text.start[at];
    if (line[len - 1] != '\n') {
      memcpy(cut, line, len);
      cut[len] = '\0';
      line = cut;
    }
    Row& row = rows.row[static_cast<size_t>(n)];
    if (!parse_line(f, line, row, name_to)) continue;
    row.pos = pos;
    name_to += row.name_len;
    ++n;
  }
  rows.n = n;
}

bool names_changed(const Rows& before, const Rows& now) {
  if (before.n != now.n) return true;
  for (int k = 0; k < now.n; ++k)
    if (!same_name(before.row[static_cast<size_t>(k)], now.row[static_cast<size_t>(k)]))
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

void work_out_rates(const Rows& before, Rows& now, uint64_t elapsed_ms) {
  const Elapsed e = elapsed_of(elapsed_ms);
  int j = 0;  // the previous pass's row at or after this one's position
  for (int k = 0; k < now.n; ++k) {
    Row& row = now.row[static_cast<size_t>(k)];
    row.rate = {};
    while (j < before.n && before.row[static_cast<size_t>(j)].pos < row.pos) ++j;
    // Only the counters this interface had at this position on the
    // previous pass can be differenced; otherwise the rates stay 0.0, as
    // they do for the pass in which an interface was reset.
    if (j == before.n) continue;
    const Row& prev = before.row[static_cast<size_t>(j)];
    if (prev.pos != row.pos || !same_name(prev, row)) continue;
    const int both = prev.counters < row.counters ? prev.counters : row.counters;
    std::array<uint64_t, 4> d{};
    bool reset = false;
    // Bytes at i, packets at i + 1: receive, then transmit.  A direction
    // without its packet counter has no packets to show for a drop.
    for (size_t i = 0; i < static_cast<size_t>(both); i += 2) {
      const bool packets = i + 1 < static_cast<size_t>(both);
      reset = reset || !grew(prev.counter[i], row.counter[i], packets ? prev.counter[i + 1] : 0,
                             packets ? row.counter[i + 1] : 0, &d[i]);
    }
    if (reset) continue;
    for (size_t i = 0; i < static_cast<size_t>(both); ++i)
      row.rate[i] = i % 2 == 0 ? kbit_rate(d[i], e) : packet_rate(d[i], e);
  }
}

}  // namespace flowtally
