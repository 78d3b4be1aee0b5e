// The monitor's passes over arbitrary text.  Input: one flag byte (bit 0
// line mode, bits 1-3 the elapsed time, bits 4-5 the size of the reads),
// then -i names separated by NUL bytes up to the first form feed, then the
// text of each pass, passes separated by form feeds.  Each pass's text is
// cut as it arrives a read at a time and must come out in the pieces fgets
// with a 1024-byte buffer cuts it into; then the pass lays out its rows.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "monitor.h"

namespace {

constexpr uint64_t elapsed_choices[] = {0, 1, 7, 40, 1000, 3000, 60000, UINT64_MAX};
constexpr size_t read_sizes[] = {1, 7, 300, SIZE_MAX};

// The text [at, end) taken in as read_text takes it, read_size bytes a read
// (in 48 reads at most: each looks again at the unfinished piece); checked:
// cut as fgets with a 1024-byte buffer cuts it.
void take_in(const char* at, const char* end, size_t read_size, flowtally::Text& text, bool checked) {
  const size_t size = std::min(static_cast<size_t>(end - at), text.bytes.size());
  memcpy(text.bytes.data(), at, size);
  read_size = std::max(read_size, size / 48 + 1);
  text.pieces = 0;
  text.start[0] = 0;
  size_t used = 0;
  bool ended = false;
  while (!flowtally::cut_pieces(text, used, ended)) {
    ended = used == size;
    used += std::min(read_size, size - used);
  }
  if (!checked) return;
  // fgets's reading, its buffers kept from input to input.
  static char copy[sizeof text.bytes], stream_buffer[BUFSIZ], line[flowtally::line_room];
  memcpy(copy, at, size);
  int k = 0;
  if (FILE* f = fmemopen(copy, size, "r"); f != nullptr) {  // not for an empty text
    setvbuf(f, stream_buffer, _IOFBF, sizeof stream_buffer);
    for (long from = 0; k < flowtally::max_lines && fgets(line, sizeof line, f) != nullptr; ++k) {
      const auto len = static_cast<size_t>(ftell(f) - from);
      const size_t piece = static_cast<size_t>(k);
      if (text.start[piece + 1] - text.start[piece] != len ||
          memcmp(&text.bytes[text.start[piece]], line, len) != 0)
        abort();
      from += static_cast<long>(len);
    }
    fclose(f);
  }
  if (text.pieces != k) abort();
}

// (memchr is not instrumented: a search costs one call, not a call a byte.)
const char* next_form_feed(const char* at, const char* end) {
  const void* ff = memchr(at, '\f', static_cast<size_t>(end - at));
  return ff != nullptr ? static_cast<const char*>(ff) : end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const char* const end = reinterpret_cast<const char*>(data) + size;
  const char* at = reinterpret_cast<const char*>(data) + 1;
  const char* ff = next_form_feed(at, end);

  // Large: kept from input to input, and made afresh as a run starts.
  static flowtally::Run r;
  static flowtally::Text text;
  static flowtally::Output out;
  r.opts = {};
  r.first_pass = true;
  r.rows[0].n = r.rows[1].n = 0;
  r.opts.line_mode = (flags & 1) != 0;
  if (ff != at) {
    for (const auto& n : fz::split_at_nul(reinterpret_cast<const uint8_t*>(at),
                                          static_cast<size_t>(ff - at)))
      if (!flowtally::filter_append(r.opts.filter, fz::exact_copy(n).get())) abort();
  }
  const uint64_t elapsed = elapsed_choices[(flags >> 1) & 7];
  for (uint64_t p = 0; p < 8 && ff != end; ++p) {
    at = ff + 1;
    ff = next_form_feed(at, end);
    // Each pass reads alike: the first is checked, a stream being costly.
    take_in(at, ff, read_sizes[(flags >> 4) & 3], text, p == 0);
    char* written = flowtally::lay_out_pass(r, text, elapsed, elapsed * p, out.data());
    written = flowtally::lay_out_footer(written, r.opts.line_mode);
    if (written < out.data() || written > out.data() + out.size()) abort();
    const flowtally::Rows& rows = r.rows[static_cast<size_t>(r.now ^ 1)];
    for (int k = 0; k < rows.n; ++k) {
      const flowtally::Row& row = rows.row[static_cast<size_t>(k)];
      if (row.counters < 0 || row.counters > 4 || row.name_len > flowtally::name_max) abort();
      for (const auto& rate : row.rate)
        if (rate.tenths > 9) abort();
    }
  }
  free(r.opts.filter.list);
  return 0;
}
