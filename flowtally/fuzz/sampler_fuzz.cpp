// The monitor's passes over arbitrary text.  Input: one flag byte (bit 0
// line mode, bits 1-3 the elapsed time, bits 4-5 the size of the reads),
// then -i names separated by NUL bytes up to the first form feed, then the
// text of each pass, passes separated by form feeds.  The first pass reads
// its text from a socket a read at a time, and must cut it into the pieces
// fgets with a 1024-byte buffer cuts it into; a socket cannot be rewound,
// so that pass's report has no footer.  The later passes read a file.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "monitor.h"

namespace {

constexpr uint64_t elapsed_choices[] = {0, 1, 7, 40, 1000, 3000, 60000, UINT64_MAX};
constexpr size_t read_sizes[] = {1, 7, 300, SIZE_MAX};

// The first pass's text arrives at pieces[0] a packet a read, and the read
// that finds none ends it; the later passes' is the file's.
int pieces[2], file;

// Checks that text holds [at, at + size) cut as fgets with a 1024-byte
// buffer cuts it.
FZ_HARNESS void check_cut_as_fgets(const char* at, size_t size, const flowtally::Text& text) {
  FILE* stream = fmemopen(const_cast<char*>(at), size, "r");
  if (stream == nullptr) abort();
  static char line[flowtally::line_room];
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
  fclose(stream);
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
  file = memfd_create("dev", 0);
  if (file < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pieces) != 0 ||
      fcntl(pieces[0], F_SETFL, O_NONBLOCK) != 0)
    abort();
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
    const size_t size = std::min(static_cast<size_t>(ff - at), text.bytes.size());
    if (p == 0) {
      // In 8 reads at most: each looks again at the unfinished piece.
      const size_t read_size = std::max(read_sizes[(flags >> 4) & 3], size / 8 + 1);
      for (size_t from = 0; from < size; from += read_size)
        if (send(pieces[1], at + from, std::min(read_size, size - from), 0) < 0) abort();
    } else if (pwrite(file, at, size, 0) != static_cast<ssize_t>(size) ||
               ftruncate(file, static_cast<off_t>(size)) != 0) {
      abort();
    }
    const flowtally::Laid laid =
        flowtally::pass(r, p == 0 ? pieces[0] : file, text, elapsed, elapsed * p, out.data());
    if (laid.rewound != (p > 0) || laid.end < out.data() || laid.end > out.data() + out.size())
      abort();
    if (p == 0) {
      check_cut_as_fgets(at, size, text);
      // What a pass of 99 lines left unread.
      while (recv(pieces[0], out.data(), out.size(), MSG_DONTWAIT) > 0) continue;
    }
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
