// Whole-program runs under fault: hostile, broken or huge logs, a closed or
// full standard stream, databases that cannot be used. Each checks the exit
// status, the exact standard error and, where a report is printed, the counts
// in it. The last group holds the inputs the fuzz targets (fuzz/) caught.
#include "geo.h"
#include "parse.h"
#include "reference/reference.h"
#include "support/compress.h"
#include "support/mmdb_writer.h"
#include "support/process.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vestrel::test {
namespace {

using namespace std::string_literals;

const std::string TEST_DIR = VESTREL_TEST_DIR;
const std::string GEO_DIR = TEST_DIR + "/geo";
const std::string FAULT_DIR = TEST_DIR + "/fault";

// A parsed report; the test fails when standard output is not one JSON
// document.
class Report {
  public:
    explicit Report(const std::string &text) {
        json_error_t error;
        root_ = json_loads(text.c_str(), 0, &error);
        EXPECT_NE(root_, nullptr) << "report is not JSON: " << error.text << "\n" << text;
    }
    ~Report() { json_decref(root_); }
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;

    // An integer member, or member.inner; -1 when absent or not an integer.
    long long integer(const char *key, const char *inner = nullptr) const {
        json_t *value = json_object_get(root_, key);
        if (inner != nullptr) value = json_object_get(value, inner);
        return json_is_integer(value) ? static_cast<long long>(json_integer_value(value)) : -1;
    }

    // An array of {"data", "hits"} elements as "data:hits data:hits".
    std::string counts(const char *key) const {
        json_t *array = json_object_get(root_, key);
        if (!json_is_array(array)) return "<missing>";
        std::string text;
        std::size_t i;
        json_t *element;
        json_array_foreach(array, i, element) {
            json_t *data = json_object_get(element, "data");
            if (!text.empty()) text += ' ';
            text += json_is_string(data) ? json_string_value(data)
                                         : std::to_string(json_integer_value(data));
            text += ':' + std::to_string(json_integer_value(json_object_get(element, "hits")));
        }
        return text;
    }

  private:
    json_t *root_ = nullptr;
};

// Standard error of a run that printed its report.
void expect_summary(const Outcome &o, std::uint64_t lines) {
    const std::regex summary("Processed " + std::to_string(lines) +
                             R"( lines in [0-9]+\.[0-9]{6} seconds\.\n)");
    EXPECT_TRUE(std::regex_match(o.err, summary)) << o.err;
}

std::uint64_t getline_lines(const std::string &bytes) {
    std::uint64_t lines = 0;
    for (char c : bytes)
        lines += c == '\n';
    return lines + (!bytes.empty() && bytes.back() != '\n');
}

const std::string COMBINED =
    R"(81.2.69.1 - - [10/Oct/2000:13:55:36 -0700] "GET /index.html HTTP/1.1" 200 100 "-" "agent")"
    "\n";

// ---------------------------------------------------------------- garbage

// Bytes for the random logs: uniformly random, or drawn from what log lines
// are made of, so that some lines carry addresses, fields and numbers.
std::string random_log(std::uint32_t seed, std::size_t size, bool log_alphabet) {
    static const std::string alphabet = "0123456789.:abcdefABCDEF -[]\"/+\t\n\0 GETPOSTHTTP/1.1"
                                        "  ...:::\"\"[]]]\n"s;
    std::mt19937 generator(seed); // the standard fixes its output: the same log everywhere
    std::string bytes(size, '\0');
    for (char &c : bytes) {
        const std::uint32_t r = generator();
        c = log_alphabet ? alphabet[r % alphabet.size()] : static_cast<char>(r & 0xff);
    }
    return bytes;
}

TEST(FaultLog, RandomBytesCountAsThePlainReadingDoes) {
    struct Case {
        const char *name;
        std::uint32_t seed;
        bool log_alphabet;
    };
    const Case cases[] = {{"uniform bytes", 20240101, false}, {"log alphabet", 7, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string bytes = random_log(c.seed, 1 << 20, c.log_alphabet);
        const std::string path = dir.file("random.log");
        write_file(path, bytes);

        // The reference's getline/strtok/inet_pton/strtoll reading of the
        // same file gives the exact counts.
        reference::ReferenceState expected;
        ASSERT_EQ(create(expected.ipv4, HLL_PRECISION), 0);
        ASSERT_EQ(create(expected.ipv6, HLL_PRECISION), 0);
        FILE *file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(reference::reference_tally_file(file, expected), 0);
        std::fclose(file);
        const Results &r = expected.results;
        release(expected.ipv4);
        release(expected.ipv6);
        ASSERT_EQ(r.processed_lines, getline_lines(bytes));

        const Outcome o = run_vestrel({path});
        EXPECT_EQ(o.status, 0);
        expect_summary(o, r.processed_lines);
        const Report report(o.out);
        EXPECT_EQ(report.integer("file_size"), 1 << 20);
        EXPECT_EQ(report.integer("processed_lines"), static_cast<long long>(r.processed_lines));
        EXPECT_EQ(report.integer("invalid_lines"), static_cast<long long>(r.invalid_lines));
        EXPECT_EQ(report.integer("hits", "ipv4"), static_cast<long long>(r.hits_ipv4));
        EXPECT_EQ(report.integer("hits", "ipv6"), static_cast<long long>(r.hits_ipv6));
        EXPECT_EQ(report.integer("visits", "total"), static_cast<long long>(r.visits_total));
        EXPECT_EQ(report.integer("bandwidth"), static_cast<long long>(r.bandwidth));
        if (c.log_alphabet) EXPECT_GT(r.hits_total, 0u) << "the alphabet should make addresses";
    }
}

// A NUL byte ends the text of its line; the line still counts, and the next
// one starts after the newline as usual.
TEST(FaultLog, NulBytes) {
    struct Case {
        const char *name;
        std::string bytes;
        long long processed, invalid, hits, bandwidth;
        const char *methods;
    };
    std::string only_nul;
    for (int i = 0; i < 100; ++i)
        only_nul += std::string(50, '\0') + "\n";
    only_nul += std::string(10, '\0'); // and a last line without newline
    const Case cases[] = {
        {"nothing but NUL bytes", only_nul, 101, 101, 0, 0, ""},
        {"NUL bytes inside lines",
         "81.2.69.1\0 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 7\n"s +
             // the size is cut at the NUL: "12" with no newline, so accepted
             "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 12\0 34\n"s + "\0"s +
             COMBINED,
         3, 1, 2, 12, "GET:1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("nul.log"), c.bytes);
        const Outcome o = run_vestrel({dir.file("nul.log")});
        EXPECT_EQ(o.status, 0);
        expect_summary(o, static_cast<std::uint64_t>(c.processed));
        const Report report(o.out);
        EXPECT_EQ(report.integer("processed_lines"), c.processed);
        EXPECT_EQ(report.integer("invalid_lines"), c.invalid);
        EXPECT_EQ(report.integer("hits", "total"), c.hits);
        EXPECT_EQ(report.integer("bandwidth"), c.bandwidth);
        EXPECT_EQ(report.counts("methods"), c.methods);
    }
}

// A log cut off mid-line (a copy interrupted, a disk full): the partial last
// line counts like any other, with whatever fields it still has.
TEST(FaultLog, TruncatedMidLine) {
    const std::string common =
        "81.2.69.1 - - [01/Aug/1995:00:00:01 -0400] \"GET /a HTTP/1.0\" 200 1839\n"
        "81.2.69.2 - - [01/Aug/1995:00:00:07 -0400] \"GET / HTTP/1.0\" 304 0\n";
    const std::string last_common =
        "81.2.69.3 - - [01/Aug/1995:00:00:08 -0400] \"GET /b HTTP/1.0\" 200 1839\n";
    struct Case {
        const char *name;
        std::string bytes;
        long long processed, invalid, bandwidth;
        const char *hours, *methods, *protocols, *status;
    };
    const Case cases[] = {
        // Common-layout sizes end the line, so they keep their newline and
        // are rejected; the cut one has none and is accepted.
        {"common layout, cut inside the size",
         common + last_common.substr(0, last_common.size() - 3), 3, 0, 18, "0:3", "GET:3",
         "HTTP/1.0:3", "200:2 304:1"},
        {"common layout, cut after the size",
         common + last_common.substr(0, last_common.size() - 1), 3, 0, 1839, "0:3", "GET:3",
         "HTTP/1.0:3", "200:2 304:1"},
        {"combined layout, cut inside the request",
         COMBINED + COMBINED + COMBINED.substr(0, COMBINED.find(".html")), 3, 0, 200, "13:3",
         "GET:3", "HTTP/1.1:2", "200:2"},
        {"cut inside the time stamp", COMBINED + COMBINED.substr(0, COMBINED.find(":55:")) + ":5",
         2, 0, 100, "13:2", "GET:1", "HTTP/1.1:1", "200:1"},
        {"cut inside the address", COMBINED + COMBINED.substr(0, 6), 2, 1, 100, "13:1", "GET:1",
         "HTTP/1.1:1", "200:1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("cut.log"), c.bytes);
        const Outcome o = run_vestrel({dir.file("cut.log")});
        EXPECT_EQ(o.status, 0);
        expect_summary(o, static_cast<std::uint64_t>(c.processed));
        const Report report(o.out);
        EXPECT_EQ(report.integer("processed_lines"), c.processed);
        EXPECT_EQ(report.integer("invalid_lines"), c.invalid);
        EXPECT_EQ(report.integer("bandwidth"), c.bandwidth);
        EXPECT_EQ(report.counts("hours"), c.hours);
        EXPECT_EQ(report.counts("methods"), c.methods);
        EXPECT_EQ(report.counts("protocols"), c.protocols);
        EXPECT_EQ(report.counts("status"), c.status);
    }
}

// Inputs that once grew memory with the longest line: memory stays within
// 8 MiB (the two sketches, one read block, the program) whatever the line
// lengths, from a file and from standard input, and the counts are those of
// the whole lines.
//
// The child's peak is read with wait4; it includes the pages the child
// shared with this test process between fork and exec, so it can only be an
// overestimate. The sanitizers' shadow memory and allocator add about 18 MiB
// of their own (measured: 24 MiB on every case below), so their build gets a
// bound that still catches any growth with the line.
#if defined(__SANITIZE_ADDRESS__)
#define VESTREL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESTREL_TEST_SANITIZED 1
#endif
#endif
#if defined(VESTREL_TEST_SANITIZED)
constexpr long MAX_RSS_KIB = 48 * 1024;
#else
constexpr long MAX_RSS_KIB = 8 * 1024;
#endif

TEST(FaultLog, HugeLinesInConstantMemory) {
    const std::string head = "81.2.69.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /";
    const std::string tail = " HTTP/1.1\" 200 512 \"-\" \"agent\"\n";
    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += COMBINED;
    struct Case {
        const char *name;
        std::string before;
        char fill;
        std::size_t fill_bytes;
        std::string after;
        bool from_stdin;
        long long processed, invalid, bandwidth;
        const char *methods;
    };
    // A few hundred MB: under a second in the sanitizer build.
    const Case cases[] = {
        {"300 MB request", head, 'a', 300u << 20, tail, false, 1, 0, 512, "GET:1"},
        {"300 MB request on standard input", head, 'a', 300u << 20, tail, true, 1, 0, 512, "GET:1"},
        {"64 MB of NUL bytes, then 50 lines", "", '\0', 64u << 20, fifty, false, 50, 1, 4900,
         "GET:49"},
        {"64 MB and no newline", "", 'x', 64u << 20, "", true, 1, 1, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("huge.log");
        {
            FILE *file = std::fopen(path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            const std::string chunk(1 << 20, c.fill);
            ASSERT_EQ(std::fwrite(c.before.data(), 1, c.before.size(), file), c.before.size());
            for (std::size_t written = 0; written < c.fill_bytes; written += chunk.size())
                ASSERT_EQ(std::fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
            ASSERT_EQ(std::fwrite(c.after.data(), 1, c.after.size(), file), c.after.size());
            ASSERT_EQ(std::fclose(file), 0);
        }
        RunOptions options;
        if (c.from_stdin) options.stdin_path = path;
        const Outcome o = run_vestrel({c.from_stdin ? "-" : path}, options);
        EXPECT_EQ(o.status, 0);
        expect_summary(o, static_cast<std::uint64_t>(c.processed));
        const Report report(o.out);
        EXPECT_EQ(report.integer("file_size"),
                  static_cast<long long>(c.before.size() + c.fill_bytes + c.after.size()));
        EXPECT_EQ(report.integer("processed_lines"), c.processed);
        EXPECT_EQ(report.integer("invalid_lines"), c.invalid);
        EXPECT_EQ(report.integer("bandwidth"), c.bandwidth);
        EXPECT_EQ(report.counts("methods"), c.methods);
        if (c.processed > c.invalid) {
            EXPECT_EQ(report.counts("hours"), "13:" + std::to_string(c.processed - c.invalid));
            EXPECT_EQ(report.counts("status"), "200:" + std::to_string(c.processed - c.invalid));
        }
        RecordProperty(std::string("max_rss_kib ") + c.name, static_cast<int>(o.max_rss_kib));
        if (emulator().empty()) EXPECT_LE(o.max_rss_kib, MAX_RSS_KIB);
    }
    // The reports above were checked; the memory bound was not.
    if (const std::string name = emulator(); !name.empty())
        GTEST_SKIP() << "peak memory not checked: it runs under " << name
                     << ", whose own memory counts in the peak";
}

// A decompression bomb is a long log: a few hundred KiB of gzip or zstd that
// stand for a 128 MB request and 2 M empty lines are read in the
// memory of a plain log (zstd: plus the frame's window, 2 MiB here), from a
// file and from standard input. The texts are compressed piece by piece,
// never held: a child's peak counts the pages it shared with this process.
TEST(FaultLog, CompressedBombsInConstantMemory) {
    const std::size_t mib = 1u << 20, empty_lines = 2 * mib;
    const std::vector<TextRun> text = {
        {"81.2.69.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /"},
        {std::string(mib, 'a'), 128},
        {" HTTP/1.1\" 200 512 \"-\" \"agent\"\n"},
        {std::string(mib, '\n'), empty_lines / mib},
        {COMBINED},
    };
    const long zstd_window_kib = 2 * 1024; // level 3 on a long input: windowLog 21
    const struct {
        const char *name;
        std::string stored;
        long max_rss_kib;
    } cases[] = {
        {"gzip", gzip_runs(text), MAX_RSS_KIB},
        {"zstd", zstd_runs(text), MAX_RSS_KIB + zstd_window_kib},
    };
    for (const auto &c : cases)
        for (bool from_stdin : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (from_stdin ? ", standard input" : ", file"));
            EXPECT_LT(c.stored.size(), 1u << 20);
            TempDir dir;
            const std::string path = dir.file("bomb");
            write_file(path, c.stored);
            RunOptions options;
            if (from_stdin) options.stdin_path = path;
            const Outcome o = run_vestrel({from_stdin ? "-" : path}, options);
            EXPECT_EQ(o.status, 0);
            expect_summary(o, 2 + empty_lines);
            const Report report(o.out);
            EXPECT_EQ(report.integer("file_size"), static_cast<long long>(c.stored.size()));
            EXPECT_EQ(report.integer("bandwidth"), 512 + 100);
            EXPECT_EQ(report.counts("methods"), "GET:2");
            RecordProperty(std::string("max_rss_kib ") + c.name, static_cast<int>(o.max_rss_kib));
            if (emulator().empty()) EXPECT_LE(o.max_rss_kib, c.max_rss_kib);
        }
    // The reports above were checked; the memory bound was not.
    if (const std::string name = emulator(); !name.empty())
        GTEST_SKIP() << "peak memory not checked: it runs under " << name
                     << ", whose own memory counts in the peak";
}

// The total of the sizes stops at the largest signed 64-bit value instead of
// wrapping into a negative number.
TEST(FaultLog, BandwidthPastTheLargestSize) {
    struct Case {
        const char *name;
        std::vector<std::string> sizes;
        long long bandwidth;
    };
    const Case cases[] = {
        {"two largest sizes", {"9223372036854775807", "9223372036854775807"}, INT64_MAX},
        {"reaches the largest exactly", {"9223372036854775806", "1"}, INT64_MAX},
        {"stays there", {"9223372036854775807", "1", "0", "5"}, INT64_MAX},
        {"one past the largest size is rejected", {"9223372036854775808", "5"}, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string log;
        for (const std::string &size : c.sizes)
            log += "81.2.69.1 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 " + size +
                   " \"-\" \"agent\"\n";
        TempDir dir;
        write_file(dir.file("big.log"), log);
        const Outcome o = run_vestrel({dir.file("big.log")});
        EXPECT_EQ(o.status, 0);
        expect_summary(o, c.sizes.size());
        const Report report(o.out);
        EXPECT_EQ(report.integer("bandwidth"), c.bandwidth);
        EXPECT_EQ(report.integer("hits", "total"), static_cast<long long>(c.sizes.size()));
    }
}

// ---------------------------------------------------------------- streams

// Nothing the program can read or write: status 1, one line on standard
// error, no report and no summary.
TEST(FaultStream, UnusableInputOrOutput) {
    TempDir dir;
    const std::string log = dir.file("ok.log");
    write_file(log, COMBINED);
    struct Case {
        const char *name;
        std::vector<std::string> args;
        RunOptions options;
        std::string err;
    };
    RunOptions closed_stdin;
    closed_stdin.stdin_path = "";
    RunOptions full_stdout;
    full_stdout.stdout_path = "/dev/full";
    const Case cases[] = {
        {"standard input closed",
         {"-"},
         closed_stdin,
         "Can't stat log file: Bad file descriptor\n"},
        {"report to a full device",
         {log},
         full_stdout,
         "Can't write to standard output: No space left on device\n"},
        {"version to a full device",
         {"-v"},
         full_stdout,
         "Can't write to standard output: No space left on device\n"},
        {"usage to a full device",
         {"-h"},
         full_stdout,
         "Can't write to standard output: No space left on device\n"},
        {"log missing",
         {dir.file("missing.log")},
         {},
         "Can't open log file: No such file or directory\n"},
        {"log is a directory", {dir.path}, {}, "Can't read log file: Is a directory\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = run_vestrel(c.args, c.options);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
    }
}

// Standard input handed over non-blocking (as some supervisors and language
// runtimes do) and empty for a while, at the start and between two parts of
// the log: the run waits for the input instead of failing with "Resource
// temporarily unavailable".
TEST(FaultStream, NonBlockingStandardInputIsWaitedFor) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
    const std::string half = COMBINED + COMBINED.substr(0, 30);
    const std::string rest = COMBINED.substr(30) + COMBINED;
    std::thread writer([&] {
        for (const std::string *part : {&half, &rest}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ASSERT_EQ(write(fds[1], part->data(), part->size()),
                      static_cast<ssize_t>(part->size()));
        }
        close(fds[1]);
    });
    RunOptions options;
    options.stdin_fd = fds[0];
    const Outcome o = run_vestrel({"-"}, options);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(o.status, 0);
    expect_summary(o, 3);
    const Report report(o.out);
    EXPECT_EQ(report.integer("hits", "ipv4"), 3);
    EXPECT_EQ(report.integer("bandwidth"), 300);
}

// ---------------------------------------------------------------- databases

// A database that cannot be opened ends the run before the log is read.
TEST(FaultDatabase, UnusableDatabase) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.mmdb");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char *reason;
    };
    const std::string too_large = "The metadata's search tree does not fit in the file";
    const Case cases[] = {
        // libmaxminddb's own reason where the file is there but not a database
        {GEO_DIR + "/truncated.mmdb", "The MaxMind DB file contains invalid metadata"},
        {GEO_DIR + "/garbage.mmdb", "The MaxMind DB file contains invalid metadata"},
        {GEO_DIR + "/ip-version-5.mmdb", "The MaxMind DB file contains invalid metadata"},
        // Node counts near 2^32 wrapped the library's 32-bit size check, and
        // it read far outside the file (SIGSEGV); checked in 64 bits now.
        {GEO_DIR + "/nodes-4294967295-r24.mmdb", too_large.c_str()},
        {GEO_DIR + "/nodes-4294967294-r28.mmdb", too_large.c_str()},
        {GEO_DIR + "/nodes-4294967295-r32.mmdb", too_large.c_str()},
        {GEO_DIR + "/nodes-past-end.mmdb", too_large.c_str()},
        // I/O errors give errno, but mapping an empty file or a directory
        // fails with errors that would mislead, so those are named
        {GEO_DIR + "/empty.mmdb", "The file is empty"},
        {GEO_DIR, "Is a directory"},
        {GEO_DIR + "/missing.mmdb", "No such file or directory"},
        // A FIFO blocked the open for ever; devices and kernel files were
        // "empty" to the library.
        {fifo, "Not a regular file but a FIFO"},
        {"/dev/zero", "Not a regular file but a character device"},
        {"/proc/self/status",
         "The file reports a size of 0 but has contents (a kernel file, not a database)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const Outcome o = run_vestrel({"-g", "-d", c.path, FAULT_DIR + "/geo.log"});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, "vestrel: Can't open database (" + c.path + "): " + c.reason + "\n");
        EXPECT_EQ(o.out, "");
    }
}

// A search tree or data section found corrupt during the run ends it: the
// answers it would give are not absent countries. The library's reason
// comes from the first lookup that fails, the same lookup and reason as
// the library's own lookups give (resolve_location, address by address):
// corruption elsewhere in a /16 fails no other address of it, even when
// flattening that /16 meets it first. (half-filled-value.mmdb came from
// fuzz_geo: a query failing there leaves a pointer of 0x802 in the value,
// and matching it without looking at the status died with SIGSEGV.) In a
// one-line log the failing lookup is the last work of the input, and must
// still end the run before any report.
TEST(FaultDatabase, CorruptDatabaseEndsTheRun) {
    struct Case {
        std::string path;
        const char *log;
        const char *reason;
    };
    const char *const tree = "The MaxMind DB file's search tree is corrupt";
    const char *const data =
        "The MaxMind DB file's data section contains bad data (unknown data type or corrupt data)";
    const Case cases[] = {
        // node_count one too many: a node is read from the data section's
        // bytes, and records land in the data section early. The first
        // lookups meet the bad data; the bad node lies elsewhere in their
        // /16s, and once failed them all with the tree's reason.
        {GEO_DIR + "/nodes-plus-one.mmdb", "/geo.log", data},
        {GEO_DIR + "/nodes-plus-one.mmdb", "/geo-one-line.log", data},
        {FAULT_DIR + "/half-filled-value.mmdb", "/geo.log", tree},
        // Its one bad entry alone: the queries of its values fail.
        {FAULT_DIR + "/half-filled-value.mmdb", "/geo-one-line.log", data},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path + " " + c.log);
        const Outcome o = run_vestrel({"-g", "-d", c.path, FAULT_DIR + c.log});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, "vestrel: Can't read database (" + c.path + "): " + c.reason + "\n");
        EXPECT_EQ(o.out, "");
    }
}

// An ip_version that does not match the tree is wrong but not unsafe: the
// library walks the tree it has, nothing in geo.log is found, and every hit
// still counts.
TEST(FaultDatabase, IpVersionOfTheOtherTree) {
    for (const char *file : {"ipv6-tree-as-ipv4.mmdb", "ipv4-tree-as-ipv6.mmdb"}) {
        SCOPED_TRACE(file);
        const Outcome o = run_vestrel({"-g", "-d", GEO_DIR + "/" + file, FAULT_DIR + "/geo.log"});
        EXPECT_EQ(o.status, 0);
        expect_summary(o, 10);
        const Report report(o.out);
        EXPECT_EQ(report.counts("countries"), "");
        EXPECT_EQ(report.integer("hits", "total"), 9);
    }
}

// The database file rewritten or truncated while a run reads: the run goes
// on with the database as it was when opened. (It was mapped shared, and
// the next lookup died with SIGBUS.) The log comes through a FIFO in two
// halves; the file is changed once the first half has been read, which is
// after the database was opened.
TEST(FaultDatabase, FileChangedDuringRun) {
    const std::string fixture = read_file(GEO_DIR + "/fixture.mmdb");
    ASSERT_FALSE(fixture.empty());
    struct Case {
        const char *name;
        std::string replacement;
    };
    const Case cases[] = {
        {"truncated to nothing", ""},
        {"truncated to a page", fixture.substr(0, 4096)},
        {"rewritten with another database", read_file(GEO_DIR + "/ipv4-only.mmdb")},
        {"rewritten with zeros", std::string(fixture.size(), '\0')},
    };
    const std::string half = read_file(FAULT_DIR + "/geo.log");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string db = dir.file("live.mmdb");
        const std::string fifo = dir.file("log.fifo");
        write_file(db, fixture);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        RunOptions options;
        options.stdin_path = fifo;
        Outcome o;
        std::thread run([&] { o = run_vestrel({"-g", "-d", db, "-"}, options); });
        const int log = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(log, 0);
        ASSERT_EQ(write(log, half.data(), half.size()), static_cast<ssize_t>(half.size()));
        // Bytes still in the pipe (Linux and the BSDs answer FIONREAD on the
        // write end): none once vestrel has read them.
        for (int waiting = 1; waiting > 0;) {
            ASSERT_EQ(ioctl(log, FIONREAD, &waiting), 0);
            if (waiting > 0) usleep(1000);
        }
        // In place, as cp and truncate do: the same inode, new bytes.
        const int file = open(db.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(file, 0);
        ASSERT_EQ(write(file, c.replacement.data(), c.replacement.size()),
                  static_cast<ssize_t>(c.replacement.size()));
        close(file);
        ASSERT_EQ(write(log, half.data(), half.size()), static_cast<ssize_t>(half.size()));
        close(log);
        run.join();
        EXPECT_EQ(o.status, 0) << o.err;
        expect_summary(o, 20);
        const Report report(o.out);
        // geo.log's counts from fixture.mmdb, twice
        EXPECT_EQ(report.counts("countries"), "DE:8 US:2");
        EXPECT_EQ(report.counts("continents"), "EU:10 NA:2");
    }
}

// One entry: a map of `keys` filler pairs before "continent" and "country",
// so that finding either means reading every key. Every /12 of the IPv4
// space has its own record, and each record's data is a pointer of its own
// to that one map. Record size 32; the map is at offset 0 of the data.
std::string database_with_large_map(std::size_t keys, unsigned prefix_bits) {
    const std::uint32_t node_count = (1u << prefix_bits) - 1;
    std::string data = mmdb_control(7, 0); // patched below with the pair count
    for (std::size_t i = 0; i < keys; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%07zu", i);
        data += mmdb_string(key) + mmdb_unsigned(5, i & 0xff);
    }
    data += mmdb_string("continent") + mmdb_control(7, 1) + mmdb_string("code") + mmdb_string("EU");
    data +=
        mmdb_string("country") + mmdb_control(7, 1) + mmdb_string("iso_code") + mmdb_string("DE");
    const std::string head = mmdb_control(7, keys + 2);
    data.replace(0, 1, head);
    const std::size_t pointers = data.size();
    for (std::uint32_t leaf = 0; leaf <= node_count; ++leaf)
        data += "\x20\x00"s; // pointer to offset 0
    std::string tree;
    // Node (depth d, index j) is node 2^d - 1 + j; the last level's records
    // are the leaves' data.
    for (unsigned depth = 0; depth < prefix_bits; ++depth)
        for (std::uint32_t j = 0; j < 1u << depth; ++j)
            for (std::uint32_t bit = 0; bit < 2; ++bit) {
                const std::uint32_t child = 2 * j + bit;
                mmdb_record(tree, depth + 1 < prefix_bits
                                      ? (1u << (depth + 1)) - 1 + child
                                      : node_count + 16 +
                                            static_cast<std::uint32_t>(pointers + 2 * child));
            }
    return mmdb_file(tree, node_count, data, 4);
}

// Thousands of records that point, each through a pointer of its own, at
// one large map: the map is searched once, not once per record. (Each search
// is linear in the map; with 16 million keys it took 0.29 s, and every new
// client network paid it.) 4096 networks and 200000 keys took 16 s.
TEST(FaultDatabase, LargeMapBehindManyPointers) {
    TempDir dir;
    constexpr unsigned prefix_bits = 12;
    write_file(dir.file("large-map.mmdb"), database_with_large_map(200000, prefix_bits));
    std::string log;
    for (std::uint32_t net = 0; net < 1u << prefix_bits; ++net) {
        const std::uint32_t a = net << (32 - prefix_bits) | 1;
        log += std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xff) + "." +
               std::to_string(a >> 8 & 0xff) + "." + std::to_string(a & 0xff) +
               " - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 1\n";
    }
    write_file(dir.file("nets.log"), log);
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = run_vestrel({"-g", "-d", dir.file("large-map.mmdb"), dir.file("nets.log")});
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.status, 0) << o.err;
    const Report report(o.out);
    EXPECT_EQ(report.counts("countries"), "DE:4096");
    EXPECT_EQ(report.counts("continents"), "EU:4096");
    EXPECT_LT(seconds, 4.0);
}

// Codes stored as numbers match no table entry: no country or continent
// counts, every hit still does.
TEST(FaultDatabase, NumericCodesCountNothing) {
    const Outcome o =
        run_vestrel({"-g", "-d", GEO_DIR + "/country-as-number.mmdb", FAULT_DIR + "/geo.log"});
    EXPECT_EQ(o.status, 0);
    expect_summary(o, 10);
    const Report report(o.out);
    EXPECT_EQ(report.counts("countries"), "");
    EXPECT_EQ(report.counts("continents"), "");
    EXPECT_EQ(report.integer("hits", "ipv4"), 6);
    EXPECT_EQ(report.integer("hits", "ipv6"), 3);
    EXPECT_EQ(report.integer("invalid_lines"), 1);
    EXPECT_EQ(report.counts("methods"), "GET:7 POST:1 HEAD:1");
}

// ---------------------------------------------------------------- fuzz findings

// fuzz_line: the parsers handed an empty view with no buffer behind it
// (std::string_view{}), as an absent field's value_or gives. parse_request
// passed the null pointer to memrchr, and an earlier parse_address to memcpy;
// both are undefined even for 0 bytes, and the sanitizer build stops there.
TEST(FuzzRegression, EmptyViewWithoutBuffer) {
    const std::string_view none;
    const RequestLine request = parse_request(none);
    EXPECT_FALSE(request.method);
    EXPECT_FALSE(request.protocol);
    EXPECT_EQ(parse_address(none).family, 0);
    EXPECT_FALSE(parse_log_line(none).remote_host);
    EXPECT_FALSE(parse_log_date(none).day);
    EXPECT_EQ(parse_number(none, INT64_MAX), -1);
}

// fuzz_geo: a database where an entry's country reads well and its
// continent does not. The lookup failed as it should, with a corrupt
// status, but handed back the country it had read: every failure must come
// with an empty answer.
TEST(FuzzRegression, FailedLookupGivesNoAnswer) {
    auto owned = std::make_unique<GeoDb>(); // 1.4 MiB of tables and caches
    GeoDb &db = *owned;
    char why[256];
    ASSERT_TRUE(load_database(db, (FAULT_DIR + "/corrupt-continent.mmdb").c_str(), why, sizeof why))
        << why;
    int failures = 0;
    for (const char *text :
         {"77.1.0.1", "81.2.69.1", "216.160.83.1", "1.0.16.1", "89.160.22.1", "89.160.25.1",
          "2a02:cf40::1", "2a10::1", "::ffff:81.2.69.1", "2002:5102:4501::1", "2a07:1c40:27::1"}) {
        SCOPED_TRACE(text);
        Location location;
        const int status = find_location(db, parse_address(text), location);
        if (status == MMDB_SUCCESS) continue;
        ++failures;
        EXPECT_TRUE(is_corrupt(status));
        EXPECT_EQ(location.country, -1);
        EXPECT_EQ(location.continent, -1);
    }
    EXPECT_GT(failures, 0);
    close_database(db);
}

// fuzz_diff: a line longer than the read block whose time stamp was a day
// delimiter alone ("[/]"). Its stand-in kept nothing of the time stamp, and
// the empty field left between the brackets was skipped by the line's steps,
// so the request, status and size were taken from the wrong places and the
// size was lost. Long, the line must count as it counts short.
TEST(FuzzRegression, LongLineWhoseTimeStampIsADelimiter) {
    const std::string line = "1.2.3.4 - - [/] \"GET / HTTP/1.1\" 200 5 \"";
    TempDir dir;
    write_file(dir.file("short.log"), line + "\"\n");
    write_file(dir.file("long.log"), line + std::string(2u << 20, 'x') + "\"\n");
    for (const char *name : {"short.log", "long.log"}) {
        SCOPED_TRACE(name);
        const Outcome o = run_vestrel({dir.file(name)});
        EXPECT_EQ(o.status, 0);
        const Report report(o.out);
        EXPECT_EQ(report.integer("hits", "total"), 1);
        EXPECT_EQ(report.integer("bandwidth"), 5);
        EXPECT_EQ(report.counts("methods"), "GET:1");
        EXPECT_EQ(report.counts("protocols"), "HTTP/1.1:1");
        EXPECT_EQ(report.counts("status"), "200:1");
        EXPECT_EQ(report.counts("hours"), "");
    }
}

} // namespace
} // namespace vestrel::test
