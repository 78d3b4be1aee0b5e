// peak_rss COMMAND [ARG]...: runs the command and prints, in KiB, the peak
// resident size (VmHWM) of the program the command finally executes, read at
// its exit, and the part of its resident size then that is its own rather
// than shared file pages (RssAnon).  The figure is taken from the process while it still has its
// memory, so whatever ran under the same id before the last exec (a shell,
// unshare, env) does not count, as it would in the ru_maxrss of wait4.
// Children the program forks are not followed.  The command's standard
// output goes to /dev/null, so that only the figure reaches ours.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

struct Rss {
  long peak = -1, anon = -1;
};

Rss rss_kib(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  Rss r;
  FILE* f = fopen(path, "r");
  if (f == nullptr) return r;
  char line[256];
  while (fgets(line, sizeof line, f) != nullptr) {
    sscanf(line, "VmHWM: %ld kB", &r.peak);
    sscanf(line, "RssAnon: %ld kB", &r.anon);
  }
  fclose(f);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: peak_rss COMMAND [ARG]...\n", stderr);
    return 2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int st = 0;
  // The first stop is the exec of the command.
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFSTOPPED(st)) return 2;
  ptrace(PTRACE_SETOPTIONS, pid, nullptr,
         reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
  Rss rss;
  int deliver = 0;
  while (ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver))) ==
             0 &&
         waitpid(pid, &st, 0) == pid && WIFSTOPPED(st)) {
    deliver = 0;
    int event = st >> 16;
    if (event == PTRACE_EVENT_EXIT)
      rss = rss_kib(pid);
    else if (event == 0 && WSTOPSIG(st) != SIGTRAP)
      deliver = WSTOPSIG(st);  // the program's own signals go through
  }
  // The loop ends when the process has gone (or tracing failed).
  if (!WIFEXITED(st) && !WIFSIGNALED(st)) waitpid(pid, &st, 0);
  if (rss.peak < 0 || rss.anon < 0) return 1;
  printf("%ld %ld\n", rss.peak, rss.anon);
  return 0;
}
