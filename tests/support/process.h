// Runs the built vestrel binary as a child process for whole-program tests:
// arguments as given, standard input from a file (or closed), standard output
// and error captured in full, exit status and peak resident memory returned.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vestrel::test {

struct Outcome {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long max_rss_kib = 0; // the child's peak resident memory
};

struct RunOptions {
    std::string stdin_path = "/dev/null"; // empty: standard input closed
    int stdin_fd = -1;                    // set: standard input is this descriptor
    std::string stdout_path;              // set: standard output goes there, not captured
    std::string cwd;                      // set: run in that directory
    std::vector<std::pair<std::string, std::string>> env; // set in the child's environment
    bool one_cpu = false; // the child may run on one CPU only (Linux; elsewhere ignored)
};

Outcome run_vestrel(const std::vector<std::string> &args, const RunOptions &options = {});

// The report with the two values that change from run to run replaced by
// fixed text, so whole documents can be compared.
std::string mask_report(const std::string &report);

// Empty when the tests run natively; else what emulates the machine, as text
// for a skip message: the emulator this build runs its tests under (tests/
// CMakeLists.txt), or a translator the kernel shows running in this process's
// place (/proc/thread-self/exe is then not the program /proc/self/exe names).
// An emulator such as qemu-user implements neither seccomp filters nor
// Landlock, ignores memory advice and counts its own memory with the
// program's.
std::string emulator();

// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// A fresh directory under the system's temporary folder, removed by the
// destructor with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

} // namespace vestrel::test
