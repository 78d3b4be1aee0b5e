// The monitor's passes over arbitrary text.  Input: one flag byte (bit 0
// line mode, bits 1-3 the elapsed time, bits 4-5 the size of the reads),
// then -i names separated by NUL bytes up to the first form feed, then the
// text of each pass, passes separated by form feeds.  The first pass's text
// is cut as it arrives a read at a time and must come out in the pieces
// fgets with a 1024-byte buffer cuts it into; each pass then lays out its
// rows.
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

// What the reference stream reads: a pass's text.
struct Source {
  const char* data;
  size_t size, at;
} source;

FZ_HARNESS ssize_t source_read(void*, char* buf, size_t n) {
  n = std::min(n, source.size - source.at);
  memcpy(buf, source.data + source.at, n);
  source.at += n;
  return static_cast<ssize_t>(n);
}

FZ_HARNESS int source_seek(void*, off64_t* offset, int whence) {
  const off64_t to = *offset + (whence == SEEK_CUR ? static_cast<off64_t>(source.at) : 0);
  if (whence == SEEK_END || to < 0 || static_cast<size_t>(to) > source.size) return -1;
  source.at = static_cast<size_t>(to);
  *offset = to;
  return 0;
}

FILE* stream;

// The text [at, end) taken in as read_text takes it, read_size bytes a read
// (in 8 reads at most: each looks again at the unfinished piece); checked:
// cut as fgets with a 1024-byte buffer cuts it.
FZ_HARNESS void take_in(const char* at, const char* end, size_t read_size, flowtally::Text& text,
                        bool checked) {
  const size_t size = std::min(static_cast<size_t>(end - at), text.bytes.size());
  memcpy(text.bytes.data(), at, size);
  read_size = std::max(read_size, size / 8 + 1);
  text.lines = 0;
  text.start[0] = 0;
  size_t used = 0;
  bool ended = false;
  while (!flowtally::cut_lines(text, used, ended)) {
    ended = used == size;
    used += std::min(read_size, size - used);
  }
  if (!checked) return;
  // fgets's reading, from a stream made once, as making one per input costs
  // more than the rest of the input's run.
  static char line[flowtally::line_room];
  source = {at, size, 0};
  if (fseek(stream, 0, SEEK_SET) != 0) abort();
  int k = 0;
  for (long from = 0; k < flowtally::max_lines && fgets(line, sizeof line, stream) != nullptr;
       ++k) {
    const auto len = static_cast<size_t>(ftell(stream) - from);
    const auto piece = static_cast<size_t>(k);
    if (text.start[piece + 1] - text.start[piece] != len ||
        memcmp(&text.bytes[text.start[piece]], line, len) != 0)
      abort();
    from += static_cast<long>(len);
  }
  if (text.lines != k) abort();
}

// (memchr is not instrumented: a search costs one call, not a call a byte.)
FZ_HARNESS const char* next_form_feed(const char* at, const char* end) {
  const void* ff = memchr(at, '\f', static_cast<size_t>(end - at));
  return ff != nullptr ? static_cast<const char*>(ff) : end;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Passes of a few lines reach all that a pass does but cut a line longer
  // than the line reader's room, which the unit tests do; longer inputs
  // only make each run slower.  libFuzzer reads its options after this, the
  // last of a kind winning: a -max_len given still holds.
  static std::vector<char*> args;
  static char max_len[] = "-max_len=512";
  args.assign(*argv, *argv + *argc);
  args.insert(args.begin() + 1, max_len);
  args.push_back(nullptr);
  *argv = args.data();
  *argc += 1;
  static char buffer[BUFSIZ];
  stream = fopencookie(nullptr, "r", {source_read, nullptr, source_seek, nullptr});
  if (stream == nullptr || setvbuf(stream, buffer, _IOFBF, sizeof buffer) != 0) abort();
  return 0;
}

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
  r.passes = 0;
  r.rows[0].n = r.rows[1].n = 0;
  r.opts.line_mode = (flags & 1) != 0;
  fz::Argv names(reinterpret_cast<const uint8_t*>(at), static_cast<size_t>(ff - at));
  for (int i = 0; i < names.argc(); ++i)
    if (!flowtally::filter_append(r.opts.filter, names.argv()[i])) abort();
  const uint64_t elapsed = elapsed_choices[(flags >> 1) & 7];
  for (uint64_t p = 0; p < 8 && ff != end; ++p) {
    at = ff + 1;
    ff = next_form_feed(at, end);
    // Each pass reads alike: the first is read in pieces and checked, the
    // others are read whole.
    take_in(at, ff, p == 0 ? read_sizes[(flags >> 4) & 3] : SIZE_MAX, text, p == 0);
    flowtally::take_in_pass(r, text, elapsed);
    char* written = flowtally::lay_out_report(r, elapsed, elapsed * p, out.data());
    written = flowtally::lay_out_footer(written, r.opts.line_mode);
    if (written < out.data() || written > out.data() + out.size()) abort();
    const flowtally::Rows& rows = r.rows[r.latest];
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
