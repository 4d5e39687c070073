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
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
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

// What a child has at hand, all set up before it pledges.
struct Ready {
    std::string dir;      // holds "existing" (CONTENT) and nothing else
    int pipe_fds[2];      // empty pipe
    int output = -1;      // "output" in dir, opened for writing beforehand
    int tcp = -1;         // unconnected TCP socket
    sockaddr_in listener; // a listening socket of the parent on 127.0.0.1
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

// The mechanism a denial rests on on Linux; a kernel without it is a skip.
enum class Needs { NOTHING, SECCOMP, LANDLOCK_FS, LANDLOCK_SCOPE };

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

const Case CASES[] = {
    {"CreateFile", create_file, false, Needs::LANDLOCK_FS, EACCES},
    {"OpenExistingFileForWriting", open_for_writing, false, Needs::LANDLOCK_FS, EACCES},
    {"Unlink", remove_file, false, Needs::LANDLOCK_FS, EACCES},
    {"Mkdir", make_directory, false, Needs::LANDLOCK_FS, EACCES},
    {"Rename", rename_file, false, Needs::LANDLOCK_FS, EACCES},
    {"Chmod", change_mode, false, Needs::SECCOMP, EPERM},
    {"Truncate", truncate_file, false, Needs::SECCOMP, EPERM},
    {"Socket", create_socket, false, Needs::SECCOMP, EPERM},
    {"ConnectTo127001", connect_tcp, false, Needs::SECCOMP, EPERM},
    {"Fork", fork_child, false, Needs::SECCOMP, EPERM},
    {"ExecveBinTrue", execute_program, false, Needs::SECCOMP, EPERM},
    {"SignalParent", signal_parent, false, Needs::LANDLOCK_SCOPE, EPERM},
#if defined(__linux__)
    {"PtraceParent", trace_parent, false, PTRACE_NEEDS, EPERM},
    {"WriteParentMemory", write_parent_memory, false, Needs::SECCOMP, EPERM},
    {"Setuid", change_user, false, Needs::SECCOMP, EPERM},
    {"UnshareUserNamespace", new_namespace, false, Needs::SECCOMP, EPERM},
#endif
    {"OpenAndReadFile", read_file, true, Needs::NOTHING, 0},
    {"ListDirectory", list_directory, true, Needs::NOTHING, 0},
    {"MmapFileAndPread", map_file_and_pread, true, Needs::NOTHING, 0},
    {"WritePipeAndPoll", write_pipe_and_poll, true, Needs::NOTHING, 0},
    {"WriteFileOpenedBefore", write_open_file, true, Needs::NOTHING, 0},
    {"ClockGettime", read_clocks, true, Needs::NOTHING, 0},
    {"Localtime", local_time, true, Needs::NOTHING, 0},
    {"MmapAnonymous", map_anonymous, true, Needs::NOTHING, 0},
    {"Thread", start_thread, true, Needs::NOTHING, 0},
    {"SignalSelf", signal_self, true, Needs::NOTHING, 0},
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
    case Needs::LANDLOCK_SCOPE:
        return landlock >= 6
                   ? ""
                   : "needs Landlock version 6 (signal scoping); this kernel has " + version;
    }
    return "";
#elif defined(__OpenBSD__)
    (void)needs;
    return "";
#else
    return needs == Needs::NOTHING ? "" : "pledge changes nothing on this system";
#endif
}

// The child's side: never returns.
[[noreturn]] void run_child(const Case &c, const std::string &dir, sockaddr_in listener,
                            int report) {
    Ready r;
    r.dir = dir;
    r.listener = listener;
    if (pipe(r.pipe_fds) == -1) _exit(2);
    r.output = open(in(r, "output").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    r.tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (r.output == -1 || r.tcp == -1) _exit(2);
    setenv("TZ", (std::string(":") + ZONE_FILE).c_str(), 1);

    if (vestrel::pledge("stdio rpath", nullptr) == -1) _exit(3);
    const int outcome = c.action(r);
    if (write(report, &outcome, sizeof outcome) != sizeof outcome) _exit(2);
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

TEST_P(Pledged, KernelAnswer) {
    const Case &c = GetParam();
    if (const std::string reason = missing(c.needs); !reason.empty()) GTEST_SKIP() << reason;
    if (c.action == local_time && access(ZONE_FILE, R_OK) != 0)
        GTEST_SKIP() << ZONE_FILE << " is missing (Debian package tzdata)";

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

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(report[0]);
        run_child(c, dir.path, listener, report[1]);
    }
    close(report[1]);
    int outcome = 0;
    const ssize_t n = read(report[0], &outcome, sizeof outcome);
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(listening);
    const bool poked = parent_word != PARENT_WORD;
    parent_word = PARENT_WORD;
    ASSERT_FALSE(poked) << "the child wrote into its parent's memory";

    if (n != sizeof outcome) {
        // OpenBSD ends a process that breaks its promises with SIGABRT.
#if defined(__OpenBSD__)
        if (!c.allowed && WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) return;
#endif
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3) FAIL() << "pledge failed in the child";
        FAIL() << "the child sent no answer; "
               << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "signal " + std::to_string(WTERMSIG(status)))
               << (c.action == execute_program ? " (the program ran)" : "");
    }
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
