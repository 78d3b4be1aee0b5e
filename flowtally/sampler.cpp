#include "sampler.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

constexpr uint64_t two32 = 1ULL << 32;

// Called for every character of a line: -Os would make each a call.

// A line ends at its newline, or at a NUL byte, where a C string of it
// would end (a line without a newline is read from a copy that ends so).
[[gnu::always_inline]] inline bool ends_line(char c) { return c == '\0' || c == '\n'; }

// strtok's delimiters, the newline apart.
[[gnu::always_inline]] inline bool parts_fields(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Where the token at p ends.  Most of its characters are above the blank,
// and most tokens end at a space: a comparison or two for each.
[[gnu::always_inline]] inline const char* token_end(const char* p) {
  for (;; ++p) {
    const char c = *p;
    if (static_cast<unsigned char>(c) > ' ') continue;
    if (c == ' ' || ends_line(c) || parts_fields(c)) return p;
  }
}

// The first character at or after p that is not a space, a word at a time:
// the kernel pads its columns with runs of them.
[[gnu::always_inline]] inline const char* after_spaces(const char* p) {
  constexpr size_t spaces = every_byte(' ');
  if constexpr (unaligned_loads) {
    for (; word_at(p) == spaces; p += sizeof(size_t)) {
    }
    return p + std::countr_zero(word_at(p) ^ spaces) / 8;
  }
  // From the aligned word that holds p, less its bytes before p.  (A line
  // ends in a newline or a NUL byte, which ends the run of spaces within
  // the line's own buffer.)
  const auto before = reinterpret_cast<uintptr_t>(p) % sizeof(size_t);
  const char* w = p - before;
  size_t x = (word_at(w) ^ spaces) >> (8 * before);
  if (x != 0) return p + std::countr_zero(x) / 8;
  do w += sizeof(size_t);
  while ((x = word_at(w) ^ spaces) == 0);
  return w + std::countr_zero(x) / 8;
}

// Names compared a word at a time: most are shorter than one.  (A name is
// followed by word_room bytes of its pass's names, and starts at an aligned
// address where words load there alone.)
bool same_name(const Row& a, const Row& b) {
  if (a.name_len != b.name_len) return false;
  size_t i = 0;
  for (; i + sizeof(size_t) <= a.name_len; i += sizeof(size_t))
    if (word_at(a.name + i) != word_at(b.name + i)) return false;
  const size_t rest = a.name_len - i;
  return rest == 0 ||
         ((word_at(a.name + i) ^ word_at(b.name + i)) << (8 * (sizeof(size_t) - rest))) == 0;
}

// A pass's elapsed time, which divides all of its rates, with what makes
// that division by a multiplication where the values fit 32 bits.
struct Elapsed {
  uint64_t ms = 0;
  bool fits = false;  // 1 to 2^32 - 1
  uint32_t magic = 0;
  uint8_t shift1 = 0, shift2 = 0;
};

Elapsed elapsed_of(uint64_t ms) {
  Elapsed e;
  e.ms = ms;
  e.fits = ms != 0 && ms <= UINT32_MAX;
  if (!e.fits) return e;
  // 2^l is the least power of two >= ms.
  const auto l = static_cast<uint32_t>(std::bit_width(ms - 1));
  e.magic = static_cast<uint32_t>(((1ULL << 32) * ((1ULL << l) - ms)) / ms + 1);
  e.shift1 = static_cast<uint8_t>(l < 1 ? l : 1);
  e.shift2 = static_cast<uint8_t>(l < 1 ? 0 : l - 1);
  return e;
}

// n / e.ms for a 32-bit n, exactly, by Granlund and Montgomery's method.
[[gnu::always_inline]] inline uint32_t divide(uint32_t n, const Elapsed& e) {
  auto t = static_cast<uint32_t>((static_cast<uint64_t>(e.magic) * n) >> 32);
  return (t + ((n - t) >> e.shift1)) >> e.shift2;
}

// scale: tenths of the rate's unit per counted unit and millisecond.
// (Inline: each row has four.)
template <uint32_t scale>
[[gnu::always_inline]] inline Rate rate(uint64_t d, const Elapsed& e) {
  // One division gives both the whole part and the tenths digit, exactly
  // as the two divisions of the plain formulas do while the product fits.
  // 32 bits are enough for the usual board, whose division by a run-time
  // divisor is otherwise a library routine.
  if (e.fits && d <= UINT32_MAX / scale) {
    uint32_t q = divide(static_cast<uint32_t>(d) * scale, e);
    return {q / 10, q % 10};
  }
  if (e.ms == 0) return {};
  if (d <= UINT64_MAX / scale) {
    uint64_t q = d * scale / e.ms;
    return {q / 10, static_cast<uint32_t>(q % 10)};
  }
  // Products past 64 bits are taken modulo 2^64, as the plain formulas have them.
  return {d * (scale / 10) / e.ms, static_cast<uint32_t>(d * scale / e.ms % 10)};
}

// How much each of the first `both` counters of a row grew since the
// previous pass, into d.  False when the interface was reset in between: a
// counter went down from 2^32 or more, both counters of a direction went
// down, or one alone went down to leave differences that describe no
// packets there can be (a 32-bit counter that wrapped leaves packets of 1 to
// 65536 bytes each).
bool grew(const Row& prev, const Row& row, size_t both, std::array<uint64_t, 4>& d) {
  bool down = false;
  for (size_t i = 0; i < both; ++i) {
    d[i] = row.counter[i] - prev.counter[i];
    down = down || row.counter[i] < prev.counter[i];
  }
  if (!down) return true;
  // Bytes at i, packets at i + 1: receive, then transmit.  A direction
  // without its packet counter has no packets to show for a drop.
  for (size_t i = 0; i < both; i += 2) {
    const bool has_packets = i + 1 < both;
    const uint64_t bytes0 = prev.counter[i];
    const uint64_t bytes1 = row.counter[i];
    const uint64_t packets0 = has_packets ? prev.counter[i + 1] : 0;
    const uint64_t packets1 = has_packets ? row.counter[i + 1] : 0;
    const bool bytes_down = bytes1 < bytes0;
    const bool packets_down = packets1 < packets0;
    if (!bytes_down && !packets_down) continue;
    if (bytes_down == packets_down || (bytes_down ? bytes0 : packets0) >= two32) return false;
    const uint64_t db = bytes1 - bytes0 + (bytes_down ? two32 : 0);
    const uint64_t dp = packets1 - packets0 + (packets_down ? two32 : 0);
    if (dp > db || (db - 1) >> 16 >= dp) return false;
    d[i] = db;
    if (has_packets) d[i + 1] = dp;
  }
  return true;
}

// The rates of row against prev, the same interface at the same position
// on the previous pass; 0.0 for the pass in which it was reset.  (Inline:
// a pass has a row for each interface.)
[[gnu::always_inline]] inline void rates_since(const Row& prev, Row& row, const Elapsed& e) {
  const auto both =
      static_cast<size_t>(prev.counters < row.counters ? prev.counters : row.counters);
  std::array<uint64_t, 4> d;
  if (!grew(prev, row, both, d)) {
    row.rate = {};
    return;
  }
  // (The compiler loses the rates' alignment on the way: where stores must
  // be aligned it would otherwise store them a byte at a time.)
  auto* rates = static_cast<Rate*>(__builtin_assume_aligned(row.rate.data(), alignof(Rate)));
  for (size_t i = 0; i < static_cast<size_t>(row.counters); ++i)
    rates[i] = i >= both ? Rate{} : i % 2 == 0 ? rate<80>(d[i], e) : rate<10000>(d[i], e);
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

namespace {

// Out of line: only a run with -i names calls it, and inlined into the
// loop over the lines its key would cost every line of every run.
[[gnu::noinline]] bool filter_wants(const Filter& f, const char* name, size_t len) {
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

// Copies the name at p to `to`, as a wanted row keeps it, and moves `to`
// past the copy; returns where the name stopped: at its colon or at the
// line's end.  A word at a time where words load anywhere (`to` has
// word_room to spare), otherwise a byte at a time, names being short.
[[gnu::always_inline]] inline const char* copy_name(const char* p, char*& to) {
  if constexpr (unaligned_loads) {
    for (;; p += sizeof(size_t), to += sizeof(size_t)) {
      const size_t w = word_at(p);
      memcpy(to, &w, sizeof w);
      const size_t stops = bytes_of(w, ':') | bytes_of(w, '\n') | bytes_of(w, '\0');
      if (stops != 0) {
        const auto at = static_cast<size_t>(std::countr_zero(stops)) / 8;
        to += at;
        return p + at;
      }
    }
  }
  for (char c; (c = *p) != ':' && !ends_line(c); ++p) *to++ = c;
  return p;
}

// Inline where the lines are read: a pass reads 99 of them.
[[gnu::always_inline]] inline bool read_line(const Filter& f, const char* line, Row& row,
                                             char* name_to) {
  // Blanks before the name are skipped; those between it and the colon
  // are part of it.
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  char* to = name_to;
  p = copy_name(p, to);
  if (*p != ':') return false;
  const auto len = static_cast<size_t>(to - name_to);
  if (f.list != nullptr && !filter_wants(f, name_to, len)) return false;
  row.name = name_to;
  row.name_len = len;
  // One walk over the fields: each is counted, four are converted.
  int n = 0;
  ++p;
  for (int k = 0; k < fields_read; ++k) {
    p = after_spaces(p);
    if (static_cast<unsigned char>(*p) <= ' ') {
      // Spaces are left to the scan, which must skip every one.
      while (*p == '\t' || *p == '\r') p = after_spaces(p + 1);
      if (ends_line(*p)) break;
    }
    if (k < 2 || k >= 8) p = read_token(p, row.counter[static_cast<size_t>(n++)]);
    p = token_end(p);
  }
  row.counters = n;
  return true;
}

}  // namespace

void read_rows(const Filter& f, const Text& text, Rows& rows) {
  // A line that does not end in a newline (a piece of a longer one, or the
  // text's last line without one) is read from a copy ended by a NUL byte.
  alignas(sizeof(size_t)) static char cut[line_room + word_room];
  char* name_to = rows.names.data();
  int n = 0;
  for (int pos = 0; pos < text.lines; ++pos) {
    auto at = static_cast<size_t>(pos);
    const char* line = &text.bytes[text.start[at]];
    size_t len = text.start[at + 1] - text.start[at];
    if (line[len - 1] != '\n') {
      memcpy(cut, line, len);
      cut[len] = '\0';
      line = cut;
    }
    Row& row = rows.row[static_cast<size_t>(n)];
    if (!read_line(f, line, row, name_to)) continue;
    row.pos = pos;
    name_to += (row.name_len + Rows::name_gap) & ~Rows::name_gap;
    ++n;
  }
  rows.n = n;
}

bool work_out_rates(const Rows& before, Rows& now, uint64_t elapsed_ms) {
  const Elapsed e = elapsed_of(elapsed_ms);
  bool same_names = now.n == before.n;
  int j = 0;  // the previous pass's row at or after this one's position
  for (int k = 0; k < now.n; ++k) {
    Row& row = now.row[static_cast<size_t>(k)];
    while (j < before.n && before.row[static_cast<size_t>(j)].pos < row.pos) ++j;
    const Row* prev = j < before.n ? &before.row[static_cast<size_t>(j)] : nullptr;
    // This interface, on the same line of the previous pass's text.
    const bool same_line = prev != nullptr && prev->pos == row.pos && same_name(*prev, row);
    // Whether the k-th name shown was shown k-th before is known when this
    // row was in place as the k-th, and asked otherwise.
    if (same_names && (!same_line || j != k))
      same_names = same_name(before.row[static_cast<size_t>(k)], row);
    // Only the counters this interface had at this position on the
    // previous pass can be differenced; otherwise the rates stay 0.0.
    if (same_line) {
      rates_since(*prev, row, e);
    } else {
      row.rate = {};
    }
  }
  return same_names;
}

}  // namespace flowtally
