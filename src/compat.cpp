#include "compat.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

#if defined(VESTREL_STATIC)
#include <netdb.h>
#endif

#if defined(__linux__)
#include <asm/termbits.h>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

// LeakSanitizer checks for leaks at exit from a helper that shares the
// process's memory (clone with CLONE_VM) and stops the process with ptrace.
#if defined(__SANITIZE_ADDRESS__)
#define VESTREL_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define VESTREL_LEAK_CHECKER 1
#endif
#endif

#if defined(VESTREL_STATIC)
// The static binary (cmake/static.cmake) links libmaxminddb's calls of
// getaddrinfo and freeaddrinfo, made in MMDB_lookup_string only, to these
// instead of the C library's, whose static form would bring in the
// name-service modules and dlopen, which a static binary cannot use. vestrel
// looks addresses up with MMDB_lookup_sockaddr, so neither ever runs; were
// they reached, the lookup would fail as for a name that does not resolve.
extern "C" int __wrap_getaddrinfo(const char *, const char *, const addrinfo *,
                                  addrinfo **result) {
    *result = nullptr;
    return EAI_FAIL;
}
extern "C" void __wrap_freeaddrinfo(addrinfo *) {}
#endif

namespace vestrel {

#if defined(__linux__)
namespace {

constexpr unsigned PROMISE_STDIO = 1;
constexpr unsigned PROMISE_RPATH = 2;

// The promise words as a set; -1 (EINVAL) on a word this platform cannot
// keep, so a caller never believes in a narrowing it did not get. "stdio"
// is what every narrowing here keeps anyway; only "rpath" changes anything
// (without it, no file can be opened).
int parse_promises(const char *promises, unsigned &set) {
    set = 0;
    const char *p = promises;
    while (*p != '\0') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        const char *end = std::strchr(p, ' ');
        const std::size_t n = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (n == 5 && std::memcmp(p, "stdio", 5) == 0) {
            set |= PROMISE_STDIO;
        } else if (n == 5 && std::memcmp(p, "rpath", 5) == 0) {
            set |= PROMISE_RPATH;
        } else {
            errno = EINVAL;
            return -1;
        }
        p += n;
    }
    return 0;
}

#if defined(__NR_landlock_create_ruleset)
// The kernel's Landlock interface, spelled out here because the C library
// has no wrappers and older kernel headers lack the later versions' fields.
// Each version only adds: rights a version does not know must not be asked
// for, so the sets below grow with the version the kernel reports.
struct LandlockRuleset {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net; // version 4
    std::uint64_t scoped;             // version 6
};
struct LandlockPathBeneath {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
} __attribute__((packed));

constexpr unsigned LANDLOCK_VERSION_QUERY = 1U << 0;
constexpr int LANDLOCK_RULE_PATH = 1;
constexpr std::uint64_t FS_READ_FILE = 1ULL << 2;
constexpr std::uint64_t FS_READ_DIR = 1ULL << 3;
constexpr std::uint64_t FS_VERSION_1 = (1ULL << 13) - 1; // execute .. make symlink
constexpr std::uint64_t FS_REFER = 1ULL << 13;           // version 2
constexpr std::uint64_t FS_TRUNCATE = 1ULL << 14;        // version 3
constexpr std::uint64_t FS_IOCTL_DEV = 1ULL << 15;       // version 5
constexpr std::uint64_t NET_BIND_TCP = 1ULL << 0;
constexpr std::uint64_t NET_CONNECT_TCP = 1ULL << 1;
constexpr std::uint64_t SCOPE_ABSTRACT_UNIX = 1ULL << 0;
constexpr std::uint64_t SCOPE_SIGNAL = 1ULL << 1;

// Every right the kernel can take away is taken; with "rpath" reading files
// and listing directories is given back for the whole tree. Descriptors open
// before this keep the access they were opened with (standard output stays
// writable), since Landlock checks a file when it is opened.
int restrict_file_system(unsigned promises) {
    const long version = syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_VERSION_QUERY);
    if (version < 0) return errno == ENOSYS || errno == EOPNOTSUPP ? 0 : -1;

    LandlockRuleset ruleset{};
    ruleset.handled_access_fs = FS_VERSION_1;
    if (version >= 2) ruleset.handled_access_fs |= FS_REFER;
    if (version >= 3) ruleset.handled_access_fs |= FS_TRUNCATE;
    if (version >= 4) ruleset.handled_access_net = NET_BIND_TCP | NET_CONNECT_TCP;
    if (version >= 5) ruleset.handled_access_fs |= FS_IOCTL_DEV;
    if (version >= 6) ruleset.scoped = SCOPE_ABSTRACT_UNIX | SCOPE_SIGNAL;
    const int fd =
        static_cast<int>(syscall(__NR_landlock_create_ruleset, &ruleset, sizeof ruleset, 0));
    if (fd == -1) return -1;

    int status = 0;
    if ((promises & PROMISE_RPATH) != 0) {
        LandlockPathBeneath rule{};
        rule.allowed_access = FS_READ_FILE | FS_READ_DIR;
        rule.parent_fd = open("/", O_PATH | O_CLOEXEC);
        if (rule.parent_fd == -1 ||
            syscall(__NR_landlock_add_rule, fd, LANDLOCK_RULE_PATH, &rule, 0) == -1)
            status = -1;
        if (rule.parent_fd != -1) {
            const int saved = errno;
            close(rule.parent_fd);
            errno = saved;
        }
    }
    if (status == 0 && syscall(__NR_landlock_restrict_self, fd, 0) == -1) status = -1;
    const int saved = errno;
    close(fd);
    errno = saved;
    return status;
}
#else
int restrict_file_system(unsigned) {
    return 0; // built with kernel headers that predate Landlock
}
#endif

// The system calls a narrowed process may make: everything else fails with
// EPERM. One row per call (or per allowed value of an argument), with the
// reason it is needed; docs/containment.md describes the same table. Names
// are resolved by libseccomp for the architecture the program runs on: a
// name that architecture lacks (open on arm64, mmap2 on 64-bit machines) or
// this libseccomp does not know is left out, and an allow-list refuses it
// anyway. Where an argument could reach outside the process (another
// process, a file system, the terminal's settings), the row says what the
// argument must be. The rows come from tracing the program on every kind of
// input and output, with and without -g, and from the C library's paths that
// the tests take (threads, abort, directories, time zones).
enum class Rule : unsigned char {
    ANY,       // no argument looked at
    EQUAL,     // argument `arg`, as the 32 bits the kernel reads, is `value`
    MASKED,    // argument `arg` & `mask` is `value`
    SELF,      // argument `arg` is 0 or this process's id
    SELF_ONLY, // argument `arg` is this process's id (0 would be its group)
    WHO_SELF,  // argument 0 is `value` (a process, not a group or user) and
               // argument 1 is 0 or this process's id
    NO_SUCH,   // fails with ENOSYS, so that the caller falls back to a call
               // whose arguments the filter can see
};

struct AllowedCall {
    const char *name;
    Rule rule;
    unsigned arg;
    std::uint64_t mask;
    std::uint64_t value;
    const char *why;
};

// Reading only: no write access, no creation, no truncation (which O_TRUNC
// does even with O_RDONLY).
constexpr std::uint64_t OPEN_CHECKED = O_ACCMODE | O_CREAT | O_TRUNC;
// clone's flags are its first argument, except on s390.
#if defined(__s390__) || defined(__s390x__)
constexpr unsigned CLONE_FLAGS_ARG = 1;
#else
constexpr unsigned CLONE_FLAGS_ARG = 0;
#endif
constexpr std::uint64_t PRIO_WHICH_PROCESS = 0;   // PRIO_PROCESS
constexpr std::uint64_t IOPRIO_WHICH_PROCESS = 1; // IOPRIO_WHO_PROCESS

// clang-format off
constexpr AllowedCall ALLOWED_CALLS[] = {
    // descriptors already open: the log, standard input, output and error
    {"read", Rule::ANY, 0, 0, 0, "the log and every file it reads"},
    {"readv", Rule::ANY, 0, 0, 0, "the C library's stdio may read in pieces"},
    {"pread64", Rule::ANY, 0, 0, 0, "the database is read at an offset"},
    {"preadv", Rule::ANY, 0, 0, 0, "as pread64"},
    {"preadv2", Rule::ANY, 0, 0, 0, "as pread64"},
    {"write", Rule::ANY, 0, 0, 0, "the report and the messages"},
    {"writev", Rule::ANY, 0, 0, 0, "the C library's stdio and the sanitizers' reports"},
    {"pwrite64", Rule::ANY, 0, 0, 0, "as write, to a descriptor open for writing"},
    {"lseek", Rule::ANY, 0, 0, 0, "the time zone file is read twice; stdio on close"},
    {"_llseek", Rule::ANY, 0, 0, 0, "lseek on 32-bit machines"},
    {"close", Rule::ANY, 0, 0, 0, "every file opened is closed"},
    {"dup", Rule::ANY, 0, 0, 0, "perror writes through a copy of standard error"},
    {"dup2", Rule::ANY, 0, 0, 0, "as dup, where it exists"},
    {"dup3", Rule::ANY, 0, 0, 0, "dup2 on machines without it"},
    {"poll", Rule::ANY, 0, 0, 0, "waiting for a non-blocking standard input"},
    {"ppoll", Rule::ANY, 0, 0, 0, "poll on machines without it"},
    {"ppoll_time64", Rule::ANY, 0, 0, 0, "ppoll on 32-bit machines"},
    {"ioctl", Rule::EQUAL, 1, 0, TCGETS, "isatty (stdio's buffering of standard output)"},
#if defined(TCGETS2)
    {"ioctl", Rule::EQUAL, 1, 0, TCGETS2, "isatty in C libraries that ask for termios2"},
#endif
    {"ioctl", Rule::EQUAL, 1, 0, TIOCGWINSZ, "a terminal's size; nothing changes"},
    {"ioctl", Rule::EQUAL, 1, 0, FIONREAD, "how many bytes wait on a descriptor"},
    {"fcntl", Rule::EQUAL, 1, 0, F_GETFL, "perror and fdopen check the access mode"},
    {"fcntl", Rule::EQUAL, 1, 0, F_GETFD, "the close-on-exec flag: this process's table only"},
    {"fcntl", Rule::EQUAL, 1, 0, F_SETFD, "as F_GETFD"},
    {"fcntl", Rule::EQUAL, 1, 0, F_DUPFD, "as dup"},
    {"fcntl", Rule::EQUAL, 1, 0, F_DUPFD_CLOEXEC, "as dup"},
    {"fcntl64", Rule::EQUAL, 1, 0, F_GETFL, "fcntl on 32-bit machines"},
    {"fcntl64", Rule::EQUAL, 1, 0, F_GETFD, "fcntl on 32-bit machines"},
    {"fcntl64", Rule::EQUAL, 1, 0, F_SETFD, "fcntl on 32-bit machines"},
    {"fcntl64", Rule::EQUAL, 1, 0, F_DUPFD, "fcntl on 32-bit machines"},
    {"fcntl64", Rule::EQUAL, 1, 0, F_DUPFD_CLOEXEC, "fcntl on 32-bit machines"},

    // files, for reading (Landlock refuses writing as well, where it exists)
    {"openat", Rule::MASKED, 2, OPEN_CHECKED, O_RDONLY, "the log, the database, the zone file"},
    {"open", Rule::MASKED, 1, OPEN_CHECKED, O_RDONLY, "openat on machines that have open"},
    {"openat2", Rule::NO_SUCH, 0, 0, 0, "its flags are in memory: callers fall back to openat"},
    {"fstat", Rule::ANY, 0, 0, 0, "the log's size; stdio's buffer size"},
    {"newfstatat", Rule::ANY, 0, 0, 0, "fstat on 64-bit machines"},
    {"fstatat64", Rule::ANY, 0, 0, 0, "fstat on 32-bit machines"},
    {"fstat64", Rule::ANY, 0, 0, 0, "fstat on 32-bit machines"},
    {"stat", Rule::ANY, 0, 0, 0, "a file's type and size, read only"},
    {"lstat", Rule::ANY, 0, 0, 0, "as stat"},
    {"stat64", Rule::ANY, 0, 0, 0, "stat on 32-bit machines"},
    {"lstat64", Rule::ANY, 0, 0, 0, "stat on 32-bit machines"},
    {"statx", Rule::ANY, 0, 0, 0, "stat in newer C libraries"},
    {"getdents64", Rule::ANY, 0, 0, 0, "listing a directory (readdir)"},
    {"getdents", Rule::ANY, 0, 0, 0, "as getdents64, where it exists"},

    // memory
    {"brk", Rule::ANY, 0, 0, 0, "malloc"},
    {"mmap", Rule::ANY, 0, 0, 0, "malloc, the read buffer, the sketches, the database"},
    {"mmap2", Rule::ANY, 0, 0, 0, "mmap on 32-bit machines"},
    {"munmap", Rule::ANY, 0, 0, 0, "free"},
    {"mremap", Rule::ANY, 0, 0, 0, "realloc of a large block"},
    {"mprotect", Rule::ANY, 0, 0, 0, "the database's flattened copy is made read-only; thread stacks"},
    {"madvise", Rule::ANY, 0, 0, 0, "pages put in place at once; free; a thread's stack at its end"},

    // time
    {"clock_gettime", Rule::ANY, 0, 0, 0, "the run's duration and the report's date"},
    {"clock_gettime64", Rule::ANY, 0, 0, 0, "clock_gettime on 32-bit machines"},
    {"clock_getres", Rule::ANY, 0, 0, 0, "a clock's resolution"},
    {"gettimeofday", Rule::ANY, 0, 0, 0, "the time, where the C library asks this way"},
    {"time", Rule::ANY, 0, 0, 0, "the time, where the call exists"},
    {"nanosleep", Rule::ANY, 0, 0, 0, "a pause (sanitizers, spin-waits)"},
    {"clock_nanosleep", Rule::ANY, 0, 0, 0, "as nanosleep"},
    {"clock_nanosleep_time64", Rule::ANY, 0, 0, 0, "nanosleep on 32-bit machines"},

    // threads: a thread keeps the caller's filter and Landlock domain
    {"clone", Rule::MASKED, CLONE_FLAGS_ARG, CLONE_THREAD, CLONE_THREAD,
     "threads only; a new process is refused, as pledge without \"proc\""},
    {"clone3", Rule::NO_SUCH, 0, 0, 0, "its flags are in memory: the C library falls back to clone"},
    {"futex", Rule::ANY, 0, 0, 0, "locks, joining a thread"},
    {"futex_time64", Rule::ANY, 0, 0, 0, "futex on 32-bit machines"},
    {"set_robust_list", Rule::ANY, 0, 0, 0, "each new thread registers its list"},
    {"rseq", Rule::ANY, 0, 0, 0, "each new thread registers its area"},
    {"set_tid_address", Rule::ANY, 0, 0, 0, "thread start"},
    {"gettid", Rule::ANY, 0, 0, 0, "abort, the sanitizers"},
    {"getpid", Rule::ANY, 0, 0, 0, "abort, the sanitizers"},
    {"sched_yield", Rule::ANY, 0, 0, 0, "spinning locks"},
    // Read only; the C library asks it of a thread by the thread's id
    // (pthread_getattr_np), which no filter made before the thread knows.
    {"sched_getaffinity", Rule::ANY, 0, 0, 0, "malloc counts the CPUs; a thread's attributes"},
    {"sched_setaffinity", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_getparam", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_setparam", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_getscheduler", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_setscheduler", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_getattr", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_setattr", Rule::SELF, 0, 0, 0, "this process only"},
    {"sched_get_priority_min", Rule::ANY, 0, 0, 0, "a constant of the kernel"},
    {"sched_get_priority_max", Rule::ANY, 0, 0, 0, "a constant of the kernel"},
    {"getpriority", Rule::WHO_SELF, 0, 0, PRIO_WHICH_PROCESS, "this process only"},
    {"setpriority", Rule::WHO_SELF, 0, 0, PRIO_WHICH_PROCESS, "this process only"},
    {"ioprio_get", Rule::WHO_SELF, 0, 0, IOPRIO_WHICH_PROCESS, "this process only"},
    {"ioprio_set", Rule::WHO_SELF, 0, 0, IOPRIO_WHICH_PROCESS, "this process only"},
    {"prlimit64", Rule::SELF, 0, 0, 0, "a thread's stack size; this process only"},
    {"getrlimit", Rule::ANY, 0, 0, 0, "as prlimit64, always this process"},
    {"ugetrlimit", Rule::ANY, 0, 0, 0, "getrlimit on some 32-bit machines"},
    {"getrandom", Rule::ANY, 0, 0, 0, "seeds of hash tables (jansson) and of malloc"},

    // signals, to this process only, and the end
    {"rt_sigprocmask", Rule::ANY, 0, 0, 0, "thread start, abort"},
    {"rt_sigaction", Rule::ANY, 0, 0, 0, "abort resets SIGABRT; the sanitizers' handlers"},
    {"rt_sigreturn", Rule::ANY, 0, 0, 0, "the return from a signal handler"},
    {"sigreturn", Rule::ANY, 0, 0, 0, "as rt_sigreturn, where it exists"},
    {"sigaltstack", Rule::ANY, 0, 0, 0, "the sanitizers' handlers run on their own stack"},
    {"restart_syscall", Rule::ANY, 0, 0, 0, "a call interrupted by a signal resumes"},
    {"tgkill", Rule::SELF_ONLY, 0, 0, 0, "abort signals its own thread"},
    {"kill", Rule::SELF_ONLY, 0, 0, 0, "raise, where the C library uses kill"},
    {"exit", Rule::ANY, 0, 0, 0, "a thread ends"},
    {"exit_group", Rule::ANY, 0, 0, 0, "the process ends"},

#if defined(VESTREL_LEAK_CHECKER)
    // Sanitizer builds only. LeakSanitizer's check at exit runs in a helper
    // that shares the process's memory (clone with CLONE_VM, not a thread),
    // lets it trace the process, stops the threads with ptrace and waits
    // for them (Landlock still keeps ptrace inside the sandbox).
    {"clone", Rule::MASKED, CLONE_FLAGS_ARG, CLONE_THREAD | CLONE_VM | CLONE_VFORK, CLONE_VM,
     "sanitizers: the leak checker's helper"},
    {"ptrace", Rule::ANY, 0, 0, 0, "sanitizers: the leak checker stops the threads"},
    {"wait4", Rule::ANY, 0, 0, 0, "sanitizers: the leak checker waits for threads and helper"},
    {"prctl", Rule::EQUAL, 0, 0, PR_GET_DUMPABLE, "sanitizers: tracing needs a dumpable process"},
    {"prctl", Rule::EQUAL, 0, 0, PR_SET_DUMPABLE, "sanitizers: as PR_GET_DUMPABLE"},
    {"prctl", Rule::EQUAL, 0, 0, PR_SET_PTRACER, "sanitizers: the helper may trace (Yama)"},
    {"prctl", Rule::EQUAL, 0, 0, PR_SET_PDEATHSIG, "sanitizers: the helper ends with the process"},
    {"getppid", Rule::ANY, 0, 0, 0, "sanitizers: the helper checks its parent is alive"},
    {"pipe2", Rule::ANY, 0, 0, 0, "sanitizers: whether memory is readable (the vptr check)"},
    {"pipe", Rule::ANY, 0, 0, 0, "sanitizers: as pipe2"},
    {"readlink", Rule::ANY, 0, 0, 0, "sanitizers: the executable's name in reports"},
    {"readlinkat", Rule::ANY, 0, 0, 0, "sanitizers: as readlink"},
#endif
};
// clang-format on

// Numbers of calls that a libseccomp older than the kernel may not know by
// name; from Linux 5.1 on, new calls have one number on these architectures.
// Only the calls that must fail with ENOSYS matter: any other unknown call is
// refused anyway.
struct LateCall {
    const char *name;
    int number;
};
#if defined(__x86_64__) || defined(__aarch64__) || defined(__riscv) || defined(__s390x__)
constexpr LateCall LATE_CALLS[] = {{"clone3", 435}, {"openat2", 437}};
#else
constexpr LateCall LATE_CALLS[] = {{"", -1}};
#endif

// The call's number on this architecture; negative when there is none here.
// libseccomp gives __NR_SCMP_ERROR for a name it does not know, and a
// negative pseudo-number for a call of another architecture.
int call_number(const char *name) {
    const int number = seccomp_syscall_resolve_name(name);
    if (number != __NR_SCMP_ERROR) return number;
    for (const LateCall &late : LATE_CALLS)
        if (std::strcmp(late.name, name) == 0) return late.number;
    return __NR_SCMP_ERROR;
}

int add_row(scmp_filter_ctx filter, const AllowedCall &row, int number, std::uint64_t self) {
    const scmp_datum_t low = 0xffffffffU; // an int argument: the kernel reads 32 bits
    switch (row.rule) {
    case Rule::ANY:
        return seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0);
    case Rule::EQUAL:
        return seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 1,
                                SCMP_CMP(row.arg, SCMP_CMP_MASKED_EQ, low, row.value));
    case Rule::MASKED:
        return seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 1,
                                SCMP_CMP(row.arg, SCMP_CMP_MASKED_EQ, row.mask, row.value));
    case Rule::SELF:
    case Rule::SELF_ONLY:
        for (const std::uint64_t pid : {self, std::uint64_t{0}}) {
            if (pid == 0 && row.rule == Rule::SELF_ONLY) break;
            if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 1,
                                                SCMP_CMP(row.arg, SCMP_CMP_MASKED_EQ, low, pid));
                rc < 0)
                return rc;
        }
        return 0;
    case Rule::WHO_SELF:
        for (const std::uint64_t pid : {self, std::uint64_t{0}}) {
            if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 2,
                                                SCMP_CMP(0, SCMP_CMP_MASKED_EQ, low, row.value),
                                                SCMP_CMP(1, SCMP_CMP_MASKED_EQ, low, pid));
                rc < 0)
                return rc;
        }
        return 0;
    case Rule::NO_SUCH:
        return seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), number, 0);
    }
    return -EINVAL;
}

int add_rules(scmp_filter_ctx filter) {
    const auto self = static_cast<std::uint64_t>(getpid());
    for (const AllowedCall &row : ALLOWED_CALLS) {
        const int number = call_number(row.name);
        if (number < 0) continue; // none here: refused like any other
        if (const int rc = add_row(filter, row, number, self); rc < 0) return rc;
    }
    return 0;
}

// Returns 0 when the filter is in place or the kernel has no seccomp filters.
int filter_system_calls() {
    // A null program is refused with EFAULT where filters exist, EINVAL where not.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) == 0 || errno != EFAULT) return 0;

    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    // The kernel's own error numbers rather than libseccomp's ECANCELED; a
    // binary search over the call numbers; a call from a foreign ABI (i386
    // int 0x80, x32) ends the process instead of slipping past the list.
    // Older libseccomp releases lack some of these; the filter works without.
    (void)seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1);
    (void)seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    (void)seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    int rc = add_rules(filter);
    if (rc == 0) rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc < 0) {
        errno = -rc;
        return -1;
    }
    return 0;
}

} // namespace
#endif

int pledge(const char *promises, const char *execpromises) {
#if defined(__OpenBSD__)
    return ::pledge(promises, execpromises);
#elif defined(__linux__)
    (void)execpromises;
    if (promises == nullptr) return 0; // as on OpenBSD: promises unchanged
    unsigned set = 0;
    if (parse_promises(promises, set) == -1) return -1;
    // Without no_new_privs an unprivileged process may not install either
    // filter; EINVAL means a kernel older than both.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1) return errno == EINVAL ? 0 : -1;
    if (restrict_file_system(set) == -1) return -1;
    return filter_system_calls();
#else
    (void)promises;
    (void)execpromises;
    return 0;
#endif
}

bool prefault(void *start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(page - 1);
    return to <= from ||
           madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE) == 0;
#else
    (void)start;
    (void)size;
    return false;
#endif
}

VectorLevel cpu_vector_level() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__) && !defined(VESTREL_PORTABLE)
    // The compiler's run-time library checks the CPUID bits and that the
    // operating system saves the AVX and AVX-512 registers (XGETBV).
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        return VectorLevel::AVX512;
    if (__builtin_cpu_supports("avx2")) return VectorLevel::AVX2;
    return VectorLevel::SSE2;
#else
    return VectorLevel::PORTABLE;
#endif
}

int usable_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<int>(std::min<long>(online, 1 << 16)) : 1;
}

} // namespace vestrel
