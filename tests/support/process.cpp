#include "process.h"

#include "emulator.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vestrel::test {

Outcome run_vestrel(const std::vector<std::string> &args, const RunOptions &options) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
#if defined(__linux__)
        if (options.one_cpu) {
            cpu_set_t set;
            if (sched_getaffinity(0, sizeof set, &set) != 0) _exit(126);
            int first = 0;
            while (!CPU_ISSET(first, &set))
                ++first;
            CPU_ZERO(&set);
            CPU_SET(first, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(126);
        }
#endif
        if (options.stdin_fd >= 0) {
            dup2(options.stdin_fd, STDIN_FILENO);
        } else if (options.stdin_path.empty()) {
            close(STDIN_FILENO);
        } else {
            int in = open(options.stdin_path.c_str(), O_RDONLY);
            if (in < 0) _exit(126);
            dup2(in, STDIN_FILENO);
            close(in);
        }
        if (options.stdout_path.empty()) {
            dup2(out_pipe[1], STDOUT_FILENO);
        } else {
            int out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0) _exit(126);
            dup2(out, STDOUT_FILENO);
            close(out);
        }
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        // argv[0] is the bare name, as from a PATH lookup, so that messages
        // which quote it do not depend on the build folder. Under qemu-user
        // its -0 option sets it.
        std::vector<char *> argv;
        std::string name = "vestrel";
        std::string argv0_option = "-0";
        std::string path = VESTREL_BIN;
        std::vector<std::string> words(std::begin(EMULATOR), std::end(EMULATOR) - 1);
        for (auto &w : words)
            argv.push_back(w.data());
        if (!words.empty()) {
            argv.push_back(argv0_option.data());
            argv.push_back(name.data());
            argv.push_back(path.data());
        } else {
            argv.push_back(name.data());
        }
        std::vector<std::string> copies = args;
        for (auto &a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (const auto &[name, value] : options.env)
            setenv(name.c_str(), value.c_str(), 1);
        execv(words.empty() ? VESTREL_BIN : argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Outcome outcome;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&outcome.out, &outcome.err};
    int open_count = 2;
    char chunk[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    outcome.max_rss_kib = usage.ru_maxrss;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return outcome;
}

std::string emulator() {
    if (EMULATOR[0] != nullptr) return std::string("the emulator ") + EMULATOR[0];
    char self[4096] = {};
    char thread[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0 &&
        readlink("/proc/thread-self/exe", thread, sizeof thread - 1) > 0 &&
        std::string(self) != thread)
        return std::string("the emulator ") + thread;
    return "";
}

std::string mask_report(const std::string &report) {
    static const std::regex date(R"("date": "\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")");
    static const std::regex runtime(R"("runtime": [0-9.eE+-]+)");
    std::string masked = std::regex_replace(report, date, R"("date": "DATE")");
    return std::regex_replace(masked, runtime, R"("runtime": RUNTIME)");
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/vestrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
    }
}

} // namespace vestrel::test
