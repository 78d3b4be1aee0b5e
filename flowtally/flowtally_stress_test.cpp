// The real monitor over many passes of statistics text whose lines change
// shape, order and length from pass to pass: every pass must still give one
// well-formed line with the rates of exactly the lines read, headed by a new
// header line whenever the names read change, and a line that keeps its
// place must keep exact rates.
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace {

constexpr int passes = 150;
constexpr int max_lines = 99;  // what one pass reads
const char* const anchor = "  anchor";

// The tokens after the first colon, as many as the monitor counts (20 at most).
int fields_of(const std::string& line) {
  size_t colon = line.find(':');
  int n = 0;
  bool in_token = false;
  for (size_t i = colon + 1; i < line.size() && n < 20; ++i) {
    bool delim = line[i] == ' ' || line[i] == '\t' || line[i] == '\n';
    if (!delim && !in_token) ++n;
    in_token = !delim;
  }
  return n;
}

// One pass's text: two heading lines, the anchor at position 2 with known
// counters, then a shuffled mix of interface lines of any name, field count
// and token, lines without a colon and blank lines; sometimes past 99 lines.
std::vector<std::string> pass_lines(std::mt19937& rng, int pass) {
  std::vector<std::string> lines = ts::lines_of(ts::stats_headings);
  for (auto& l : lines) l += "\n";
  const uint64_t bytes = 5000000 + 12345ULL * pass, packets = 7000 + 77ULL * pass;
  lines.push_back(std::string(anchor) + ": " + std::to_string(bytes) + " " +
                  std::to_string(packets) + " 0 0 0 0 0 0 " + std::to_string(bytes) + " " +
                  std::to_string(packets) + " 0 0 0 0 0 0\n");
  const char* tokens[] = {"0", "17", "4294967295", "18446744073709551615",
                          "99999999999999999999999", "-5", "0x1f", "abc", "12e3"};
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int count = 20 + pick(95);
  std::vector<std::string> rest;
  for (int i = 0; i < count; ++i) {
    int kind = pick(10);
    if (kind == 0) {
      rest.push_back("no colon on this line " + std::string(static_cast<size_t>(pick(500)), '#') + "\n");
    } else if (kind == 1) {
      rest.push_back("\n");
    } else {
      std::string line(static_cast<size_t>(pick(4)), ' ');
      line += std::string(static_cast<size_t>(1 + pick(35)), static_cast<char>('a' + pick(26)));
      if (pick(4) == 0) line += " x";  // a blank inside the name
      line += ":";
      for (int f = pick(26); f > 0; --f)
        line += std::string(pick(3) == 0 ? "\t" : " ") + tokens[pick(9)];
      rest.push_back(line + "\n");
    }
  }
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

TEST(StressRun, ShiftingStatisticsTextOverManyPasses) {
  REQUIRE_ENV(ts::is_root() && ts::have_command("unshare"), "root and unshare");
  ts::TempDir dir;
  std::mt19937 rng(20240611);
  std::vector<std::vector<std::string>> texts;
  for (int p = 0; p < passes; ++p) {
    texts.push_back(pass_lines(rng, p));
    std::string text;
    for (const auto& l : texts.back()) text += l;
    ts::write_file(dir.path + (p == 0 ? "/dev" : "/dev." + std::to_string(p)), text);
  }
  // Passes start 500 ms apart: the monotonic clock is read at each pass's
  // start and end, the wall clock once a pass.
  std::vector<std::string> env = {ts::shim_env(), "SHIM_MONO_MS=1000000,1000250",
                                  "SHIM_CLOCK_MS=1700000000000,1700000000500",
                                  "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes),
                                  "SHIM_SWAP_DIR=" + dir.path};
  ts::Result r = ts::run(ts::with_net_fixture(dir.path, env, {FLOWTALLY_BIN, "-l", "1"}));
  ASSERT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> out = ts::lines_of(r.out);

  // The header line that names the interfaces among the lines a pass reads.
  auto header_of = [](const std::vector<std::string>& text) {
    std::string header = "#   time   ";
    for (int i = 0; i < max_lines && i < static_cast<int>(text.size()); ++i) {
      const std::string& l = text[static_cast<size_t>(i)];
      size_t colon = l.find(':');
      if (colon == std::string::npos) continue;
      size_t name = l.find_first_not_of(" \t");
      header += l.substr(name, colon - name) + "(ikb ipk okb opk) ";
    }
    return header;
  };
  size_t at = 0;
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[at++], header_of(texts[0]));

  const std::regex rate("[0-9]+\\.[0-9]");
  for (int p = 1; p < passes; ++p) {
    SCOPED_TRACE("pass " + std::to_string(p));
    const auto& text = texts[static_cast<size_t>(p)];
    std::string header = header_of(text);
    if (header != header_of(texts[static_cast<size_t>(p - 1)])) {
      ASSERT_LT(at, out.size());
      EXPECT_EQ(out[at++], header);
    }
    ASSERT_LT(at, out.size());
    const std::string& line = out[at++];
    size_t want_rates = 0;
    for (int i = 0; i < max_lines && i < static_cast<int>(text.size()); ++i) {
      const std::string& l = text[static_cast<size_t>(i)];
      if (l.find(':') == std::string::npos) continue;
      int n = fields_of(l);
      for (int k : {0, 1, 8, 9}) want_rates += k < n;
    }
    // The time, then a blank-separated rate for each field read.
    ASSERT_GE(line.size(), 10u);
    EXPECT_EQ(line.substr(0, 10), std::to_string(1700000000 + p / 2));
    std::vector<std::string> items;
    for (size_t from = 10; from < line.size();) {
      size_t sp = line.find(' ', from);
      if (sp == std::string::npos) sp = line.size();
      if (sp > from) items.push_back(line.substr(from, sp - from));
      from = sp + 1;
    }
    ASSERT_EQ(items.size(), want_rates) << line;
    for (const auto& item : items) EXPECT_TRUE(std::regex_match(item, rate)) << item;
    // The anchor moved 12345 bytes and 77 packets each way in 500 ms.
    EXPECT_EQ(std::vector<std::string>(items.begin(), items.begin() + 4),
              (std::vector<std::string>{"197.5", "154.0", "197.5", "154.0"}));
  }
  EXPECT_EQ(at, out.size());
}

}  // namespace
