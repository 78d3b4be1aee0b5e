/*
 * LD_PRELOAD shim for the end-to-end tests: it lets a test drive the real,
 * unmodified programs quickly and deterministically.  Every feature is off
 * unless its variable is set in the environment of the process under test.
 *
 *   SHIM_CLOCK_MS=a,b,c    gettimeofday (and its 64-bit-time twin on 32-bit
 *                          targets) returns these milliseconds in turn;
 *                          past the list it keeps adding the last step
 *   SHIM_MONO_MS=a,b,c     the same for clock_gettime of CLOCK_MONOTONIC;
 *                          the wall clock and the monotonic one each keep
 *                          their own script
 *   SHIM_SLEEP_MS=n        sleep and usleep really sleep at most n ms
 *                          (default: return at once)
 *   SHIM_STOP_AFTER_SLEEPS=n  the n-th sleep/usleep call exits the process
 *                          with exit(SHIM_STOP_STATUS) (default 99), which
 *                          flushes stdio
 *   SHIM_SWAP_DIR=d        at the k-th sleep, if d/dev.k exists, its bytes
 *                          are copied in place over d/dev (the kernel
 *                          updating its counters between two passes)
 *   SHIM_TOUCH=path        every sleep appends one byte to path
 *   SHIM_TOUCH_TIME=path   the k-th sleep sets the access and modification
 *                          times of path to k seconds, changing nothing else
 *                          of its own
 *   SHIM_RAISE_BEFORE_SETSID=sig  setsid first sends sig to the caller, as
 *                          a hangup arriving just before it would
 *   SHIM_UNLINK=path       the SHIM_UNLINK_AT-th sleep (default 1) removes
 *                          path
 *   SHIM_FAIL_FORK_AT=n    the n-th fork fails with EAGAIN
 *   SHIM_FAIL_BRK_AT=n     the n-th brk fails with ENOMEM
 *   SHIM_SPOIL_BRK_AT=n    the n-th brk that raises the break succeeds, but
 *                          the pages it adds fault when touched, as on a
 *                          board out of memory
 *   SHIM_IGNORE_SIGNAL=sig the program starts with sig ignored, as a
 *                          launcher may leave it
 *   SHIM_NO_CLOSE_RANGE=1  close_range fails with ENOSYS, as on kernels
 *                          before 5.9
 *   SHIM_GATE_FD=n         before main, wait until descriptor n reads end of
 *                          file, then close it: a gate that releases many
 *                          started programs at once
 *   SHIM_FAIL_WRITE_FD=n   every write of one byte to descriptor n fails
 *                          with EIO after SHIM_FAIL_WRITE_AFTER successes,
 *                          SHIM_FAIL_WRITE_TIMES times (default: for ever)
 *   SHIM_FAIL_ALLOC_AT=n   the n-th malloc/calloc/realloc made by the program
 *                          returns NULL with ENOMEM
 *   SHIM_LOG=path          appends one line per event: "sleep N",
 *                          "usleep N", "fork", "brk", "malloc", "calloc",
 *                          "realloc"
 *   SHIM_LOG_DETAIL=1      the log also gets "open PATH" and "stat PATH" for
 *                          each open/open64/stat/stat64 call, "exit" when a
 *                          process ends through the library's exit (not
 *                          _exit), and "brk N" instead of "brk", N being how
 *                          far the call asks to move the break (-4096)
 *
 * Counters are per process; a forked child carries on from its parent's.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
/* In a program built with AddressSanitizer (which then runs with the shim
 * ahead of its runtime) allocations go on to ASan's allocator, since ASan's
 * free is the one the program calls; elsewhere these stay null. */
extern void *__interceptor_malloc(size_t) __attribute__((weak));
extern void *__interceptor_calloc(size_t, size_t) __attribute__((weak));
extern void *__interceptor_realloc(void *, size_t) __attribute__((weak));

static int armed;
static pid_t (*real_fork)(void);
static pid_t (*real_setsid)(void);
static int (*real_brk)(void *);
static ssize_t (*real_write)(int, const void *, size_t);
typedef int open_fn(const char *, int, ...);
typedef int stat_fn(const char *, struct stat *);
typedef int stat64_fn(const char *, struct stat64 *);
static open_fn *real_open, *real_open64;
static stat_fn *real_stat;
static stat64_fn *real_stat64;
static long sleeps, forks, brks, raises, one_byte_writes, failed_writes, allocs;

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
	if (s == NULL || *s == '\0')
		return dflt;
	return (long)read_number(s, &end);
}

/* The shim's own output bypasses the write() it interposes. */
static void raw_write(int fd, const void *buf, size_t n)
{
	long r = syscall(SYS_write, fd, buf, n);
	(void)r;
}

static size_t fmt_ulong(char *buf, unsigned long long v)
{
	char tmp[24];
	size_t n = 0, i;
	do {
		tmp[n++] = (char)('0' + v % 10);
		v /= 10;
	} while (v != 0);
	for (i = 0; i < n; i++)
		buf[i] = tmp[n - 1 - i];
	return n;
}

/* The shim's own files bypass the open() it interposes. */
static int raw_open(const char *path, int flags)
{
	return (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0644);
}

/* Appends one line to the log.  Raw system calls only: the log must work
 * inside malloc and after the program closed its standard descriptors. */
static void log_line(const char *line, size_t n)
{
	const char *path = getenv("SHIM_LOG");
	int fd;

	if (path == NULL)
		return;
	fd = raw_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC);
	if (fd >= 0) {
		raw_write(fd, line, n);
		close(fd);
	}
}

static void log_event(const char *what, long long arg, int with_arg)
{
	char line[64];
	size_t n = strlen(what);
	int saved = errno;

	memcpy(line, what, n);
	if (with_arg) {
		line[n++] = ' ';
		if (arg < 0) {
			line[n++] = '-';
			arg = -arg;
		}
		n += fmt_ulong(line + n, (unsigned long long)arg);
	}
	line[n++] = '\n';
	log_line(line, n);
	errno = saved;
}

/* "open PATH" or "stat PATH", when SHIM_LOG_DETAIL asks for them; a path too
 * long for the line is cut. */
static void log_path(const char *what, const char *path)
{
	char line[512];
	size_t n = strlen(what), k = strlen(path);
	int saved = errno;

	if (env_long("SHIM_LOG_DETAIL", 0) == 0)
		return;
	if (k > sizeof line - n - 2)
		k = sizeof line - n - 2;
	memcpy(line, what, n);
	line[n++] = ' ';
	memcpy(line + n, path, k);
	n += k;
	line[n++] = '\n';
	log_line(line, n);
	errno = saved;
}

/* Resolve the real calls before arming the allocator log, so that only the
 * program's own allocations are reported. */
__attribute__((constructor)) static void shim_init(void)
{
	real_fork = (pid_t (*)(void))dlsym(RTLD_NEXT, "fork");
	real_setsid = (pid_t (*)(void))dlsym(RTLD_NEXT, "setsid");
	real_brk = (int (*)(void *))dlsym(RTLD_NEXT, "brk");
	real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	real_open = (open_fn *)dlsym(RTLD_NEXT, "open");
	real_open64 = (open_fn *)dlsym(RTLD_NEXT, "open64");
	real_stat = (stat_fn *)dlsym(RTLD_NEXT, "stat");
	real_stat64 = (stat64_fn *)dlsym(RTLD_NEXT, "stat64");
	if (env_long("SHIM_IGNORE_SIGNAL", 0) > 0)
		signal((int)env_long("SHIM_IGNORE_SIGNAL", 0), SIG_IGN);
	if (env_long("SHIM_GATE_FD", -1) >= 0) {
		char c;
		while (read((int)env_long("SHIM_GATE_FD", -1), &c, 1) > 0)
			;
		close((int)env_long("SHIM_GATE_FD", -1));
	}
	armed = 1;
}

/* Destructors run from the library's exit only, never from _exit. */
__attribute__((destructor)) static void shim_fini(void)
{
	if (env_long("SHIM_LOG_DETAIL", 0) != 0)
		log_event("exit", 0, 0);
}

/* Logs a program allocation; true when this one is scripted to fail. */
static int alloc_fails(const char *what)
{
	log_event(what, 0, 0);
	if (++allocs == env_long("SHIM_FAIL_ALLOC_AT", 0)) {
		errno = ENOMEM;
		return 1;
	}
	return 0;
}

void *malloc(size_t size)
{
	if (armed && alloc_fails("malloc"))
		return NULL;
	if (__interceptor_malloc != NULL)
		return __interceptor_malloc(size);
	return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
	if (armed && alloc_fails("calloc"))
		return NULL;
	if (__interceptor_calloc != NULL)
		return __interceptor_calloc(n, size);
	return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size)
{
	if (armed && alloc_fails("realloc"))
		return NULL;
	if (__interceptor_realloc != NULL)
		return __interceptor_realloc(p, size);
	return __libc_realloc(p, size);
}

static void copy_file(const char *from, const char *to)
{
	/* Static, as are the paths below: kept off the stack, they leave the
	 * stack the program under test itself uses to its resident size. */
	static char buf[4096];
	ssize_t n;
	int in = raw_open(from, O_RDONLY | O_CLOEXEC), out;

	if (in < 0)
		return;
	out = raw_open(to, O_WRONLY | O_TRUNC | O_CLOEXEC);
	if (out >= 0) {
		while ((n = read(in, buf, sizeof buf)) > 0)
			raw_write(out, buf, (size_t)n);
		close(out);
	}
	close(in);
}

static void between_passes(void)
{
	const char *dir = getenv("SHIM_SWAP_DIR");
	const char *touch = getenv("SHIM_TOUCH");
	const char *retime = getenv("SHIM_TOUCH_TIME");
	const char *doomed = getenv("SHIM_UNLINK");
	long stop = env_long("SHIM_STOP_AFTER_SLEEPS", 0);
	long ms = env_long("SHIM_SLEEP_MS", 0);

	++sleeps;
	if (dir != NULL) {
		static char from[4096], to[4096];
		size_t n = strlen(dir);
		if (n + 32 < sizeof from) {
			memcpy(from, dir, n);
			memcpy(from + n, "/dev.", 5);
			from[n + 5 + fmt_ulong(from + n + 5, (unsigned long long)sleeps)] = '\0';
			memcpy(to, dir, n);
			memcpy(to + n, "/dev", 5);
			copy_file(from, to);
		}
	}
	if (touch != NULL) {
		int fd = raw_open(touch, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC);
		if (fd >= 0) {
			raw_write(fd, "x", 1);
			close(fd);
		}
	}
	if (retime != NULL) {
		struct timespec times[2] = { { sleeps, 0 }, { sleeps, 0 } };
		utimensat(AT_FDCWD, retime, times, 0);
	}
	if (doomed != NULL && sleeps == env_long("SHIM_UNLINK_AT", 1))
		unlink(doomed);
	if (stop > 0 && sleeps >= stop)
		exit((int)env_long("SHIM_STOP_STATUS", 99));
	if (ms > 0) {
		struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };
		nanosleep(&ts, NULL);
	}
}

pid_t setsid(void)
{
	long sig = env_long("SHIM_RAISE_BEFORE_SETSID", 0);

	if (sig > 0)
		kill(getpid(), (int)sig);
	return real_setsid();
}

unsigned int sleep(unsigned int seconds)
{
	log_event("sleep", seconds, 1);
	between_passes();
	return 0;
}

int usleep(useconds_t usec)
{
	log_event("usleep", (long long)usec, 1);
	between_passes();
	return 0;
}

/* A clock's script, read from its variable at the clock's first call. */
struct clock_script {
	const char *var;
	long long ms[64];
	long n, calls; /* n < 0: not read yet */
};
static struct clock_script wall_script = { "SHIM_CLOCK_MS", { 0 }, -1, 0 };
static struct clock_script mono_script = { "SHIM_MONO_MS", { 0 }, -1, 0 };

/* Milliseconds of the scripted clock for this call, or -1 for the real one. */
static long long scripted_ms(struct clock_script *s)
{
	long long ms;

	if (s->n < 0) {
		const char *p = getenv(s->var);
		s->n = 0;
		while (p != NULL && *p != '\0' && s->n < 64) {
			const char *end;
			s->ms[s->n] = read_number(p, &end);
			if (end == p)
				break;
			s->n++;
			p = (*end == ',') ? end + 1 : end;
		}
	}
	if (s->n == 0)
		return -1;
	if (s->calls < s->n) {
		ms = s->ms[s->calls];
	} else {
		long long step = s->n >= 2 ? s->ms[s->n - 1] - s->ms[s->n - 2] : 1000;
		ms = s->ms[s->n - 1] + step * (s->calls - s->n + 1);
	}
	s->calls++;
	return ms;
}

static long long real_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz)
{
	long long ms = scripted_ms(&wall_script);

	(void)tz;
	if (ms < 0)
		ms = real_ms();
	tv->tv_sec = (time_t)(ms / 1000);
	tv->tv_usec = (suseconds_t)((ms % 1000) * 1000);
	return 0;
}

#if __SIZEOF_LONG__ == 4
/* A 32-bit program built with 64-bit time calls this name instead. */
struct shim_timeval64 {
	int64_t tv_sec;
	int64_t tv_usec;
};

int __gettimeofday64(struct shim_timeval64 *tv, void *tz)
{
	long long ms = scripted_ms(&wall_script);

	(void)tz;
	if (ms < 0)
		ms = real_ms();
	tv->tv_sec = ms / 1000;
	tv->tv_usec = (ms % 1000) * 1000;
	return 0;
}
#endif

/* Other clocks than the scripted monotonic one are the real ones, looked up
 * when first read: another library's constructor may read a clock before
 * the shim's own constructor ran. */
int clock_gettime(clockid_t id, struct timespec *ts)
{
	static int (*real)(clockid_t, struct timespec *);
	long long ms = id == CLOCK_MONOTONIC ? scripted_ms(&mono_script) : -1;

	if (ms < 0) {
		if (real == NULL)
			real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
		return real(id, ts);
	}
	ts->tv_sec = (time_t)(ms / 1000);
	ts->tv_nsec = (long)((ms % 1000) * 1000000);
	return 0;
}

#if __SIZEOF_LONG__ == 4
/* The 64-bit-time twin: the nanoseconds are 32 bits, padded to 64. */
struct shim_timespec64 {
	int64_t tv_sec;
	int32_t tv_nsec;
	int32_t pad;
};

int __clock_gettime64(clockid_t id, struct shim_timespec64 *ts)
{
	static int (*real)(clockid_t, struct shim_timespec64 *);
	long long ms = id == CLOCK_MONOTONIC ? scripted_ms(&mono_script) : -1;

	if (ms < 0) {
		if (real == NULL)
			real = (int (*)(clockid_t, struct shim_timespec64 *))dlsym(RTLD_NEXT,
										   "__clock_gettime64");
		return real(id, ts);
	}
	ts->tv_sec = ms / 1000;
	ts->tv_nsec = (int32_t)((ms % 1000) * 1000000);
	return 0;
}
#endif

pid_t fork(void)
{
	long fail_at = env_long("SHIM_FAIL_FORK_AT", 0);

	log_event("fork", 0, 0);
	if (++forks == fail_at) {
		errno = EAGAIN;
		return -1;
	}
	return real_fork();
}

int brk(void *addr)
{
	long fail_at = env_long("SHIM_FAIL_BRK_AT", 0);
	char *old = sbrk(0);
	uintptr_t from = (uintptr_t)old, to = (uintptr_t)addr;
	uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);

	if (env_long("SHIM_LOG_DETAIL", 0) != 0)
		log_event("brk", (long long)((char *)addr - old), 1);
	else
		log_event("brk", 0, 0);
	if (++brks == fail_at) {
		errno = ENOMEM;
		return -1;
	}
	if (real_brk(addr) != 0)
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

int close_range(unsigned int first, unsigned int last, int flags)
{
	if (env_long("SHIM_NO_CLOSE_RANGE", 0) != 0) {
		errno = ENOSYS;
		return -1;
	}
	return (int)syscall(SYS_close_range, first, last, flags);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	long bad_fd = env_long("SHIM_FAIL_WRITE_FD", -1);

	long times = env_long("SHIM_FAIL_WRITE_TIMES", -1);

	if (n == 1 && fd == bad_fd &&
	    ++one_byte_writes > env_long("SHIM_FAIL_WRITE_AFTER", 0) &&
	    (times < 0 || failed_writes < times)) {
		++failed_writes;
		errno = EIO;
		return -1;
	}
	return real_write(fd, buf, n);
}

/* Another library's constructor may call these before the shim's own ran;
 * the real call is then looked up on the spot. */
static void *real_call(void *known, const char *name)
{
	return known != NULL ? known : dlsym(RTLD_NEXT, name);
}

static int open_logged(open_fn *real, const char *path, int flags, va_list ap)
{
	mode_t mode = 0;

	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
		mode = (mode_t)va_arg(ap, int);
	log_path("open", path);
	return real(path, flags, mode);
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	int fd;

	va_start(ap, flags);
	fd = open_logged((open_fn *)real_call(real_open, "open"), path, flags, ap);
	va_end(ap);
	return fd;
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	int fd;

	va_start(ap, flags);
	fd = open_logged((open_fn *)real_call(real_open64, "open64"), path, flags, ap);
	va_end(ap);
	return fd;
}

int stat(const char *restrict path, struct stat *restrict buf)
{
	stat_fn *real = (stat_fn *)real_call(real_stat, "stat");

	log_path("stat", path);
	return real(path, buf);
}

int stat64(const char *restrict path, struct stat64 *restrict buf)
{
	stat64_fn *real = (stat64_fn *)real_call(real_stat64, "stat64");

	log_path("stat", path);
	return real(path, buf);
}
