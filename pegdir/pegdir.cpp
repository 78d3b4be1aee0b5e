#include "pegdir.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

namespace pegdir {

namespace {

// Exit statuses: scripts tell a held lock from a usage slip from a failure.
constexpr int exit_created = 0;
constexpr int exit_usage = 1;
constexpr int exit_failed = 2;

constexpr std::string_view usage_text =
    "Usage: pegdir [ -d ] [ -p prefix ] <directory> [data]\n";
constexpr char default_prefix[] = ".lock.";
constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr std::string_view proc_dir = "/proc/";

struct Options {
  bool dir_mode;       // -d: a directory instead of a symbolic link
  const char* prefix;  // placed in front of the number
  char* directory;     // the argument itself, in the process's argv
  const char* data;    // link text given by the caller, or null
};

[[noreturn]] void usage() {
  [[maybe_unused]] ssize_t n = write(2, usage_text.data(), usage_text.size());
  exit(exit_usage);
}

// The creating call is the only test for a free name: checking first and
// creating after would let two callers claim the same number.
bool claim(const char* path, bool dir_mode, const char* text) {
  if (dir_mode) return mkdir(path, 0700) == 0;
  return symlink(text, path) == 0;
}

// Once the entry exists the lock is held, so a reader that went away must
// not turn success into death by SIGPIPE.
void report(const char* line, std::size_t len) {
  signal(SIGPIPE, SIG_IGN);
  [[maybe_unused]] ssize_t n = write(1, line, len);
}

void strip_trailing_slashes(char* dir) {
  std::size_t len = strlen(dir);
  while (len > 0 && dir[len - 1] == '/') dir[--len] = '\0';
}

// Scans the arguments from the left; false on a usage error.
bool parse_args(int argc, char** argv, Options* opt) {
  opt->dir_mode = false;
  opt->prefix = default_prefix;
  opt->directory = nullptr;
  opt->data = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.empty() || arg[0] != '-') {
      opt->directory = argv[i];
      if (i + 1 < argc) opt->data = argv[i + 1];
      return true;
    }
    if (arg == "-d") {
      opt->dir_mode = true;
    } else if (arg == "-p") {
      if (i + 1 >= argc) return false;
      opt->prefix = argv[++i];
    }
  }
  return false;
}

}  // namespace

// Both strings are in memory already, so their lengths and the few bytes
// more cannot overflow the size.
char* entry_path(const char* dir, const char* prefix) {
  std::size_t dir_len = strlen(dir);
  std::size_t prefix_len = strlen(prefix);
  char* path = static_cast<char*>(calloc(dir_len + 1 + prefix_len + digit_count + 2, 1));
  if (path == nullptr) return nullptr;
  memcpy(path, dir, dir_len + 1);
  path[dir_len] = '/';
  memcpy(path + dir_len + 1, prefix, prefix_len + 1);
  return path;
}

void put_hex(char* at, std::uint32_t n) {
  for (unsigned i = 0; i < digit_count; ++i)
    at[i] = hex_digits[(n >> (4 * (digit_count - 1 - i))) & 0xFU];
}

void put_parent_text(char* buf, std::uint32_t pid) {
  memcpy(buf, proc_dir.data(), proc_dir.size());
  char* p = buf + proc_dir.size();
  // A parent outside our id namespace shows as 0; still name a process.
  if (pid == 0) *p++ = '0';
  bool started = false;
  for (std::uint32_t power = 1000000000; power != 0; power /= 10) {
    std::uint32_t digit = pid / power % 10;
    if (digit != 0) started = true;
    if (started) *p++ = static_cast<char>('0' + digit);
  }
  *p = '\0';
}

int run(int argc, char** argv) {
  Options opt;
  if (!parse_args(argc, argv, &opt)) usage();
  // An empty argument is most often an unset variable in a script; taken
  // as it stands it would put the lock in "/", where nobody looks for it.
  if (opt.directory[0] == '\0') return exit_failed;
  strip_trailing_slashes(opt.directory);

  char* path = entry_path(opt.directory, opt.prefix);
  if (path == nullptr) return exit_failed;
  char* digits = path + strlen(path);

  char parent[link_text_size];
  const char* text = opt.data;
  if (!opt.dir_mode && text == nullptr) {
    put_parent_text(parent, static_cast<std::uint32_t>(getppid()));
    text = parent;
  }

  // No limit of our own: the number wraps after FFFFFFFF and goes on.
  for (std::uint32_t n = 0;; ++n) {
    put_hex(digits, n);
    digits[digit_count] = '\0';
    if (claim(path, opt.dir_mode, text)) break;
    if (errno != EEXIST) return exit_failed;
  }
  digits[digit_count] = '\n';
  report(path, static_cast<std::size_t>(digits - path) + digit_count + 1);
  return exit_created;
}

}  // namespace pegdir
