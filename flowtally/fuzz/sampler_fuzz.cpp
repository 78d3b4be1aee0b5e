// The monitor's passes over arbitrary text.  Input: one flag byte (bit 0
// line mode, bits 1-3 the elapsed time, bits 4-5 the size of the reads),
// then -i names separated by NUL bytes up to the first form feed, then the
// text of each pass, passes separated by form feeds.  Each pass's text is
// read once through a socket a chunk per read, and must come out in the
// pieces fgets with a 1024-byte buffer cuts it into; then the pass itself
// runs over it, read from a file.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_input.h"
#include "monitor.h"

namespace {

constexpr uint64_t elapsed_choices[] = {0, 1, 7, 40, 1000, 3000, 60000, UINT64_MAX};
constexpr size_t read_sizes[] = {1, 7, 300, SIZE_MAX};

// The pieces of text as fgets hands them out, at most max_lines of them.
std::vector<std::string> fgets_pieces(std::string& text) {
  std::vector<std::string> v;
  FILE* f = fmemopen(text.data(), text.size(), "r");
  if (f == nullptr) return v;  // fmemopen refuses an empty text
  char line[flowtally::line_room];
  long at = 0;
  while (v.size() < flowtally::max_lines && fgets(line, sizeof line, f) != nullptr) {
    long next = ftell(f);
    v.push_back(text.substr(static_cast<size_t>(at), static_cast<size_t>(next - at)));
    at = next;
  }
  fclose(f);
  return v;
}

void check_pieces(std::string& text, size_t read_size) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) abort();
  // Few enough messages that the socket's buffer takes them all.
  size_t chunk = std::max(read_size, text.size() / 48 + 1);
  bool sent = true;
  for (size_t at = 0; at < text.size() && sent; at += chunk) {
    size_t n = std::min(chunk, text.size() - at);
    sent = send(sv[1], text.data() + at, n, MSG_DONTWAIT) == static_cast<ssize_t>(n);
  }
  shutdown(sv[1], SHUT_WR);
  static flowtally::Text got;
  if (sent) {
    flowtally::read_text(sv[0], got);
    std::vector<std::string> want = fgets_pieces(text);
    if (static_cast<size_t>(got.pieces) != want.size()) abort();
    for (size_t k = 0; k < want.size(); ++k)
      if (std::string(&got.bytes[got.start[k]], got.start[k + 1] - got.start[k]) != want[k]) abort();
  }
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The report's text is not checked here.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t ff = rest.find('\f');
  std::string names = rest.substr(0, ff);
  std::string text = ff == std::string::npos ? "" : rest.substr(ff + 1);

  auto s = std::make_unique<flowtally::Sampler>();
  if (!names.empty()) {
    for (const auto& n : fz::split_at_nul(reinterpret_cast<const uint8_t*>(names.data()),
                                          names.size()))
      if (!flowtally::filter_append(*s, fz::exact_copy(n).get())) abort();
  }

  flowtally::PassState pass;
  pass.line_mode = (flags & 1) != 0;
  pass.elapsed_ms = elapsed_choices[(flags >> 1) & 7];
  size_t at = 0;
  for (int p = 0; p < 8 && at <= text.size(); ++p) {
    size_t next = text.find('\f', at);
    std::string pass_text = text.substr(at, next == std::string::npos ? next : next - at);
    at = next == std::string::npos ? text.size() + 1 : next + 1;

    check_pieces(pass_text, read_sizes[(flags >> 4) & 3]);
    int fd = memfd_create("dev", 0);
    if (fd < 0) abort();
    if (write(fd, pass_text.data(), pass_text.size()) != static_cast<ssize_t>(pass_text.size()))
      abort();
    lseek(fd, 0, SEEK_SET);
    pass.start_ms += pass.elapsed_ms;
    if (!flowtally::run_pass(*s, fd, pass)) abort();
    close(fd);
    for (int i = 0; i < s->shown_count; ++i) {
      const flowtally::Shown& row = s->shown[static_cast<size_t>(i)];
      if (row.rates < 0 || row.rates > 4 || row.name_len > flowtally::max_name_len) abort();
      for (const auto& r : row.rate)
        if (r.tenths > 9) abort();
    }
    pass.first_pass = false;
  }
  free(s->filter);
  return 0;
}
