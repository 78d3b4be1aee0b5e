/*
 * LD_PRELOAD shim for the end-to-end tests: it lets a test drive the real,
 * unmodified programs quickly and deterministically.  Every feature is off
 * unless its variable is set in the environment of the process under test.
 *
 *   SHIM_CLOCK_MS=a,b,c    gettimeofday returns these milliseconds in turn
 *                          (a.n: n nanoseconds into millisecond a); past
 *                          the list it keeps adding the last step
 *   SHIM_MONO_MS=a,b,c     the same for clock_gettime's CLOCK_MONOTONIC
 *   SHIM_SLEEP_MS=n        sleep and usleep really sleep n ms (default: none)
 *   SHIM_STOP_AFTER_SLEEPS=n  the n-th sleep/usleep exits the process with
 *                          status 99 through exit(), which flushes stdio
 *   SHIM_SWAP_DIR=d        the k-th sleep copies d/dev.k, if there is one,
 *                          over d/dev (the kernel's counters moving on)
 *   SHIM_TOUCH=path        every sleep appends one byte to path
 *   SHIM_TOUCH_TIME=path   the k-th sleep sets path's access and
 *                          modification times to k seconds past 2040
 *                          (beyond a 32-bit time)
 *   SHIM_UNLINK=path       the SHIM_UNLINK_AT-th sleep (default 1) removes it
 *   SHIM_RAISE_BEFORE_SETSID=sig  setsid first sends sig to the caller, as
 *                          a hangup arriving just before it would
 *   SHIM_FAIL_FORK_AT=n    the n-th fork fails with EAGAIN
 *   SHIM_FAIL_WAITPID_AT=n the n-th waitpid reaps the child but fails with
 *                          ECHILD, as if something else had reaped it
 *   SHIM_FAIL_BRK_AT=n     the n-th brk fails with ENOMEM
 *   SHIM_SPOIL_BRK_AT=n    the n-th brk that raises the break succeeds, but
 *                          its new pages fault when touched (memory all gone)
 *   SHIM_FAIL_ALLOC_AT=n   the n-th malloc/calloc/realloc returns NULL
 *   SHIM_FAIL_WRITE_FD=n   one-byte writes to descriptor n fail with EIO
 *                          after SHIM_FAIL_WRITE_AFTER successes,
 *                          SHIM_FAIL_WRITE_TIMES times (default: for ever)
 *   SHIM_IGNORE_SIGNAL=sig the program starts with sig ignored, as a
 *                          launcher may leave it
 *   SHIM_NO_ARGS=1         main gets no arguments, not even the program's
 *                          name (argc 0), as kernels before 5.18 start a
 *                          program executed with an empty list
 *   SHIM_NO_CLOSE_RANGE=1  the close_range system call fails with ENOSYS, as
 *                          on kernels before 5.9, however it is made
 *   SHIM_GATE_FD=n         before main, wait until descriptor n reads end of
 *                          file, then close it: a gate that releases many
 *                          started programs at once
 *   SHIM_LOG=path          appends a line per event: "sleep N", "usleep N",
 *                          "fork", "brk N" (how far it asks to move the
 *                          break), "malloc", "calloc", "realloc", "open PATH",
 *                          "stat PATH", and "exit" when a process ends
 *                          through the library's exit (not _exit)
 *
 * Counters are per process; a forked child carries on from its parent's.
 * A 32-bit program built with 64-bit time calls the __*64 twins of the
 * clocks and of stat, which the shim defines beside the plain calls: it is
 * built without 64-bit time itself, so that each name means itself.
 */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdarg.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__interceptor_malloc(size_t) __attribute__((weak));
extern void *__interceptor_calloc(size_t, size_t) __attribute__((weak));
extern void *__interceptor_realloc(void *, size_t) __attribute__((weak));

static int armed;
static long sleeps, forks, waits, brks, raises, one_byte_writes, failed_writes, allocs;

/* A decimal number with an optional minus sign, read by hand: the C
 * library's reading would bring its code and locale tables into memory,
 * which the budgets would then charge to the program under test. */
static long long read_number(const char *s, const char **end)
{
	const char *digits = s + (*s == '-'), *p = digits;
	long long v = 0;

	while (*p >= '0' && *p <= '9')
		v = v * 10 + (*p++ - '0');
	*end = p == digits ? s : p;
	return *s == '-' ? -v : v;
}

static long env_long(const char *name, long dflt)
{
	const char *s = getenv(name), *end;

	return s == NULL || *s == '\0' ? dflt : (long)read_number(s, &end);
}

/* v in decimal at buf, no string end; returns its length. */
static size_t put_decimal(char *buf, long long v)
{
	unsigned long long u = v < 0 ? -(unsigned long long)v : (unsigned long long)v;
	char tmp[24];
	size_t n = 0, i = v < 0;

	do
		tmp[n++] = (char)('0' + u % 10);
	while ((u /= 10) != 0);
	buf[0] = '-';
	while (n > 0)
		buf[i++] = tmp[--n];
	return i;
}

/* The shim's own files and output bypass the calls it interposes. */
static int raw_open(const char *path, int flags)
{
	return (int)syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0644);
}

static void raw_write(int fd, const void *buf, size_t n)
{
	(void)syscall(SYS_write, fd, buf, n);
}

static void append(const char *path, const char *bytes, size_t n)
{
	int fd = raw_open(path, O_WRONLY | O_APPEND | O_CREAT);

	if (fd >= 0) {
		raw_write(fd, bytes, n);
		close(fd);
	}
}

/* "what" or "what arg" as a line of the log.  Raw system calls and static
 * buffers only: the log must work inside malloc, after the program closed
 * its standard descriptors, and without growing the program's stack. */
static void log_event(const char *what, const char *arg)
{
	static char line[512];
	const char *path = getenv("SHIM_LOG");
	size_t n = strlen(what), k = arg != NULL ? strlen(arg) : 0;
	int saved = errno;

	if (path == NULL)
		return;
	memcpy(line, what, n);
	if (arg != NULL) {
		if (k > sizeof line - n - 2)
			k = sizeof line - n - 2;
		line[n++] = ' ';
		memcpy(line + n, arg, k);
		n += k;
	}
	line[n++] = '\n';
	append(path, line, n);
	errno = saved;
}

static void log_number(const char *what, long long v)
{
	char arg[24];

	arg[put_decimal(arg, v)] = '\0';
	log_event(what, arg);
}

/* The real call, looked up when first needed: another library's constructor
 * may call it before the shim's own constructor ran. */
static void *real_call(void **known, const char *name)
{
	if (*known == NULL)
		*known = dlsym(RTLD_NEXT, name);
	return *known;
}
#define REAL(name) ((__typeof__(&name))real_call(&real_##name, #name))
static void *real_fork, *real_waitpid, *real_setsid, *real_brk, *real_write, *real_open,
	*real_open64, *real_stat, *real_stat64, *real___xstat, *real___xstat64, *real_clock_gettime,
	*real___libc_start_main;

/* Logs a program allocation; true when this one is scripted to fail. */
static int alloc_fails(const char *what)
{
	log_event(what, NULL);
	if (++allocs != env_long("SHIM_FAIL_ALLOC_AT", 0))
		return 0;
	errno = ENOMEM;
	return 1;
}

/* In a program built with AddressSanitizer (which then runs with the shim
 * ahead of its runtime) allocations go on to ASan's allocator, since ASan's
 * free is the one the program calls. */
#define ALLOCATOR(name, params, args)                                              \
	void *name params                                                          \
	{                                                                          \
		if (armed && alloc_fails(#name))                                    \
			return NULL;                                                \
		return __interceptor_##name != NULL ? __interceptor_##name args    \
						    : __libc_##name args;             \
	}
ALLOCATOR(malloc, (size_t size), (size))
ALLOCATOR(calloc, (size_t n, size_t size), (n, size))
ALLOCATOR(realloc, (void *p, size_t size), (p, size))

/* The k-th sleep puts dir/dev.k, if there is one, in place of dir/dev. */
static void swap_text(const char *dir)
{
	static char path[4096], buf[4096];
	size_t n = strlen(dir);
	ssize_t got;
	int in, out;

	if (n + 32 > sizeof path)
		return;
	memcpy(path, dir, n);
	memcpy(path + n, "/dev.", 5);
	path[n + 5 + put_decimal(path + n + 5, sleeps)] = '\0';
	if ((in = raw_open(path, O_RDONLY)) < 0)
		return;
	path[n + 4] = '\0';
	if ((out = raw_open(path, O_WRONLY | O_TRUNC)) >= 0) {
		while ((got = read(in, buf, sizeof buf)) > 0)
			raw_write(out, buf, (size_t)got);
		close(out);
	}
	close(in);
}

/* 32-bit systems name the call that takes 64-bit times apart. */
#ifndef SYS_utimensat_time64
#define SYS_utimensat_time64 SYS_utimensat
#endif

static void between_passes(const char *what, long long arg)
{
	const char *dir = getenv("SHIM_SWAP_DIR"), *touch = getenv("SHIM_TOUCH");
	const char *retime = getenv("SHIM_TOUCH_TIME"), *doomed = getenv("SHIM_UNLINK");
	long stop = env_long("SHIM_STOP_AFTER_SLEEPS", 0), ms = env_long("SHIM_SLEEP_MS", 0);

	log_number(what, arg);
	++sleeps;
	if (dir != NULL)
		swap_text(dir);
	if (touch != NULL)
		append(touch, "x", 1);
	if (retime != NULL) {
		/* The kernel's 64-bit record, whatever the shim's own time is. */
		long long at = 2208988800LL + sleeps, times[4] = { at, 0, at, 0 };
		syscall(SYS_utimensat_time64, AT_FDCWD, retime, times, 0);
	}
	if (doomed != NULL && sleeps == env_long("SHIM_UNLINK_AT", 1))
		unlink(doomed);
	if (stop > 0 && sleeps >= stop)
		exit(99);
	if (ms > 0) {
		struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };
		nanosleep(&ts, NULL);
	}
}

unsigned int sleep(unsigned int seconds)
{
	between_passes("sleep", seconds);
	return 0;
}

int usleep(useconds_t usec)
{
	between_passes("usleep", usec);
	return 0;
}

/* A clock's script, read from its variable at the clock's first call. */
struct clock_script {
	const char *var;
	long long ns[64];
	long n, calls; /* n < 0: not read yet */
};
static struct clock_script wall_script = { "SHIM_CLOCK_MS", { 0 }, -1, 0 };
static struct clock_script mono_script = { "SHIM_MONO_MS", { 0 }, -1, 0 };

/* Nanoseconds of the scripted clock for this call, or -1 for the real one. */
static long long scripted_ns(struct clock_script *s)
{
	long long ns;

	if (s->n < 0) {
		const char *p = getenv(s->var), *end;
		for (s->n = 0; p != NULL && s->n < 64; s->n++, p = *end == ',' ? end + 1 : end) {
			s->ns[s->n] = read_number(p, &end) * 1000000;
			if (end == p)
				break;
			if (*end == '.')
				s->ns[s->n] += read_number(end + 1, &end);
		}
	}
	if (s->n == 0)
		return -1;
	if (s->calls < s->n) {
		ns = s->ns[s->calls];
	} else {
		long long step = s->n >= 2 ? s->ns[s->n - 1] - s->ns[s->n - 2] : 1000000000;
		ns = s->ns[s->n - 1] + step * (s->calls - s->n + 1);
	}
	s->calls++;
	return ns;
}

static long long wall_ns(void)
{
	long long ns = scripted_ns(&wall_script);
	struct timespec ts;

	if (ns >= 0)
		return ns;
	clock_gettime(CLOCK_REALTIME, &ts);
	return (long long)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* Each clock and its 64-bit-time twin (its record's fields 64 bits wide,
 * the nanoseconds 32 bits and padding). */
#define WALL_CLOCK(name, record)                              \
	int name(record *tv, void *tz)                        \
	{                                                     \
		long long ns = wall_ns();                     \
		(void)tz;                                     \
		tv->tv_sec = ns / 1000000000;                 \
		tv->tv_usec = ns % 1000000000 / 1000;         \
		return 0;                                     \
	}
#define MONO_CLOCK(name, record)                                                \
	int name(clockid_t id, record *ts)                                      \
	{                                                                       \
		long long ns = id == CLOCK_MONOTONIC ? scripted_ns(&mono_script) : -1; \
		if (ns < 0)                                                     \
			return REAL(name)(id, ts);                              \
		ts->tv_sec = ns / 1000000000;                                   \
		ts->tv_nsec = ns % 1000000000;                                  \
		return 0;                                                       \
	}
WALL_CLOCK(gettimeofday, struct timeval)
MONO_CLOCK(clock_gettime, struct timespec)
#if __SIZEOF_LONG__ == 4
struct timeval64 { int64_t tv_sec, tv_usec; };
struct timespec64 { int64_t tv_sec; int32_t tv_nsec, pad; };
static void *real___clock_gettime64;
WALL_CLOCK(__gettimeofday64, struct timeval64)
MONO_CLOCK(__clock_gettime64, struct timespec64)
#endif

pid_t setsid(void)
{
	long sig = env_long("SHIM_RAISE_BEFORE_SETSID", 0);

	if (sig > 0)
		kill(getpid(), (int)sig);
	return REAL(setsid)();
}

pid_t fork(void)
{
	log_event("fork", NULL);
	if (++forks == env_long("SHIM_FAIL_FORK_AT", 0)) {
		errno = EAGAIN;
		return -1;
	}
	return REAL(fork)();
}

/* The child is reaped all the same, so that none outlives its parent. */
pid_t waitpid(pid_t pid, int *status, int options)
{
	pid_t got = REAL(waitpid)(pid, status, options);

	if (++waits != env_long("SHIM_FAIL_WAITPID_AT", 0))
		return got;
	errno = ECHILD;
	return -1;
}

int brk(void *addr)
{
	char *old = sbrk(0);
	uintptr_t from = (uintptr_t)old, to = (uintptr_t)addr;
	uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);

	log_number("brk", (char *)addr - old);
	if (++brks == env_long("SHIM_FAIL_BRK_AT", 0)) {
		errno = ENOMEM;
		return -1;
	}
	if (REAL(brk)(addr) != 0)
		return -1;
	/* Only the pages wholly above the old break are new. */
	if (to > from && ++raises == env_long("SHIM_SPOIL_BRK_AT", 0)) {
		from = (from + page - 1) & ~(page - 1);
		to = (to + page - 1) & ~(page - 1);
		if (to > from)
			mprotect((void *)from, to - from, PROT_NONE);
	}
	return 0;
}

#ifndef SYS_close_range
#define SYS_close_range 436
#endif

/* A program may make the system call itself rather than through the C
 * library, so the kernel is told to refuse it (the filter outlives exec and
 * is inherited).  A shim that cannot do so stops the program: a test would
 * otherwise pass without the path it is there to take. */
static void refuse_close_range(void)
{
	static const char why[] = "shim: cannot filter close_range\n";
	struct sock_filter code[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};

	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		raw_write(2, why, sizeof why - 1);
		_exit(98);
	}
}

ssize_t write(int fd, const void *buf, size_t n)
{
	long times = env_long("SHIM_FAIL_WRITE_TIMES", -1);

	if (n == 1 && fd == env_long("SHIM_FAIL_WRITE_FD", -1) &&
	    ++one_byte_writes > env_long("SHIM_FAIL_WRITE_AFTER", 0) &&
	    (times < 0 || failed_writes < times)) {
		++failed_writes;
		errno = EIO;
		return -1;
	}
	return REAL(write)(fd, buf, n);
}

#define LOGGED_OPEN(name)                                                  \
	int name(const char *path, int flags, ...)                         \
	{                                                                  \
		mode_t mode = 0;                                           \
		va_list ap;                                                \
		va_start(ap, flags);                                       \
		if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) \
			mode = (mode_t)va_arg(ap, int);                    \
		va_end(ap);                                                \
		log_event("open", path);                                   \
		return REAL(name)(path, flags, mode);                      \
	}
#define LOGGED_STAT(name, record)                                        \
	int name(const char *restrict path, record *restrict buf)        \
	{                                                                \
		log_event("stat", path);                                 \
		return REAL(name)(path, buf);                            \
	}
LOGGED_OPEN(open)
LOGGED_OPEN(open64)
LOGGED_STAT(stat, struct stat)
LOGGED_STAT(stat64, struct stat64)
#if __SIZEOF_LONG__ == 4
static void *real___stat64_time64;
LOGGED_STAT(__stat64_time64, void)
#endif

/* Before glibc 2.33 a program's stat calls reach the library as these. */
int __xstat(int ver, const char *path, struct stat *buf);
int __xstat64(int ver, const char *path, struct stat64 *buf);
#define LOGGED_XSTAT(name, type)                                \
	int name(int ver, const char *path, struct type *buf)   \
	{                                                       \
		log_event("stat", path);                        \
		return REAL(name)(ver, path, buf);              \
	}
LOGGED_XSTAT(__xstat, stat)
LOGGED_XSTAT(__xstat64, stat64)

/* Where the C library's start-up hands main its arguments. */
int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv,
		      void (*init)(void), void (*fini)(void), void (*rtld_fini)(void), void *end)
{
	if (env_long("SHIM_NO_ARGS", 0) != 0) {
		argv += argc;
		argc = 0;
	}
	return REAL(__libc_start_main)(main, argc, argv, init, fini, rtld_fini, end);
}

/* The real calls are looked up before the allocator log is armed, so that
 * only the program's own allocations are reported. */
__attribute__((constructor)) static void shim_init(void)
{
	long gate = env_long("SHIM_GATE_FD", -1), sig = env_long("SHIM_IGNORE_SIGNAL", 0);
	char c;

	REAL(fork), REAL(waitpid), REAL(setsid), REAL(brk), REAL(write), REAL(open), REAL(open64);
	REAL(stat), REAL(stat64), REAL(__xstat), REAL(__xstat64), REAL(clock_gettime);
	REAL(__libc_start_main);
#if __SIZEOF_LONG__ == 4
	REAL(__stat64_time64), REAL(__clock_gettime64);
#endif
	if (sig > 0)
		signal((int)sig, SIG_IGN);
	if (env_long("SHIM_NO_CLOSE_RANGE", 0) != 0)
		refuse_close_range();
	if (gate >= 0) {
		while (read((int)gate, &c, 1) > 0)
			;
		close((int)gate);
	}
	armed = 1;
}

/* Destructors run from the library's exit only, never from _exit. */
__attribute__((destructor)) static void shim_fini(void)
{
	log_event("exit", NULL);
}
