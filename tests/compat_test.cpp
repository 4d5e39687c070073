// pledge("stdio rpath") as the program calls it: each case forks a child that
// makes ready what the action needs, pledges, tries the action once and sends
// the parent what the kernel said. Denied actions must fail with the error of
// the mechanism that refuses them (Landlock: EACCES, the seccomp filter and
// Landlock's process rules: EPERM), allowed ones must work and give the right
// result. A case whose mechanism this kernel lacks is skipped, with the reason.
#include "compat.h"
#include "support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <regex>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <sys/uio.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define LEAK_CHECKER 1
#endif
#endif

extern char **environ;

namespace vestrel::test {
namespace {

constexpr char CONTENT[] = "line one\n";
constexpr const char *ZONE_FILE = "/usr/share/zoneinfo/Europe/Berlin";

#if defined(__linux__)
// The settings of a process that another process could change; each probe
// writes back what it read, so that an allowed call changes nothing.
struct Settings {
    rlimit cpu_limit{};
    int nice = 0;
    cpu_set_t cpus{};
    int policy = 0;
    sched_param param{};
    long ioprio = 0;
};

constexpr int IOPRIO_WHO_PROCESS = 1;

bool read_settings(pid_t pid, Settings &s) {
    errno = 0;
    s.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (s.nice == -1 && errno != 0) return false;
    s.policy = sched_getscheduler(pid);
    s.ioprio = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, pid);
    return prlimit(pid, RLIMIT_CPU, nullptr, &s.cpu_limit) == 0 &&
           sched_getaffinity(pid, sizeof s.cpus, &s.cpus) == 0 && s.policy != -1 &&
           sched_getparam(pid, &s.param) == 0 && s.ioprio != -1;
}

bool operator==(const Settings &a, const Settings &b) {
    return a.cpu_limit.rlim_cur == b.cpu_limit.rlim_cur &&
           a.cpu_limit.rlim_max == b.cpu_limit.rlim_max && a.nice == b.nice &&
           CPU_EQUAL(&a.cpus, &b.cpus) && a.policy == b.policy &&
           a.param.sched_priority == b.param.sched_priority && a.ioprio == b.ioprio;
}
#endif

// What a child has at hand, all set up before it pledges.
struct Ready {
    std::string dir;      // holds "existing" (CONTENT) and nothing else
    int pipe_fds[2];      // empty pipe
    int output = -1;      // "output" in dir, opened for writing beforehand
    int tcp = -1;         // unconnected TCP socket
    sockaddr_in listener; // a listening socket of the parent on 127.0.0.1
    int existing = -1;    // "existing", opened read-only
    int file_flags = 0;   // its inode flags (FS_IOC_GETFLAGS), 0 where unknown
    int proc_file = -1;   // a file of /proc, opened read-only
    int terminal = -1;    // the terminal side of a pseudo-terminal of its own
    termios modes{};      // that terminal's modes
    int shm_id = -1;      // SysV objects a probe managed to create, for the
    int msg_id = -1;      // parent to remove
    int sem_id = -1;
#if defined(__linux__)
    pid_t helper = -1; // a process of the test's own, waiting for its end
    Settings helper_settings;
    Settings own_settings;
#endif
};

// Written by the parent only; a child that manages to write into its
// parent's memory changes it.
constexpr std::uint32_t PARENT_WORD = 0x600df00d;
volatile std::uint32_t parent_word = PARENT_WORD;

std::string in(const Ready &r, const char *name) {
    return r.dir + "/" + name;
}

// An action returns 0 when it worked (and gave the right result), the errno of
// the failed call, or WRONG when it worked but gave a wrong result.
constexpr int WRONG = -1;
using Action = int (*)(Ready &);

int result(bool worked) {
    return worked ? 0 : errno;
}

int create_file(Ready &r) {
    const int fd = open(in(r, "new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd != -1) close(fd);
    return result(fd != -1);
}
int open_for_writing(Ready &r) {
    const int fd = open(in(r, "existing").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd != -1) close(fd);
    return result(fd != -1);
}
int remove_file(Ready &r) {
    return result(unlink(in(r, "existing").c_str()) == 0);
}
int make_directory(Ready &r) {
    return result(mkdir(in(r, "sub").c_str(), 0700) == 0);
}
int rename_file(Ready &r) {
    return result(rename(in(r, "existing").c_str(), in(r, "renamed").c_str()) == 0);
}
int change_mode(Ready &r) {
    return result(chmod(in(r, "existing").c_str(), 0666) == 0);
}
int truncate_file(Ready &r) {
    return result(truncate(in(r, "existing").c_str(), 0) == 0);
}
int create_socket(Ready &) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd != -1) close(fd);
    return result(fd != -1);
}
int connect_tcp(Ready &r) {
    return result(
        connect(r.tcp, reinterpret_cast<const sockaddr *>(&r.listener), sizeof r.listener) == 0);
}
int fork_child(Ready &) {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    if (pid == -1) return errno;
    waitpid(pid, nullptr, 0);
    return 0;
}
int execute_program(Ready &) {
    char name[] = "true";
    char *argv[] = {name, nullptr};
    execve("/bin/true", argv, environ);
    return errno; // reached only when refused
}
int signal_parent(Ready &) {
    return result(kill(getppid(), 0) == 0);
}
#if defined(__linux__)
// Seize, unlike attach, does not stop the parent; leaving detaches it.
int trace_parent(Ready &) {
    return result(ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr) == 0);
}
int write_parent_memory(Ready &) {
    std::uint32_t word = 0xbad;
    iovec local{&word, sizeof word};
    // The same address in the parent: the child is a copy of it.
    iovec remote{const_cast<std::uint32_t *>(&parent_word), sizeof word};
    return result(process_vm_writev(getppid(), &local, 1, &remote, 1, 0) != -1);
}
int change_user(Ready &) {
    return result(setuid(getuid()) == 0);
}
int new_namespace(Ready &) {
    return result(unshare(CLONE_NEWUSER) == 0);
}

// Probes of calls that reach outside the process without touching a file's
// contents. Each is made a no-op in effect should it get through: the same
// value written back, an object removed at once by the parent, a helper
// process of the test's own as the target.

// A file system without freezing (procfs) answers EOPNOTSUPP to a caller
// the filter lets through, instead of stopping every writer on it.
int freeze_file_system(Ready &r) {
    return result(ioctl(r.proc_file, FIFREEZE, 0) == 0);
}
int set_inode_flags(Ready &r) {
    int flags = r.file_flags;
    return result(ioctl(r.existing, FS_IOC_SETFLAGS, &flags) == 0);
}
// The child has its own session, so an allowed call has no terminal to hang up.
int hang_up_terminal(Ready &) {
    return result(vhangup() == 0);
}
int set_terminal_modes(Ready &r) {
    return result(tcsetattr(r.terminal, TCSANOW, &r.modes) == 0);
}
int push_terminal_input(Ready &r) {
    const char c = '\n';
    return result(ioctl(r.terminal, TIOCSTI, &c) == 0);
}
int set_pipe_non_blocking(Ready &r) {
    const int flags = fcntl(r.pipe_fds[0], F_GETFL);
    if (flags == -1) return errno;
    return result(fcntl(r.pipe_fds[0], F_SETFL, flags | O_NONBLOCK) == 0);
}
int set_pipe_non_blocking_ioctl(Ready &r) {
    int on = 1;
    return result(ioctl(r.pipe_fds[0], FIONBIO, &on) == 0);
}
int lock_whole_file(Ready &r) {
    return result(flock(r.existing, LOCK_SH | LOCK_NB) == 0);
}
int lease_file(Ready &r) {
    return result(fcntl(r.existing, F_SETLEASE, F_RDLCK) == 0);
}
int lock_file_range(Ready &r) {
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    return result(fcntl(r.existing, F_SETLK, &range) == 0);
}
int lock_file_range_ofd(Ready &r) {
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    return result(fcntl(r.existing, F_OFD_SETLK, &range) == 0);
}
int create_shared_memory(Ready &r) {
    r.shm_id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    return result(r.shm_id != -1);
}
int create_message_queue(Ready &r) {
    r.msg_id = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    return result(r.msg_id != -1);
}
int create_semaphore(Ready &r) {
    r.sem_id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    return result(r.sem_id != -1);
}
// Modes 0 only reads the clock's state.
int read_clock_tick(Ready &) {
    timex t{};
    return result(adjtimex(&t) != -1);
}
int read_clock_adjustment(Ready &) {
    timex t{};
    return result(clock_adjtime(CLOCK_REALTIME, &t) != -1);
}
int watch_file_system(Ready &) {
    const int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC, O_RDONLY);
    if (fd != -1) close(fd);
    return result(fd != -1);
}
int open_read_only_truncating(Ready &r) {
    const int fd = open(in(r, "existing").c_str(), O_RDONLY | O_TRUNC | O_CLOEXEC);
    if (fd != -1) close(fd);
    return result(fd != -1);
}
int create_read_only(Ready &r) {
    const int fd = open(in(r, "new").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd != -1) close(fd);
    return result(fd != -1);
}

// The calls on a process's settings, each writing back what it read; the
// target is the helper process or this one (as 0 or as its id).
int set_cpu_limit(pid_t pid, const Settings &s) {
    return result(prlimit(pid, RLIMIT_CPU, &s.cpu_limit, nullptr) == 0);
}
int set_nice(pid_t pid, const Settings &s) {
    return result(setpriority(PRIO_PROCESS, static_cast<id_t>(pid), s.nice) == 0);
}
int set_cpus(pid_t pid, const Settings &s) {
    return result(sched_setaffinity(pid, sizeof s.cpus, &s.cpus) == 0);
}
int set_scheduler(pid_t pid, const Settings &s) {
    return result(sched_setscheduler(pid, s.policy, &s.param) == 0);
}
int set_io_priority(pid_t pid, const Settings &s) {
    return result(syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, pid, s.ioprio) == 0);
}
int limit_helper(Ready &r) {
    return set_cpu_limit(r.helper, r.helper_settings);
}
int nice_helper(Ready &r) {
    return set_nice(r.helper, r.helper_settings);
}
int pin_helper(Ready &r) {
    return set_cpus(r.helper, r.helper_settings);
}
int schedule_helper(Ready &r) {
    return set_scheduler(r.helper, r.helper_settings);
}
int io_priority_helper(Ready &r) {
    return set_io_priority(r.helper, r.helper_settings);
}
// The process group and the user hold the helper too.
int nice_own_group(Ready &r) {
    return result(setpriority(PRIO_PGRP, 0, r.own_settings.nice) == 0);
}
int nice_own_user(Ready &r) {
    return result(setpriority(PRIO_USER, getuid(), r.own_settings.nice) == 0);
}
int limit_self(Ready &r) {
    return set_cpu_limit(getpid(), r.own_settings);
}
int limit_self_as_zero(Ready &r) {
    return set_cpu_limit(0, r.own_settings);
}
int nice_self(Ready &r) {
    return set_nice(0, r.own_settings);
}
int pin_self(Ready &r) {
    return set_cpus(getpid(), r.own_settings);
}
int schedule_self(Ready &r) {
    return set_scheduler(0, r.own_settings);
}
int io_priority_self(Ready &r) {
    return set_io_priority(0, r.own_settings);
}
#endif

int read_file(Ready &r) {
    const int fd = open(in(r, "existing").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return errno;
    char buf[64] = {};
    const ssize_t n = read(fd, buf, sizeof buf);
    const int saved = errno;
    close(fd);
    if (n == -1) return saved;
    return std::string(buf, static_cast<std::size_t>(n)) == CONTENT ? 0 : WRONG;
}
int list_directory(Ready &r) {
    DIR *dir = opendir(r.dir.c_str());
    if (dir == nullptr) return errno;
    bool found = false;
    while (const dirent *entry = readdir(dir))
        found = found || std::strcmp(entry->d_name, "existing") == 0;
    closedir(dir);
    return found ? 0 : WRONG;
}
int map_file_and_pread(Ready &r) {
    const int fd = open(in(r, "existing").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return errno;
    const std::size_t size = sizeof CONTENT - 1;
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    char buf[4] = {};
    const bool read = pread(fd, buf, sizeof buf, 5) == static_cast<ssize_t>(sizeof buf);
    const int saved = errno;
    close(fd);
    if (map == MAP_FAILED) return saved;
    const bool right = std::memcmp(map, CONTENT, size) == 0 && std::memcmp(buf, "one\n", 4) == 0;
    munmap(map, size);
    if (!read) return saved;
    return right ? 0 : WRONG;
}
int write_pipe_and_poll(Ready &r) {
    if (write(r.pipe_fds[1], "x", 1) != 1) return errno;
    pollfd p{r.pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return errno != 0 ? errno : WRONG;
    char c = 0;
    if (read(r.pipe_fds[0], &c, 1) != 1) return errno;
    return c == 'x' ? 0 : WRONG;
}
int write_open_file(Ready &r) {
    return result(write(r.output, CONTENT, sizeof CONTENT - 1) ==
                  static_cast<ssize_t>(sizeof CONTENT - 1));
}
int read_clocks(Ready &) {
    timespec mono{};
    timespec real{};
    if (clock_gettime(CLOCK_MONOTONIC, &mono) == -1 || clock_gettime(CLOCK_REALTIME, &real) == -1)
        return errno;
    return real.tv_sec > 1600000000 && time(nullptr) >= real.tv_sec ? 0 : WRONG;
}
// TZ names the zone file (set before pledging); localtime must read it now.
int local_time(Ready &) {
    const time_t t = 1700000000; // November 2023: Berlin is one hour ahead of UTC
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return errno;
    return local.tm_gmtoff == 3600 && local.tm_hour == 23 ? 0 : WRONG;
}
int map_anonymous(Ready &) {
    const std::size_t size = 1 << 20;
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return errno;
    std::memset(p, 7, size);
    // A fixed mapping over part of it, as a reader of a database may do.
    // One page: 4 KiB on x86-64, up to 64 KiB on arm64.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *q = mmap(static_cast<char *>(p) + page, page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    const int saved = errno;
    const bool right = q != MAP_FAILED && static_cast<char *>(q)[0] == 0;
    if (mprotect(p, size, PROT_READ) == -1 || munmap(p, size) == -1) return errno;
    if (q == MAP_FAILED) return saved;
    return right ? 0 : WRONG;
}
void *thread_body(void *arg) {
    *static_cast<int *>(arg) = 1;
    return nullptr;
}
int start_thread(Ready &) {
    int ran = 0;
    pthread_t thread;
    if (const int rc = pthread_create(&thread, nullptr, thread_body, &ran); rc != 0) return rc;
    pthread_join(thread, nullptr);
    return ran == 1 ? 0 : WRONG;
}
int signal_self(Ready &) {
    return result(kill(getpid(), 0) == 0);
}
// What stdio asks about standard output: a terminal is one, a pipe is not.
int is_a_terminal(Ready &r) {
    if (isatty(r.terminal) != 1) return errno;
    return isatty(r.pipe_fds[1]) == 0 && errno == ENOTTY ? 0 : WRONG;
}
int start_std_thread(Ready &) {
    int ran = 0;
    try {
        std::thread thread([&ran] { ran = 1; });
        thread.join();
    } catch (const std::system_error &e) {
        return e.code().value();
    }
    return ran == 1 ? 0 : WRONG;
}

// The mechanism a denial rests on on Linux; a kernel without it is a skip.
enum class Needs { NOTHING, SECCOMP, LANDLOCK_FS };

struct Case {
    const char *name;
    Action action;
    bool allowed;
    Needs needs;
    int error; // errno of a denial on Linux
};

// In builds with the leak checker ptrace stays open to the filter (the check
// at exit needs it), and Landlock refuses tracing a process outside the
// sandbox, the parent here.
#if defined(LEAK_CHECKER)
constexpr Needs PTRACE_NEEDS = Needs::LANDLOCK_FS;
#else
constexpr Needs PTRACE_NEEDS = Needs::SECCOMP;
#endif

// Files are refused twice over: the filter lets only read-only opens through
// and no call that changes a directory, and Landlock would refuse them with
// EACCES behind it.
const Case CASES[] = {
    {"CreateFile", create_file, false, Needs::SECCOMP, EPERM},
    {"CreateFileReadOnly", create_read_only, false, Needs::SECCOMP, EPERM},
    {"OpenExistingFileForWriting", open_for_writing, false, Needs::SECCOMP, EPERM},
    {"OpenReadOnlyTruncating", open_read_only_truncating, false, Needs::SECCOMP, EPERM},
    {"Unlink", remove_file, false, Needs::SECCOMP, EPERM},
    {"Mkdir", make_directory, false, Needs::SECCOMP, EPERM},
    {"Rename", rename_file, false, Needs::SECCOMP, EPERM},
    {"Chmod", change_mode, false, Needs::SECCOMP, EPERM},
    {"Truncate", truncate_file, false, Needs::SECCOMP, EPERM},
    {"Socket", create_socket, false, Needs::SECCOMP, EPERM},
    {"ConnectTo127001", connect_tcp, false, Needs::SECCOMP, EPERM},
    {"Fork", fork_child, false, Needs::SECCOMP, EPERM},
    {"ExecveBinTrue", execute_program, false, Needs::SECCOMP, EPERM},
    {"SignalParent", signal_parent, false, Needs::SECCOMP, EPERM},
#if defined(__linux__)
    {"PtraceParent", trace_parent, false, PTRACE_NEEDS, EPERM},
    {"WriteParentMemory", write_parent_memory, false, Needs::SECCOMP, EPERM},
    {"Setuid", change_user, false, Needs::SECCOMP, EPERM},
    {"UnshareUserNamespace", new_namespace, false, Needs::SECCOMP, EPERM},
    {"FreezeFileSystem", freeze_file_system, false, Needs::SECCOMP, EPERM},
    {"SetInodeFlags", set_inode_flags, false, Needs::SECCOMP, EPERM},
    {"Vhangup", hang_up_terminal, false, Needs::SECCOMP, EPERM},
    {"SetTerminalModes", set_terminal_modes, false, Needs::SECCOMP, EPERM},
    {"PushTerminalInput", push_terminal_input, false, Needs::SECCOMP, EPERM},
    {"SetPipeNonBlocking", set_pipe_non_blocking, false, Needs::SECCOMP, EPERM},
    {"SetPipeNonBlockingIoctl", set_pipe_non_blocking_ioctl, false, Needs::SECCOMP, EPERM},
    {"Flock", lock_whole_file, false, Needs::SECCOMP, EPERM},
    {"Lease", lease_file, false, Needs::SECCOMP, EPERM},
    {"LockRange", lock_file_range, false, Needs::SECCOMP, EPERM},
    {"LockRangeOpenFile", lock_file_range_ofd, false, Needs::SECCOMP, EPERM},
    {"SharedMemory", create_shared_memory, false, Needs::SECCOMP, EPERM},
    {"MessageQueue", create_message_queue, false, Needs::SECCOMP, EPERM},
    {"Semaphore", create_semaphore, false, Needs::SECCOMP, EPERM},
    {"Adjtimex", read_clock_tick, false, Needs::SECCOMP, EPERM},
    {"ClockAdjtime", read_clock_adjustment, false, Needs::SECCOMP, EPERM},
    {"FanotifyInit", watch_file_system, false, Needs::SECCOMP, EPERM},
    {"PrlimitOther", limit_helper, false, Needs::SECCOMP, EPERM},
    {"SetpriorityOther", nice_helper, false, Needs::SECCOMP, EPERM},
    {"SetpriorityOwnGroup", nice_own_group, false, Needs::SECCOMP, EPERM},
    {"SetpriorityOwnUser", nice_own_user, false, Needs::SECCOMP, EPERM},
    {"SchedSetaffinityOther", pin_helper, false, Needs::SECCOMP, EPERM},
    {"SchedSetschedulerOther", schedule_helper, false, Needs::SECCOMP, EPERM},
    {"IoprioSetOther", io_priority_helper, false, Needs::SECCOMP, EPERM},
#endif
    {"OpenAndReadFile", read_file, true, Needs::NOTHING, 0},
    {"ListDirectory", list_directory, true, Needs::NOTHING, 0},
    {"MmapFileAndPread", map_file_and_pread, true, Needs::NOTHING, 0},
    {"WritePipeAndPoll", write_pipe_and_poll, true, Needs::NOTHING, 0},
    {"WriteFileOpenedBefore", write_open_file, true, Needs::NOTHING, 0},
    {"Isatty", is_a_terminal, true, Needs::NOTHING, 0},
    {"ClockGettime", read_clocks, true, Needs::NOTHING, 0},
    {"Localtime", local_time, true, Needs::NOTHING, 0},
    {"MmapAnonymous", map_anonymous, true, Needs::NOTHING, 0},
    {"Thread", start_thread, true, Needs::NOTHING, 0},
    {"StdThread", start_std_thread, true, Needs::NOTHING, 0},
    {"SignalSelf", signal_self, true, Needs::NOTHING, 0},
#if defined(__linux__)
    {"PrlimitSelf", limit_self, true, Needs::NOTHING, 0},
    {"PrlimitSelfAsZero", limit_self_as_zero, true, Needs::NOTHING, 0},
    {"SetprioritySelf", nice_self, true, Needs::NOTHING, 0},
    {"SchedSetaffinitySelf", pin_self, true, Needs::NOTHING, 0},
    {"SchedSetschedulerSelf", schedule_self, true, Needs::NOTHING, 0},
    {"IoprioSetSelf", io_priority_self, true, Needs::NOTHING, 0},
#endif
};

void PrintTo(const Case &c, std::ostream *out) {
    *out << c.name;
}

// What this kernel offers, asked the way the program asks; an empty text
// when the case can run.
std::string missing(Needs needs) {
#if defined(__linux__)
    // An emulator answers for the kernel, and refuses or lacks both filters.
    if (needs != Needs::NOTHING) {
        if (const std::string name = emulator(); !name.empty())
            return "runs under " + name + ", which implements neither seccomp filters nor Landlock";
    }
    long landlock = -1;
#if defined(__NR_landlock_create_ruleset)
    landlock = syscall(__NR_landlock_create_ruleset, nullptr, 0, 1U);
#endif
    const bool seccomp =
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) == -1 && errno == EFAULT;
    const std::string version =
        landlock < 0 ? "no Landlock" : "Landlock version " + std::to_string(landlock);
    switch (needs) {
    case Needs::NOTHING:
        return "";
    case Needs::SECCOMP:
        return seccomp ? "" : "needs seccomp filters, which this kernel lacks";
    case Needs::LANDLOCK_FS:
        return landlock >= 1 ? "" : "needs Landlock; this kernel has " + version;
    }
    return "";
#elif defined(__OpenBSD__)
    (void)needs;
    return "";
#else
    return needs == Needs::NOTHING ? "" : "pledge changes nothing on this system";
#endif
}

#if defined(__linux__)
bool uses_settings(Action action) {
    for (const Action a :
         {limit_helper, nice_helper, pin_helper, schedule_helper, io_priority_helper,
          nice_own_group, nice_own_user, limit_self, limit_self_as_zero, nice_self, pin_self,
          schedule_self, io_priority_self})
        if (action == a) return true;
    return false;
}
#else
bool uses_settings(Action) {
    return false;
}
#endif

// What a child sends back: the outcome and the SysV objects it created.
struct Answer {
    int outcome = 0;
    int shm_id = -1;
    int msg_id = -1;
    int sem_id = -1;
};

// A pseudo-terminal of the child's own: its terminal side, in raw mode.
int open_terminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master == -1 || grantpt(master) == -1 || unlockpt(master) == -1) return -1;
    const char *name = ptsname(master);
    return name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
}

// The child's side: never returns.
[[noreturn]] void run_child(const Case &c, const std::string &dir, sockaddr_in listener,
                            pid_t helper, int report) {
    Ready r;
    r.dir = dir;
    r.listener = listener;
    if (pipe(r.pipe_fds) == -1) _exit(2);
    r.output = open(in(r, "output").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    r.tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    r.existing = open(in(r, "existing").c_str(), O_RDONLY | O_CLOEXEC);
    if (r.output == -1 || r.tcp == -1 || r.existing == -1) _exit(2);
    setenv("TZ", (std::string(":") + ZONE_FILE).c_str(), 1);
#if defined(__linux__)
    // Its own session: no controlling terminal to hang up.
    if (setsid() == -1) _exit(2);
    if (ioctl(r.existing, FS_IOC_GETFLAGS, &r.file_flags) == -1) r.file_flags = 0;
    r.proc_file = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    r.terminal = open_terminal();
    if (r.terminal != -1 && tcgetattr(r.terminal, &r.modes) == -1) _exit(2);
    r.helper = helper;
    if ((!read_settings(helper, r.helper_settings) || !read_settings(getpid(), r.own_settings)) &&
        uses_settings(c.action))
        _exit(4);
#else
    (void)helper;
#endif

    if (vestrel::pledge("stdio rpath", nullptr) == -1) _exit(3);
    Answer answer;
    answer.outcome = c.action(r);
    answer.shm_id = r.shm_id;
    answer.msg_id = r.msg_id;
    answer.sem_id = r.sem_id;
    if (write(report, &answer, sizeof answer) != sizeof answer) _exit(2);
    _exit(0);
}

std::string error_name(int error) {
#if defined(__GLIBC__)
    if (const char *name = strerrorname_np(error)) return name;
#endif
    return "errno " + std::to_string(error);
}

std::string describe(int outcome) {
    if (outcome == 0) return "worked";
    if (outcome == WRONG) return "worked but gave a wrong result";
    return "failed with " + error_name(outcome) + " (" + std::strerror(outcome) + ")";
}

class Pledged : public testing::TestWithParam<Case> {};

bool uses_terminal(Action action) {
    return action == is_a_terminal
#if defined(__linux__)
           || action == set_terminal_modes || action == push_terminal_input
#endif
        ;
}

TEST_P(Pledged, KernelAnswer) {
    const Case &c = GetParam();
    if (const std::string reason = missing(c.needs); !reason.empty()) GTEST_SKIP() << reason;
    if (c.action == local_time && access(ZONE_FILE, R_OK) != 0)
        GTEST_SKIP() << ZONE_FILE << " is missing (Debian package tzdata)";
#if defined(__linux__)
    if (Settings own; uses_settings(c.action) && !read_settings(getpid(), own))
        GTEST_SKIP() << "a process's limits, priorities and scheduling cannot be read here: "
                     << std::strerror(errno);
#endif
    if (uses_terminal(c.action)) {
        const int terminal = open_terminal();
        if (terminal == -1) GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
        close(terminal);
    }

    TempDir dir;
    write_file(dir.file("existing"), CONTENT);
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(listening, -1) << std::strerror(errno);
    sockaddr_in listener{};
    listener.sin_family = AF_INET;
    listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof listener;
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&listener), sizeof listener), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    ASSERT_EQ(getsockname(listening, reinterpret_cast<sockaddr *>(&listener), &length), 0);
    struct stat before {};
    ASSERT_EQ(stat(dir.file("existing").c_str(), &before), 0);

    // The process the probes of other processes aim at: it waits to be ended.
    const pid_t helper = fork();
    ASSERT_NE(helper, -1);
    if (helper == 0) {
        for (;;)
            pause();
    }
#if defined(__linux__)
    Settings helper_before;
    const bool helper_read = read_settings(helper, helper_before);
#endif

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(report[0]);
        run_child(c, dir.path, listener, helper, report[1]);
    }
    close(report[1]);
    Answer answer;
    const ssize_t n = read(report[0], &answer, sizeof answer);
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(listening);
    const bool poked = parent_word != PARENT_WORD;
    parent_word = PARENT_WORD;
    // Whatever got through is undone before anything is checked.
    if (answer.shm_id != -1) shmctl(answer.shm_id, IPC_RMID, nullptr);
    if (answer.msg_id != -1) msgctl(answer.msg_id, IPC_RMID, nullptr);
    if (answer.sem_id != -1) semctl(answer.sem_id, 0, IPC_RMID);
    const bool helper_alive = waitpid(helper, nullptr, WNOHANG) == 0;
#if defined(__linux__)
    Settings helper_after;
    const bool helper_same =
        helper_read && read_settings(helper, helper_after) && helper_after == helper_before;
#else
    const bool helper_same = true;
#endif
    kill(helper, SIGKILL);
    waitpid(helper, nullptr, 0);
    ASSERT_FALSE(poked) << "the child wrote into its parent's memory";
    EXPECT_TRUE(helper_alive) << "the helper process ended";
    EXPECT_TRUE(helper_same) << "the helper process's settings changed";

    if (n != sizeof answer) {
        // OpenBSD ends a process that breaks its promises with SIGABRT.
#if defined(__OpenBSD__)
        if (!c.allowed && WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) return;
#endif
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3) FAIL() << "pledge failed in the child";
        if (WIFEXITED(status) && WEXITSTATUS(status) == 4)
            FAIL() << "the child could not read a process's settings before pledging";
        FAIL() << "the child sent no answer; "
               << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "signal " + std::to_string(WTERMSIG(status)))
               << (c.action == execute_program ? " (the program ran)" : "");
    }
    const int outcome = answer.outcome;
    if (c.allowed) {
        EXPECT_EQ(outcome, 0) << describe(outcome);
        return;
    }
#if defined(__linux__)
    EXPECT_EQ(outcome, c.error) << "expected " << error_name(c.error) << ", " << describe(outcome);
#else
    EXPECT_GT(outcome, 0) << describe(outcome);
#endif
    // Nothing of a refused change may show afterwards.
    EXPECT_EQ(vestrel::test::read_file(dir.file("existing")), CONTENT);
    struct stat after {};
    EXPECT_EQ(stat(dir.file("existing").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

INSTANTIATE_TEST_SUITE_P(StdioRpath, Pledged, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

#if defined(__linux__)
// The program itself narrows itself before it reads its input: seen from
// outside while it waits on an empty pipe. (Landlock leaves no trace in
// /proc; the filter and no_new_privs do.)
TEST(ProgramPledge, NarrowedWhileWaitingForInput) {
    if (const std::string reason = missing(Needs::SECCOMP); !reason.empty()) GTEST_SKIP() << reason;
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null == -1 || dup2(input[0], STDIN_FILENO) == -1 || dup2(null, STDOUT_FILENO) == -1 ||
            dup2(null, STDERR_FILENO) == -1)
            _exit(126);
        close(input[0]);
        close(input[1]);
        execl(VESTREL_BIN, "vestrel", "-", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(input[0]);
    const std::string proc = "/proc/" + std::to_string(pid) + "/status";
    std::string status;
    for (int i = 0; i < 1000; ++i) { // up to 10 s for the start (slow under the sanitizers)
        status = vestrel::test::read_file(proc);
        if (status.find("Seccomp:\t2") != std::string::npos) break;
        usleep(10000);
    }
    close(input[1]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos) << status;
    EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos) << status;
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
}
#endif

// The whole program under the filter, on every kind of standard input and
// output it may be given: the report must be the one the fixtures hold. A
// terminal makes stdio ask TCGETS and buffer by line; a non-blocking pipe
// makes the reader wait in poll.
enum class Input { FILE, PIPE, NON_BLOCKING_PIPE };
enum class Output { PIPE, TERMINAL, FILE, DEV_NULL };

struct ProgramCase {
    const char *name;
    std::vector<std::string> args; // run in tests/cli
    const char *expected;          // tests/cli/expected/<name>.json
    Input input;
    const char *input_file; // standard input: absolute, or in tests/cli
    Output output;
};

// The report with the fields that depend on how the log was given (name,
// size) and on the run (date, run time) masked.
std::string mask_run(const std::string &report) {
    static const std::regex file(R"re("file_name": "[^"]*",(\s*)"file_size": [0-9]+)re");
    return std::regex_replace(mask_report(report), file, "\"file_name\": F,$1\"file_size\": S");
}

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text; // EIO: a terminal whose other side has gone
        }
    }
}

TEST(ProgramPledge, ReportUnderFilterOnEveryKindOfStream) {
    if (const std::string reason = missing(Needs::SECCOMP); !reason.empty()) GTEST_SKIP() << reason;
    const std::string cli = std::string(VESTREL_TEST_DIR) + "/cli";
    const ProgramCase cases[] = {
        {"file to pipe", {"mixed.log"}, "mixed", Input::FILE, "/dev/null", Output::PIPE},
        {"file to terminal", {"mixed.log"}, "mixed", Input::FILE, "/dev/null", Output::TERMINAL},
        {"file to file", {"mixed.log"}, "mixed", Input::FILE, "/dev/null", Output::FILE},
        {"file to /dev/null", {"mixed.log"}, "mixed", Input::FILE, "/dev/null", Output::DEV_NULL},
        {"stdin file", {"-"}, "mixed", Input::FILE, "mixed.log", Output::PIPE},
        {"stdin pipe", {"-"}, "mixed", Input::PIPE, "mixed.log", Output::PIPE},
        {"stdin non-blocking pipe",
         {"-"},
         "mixed",
         Input::NON_BLOCKING_PIPE,
         "mixed.log",
         Output::TERMINAL},
        {"-g file to pipe",
         {"-g", "-d", "../geo/fixture.mmdb", "geo.log"},
         "geo",
         Input::FILE,
         "/dev/null",
         Output::PIPE},
        {"-g file to terminal",
         {"-g", "-d", "../geo/fixture.mmdb", "geo.log"},
         "geo",
         Input::FILE,
         "/dev/null",
         Output::TERMINAL},
        {"-g stdin pipe",
         {"-g", "-d", "../geo/fixture.mmdb", "-"},
         "geo",
         Input::PIPE,
         "geo.log",
         Output::FILE},
        {"-g stdin non-blocking pipe",
         {"-g", "-d", "../geo/fixture.mmdb", "-"},
         "geo",
         Input::NON_BLOCKING_PIPE,
         "geo.log",
         Output::PIPE},
    };
    for (const ProgramCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input_path =
            c.input_file[0] == '/' ? c.input_file : cli + "/" + c.input_file;
        const std::string input = vestrel::test::read_file(input_path);
        TempDir dir;
        int out[2] = {-1, -1}; // [0] the test reads, [1] the program writes
        if (c.output == Output::PIPE) {
            ASSERT_EQ(pipe(out), 0);
        } else if (c.output == Output::TERMINAL) {
            out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (out[0] == -1) GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
            ASSERT_EQ(grantpt(out[0]), 0);
            ASSERT_EQ(unlockpt(out[0]), 0);
            out[1] = open(ptsname(out[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_NE(out[1], -1);
            termios raw{}; // no newline translation
            ASSERT_EQ(tcgetattr(out[1], &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(out[1], TCSANOW, &raw), 0);
        } else {
            const std::string path = c.output == Output::FILE ? dir.file("out") : "/dev/null";
            out[1] = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ASSERT_NE(out[1], -1);
        }
        int in[2] = {-1, -1};
        if (c.input != Input::FILE) {
            ASSERT_EQ(pipe(in), 0);
            if (c.input == Input::NON_BLOCKING_PIPE) {
                ASSERT_EQ(fcntl(in[0], F_SETFL, O_NONBLOCK), 0);
            }
        }
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            const int stdin_fd =
                c.input == Input::FILE ? open(input_path.c_str(), O_RDONLY) : in[0];
            if (stdin_fd == -1 || dup2(stdin_fd, STDIN_FILENO) == -1 ||
                dup2(out[1], STDOUT_FILENO) == -1 || dup2(err[1], STDERR_FILENO) == -1 ||
                chdir(cli.c_str()) == -1)
                _exit(126);
            if (in[1] != -1) close(in[1]);
            std::vector<char *> argv{const_cast<char *>("vestrel")};
            for (const std::string &arg : c.args)
                argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(VESTREL_BIN, argv.data());
            _exit(127);
        }
        close(err[1]);
        if (in[0] != -1) {
            close(in[0]);
            // Small pieces with pauses, so that the non-blocking reader finds
            // the pipe empty between them.
            for (std::size_t at = 0; at < input.size(); at += 512) {
                const std::size_t n = std::min<std::size_t>(512, input.size() - at);
                ASSERT_EQ(write(in[1], input.data() + at, n), static_cast<ssize_t>(n));
                usleep(2000);
            }
            close(in[1]);
        }
        std::string report;
        if (out[0] != -1) {
            // A terminal keeps its other side open here: read what the
            // program wrote once it has ended.
            if (c.output == Output::PIPE) close(out[1]);
            if (c.output == Output::PIPE) report = drain(out[0]);
        }
        const std::string errors = drain(err[0]);
        close(err[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (c.output == Output::TERMINAL) {
            close(out[1]);
            report = drain(out[0]);
        } else if (c.output == Output::FILE) {
            close(out[1]);
            report = vestrel::test::read_file(dir.file("out"));
        } else if (c.output == Output::DEV_NULL) {
            close(out[1]);
        }
        if (out[0] != -1) close(out[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << errors;
        EXPECT_NE(errors.find("Processed "), std::string::npos) << errors;
        if (c.output != Output::DEV_NULL) {
            EXPECT_EQ(mask_run(report), mask_run(vestrel::test::read_file(cli + "/expected/" +
                                                                          c.expected + ".json")));
        }
    }
}

// prefault: the pages wholly inside the range come in at once when it says
// so, the bytes stay as they were, and a range holding no whole page is
// nothing to do. The program calls it after pledge, so it must still work
// there.
TEST(Prefault, PagesComeInAndBytesStay) {
    if (const std::string name = emulator(); !name.empty())
        GTEST_SKIP() << "runs under " << name << ", which accepts memory advice without acting on it";
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto *map = static_cast<unsigned char *>(
        mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    std::memset(map + 3 * page, 0x5a, page);
    EXPECT_TRUE(prefault(map + 10, 0));
    EXPECT_TRUE(prefault(map + 10, page - 20)); // inside one page: no whole page
    const bool done = prefault(map + 100, 3 * page);
    unsigned char resident[4] = {};
    ASSERT_EQ(mincore(map, 4 * page, resident), 0);
    if (done) {
        EXPECT_EQ(resident[1] & 1, 1);
        EXPECT_EQ(resident[2] & 1, 1);
    }
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Linux 5.14 or later; older kernels refuse the advice.
    if (!done) GTEST_LOG_(INFO) << "this kernel cannot populate pages ahead";
#else
    EXPECT_FALSE(done);
#endif
    for (std::size_t i = 0; i < page; ++i)
        ASSERT_EQ(map[3 * page + i], 0x5a) << i;
    for (std::size_t i = 0; i < 3 * page; ++i)
        ASSERT_EQ(map[i], 0) << i;

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        void *fresh =
            mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        const char answer = pledge("stdio rpath", nullptr) != 0 ? 'x'
                            : fresh == MAP_FAILED               ? 'm'
                            : prefault(fresh, 4 * page)         ? 'y'
                                                                : 'n';
        _exit(write(report[1], &answer, 1) == 1 ? 0 : 1);
    }
    close(report[1]);
    char answer = 0;
    EXPECT_EQ(read(report[0], &answer, 1), 1);
    close(report[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_EQ(answer, done ? 'y' : 'n');
    munmap(map, 4 * page);
}

} // namespace
} // namespace vestrel::test
