#include "sampler.h"

#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

static_assert(piece_max <= max_name_len, "a piece's name must fit the report");

constexpr uint64_t two32 = 1ULL << 32;

// The fields a report uses, in the order of Row::counter.
constexpr std::array<int, 4> used_fields = {0, 1, 8, 9};

// Where field k goes in Row::counter; -1: counted, never converted.
int slot_of(int k) {
  switch (k) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 8:
      return 2;
    case 9:
      return 3;
    default:
      return -1;
  }
}

bool is_delimiter(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

bool same_name(const Row& a, const Row& b) {
  return a.name != nullptr && b.name != nullptr && a.name_len == b.name_len &&
         memcmp(a.name, b.name, a.name_len) == 0;
}

int rates_of(int fields) {
  int n = 0;
  for (int f : used_fields) n += f < fields ? 1 : 0;
  return n;
}

// The first position at or after from that holds a wanted interface.
int next_wanted(const Snapshot& snap, int from) {
  while (from < max_lines && snap.rows[static_cast<size_t>(from)].name == nullptr) ++from;
  return from;
}

// scale: tenths of the rate's unit per counted unit and millisecond.
Rate rate(uint64_t d, uint64_t elapsed_ms, uint32_t scale) {
  if (elapsed_ms == 0) return {};
  // One division gives both the whole part and the tenths digit, exactly
  // as the two divisions of the plain formulas do while the product fits;
  // 32 bits are enough for the usual board, where 64-bit division is a
  // library call.
  if (elapsed_ms <= UINT32_MAX && d <= UINT32_MAX / scale) {
    uint32_t q = static_cast<uint32_t>(d) * scale / static_cast<uint32_t>(elapsed_ms);
    return {q / 10, q % 10};
  }
  if (d <= UINT64_MAX / scale) {
    uint64_t q = d * scale / elapsed_ms;
    return {q / 10, q % 10};
  }
  // Products past 64 bits are taken modulo 2^64, as the plain formulas have them.
  return {d * (scale / 10) / elapsed_ms, d * scale / elapsed_ms % 10};
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
  return s.snapshots[static_cast<size_t>(s.current)].text;
}

uint64_t token_value(const char* token) {
  const char* p = token;
  // The blanks that do not end a token.
  while (*p == '\v' || *p == '\f') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Nine digits always fit 32 bits.
  uint32_t head = 0;
  for (int n = 0; n < 9 && is_digit(*p); ++n, ++p) head = head * 10 + static_cast<uint32_t>(*p - '0');
  uint64_t v = head;
  constexpr uint64_t tenth = UINT64_MAX / 10;
  for (; is_digit(*p); ++p) {
    auto d = static_cast<uint64_t>(*p - '0');
    if (v > tenth || (v == tenth && d > UINT64_MAX % 10)) return UINT64_MAX;
    v = v * 10 + d;
  }
  return negative ? 0 - v : v;
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
  // One pass over the fields: every one counts, four are converted.
  const char* p = colon + 1;
  int k = 0;
  for (; k < max_fields; ++k) {
    while (is_delimiter(*p)) ++p;
    if (*p == '\0') break;
    int slot = slot_of(k);
    if (slot >= 0) row.counter[static_cast<size_t>(slot)] = token_value(p);
    while (*p != '\0' && !is_delimiter(*p)) ++p;
  }
  row.fields = k;
}

uint64_t counter_diff(uint64_t previous, uint64_t current) {
  if (current >= previous) return current - previous;
  // A counter that went down without a reset is a 32-bit one that wrapped.
  return current + two32 - previous;
}

bool was_reset(const Row& previous, const Row& current) {
  std::array<bool, 4> down{};
  for (size_t i = 0; i < down.size(); ++i) {
    int f = used_fields[i];
    down[i] = f < previous.fields && f < current.fields &&
              current.counter[i] < previous.counter[i];
  }
  // Byte and packet counters of one direction sit side by side: i ^ 1 is
  // the other counter of i's direction.
  for (size_t i = 0; i < down.size(); ++i)
    if (down[i] && (previous.counter[i] >= two32 || down[i ^ 1])) return true;
  return false;
}

Rate kbit_rate(uint64_t bytes, uint64_t elapsed_ms) { return rate(bytes, elapsed_ms, 80); }

Rate packet_rate(uint64_t packets, uint64_t elapsed_ms) { return rate(packets, elapsed_ms, 10000); }

void sample(Sampler& s, uint64_t elapsed_ms) {
  Snapshot& now = s.snapshots[static_cast<size_t>(s.current)];
  const Snapshot& before = s.snapshots[static_cast<size_t>(s.current ^ 1)];
  Text& text = now.text;
  int shown = 0;
  bool changed = false;
  int before_at = next_wanted(before, 0);
  for (int pos = 0; pos < max_lines; ++pos) {
    auto at = static_cast<size_t>(pos);
    Row& row = now.rows[at];
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

    if (before_at == max_lines || !same_name(before.rows[static_cast<size_t>(before_at)], row))
      changed = true;
    if (before_at < max_lines) before_at = next_wanted(before, before_at + 1);

    Shown& out = s.shown[static_cast<size_t>(shown++)];
    out.name = row.name;
    out.name_len = row.name_len;
    out.rates = rates_of(row.fields);
    out.rate = {};
    // Only the counters this interface had at this position on the
    // previous pass can be differenced; otherwise the rates stay 0.0, as
    // they do for the pass in which an interface was reset.
    const Row& previous = before.rows[at];
    if (!same_name(previous, row) || was_reset(previous, row)) continue;
    // The fields a line has come first, so its rates are the first of the four.
    for (size_t i = 0; i < static_cast<size_t>(out.rates); ++i) {
      uint64_t d = used_fields[i] < previous.fields
                       ? counter_diff(previous.counter[i], row.counter[i])
                       : 0;
      out.rate[i] = i % 2 == 0 ? kbit_rate(d, elapsed_ms) : packet_rate(d, elapsed_ms);
    }
  }
  s.shown_count = shown;
  s.names_changed = changed || before_at < max_lines;
}

}  // namespace flowtally
