// Whole-program tests: the built binary on the fixture logs in tests/cli,
// comparing the complete report (date and run time masked), standard error
// and exit status.
#include "support/compress.h"
#include "compat.h"
#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vestrel::test {
namespace {

const std::string CLI_DIR = std::string(VESTREL_TEST_DIR) + "/cli";

const std::string USAGE = "vestrel [-ghv] [-d db] logfile\n"
                          "\n"
                          "The options are as follows:\n"
                          "\n"
                          "\t-d db\tSpecify path to a GeoIP database.\n"
                          "\t-g\tEnable GeoIP lookups.\n"
                          "\t-h\tDisplay usage.\n"
                          "\t-v\tDisplay version.\n";

std::string expected_report(const std::string &name) {
    const std::string text = read_file(CLI_DIR + "/expected/" + name + ".json");
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

// The summary line with its run time masked.
std::string mask_summary(const std::string &err) {
    static const std::regex seconds(R"(in [0-9]+\.[0-9]{6} seconds\.)");
    return std::regex_replace(err, seconds, "in S seconds.");
}

struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string out; // "@name": the expected report tests/cli/expected/name.json
    std::string err; // run time masked
    int status;
    std::string stdin_path = "/dev/null";
};

void check(const Case &c) {
    SCOPED_TRACE(c.name);
    RunOptions options;
    options.cwd = CLI_DIR;
    options.stdin_path = c.stdin_path;
    const Outcome o = run_vestrel(c.args, options);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(mask_summary(o.err), c.err);
    if (!c.out.empty() && c.out[0] == '@')
        EXPECT_EQ(mask_report(o.out), expected_report(c.out.substr(1)));
    else
        EXPECT_EQ(o.out, c.out);
}

TEST(Cli, Reports) {
    const Case cases[] = {
        {"overview line", {"overview.log"}, "@overview", "Processed 1 lines in S seconds.\n", 0},
        {"empty log", {"empty.log"}, "@empty", "Processed 0 lines in S seconds.\n", 0},
        {"common, combined and invalid lines",
         {"mixed.log"},
         "@mixed",
         "Processed 15 lines in S seconds.\n",
         0},
        {"standard input",
         {"-"},
         "@stdin",
         "Processed 15 lines in S seconds.\n",
         0,
         CLI_DIR + "/mixed.log"},
        {"-- ends the options",
         {"--", "overview.log"},
         "@overview",
         "Processed 1 lines in S seconds.\n",
         0},
    };
    for (const Case &c : cases)
        check(c);
}

// The reader's vector level, chosen in the environment: every level gives
// the same report, a level the CPU lacks is lowered to the CPU's, and an
// unknown name is refused before anything is read, naming the CPU's level.
// Excerpts of two public logs (tests/cli/real/README.md): real traffic, with
// host names, requests without a protocol, a truncated agent, sizes ending
// the line, from a file and from standard input.
TEST(Cli, RealLogExcerpts) {
    const std::string elastic = "apache-combined-elastic-2015";
    const std::string nasa = "nasa-http-common-aug1995";
    const Case cases[] = {
        {"elastic/examples, combined layout",
         {"real/" + elastic + ".log"},
         "@real-" + elastic,
         "Processed 379 lines in S seconds.\n",
         0},
        {"NASA-HTTP, common layout",
         {"real/" + nasa + ".log"},
         "@real-" + nasa,
         "Processed 375 lines in S seconds.\n",
         0},
    };
    for (const Case &c : cases)
        check(c);
    // Standard input: the same report under the name "-".
    RunOptions options;
    options.cwd = CLI_DIR;
    options.stdin_path = CLI_DIR + "/real/" + nasa + ".log";
    const Outcome o = run_vestrel({"-"}, options);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(mask_summary(o.err), "Processed 375 lines in S seconds.\n");
    std::string want = expected_report("real-" + nasa);
    const std::string file_name = "\"file_name\": \"real/" + nasa + ".log\"";
    const std::size_t at = want.find(file_name);
    ASSERT_NE(at, std::string::npos);
    want.replace(at, file_name.size(), "\"file_name\": \"-\"");
    EXPECT_EQ(mask_report(o.out), want);
}

TEST(Cli, VectorLevels) {
    for (const char *level : {"portable", "sse2", "avx2", "avx512", ""}) {
        SCOPED_TRACE(std::string("VESTREL_VECTOR=") + level);
        RunOptions options;
        options.cwd = CLI_DIR;
        options.env = {{"VESTREL_VECTOR", level}};
        const Outcome o = run_vestrel({"mixed.log"}, options);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(mask_summary(o.err), "Processed 15 lines in S seconds.\n");
        EXPECT_EQ(mask_report(o.out), expected_report("mixed"));
    }
    RunOptions options;
    options.cwd = CLI_DIR;
    options.env = {{"VESTREL_VECTOR", "avx1024"}};
    const Outcome o = run_vestrel({"mixed.log"}, options);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, std::string("vestrel: VESTREL_VECTOR must be portable, sse2, avx2 or avx512 "
                                 "(this machine: ") +
                         VECTOR_LEVEL_NAMES[static_cast<int>(cpu_vector_level())] + ")\n");
}

TEST(Cli, CommandLine) {
    const std::string summary = "Processed 1 lines in S seconds.\n";
    const Case cases[] = {
        {"no operand", {}, USAGE, "", 0},
        {"-v acts before -h", {"-v", "-h"}, "Vestrel 2.1.17\n", "", 0},
        {"-h acts before -v", {"-h", "-v"}, USAGE, "", 0},
        {"-h ends parsing before the log", {"-h", "overview.log"}, USAGE, "", 0},
        {"unknown option is reported and skipped",
         {"-x", "overview.log"},
         "@overview",
         "vestrel: invalid option -- 'x'\n" + summary,
         0},
        {"-d as the last word", {"-d"}, USAGE, "vestrel: option requires an argument -- 'd'\n", 0},
        {"-d ending a cluster", {"-gd"}, USAGE, "vestrel: option requires an argument -- 'd'\n", 0},
        {"-d takes the next word even if it looks like an option",
         {"-d", "-g", "overview.log"},
         "@overview",
         summary,
         0},
        {"-d swallows the log path", {"-g", "-d", "overview.log"}, USAGE, "", 0},
        {"options stop at the first operand", {"overview.log", "-g"}, "@overview", summary, 0},
        {"-d without -g opens no database",
         {"-d", "/nonexistent/db.mmdb", "overview.log"},
         "@overview",
         summary,
         0},
        {"missing log file",
         {"no-such.log"},
         "",
         "Can't open log file: No such file or directory\n",
         1},
        {"directory as the log", {"expected"}, "", "Can't read log file: Is a directory\n", 1},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(Cli, Geolocation) {
    const std::string db_error = "vestrel: Can't open database (";
    const Case cases[] = {
        // Every kind of entry in the fixture database: normal pairs, Kosovo,
        // a code not in the table, three letters, one half missing, numbers,
        // short strings, lower case, IPv4-mapped IPv6, and addresses it does
        // not hold (documentation and private ranges).
        {"fixture database",
         {"-g", "-d", "../geo/fixture.mmdb", "geo.log"},
         "@geo",
         "Processed 33 lines in S seconds.\n",
         0},
        {"empty database path",
         {"-g", "-d", "", "geo.log"},
         "",
         db_error + "): No such file or directory\n",
         1},
        {"bad database wins over a missing log",
         {"-g", "-d", "/nonexistent/db.mmdb", "no-such.log"},
         "",
         db_error + "/nonexistent/db.mmdb): No such file or directory\n",
         1},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(Cli, GeolocationDefaultDatabase) {
    const std::string path = "/usr/local/share/dbip/dbip-country-lite.mmdb";
    if (!read_file(path).empty()) GTEST_SKIP() << "a database is installed at " << path;
    check({"default path, log never opened",
           {"-g", "no-such.log"},
           "",
           "vestrel: Can't open database (" + path + "): No such file or directory\n",
           1});
}

// The report without the two values that describe the file rather than the
// text in it.
std::string mask_file(const std::string &report) {
    static const std::regex name(R"("file_name": "[^"]*")");
    static const std::regex size(R"("file_size": [0-9]+)");
    return std::regex_replace(std::regex_replace(mask_report(report), name, R"("file_name": F)"),
                              size, R"("file_size": S)");
}

// Runs vestrel on `bytes` given as `how`: a file named `name`, standard
// input from that file, or a pipe fed by a thread.
// A compressed file on one CPU is decoded between the lines, not ahead in a
// helper thread: both ways must give the same.
enum class Given { File, Stdin, Pipe, FileOnOneCpu };

Outcome run_on(const TempDir &dir, const std::string &name, const std::string &bytes, Given how) {
    const std::string path = dir.file(name);
    write_file(path, bytes);
    RunOptions options;
    options.cwd = dir.path;
    options.one_cpu = how == Given::FileOnOneCpu;
    if (how == Given::File || how == Given::FileOnOneCpu) return run_vestrel({name}, options);
    if (how == Given::Stdin) {
        options.stdin_path = path;
        return run_vestrel({"-"}, options);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    std::thread writer([&] {
        // Pieces of a few KiB, so that the first read holds less than a block.
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n =
                write(fds[1], bytes.data() + at, std::min<std::size_t>(bytes.size() - at, 3001));
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        close(fds[1]);
    });
    options.stdin_fd = fds[0];
    Outcome o = run_vestrel({"-"}, options);
    writer.join();
    close(fds[0]);
    return o;
}

const char *given_name(Given how) {
    return how == Given::File           ? "file"
           : how == Given::Stdin        ? "standard input"
           : how == Given::FileOnOneCpu ? "file, one CPU"
                                        : "pipe";
}

// A log with lines longer than the read block: the bounded long-line path
// fed from a decoder.
std::string log_with_long_lines() {
    const std::string mixed = read_file(CLI_DIR + "/mixed.log");
    const std::string long_request = "192.0.2.9 - - [10/Oct/2000:13:55:36 -0700] \"GET /" +
                                     std::string(3u << 20, 'q') + " HTTP/1.0\" 200 7\n";
    return mixed + long_request + mixed + std::string(2u << 20, 'z') + "\n" + mixed;
}

// A gzip or zstd log gives its text's report, from a file, standard input
// or a pipe, in every shape the tools make: several members or frames (cut
// anywhere in a line), empty members, skippable frames, stored blocks,
// trailing zeros after the last member.
TEST(Cli, CompressedLogsReportTheirText) {
    const std::string mixed = read_file(CLI_DIR + "/mixed.log");
    ASSERT_FALSE(mixed.empty());
    const std::string big = log_with_long_lines();
    const std::string third = mixed.substr(0, 700), rest = mixed.substr(700);
    struct Case {
        const char *name;
        std::string text;
        std::string stored;
        bool pipe = true;
    };
    const Case cases[] = {
        {"gzip", mixed, gzip_member(mixed)},
        {"gzip, stored blocks", mixed, gzip_member(mixed, 0)},
        {"gzip, three members cut inside lines, one empty", mixed,
         gzip_member(third) + gzip_member("") + gzip_member(rest.substr(0, 33), 1) +
             gzip_member(rest.substr(33), 9)},
        {"gzip, zeros after the last member", mixed, gzip_member(mixed) + std::string(1000, '\0'),
         false},
        {"gzip of nothing", "", gzip_member("")},
        {"gzip of empty members", "", gzip_member("") + gzip_member("") + gzip_member("")},
        {"gzip, lines longer than the read block", big, gzip_member(big, 1)},
        {"zstd", mixed, zstd_frame(mixed)},
        {"zstd without checksum", mixed, zstd_frame(mixed, 0, false)},
        {"zstd, skippable frames around and between frames", mixed,
         zstd_skippable("first") + zstd_frame(third) + zstd_skippable(std::string(5000, 's'), 15) +
             zstd_frame("") + zstd_frame(rest, 20) + zstd_skippable("")},
        {"zstd, the largest window allowed", mixed, zstd_frame(mixed, 27)},
        {"zstd, lines longer than the read block", big, zstd_frame(big)},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_file(dir.file("plain.log"), c.text);
        RunOptions options;
        options.cwd = dir.path;
        const Outcome plain = run_vestrel({"plain.log"}, options);
        ASSERT_EQ(plain.status, 0) << c.name;
        for (Given how : {Given::File, Given::Stdin, Given::Pipe, Given::FileOnOneCpu}) {
            if (how == Given::Pipe && !c.pipe) continue;
            SCOPED_TRACE(std::string(c.name) + ", " + given_name(how));
            const Outcome o = run_on(dir, "access.log.x", c.stored, how);
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(mask_summary(o.err), mask_summary(plain.err));
            EXPECT_EQ(mask_file(o.out), mask_file(plain.out));
            if (how == Given::File || how == Given::FileOnOneCpu) {
                EXPECT_NE(o.out.find("\"file_name\": \"access.log.x\""), std::string::npos);
                EXPECT_NE(o.out.find("\"file_size\": " + std::to_string(c.stored.size()) + ","),
                          std::string::npos);
            }
        }
    }
}

// Bad compressed data is a read error: status 1, the cause, no report. Other
// compressions are refused with the command that reads them. Bytes after
// the last gzip member are ignored with a warning, as `gzip -d` does.
TEST(Cli, CompressedLogErrors) {
    const std::string mixed = read_file(CLI_DIR + "/mixed.log");
    ASSERT_FALSE(mixed.empty());
    const std::string gz = gzip_member(mixed);
    const std::string zst = zstd_frame(mixed);
    std::string bad_crc = gz, bad_length = gz;
    bad_crc[bad_crc.size() - 8] ^= 1;
    bad_length[bad_length.size() - 1] ^= 1;
    // Block type 3 (reserved) in the first deflate block of a stored member.
    std::string bad_block = gzip_member(mixed, 0);
    bad_block[10] = 0x07;
    const std::string read_error = "Can't read log file: ";
    struct Case {
        const char *name;
        std::string stored;
        std::string err; // ending in '(': a prefix of standard error
        int status = 1;
    };
    const Case cases[] = {
        {"gzip cut in its data", gz.substr(0, gz.size() / 2), read_error + "gzip data is truncated\n"},
        {"gzip cut in its trailer", gz.substr(0, gz.size() - 3),
         read_error + "gzip data is truncated\n"},
        {"gzip magic alone", "\x1f\x8b\x08", read_error + "gzip data is truncated\n"},
        {"gzip cut after a whole member and a magic", gz + "\x1f\x8b",
         read_error + "gzip data is truncated\n"},
        {"gzip with a bad CRC", bad_crc, read_error + "gzip data does not match its CRC\n"},
        {"gzip with a bad length", bad_length,
         read_error + "gzip data does not match its stored length\n"},
        {"gzip with a bad block", bad_block, read_error + "gzip data is corrupt ("},
        {"second gzip member corrupt", gz + bad_crc, read_error + "gzip data does not match its CRC\n"},
        {"zstd cut in its data", zst.substr(0, zst.size() / 2), read_error + "zstd data is truncated\n"},
        {"zstd magic alone", "\x28\xb5\x2f\xfd", read_error + "zstd data is truncated\n"},
        {"zstd with a bad checksum",
         zst.substr(0, zst.size() - 1) + static_cast<char>(zst.back() ^ 1),
         read_error + "zstd data does not match its checksum\n"},
        {"zstd followed by other bytes", zst + "garbage", read_error + "zstd data is corrupt ("},
        {"zstd frame with a reserved block type",
         std::string("\x28\xb5\x2f\xfd\x00\x58\x07\x00\x00", 9) + std::string(16, 'x'),
         read_error + "zstd data is corrupt ("},
        {"zstd window of 256 MiB", zstd_frame(mixed, 28),
         read_error + "zstd frame needs a window larger than 128 MiB; decompress it first: "
                      "zstd -dc --long=31 access.log.x | vestrel -\n"},
        {"bzip2", "BZh91AY&SY" + std::string(40, '\x01'),
         read_error + "bzip2-compressed data is not read directly; decompress it first: "
                      "bzip2 -dc access.log.x | vestrel -\n"},
        {"xz", std::string("\xfd\x37\x7a\x58\x5a\x00\x00\x04", 8) + std::string(40, '\x01'),
         read_error + "xz-compressed data is not read directly; decompress it first: "
                      "xz -dc access.log.x | vestrel -\n"},
        {"lz4", "\x04\x22\x4d\x18" + std::string(40, '\x01'),
         read_error + "lz4-compressed data is not read directly; decompress it first: "
                      "lz4 -dc access.log.x | vestrel -\n"},
        {"gzip followed by other bytes", gz + "garbage",
         "vestrel: trailing garbage after the gzip data ignored\nProcessed 15 lines in S seconds.\n",
         0},
        {"gzip, zeros, then a member", gz + std::string(4, '\0') + gz,
         "vestrel: trailing garbage after the gzip data ignored\nProcessed 15 lines in S seconds.\n",
         0},
    };
    for (const Case &c : cases) {
        for (Given how : {Given::File, Given::Stdin, Given::FileOnOneCpu}) {
            SCOPED_TRACE(std::string(c.name) + ", " + given_name(how));
            TempDir dir;
            const Outcome o = run_on(dir, "access.log.x", c.stored, how);
            EXPECT_EQ(o.status, c.status);
            std::string want = c.err;
            if (how == Given::Stdin) want = std::regex_replace(want, std::regex(" access.log.x"), "");
            if (!want.empty() && want.back() == '(')
                EXPECT_EQ(o.err.substr(0, want.size()), want) << o.err;
            else
                EXPECT_EQ(mask_summary(o.err), want);
            if (c.status != 0) EXPECT_EQ(o.out, "");
            else EXPECT_EQ(mask_file(o.out), mask_file(expected_report("mixed")));
        }
    }
}

// Text that merely starts like a compressed log is text.
TEST(Cli, PrefixesOfMagicNumbersAreText) {
    for (const std::string text : {std::string("\x1f\x8b"), std::string("\x28\xb5\x2f"),
                                   std::string("BZh"), std::string("BZhx\n"),
                                   std::string("\x1f\x8b\x09 text\n")}) {
        TempDir dir;
        const Outcome o = run_on(dir, "a.log", text, Given::File);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(mask_summary(o.err), "Processed 1 lines in S seconds.\n");
    }
}

} // namespace
} // namespace vestrel::test
