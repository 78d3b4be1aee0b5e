// The statistics-line sampler over several passes of arbitrary text.
// Input: one flag byte (bit 0 line mode, bits 1-3 the elapsed time), then
// -i names separated by NUL bytes up to the first form feed, then the text
// of each pass, passes separated by form feeds.  Lines are cut by fgets
// into a 1024-byte buffer exactly as the monitor reads them, so lines of
// thousands of bytes arrive in pieces and NUL bytes end a line's string.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_input.h"
#include "monitor.h"

namespace {

constexpr uint64_t elapsed_choices[] = {0, 1, 7, 40, 1000, 3000, 60000, UINT64_MAX};
constexpr int max_passes = 8;
constexpr int line_buffer_size = 1024;  // the monitor's fgets buffer

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The sampler prints with printf; the report's text is not checked here.
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
  for (int p = 0; p < max_passes && at <= text.size(); ++p) {
    size_t next = text.find('\f', at);
    std::string pass_text = text.substr(at, next == std::string::npos ? next : next - at);
    at = next == std::string::npos ? text.size() + 1 : next + 1;

    pass.start_ms += pass.elapsed_ms;
    flowtally::print_pass_header(pass);
    flowtally::begin_pass(*s);
    FILE* f = fmemopen(pass_text.data(), pass_text.size(), "r");
    if (f == nullptr) continue;  // an empty pass: fmemopen refuses size 0
    char line[line_buffer_size];
    for (int pos = 0; pos < flowtally::max_lines && fgets(line, line_buffer_size, f) != nullptr;
         ++pos)
      flowtally::sample_line(*s, fz::exact_copy(line).get(), pos, pass);
    fclose(f);
    flowtally::print_pass_footer(pass.line_mode);
    pass.first_pass = false;
  }
  free(s->filter);
  return 0;
}
