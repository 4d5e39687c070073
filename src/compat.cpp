#include "compat.h"

#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__linux__)
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

// Calls that fail with EPERM once narrowed. A list of what is refused, not of
// what is allowed, so that a C library that starts using a new call for
// reading, mapping or waiting keeps working. Files are Landlock's; the file
// calls here are the ones Landlock does not cover (modes, owners, times,
// extended attributes; truncate before Landlock version 3).
// clang-format off
constexpr const char *DENIED_CALLS[] = {
    // processes and programs
    "fork", "vfork", "execve", "execveat",
#if !defined(VESTREL_LEAK_CHECKER)
    "ptrace",
#endif
    "process_vm_readv", "process_vm_writev", "process_madvise", "pidfd_getfd",
    // network
    "socket", "socketpair", "connect", "bind", "listen", "accept", "accept4",
    // io_uring runs operations in kernel threads, out of the filter's sight
    "io_uring_setup", "io_uring_enter", "io_uring_register",
    // file metadata
    "chmod", "fchmod", "fchmodat", "fchmodat2", "chown", "fchown", "fchownat", "lchown",
    "setxattr", "lsetxattr", "fsetxattr", "setxattrat", "removexattr", "lremovexattr",
    "fremovexattr", "removexattrat", "utime", "utimes", "futimesat", "utimensat", "truncate",
    "open_by_handle_at",
    // credentials
    "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid", "setfsuid", "setfsgid",
    "setgroups", "capset",
    // mounts and namespaces
    "mount", "umount2", "pivot_root", "chroot", "unshare", "setns", "move_mount", "open_tree",
    "open_tree_attr", "fsopen", "fsconfig", "fsmount", "fspick", "mount_setattr",
    // the kernel and the machine
    "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot",
    "swapon", "swapoff", "acct", "bpf", "perf_event_open", "userfaultfd", "keyctl", "add_key",
    "request_key", "syslog", "quotactl", "quotactl_fd", "iopl", "ioperm", "settimeofday",
    "clock_settime", "sethostname", "setdomainname",
};
// clang-format on

// Numbers of calls that a libseccomp older than the kernel may not know by
// name; from Linux 5.1 on, new calls have one number on these architectures.
struct LateCall {
    const char *name;
    int number;
};
#if defined(__x86_64__) || defined(__aarch64__) || defined(__riscv)
constexpr LateCall LATE_CALLS[] = {
    {"fchmodat2", 452}, {"setxattrat", 463}, {"removexattrat", 466}, {"open_tree_attr", 467}};
#else
constexpr LateCall LATE_CALLS[] = {{"", -1}};
#endif

int call_number(const char *name) {
    const int number = seccomp_syscall_resolve_name(name);
    if (number != __NR_SCMP_ERROR) return number;
    for (const LateCall &late : LATE_CALLS)
        if (std::strcmp(late.name, name) == 0) return late.number;
    return __NR_SCMP_ERROR;
}

// clone's flags are its first argument, except on s390.
#if defined(__s390__) || defined(__s390x__)
constexpr unsigned CLONE_FLAGS_ARG = 1;
#else
constexpr unsigned CLONE_FLAGS_ARG = 0;
#endif

int add_rules(scmp_filter_ctx filter) {
    for (const char *name : DENIED_CALLS) {
        const int number = call_number(name);
        if (number == __NR_SCMP_ERROR) continue; // unknown here: nothing to refuse
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), number, 0); rc < 0)
            return rc;
    }

    // A thread shares everything the caller already has, filter and Landlock
    // domain included, so threads stay allowed: the C library or a sanitizer
    // may start one. Anything that would be a new process is refused.
    // clone3 passes its flags in memory, where the filter cannot look; ENOSYS
    // makes the C library fall back to clone.
    int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
#if defined(VESTREL_LEAK_CHECKER)
    // The leak checker's helper is a clone with CLONE_VM but neither
    // CLONE_THREAD nor CLONE_VFORK, and it needs ptrace on this process
    // (Landlock still keeps ptrace inside the sandbox). Copies of the process
    // (fork) and vfork-style children (posix_spawn) stay refused.
    if (rc == 0)
        rc = seccomp_rule_add(
            filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
            SCMP_CMP(CLONE_FLAGS_ARG, SCMP_CMP_MASKED_EQ, CLONE_THREAD | CLONE_VM, 0));
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                              SCMP_CMP(CLONE_FLAGS_ARG, SCMP_CMP_MASKED_EQ,
                                       CLONE_THREAD | CLONE_VM | CLONE_VFORK,
                                       CLONE_VM | CLONE_VFORK));
#else
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                              SCMP_CMP(CLONE_FLAGS_ARG, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
#endif

    // Pushing bytes into a terminal's input runs commands in the shell that
    // reads it. The kernel looks at 32 bits of the request only.
    for (const unsigned long request : {TIOCSTI, TIOCLINUX}) {
        if (rc == 0)
            rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                  SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffUL, request));
    }
    return rc;
}

// Returns 0 when the filter is in place or the kernel has no seccomp filters.
int deny_system_calls() {
    // A null program is refused with EFAULT where filters exist, EINVAL where not.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) == 0 || errno != EFAULT) return 0;

    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
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
    return deny_system_calls();
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

} // namespace vestrel
