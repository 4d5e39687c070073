// Whole-program tests: the built binary on the fixture logs in tests/cli,
// comparing the complete report (date and run time masked), standard error
// and exit status.
#include "support/process.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
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
// unknown name is refused before anything is read.
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
    EXPECT_EQ(o.err, "vestrel: VESTREL_VECTOR must be portable, sse2, avx2 or avx512\n");
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

} // namespace
} // namespace vestrel::test
