#include "pegdir.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pegdir {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr std::string_view proc_dir = "/proc/";

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

}  // namespace

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

void strip_trailing_slashes(char* dir) {
  std::size_t len = strlen(dir);
  while (len > 0 && dir[len - 1] == '/') dir[--len] = '\0';
}

std::size_t entry_path_size(std::size_t dir_len, std::size_t prefix_len) {
  constexpr std::size_t fixed = 1 + digit_count + 2;
  if (dir_len > SIZE_MAX - fixed) return 0;
  std::size_t size = dir_len + fixed;
  if (prefix_len > SIZE_MAX - size) return 0;
  return size + prefix_len;
}

char* put_path_head(char* path, const char* dir, std::size_t dir_len,
                    const char* prefix, std::size_t prefix_len) {
  memcpy(path, dir, dir_len);
  path[dir_len] = '/';
  memcpy(path + dir_len + 1, prefix, prefix_len);
  return path + dir_len + 1 + prefix_len;
}

void put_number(char* at, std::uint32_t n) {
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

  std::size_t dir_len = strlen(opt.directory);
  std::size_t prefix_len = strlen(opt.prefix);
  std::size_t size = entry_path_size(dir_len, prefix_len);
  if (size == 0) return exit_failed;
  char* path = static_cast<char*>(calloc(size, 1));
  if (path == nullptr) return exit_failed;
  char* digits =
      put_path_head(path, opt.directory, dir_len, opt.prefix, prefix_len);

  const char* text = opt.data;
  if (!opt.dir_mode && text == nullptr) {
    char* buf = static_cast<char*>(calloc(link_text_size, 1));
    if (buf == nullptr) {
      free(path);
      return exit_failed;
    }
    put_parent_text(buf, static_cast<std::uint32_t>(getppid()));
    text = buf;
  }

  // No limit of our own: the number wraps after FFFFFFFF and goes on.
  for (std::uint32_t n = 0;; ++n) {
    put_number(digits, n);
    digits[digit_count] = '\0';
    if (claim(path, opt.dir_mode, text)) break;
    if (errno != EEXIST) return exit_failed;
  }
  digits[digit_count] = '\n';
  report(path, static_cast<std::size_t>(digits - path) + digit_count + 1);
  return exit_created;
}

}  // namespace pegdir
