// Turns a pass's statistics text into rows and rates: the filter list, the
// wanted interfaces' counters, and their rates against the previous pass's
// rows.  It prints nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace flowtally {

constexpr int max_lines = 99;
// A report shows fields 0, 1, 8 and 9 of a line (counted from 0), so a
// line is read to its tenth field; the fields after it change nothing.
constexpr int fields_read = 10;
// The text is cut into lines as fgets with a buffer of line_room bytes
// reads it: a line ends after its newline, and one too long for the buffer
// with its string end comes in pieces of line_max bytes, each a line.
constexpr size_t line_room = 1024;
constexpr size_t line_max = line_room - 1;
// A name and its colon fill a line at most.
constexpr size_t name_max = line_max - 1;

// Whether the target loads a word from any address in one instruction, as
// x86 and ARMv6 and later do.  ARMv5 cannot: there a word read from an
// address the compiler cannot prove aligned is four byte loads, and a copy
// of one a call to memcpy.  Where it cannot, the pass reads its text and
// names a word at a time at aligned addresses alone, which its own buffers
// allow.  FLOWTALLY_ALIGNED_WORDS takes that path on any build, so that the
// sanitizer and fuzz builds test it on the build machine too.
#if (defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)) || defined(FLOWTALLY_ALIGNED_WORDS)
constexpr bool unaligned_loads = false;
#else
constexpr bool unaligned_loads = true;
#endif

// ",name1,name2," or absent: every interface is wanted.
struct Filter {
  char* list = nullptr;
  size_t len = 0;
};

// Appends a name to the filter list; false when memory ran out.
bool filter_append(Filter& f, const char* name);

// A line is read a word at a time where it can be, as far as a word
// reaches past its end: the room that must follow a line.
constexpr size_t word_room = sizeof(size_t) - 1;

// The boards and the build machine are little-endian: the first of a
// word's characters is its lowest byte.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// A word that may be read from any object: where loads must be aligned,
// the sanitizers check that each read is.
using Word [[gnu::may_alias]] = size_t;

// The word at p, which must be aligned where loads must be.
[[gnu::always_inline]] inline size_t word_at(const char* p) {
  if constexpr (!unaligned_loads) return *reinterpret_cast<const Word*>(p);
  size_t w;
  memcpy(&w, p, sizeof w);
  return w;
}

// A word whose every byte is c.
constexpr size_t every_byte(char c) { return ~size_t{0} / 0xFF * static_cast<unsigned char>(c); }

// The bytes of w that are c, as the top bit of each: exact up to the first
// such byte, which is all the word-at-a-time reading asks of it.
[[gnu::always_inline]] inline size_t bytes_of(size_t w, char c) {
  const size_t x = w ^ every_byte(c);
  return (x - every_byte(1)) & ~x & every_byte('\x80');
}

// Where words load at aligned addresses alone, the text is searched for
// newlines a block of four words at a time, as far as a block reaches past
// a line's end.
constexpr size_t search_block = 4 * sizeof(size_t);

// The statistics text of one pass, as read, and where its lines start.
// (The text comes last: only as much of it as is read is ever touched.)
struct Text {
  std::array<size_t, max_lines + 1> start;  // line k: [start[k], start[k + 1])
  int lines;
  // The longest lines there can be, and room after the last for a word or
  // a search block, whichever is read.
  alignas(sizeof(size_t)) std::array<char, max_lines * line_max + search_block> bytes;
};

// A rate to one decimal: its whole part and its tenths digit.
struct Rate {
  uint64_t whole = 0;
  uint32_t tenths = 0;
};

// A wanted interface's line of a pass.
struct Row {
  int pos = 0;                 // its line position
  const char* name = nullptr;  // in its pass's names, not ended by a string end
  size_t name_len = 0;
  // Fields 0, 1, 8 and 9, as far as the line has them: a line has the first
  // `counters` of the four, and as many rates, in the order receive
  // kilobits, receive packets, transmit kilobits, transmit packets.
  int counters = 0;
  std::array<uint64_t, 4> counter{};
  std::array<Rate, 4> rate{};
};

// A pass's wanted interfaces in the text's order, and their names.
struct Rows {
  int n = 0;
  std::array<Row, max_lines> row{};
  // Where words load at aligned addresses alone, each name starts at an
  // aligned address.
  static constexpr size_t name_gap = unaligned_loads ? 0 : sizeof(size_t) - 1;
  // (Room for every name but one at its longest, each with its gap, and
  // for the last line a name is copied from, a word at a time, before it
  // is known to be one.)
  alignas(sizeof(size_t))
      std::array<char, (max_lines - 1) * (name_max + name_gap) + line_max + word_room> names{};
};

// strtoull's reading of a token in base 10 (blanks, a sign, digits; values
// too large saturate) into value; returns where the reading stopped.  The
// token is followed by word_room bytes.  (Inline: each line has four.)
[[gnu::always_inline]] inline const char* read_token(const char* token, uint64_t& value) {
  const char* p = token;
  bool negative = false;
  // Blanks that do not end a token, and a sign, rarely lead its digits.
  if (static_cast<unsigned char>(*p - '0') >= 10) {
    while (*p == '\v' || *p == '\f') ++p;
    negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
  }
  const char* const digits = p;
  uint32_t head = 0;
  // Four digits at a time while they come in fours (little-endian: the first
  // is the lowest byte).  A digit's high half is 3, and stays 3 once 6 is
  // added; the pairs then the four are formed by multiplications.  (Where
  // words load at aligned addresses alone, putting one together from a
  // token's bytes costs what the digits' own loop does.)
  if constexpr (unaligned_loads) {
    for (uint32_t w; memcpy(&w, p, 4),
                     ((w & 0xF0F0F0F0U) | ((w + 0x06060606U) & 0xF0F0F0F0U) >> 4) == 0x33333333U;
         p += 4) {
      w &= 0x0F0F0F0FU;
      w = w * 10 + (w >> 8);
      head = head * 10000 + (((w & 0x00FF00FFU) * (1 + (100U << 16))) >> 16);
    }
  }
  for (uint32_t d = static_cast<unsigned char>(*p) - 48U; d < 10;
       d = static_cast<unsigned char>(*++p) - 48U)
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

// This pass's lines into rows.
void read_rows(const Filter& f, const Text& text, Rows& rows);

// The rates of this pass's rows against the previous pass's rows, elapsed_ms
// after them.  True when the names of the interfaces shown are, in order,
// the previous pass's.
bool work_out_rates(const Rows& before, Rows& now, uint64_t elapsed_ms);

}  // namespace flowtally
