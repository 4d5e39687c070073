#include "parse.h"
#include "reference/reference.h"
#include "support/differential.h"
#include "support/process.h"
#include "tally.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <gtest/gtest.h>
#include <string>

namespace vestrel {
namespace {

namespace ref = vestrel::reference;
using namespace test;

// Absent fields print as "<absent>" so a table row reads like the line it
// describes.
constexpr const char *ABSENT = "<absent>";

std::string show(const Field &f) {
    return f ? std::string(*f) : ABSENT;
}

struct LineCase {
    const char *name;
    std::string text;
    const char *host, *date, *request, *status, *size;
};

const std::string COMBINED =
    "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326 \"-\" \"agent\"\n";

TEST(ParseLogLine, FieldsByPosition) {
    const LineCase cases[] = {
        {"combined", COMBINED, "192.0.2.7", "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200",
         "2326"},
        {"common keeps newline on size",
         "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326\n", "192.0.2.7",
         "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200", "2326\n"},
        {"last line without newline",
         "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326", "192.0.2.7",
         "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200", "2326"},
        {"user name", "192.0.2.7 - alice [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5\n",
         "192.0.2.7", "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200", "5\n"},
        {"stops after time stamp", "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700]\n", "192.0.2.7",
         "10/Oct/2000:13:55:36 -0700", ABSENT, ABSENT, ABSENT},
        {"no ident and user",
         "192.0.2.7 [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326\n", "192.0.2.7",
         ABSENT, ABSENT, ABSENT, ABSENT},
        {"only one of ident and user",
         "192.0.2.7 - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326\n", "192.0.2.7",
         ABSENT, ABSENT, ABSENT, ABSENT},
        {"empty request runs to the next quote",
         "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"\" 200 2326 \"-\" \"agent\"\n", "192.0.2.7",
         "10/Oct/2000:13:55:36 -0700", " 200 2326 ", "-\"", "agent"},
        {"quoted size",
         "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 \"2326\"\n",
         "192.0.2.7", "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200", "2326"},
        {"backslash does not protect a quote",
         "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET /a\\\"b HTTP/1.1\" 200 2326\n",
         "192.0.2.7", "10/Oct/2000:13:55:36 -0700", "GET /a\\", "b", "HTTP/1.1"},
        {"ends after status", "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200\n",
         "192.0.2.7", "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200\n", ABSENT},
        {"empty time stamp", "192.0.2.7 - - [] \"GET / HTTP/1.1\" 200 5\n", "192.0.2.7",
         " \"GET / HTTP/1.1\" 200 5\n", ABSENT, ABSENT, ABSENT},
        {"leading spaces", "   ::1 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5",
         "::1", "10/Oct/2000:13:55:36 -0700", "GET / HTTP/1.1", "200", "5"},
        {"address only", "192.0.2.7\n", "192.0.2.7\n", ABSENT, ABSENT, ABSENT, ABSENT},
        {"bare newline", "\n", "\n", ABSENT, ABSENT, ABSENT, ABSENT},
        {"empty text", "", ABSENT, ABSENT, ABSENT, ABSENT, ABSENT},
        {"only spaces", "    ", ABSENT, ABSENT, ABSENT, ABSENT, ABSENT},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.name);
        const LogLine line = parse_log_line(c.text);
        EXPECT_EQ(show(line.remote_host), c.host);
        EXPECT_EQ(show(line.date), c.date);
        EXPECT_EQ(show(line.request), c.request);
        EXPECT_EQ(show(line.status), c.status);
        EXPECT_EQ(show(line.size), c.size);
    }
}

TEST(ParseLogDate, SplitsParts) {
    const LogDate d = parse_log_date("10/Oct/2000:13:55:36 -0700");
    EXPECT_EQ(show(d.day), "10");
    EXPECT_EQ(show(d.month), "Oct");
    EXPECT_EQ(show(d.year), "2000");
    EXPECT_EQ(show(d.hour), "13");
    EXPECT_EQ(show(d.minute), "55");
    EXPECT_EQ(show(d.second), "36");

    EXPECT_EQ(show(parse_log_date("10/Oct/2000").hour), ABSENT);
    EXPECT_EQ(show(parse_log_date("//2000::07").hour), ABSENT) << "empty parts are skipped";
    EXPECT_EQ(show(parse_log_date("a/b/c:07").hour), "07");
}

TEST(ParseRequest, MethodAndProtocol) {
    struct Case {
        const char *request, *method, *protocol;
    } cases[] = {
        {"GET /index.html HTTP/1.1", "GET", "HTTP/1.1"},
        {"GET /", "GET", "/"},
        {"-", ABSENT, ABSENT},
        {"GET /a b HTTP/1.1", "GET", "HTTP/1.1"},
        {"GET / HTTP/1.1 ", "GET", ""},
        {" 200 2326 ", "200", ""},
        {"  ", ABSENT, ""},
        {"get / HTTP/1.0", "get", "HTTP/1.0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        const RequestLine r = parse_request(c.request);
        EXPECT_EQ(show(r.method), c.method);
        EXPECT_EQ(show(r.protocol), c.protocol);
    }
}

TEST(ParseAddress, FamilyAndBytes) {
    struct Case {
        const char *host;
        int family;
    } cases[] = {
        {"192.0.2.7", AF_INET},
        {"0.0.0.0", AF_INET},
        {"255.255.255.255", AF_INET},
        {"256.0.0.1", 0},
        {"01.2.3.4", 0},
        {"1.2.3", 0},
        {"1.2.3.4.5", 0},
        {"1.2.3.", 0},
        {".1.2.3", 0},
        {"1..2.3", 0},
        {"1.2.3.4 ", 0},
        {"192.0.2.7\n", 0},
        {"::1", AF_INET6},
        {"::", AF_INET6},
        {"2001:db8::1", AF_INET6},
        {"::ffff:1.2.3.4", AF_INET6},
        {"localhost", 0},
        {"", 0},
        {"2001:db8::1::2", 0},
        {"12345::", 0},
        {"0000:0000:0000:0000:0000:0000:255.255.255.255", AF_INET6},
        {"0000:0000:0000:0000:0000:0000:255.255.255.2551", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        const Address a = parse_address(c.host);
        EXPECT_EQ(a.family, c.family);
        if (c.family != 0) {
            unsigned char expected[16] = {};
            ASSERT_EQ(inet_pton(c.family, c.host, expected), 1);
            EXPECT_EQ(0, memcmp(expected, a.bytes, c.family == AF_INET ? 4 : 16));
        }
    }
}

TEST(ParseNumber, StrtonumSemantics) {
    struct Case {
        const char *token;
        long long max;
        long long expected; // -1: rejected
    } cases[] = {
        {"07", 23, 7},
        {"+7", 23, 7},
        {" 7", 23, 7},
        {"\t\v\f\r\n 7", 23, 7},
        {"24", 23, -1},
        {"23", 23, 23},
        {"-0", 23, 0},
        {"-1", 23, -1},
        {"7 ", 23, -1},
        {"2326\n", INT64_MAX, -1},
        {"-", 599, -1},
        {"+", 599, -1},
        {"", 599, -1},
        {"600", 599, -1},
        {"0", INT64_MAX, 0},
        {"0x10", INT64_MAX, -1},
        {"1e3", INT64_MAX, -1},
        {"9223372036854775807", INT64_MAX, INT64_MAX},
        {"9223372036854775808", INT64_MAX, -1},
        {"00000000000000000000000000042", INT64_MAX, 42},
        {"-9223372036854775809", INT64_MAX, -1},
        {"99999999999999999999999", 599, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.token);
        EXPECT_EQ(parse_number(c.token, c.max), c.expected);
    }
}

// The splitters against the reference (tests/support/differential.h): the
// same line through both, every field, date part, request part, address and
// number compared.

// ---------------------------------------------------------------- field splits

std::string show_escaped(const Field &f) {
    return f ? escaped(*f) : "<absent>";
}
std::string show_escaped(const char *f) {
    return f != nullptr ? escaped(f) : "<absent>";
}

void compare_field(std::string &diff, const char *name, const Field &fast, const char *slow) {
    const bool same = fast.has_value() == (slow != nullptr) && (!fast || *fast == slow);
    if (!same)
        diff += std::string("  ") + name + ": fast " + show_escaped(fast) + ", reference " +
                show_escaped(slow) + "\n";
}

// Splits a time stamp both ways (`slow` is the same text, NUL-terminated,
// and gets written into); also checks the hour the tally reads from it.
std::string date_mismatch(std::string_view fast, char *slow) {
    std::string diff;
    const LogDate fd = parse_log_date(fast);
    const ref::DateFields sd = ref::parse_log_date(slow);
    compare_field(diff, "day", fd.day, sd.day);
    compare_field(diff, "month", fd.month, sd.month);
    compare_field(diff, "year", fd.year, sd.year);
    compare_field(diff, "hour", fd.hour, sd.hour);
    compare_field(diff, "minute", fd.minute, sd.minute);
    compare_field(diff, "second", fd.second, sd.second);
    long long value = -1;
    if (sd.hour == nullptr || !ref::parse_number(sd.hour, 0, 23, value)) value = -1;
    const long long hour = parse_hour(fast);
    if (hour != value)
        diff += "  counted hour: fast " + std::to_string(hour) + ", reference " +
                std::to_string(value) + "\n";
    return diff;
}

// Splits `bytes` (one line as read) both ways; "" when every field agrees.
std::string split_mismatch(const std::string &bytes) {
    const std::string_view text(bytes.data(), std::min(bytes.size(), bytes.find('\0')));
    std::vector<char> buffer(bytes.begin(), bytes.end());
    buffer.push_back('\0');

    std::string diff;
    const LogLine fast = parse_log_line(text);
    const ref::LineFields slow = ref::parse_log_line(buffer.data());
    // The line inside a larger buffer, as the reader splits it: loads may
    // reach past the line's end into bytes that would end every field.
    std::string in_buffer(text);
    for (int i = 0; i < 20; ++i)
        in_buffer += "\" ][";
    const LogLine wide =
        parse_log_line(std::string_view(in_buffer.data(), text.size()), in_buffer.size());
    auto same_view = [&](const char *name, const Field &a, const Field &b) {
        const bool same = a.has_value() == b.has_value() &&
                          (!a || (a->data() - text.data() == b->data() - in_buffer.data() &&
                                  a->size() == b->size()));
        if (!same) diff += std::string("  ") + name + ": differs when read inside a buffer\n";
    };
    same_view("remote_host", fast.remote_host, wide.remote_host);
    same_view("date", fast.date, wide.date);
    same_view("request", fast.request, wide.request);
    same_view("status", fast.status, wide.status);
    same_view("size", fast.size, wide.size);
    // The line at the start of a heap block with only a little room after
    // it, as near the end of the reader's buffer and its padding: the wide
    // scans must fall back before they would load past the block.
    for (const std::size_t slack : {std::size_t{1}, std::size_t{17}, std::size_t{63}}) {
        const std::size_t room = text.size() + slack;
        const std::unique_ptr<char[]> block(new char[room]);
        std::memset(block.get(), '"', room);
        std::memcpy(block.get(), text.data(), text.size());
        const LogLine tight = parse_log_line(std::string_view(block.get(), text.size()), room);
        auto same_tight = [&](const char *name, const Field &a, const Field &b) {
            const bool same = a.has_value() == b.has_value() &&
                              (!a || (a->data() - text.data() == b->data() - block.get() &&
                                      a->size() == b->size()));
            if (!same)
                diff += std::string("  ") + name + ": differs with " + std::to_string(slack) +
                        " bytes of room\n";
        };
        same_tight("remote_host", fast.remote_host, tight.remote_host);
        same_tight("date", fast.date, tight.date);
        same_tight("request", fast.request, tight.request);
        same_tight("status", fast.status, tight.status);
        same_tight("size", fast.size, tight.size);
    }
    compare_field(diff, "remote_host", fast.remote_host, slow.remote_host);
    compare_field(diff, "date", fast.date, slow.date);
    compare_field(diff, "request", fast.request, slow.request);
    compare_field(diff, "status", fast.status, slow.status);
    compare_field(diff, "size", fast.size, slow.size);
    if (!diff.empty()) return diff;

    if (fast.date) diff += date_mismatch(*fast.date, slow.date);
    if (fast.request) {
        const RequestLine fr = parse_request(*fast.request);
        const ref::RequestFields sr = ref::parse_request(slow.request);
        compare_field(diff, "method", fr.method, sr.method);
        compare_field(diff, "protocol", fr.protocol, sr.protocol);
    }
    return diff;
}

#define EXPECT_SAME_SPLIT(bytes)                                                                   \
    do {                                                                                           \
        const std::string diff_ = split_mismatch(bytes);                                           \
        ASSERT_EQ(diff_, "") << "line " << escaped(bytes);                                         \
    } while (0)

TEST(DifferentialSplit, HandPickedLines) {
    const std::string cases[] = {
        "",
        "\n",
        std::string("\0abc 1 2\n", 9),
        std::string("1.2.3.4 - - [x\0] \"GET / HTTP/1.1\" 200 5\n", 41),
        "   leading spaces - - [d] \"r\" 1 2\n",
        "h - - [d]\"r\"1 2",
        "h - - [d] \"r\" 200 \"\"\"\n",
        "h - - [d] \"r\" 200 \"5\"\n",
        "h - - [d] \"r\" 200 5 \"6\"\n",
        "h - - [d] \"GET\" 200 5\n",
        "h - - [d] \" GET\" 200 5\n",
        "h - - [d] \"GET \" 200 5\n",
        "h - - [d] \"  \" 200 5\n",
        "h - - [d] \"GET / HTTP/1.1 \" 200 5\n",
        "h - - [[[d]]] \"GET / HTTP/1.1\" 200 5\n",
        "h - - [d] \"r\" 200",
        "h - - [d] \"r\" 200 ",
        "h - - [d] \"r\" 200 \n",
        "h - - [d] \"r",
        "h - - [d",
        "h - - [",
        "h - -",
        "h",
        "h ",
        "h\r\n",
        "[10/Oct/2000:13:55:36 -0700]\n",
        "h - - [//::: ] \"r\" 1 2\n",
        "h - - [1/2/3:4:5:6 7] \"r\" 1 2\n",
        "h - - [1/2/3:4] \"r\" 1 2\n",
        "h - - [1/2/3:4:5] \"r\" 1 2\n",
        "h - - [ ] \"r\" 1 2\n",
    };
    for (const std::string &c : cases)
        EXPECT_SAME_SPLIT(c);
    for (const std::string &c : USUAL_FORM_NEAR_MISSES)
        EXPECT_SAME_SPLIT(c);
}

TEST(DifferentialSplit, RandomSteeringBytes) {
    Rng rng(0x5eed0001);
    for (int i = 0; i < 20000; ++i) {
        const std::string line = random_bytes(rng, i % 4 == 0 ? 200 : 40);
        EXPECT_SAME_SPLIT(line);
    }
}

TEST(DifferentialSplit, RandomLinePieces) {
    Rng rng(0x5eed0002);
    for (int i = 0; i < 20000; ++i) {
        const std::string line = random_token_line(rng);
        EXPECT_SAME_SPLIT(line);
    }
}

TEST(DifferentialSplit, MutatedLines) {
    Rng rng(0x5eed0003);
    std::vector<std::string> seeds(std::begin(SEED_LINES), std::end(SEED_LINES));
    for (int i = 0; i < 200; ++i)
        seeds.push_back(random_good_line(rng));
    for (const std::string &line : real_lines(37))
        seeds.push_back(line);
    for (int i = 0; i < 30000; ++i) {
        const std::string line = mutate(rng, seeds[pick(rng, seeds.size())]);
        EXPECT_SAME_SPLIT(line);
    }
}

// Time stamps in the usual layout with bytes swapped for delimiters, digits
// and letters, so that both the fixed-position hour read and the split it
// falls back to are compared.
std::string random_time_stamp(Rng &rng) {
    static const char *const months[] = {"Jan", "Oct", "Dec", "O/t", "Oc:"};
    char text[64];
    std::snprintf(text, sizeof text, "%02u/%s/%04u:%02u:%02u:%02u %s",
                  static_cast<unsigned>(pick(rng, 32)), one_of(rng, months),
                  static_cast<unsigned>(pick(rng, 10000)), static_cast<unsigned>(pick(rng, 30)),
                  static_cast<unsigned>(pick(rng, 60)), static_cast<unsigned>(pick(rng, 60)),
                  chance(rng, 80) ? "-0700" : "");
    std::string s = text;
    static constexpr char bytes[] = {'/', ':', ' ', '0', '2', '9', 'x', '+', '-', '\t'};
    const std::size_t edits = pick(rng, 4);
    for (std::size_t e = 0; e < edits && !s.empty(); ++e) {
        const std::size_t at = pick(rng, std::min<std::size_t>(s.size(), 17));
        switch (pick(rng, 3)) {
        case 0:
            s[at] = one_of(rng, bytes);
            break;
        case 1:
            s.insert(at, 1, one_of(rng, bytes));
            break;
        default:
            s.erase(at, 1);
        }
    }
    return s;
}

TEST(DifferentialSplit, TimeStamps) {
    Rng rng(0x5eed000b);
    for (int i = 0; i < 30000; ++i) {
        const std::string date = random_time_stamp(rng);
        std::vector<char> buffer(date.begin(), date.end());
        buffer.push_back('\0');
        ASSERT_EQ(date_mismatch(date, buffer.data()), "") << "time stamp " << escaped(date);
    }
}

TEST(DifferentialSplit, EveryLineOfTheLogExcerpts) {
    for (const char *name : EXCERPT_LOGS) {
        SCOPED_TRACE(name);
        const std::vector<std::string> lines = split_lines(test::read_file(excerpt_path(name)));
        ASSERT_FALSE(lines.empty());
        for (const std::string &line : lines)
            EXPECT_SAME_SPLIT(line);
    }
}

TEST(DifferentialSplit, EveryLineOfTheDataLogs) {
    if (!data_dir_present())
        GTEST_SKIP() << VESTREL_DATA_DIR << " is missing (the excerpts in tests/cli/real ran)";
    for (const char *name : DATA_LOGS) {
        SCOPED_TRACE(name);
        const std::vector<std::string> lines = data_log_lines(name);
        ASSERT_FALSE(lines.empty());
        for (const std::string &line : lines)
            EXPECT_SAME_SPLIT(line);
    }
}

// ---------------------------------------------------------------- addresses

// Every form of the check at every vector level the machine has: the host
// alone; the host at the start of a heap block of exactly 16 bytes (or its
// own size), the least a one-load form may load; and the host in a buffer
// that may be loaded past its end (as in the reader), followed by bytes a
// word load would see.
std::string address_mismatch(const std::string &host) {
    unsigned char bytes[16] = {};
    const int family = ref::address_family(host.c_str(), bytes);
    const std::size_t n = family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
    std::string padded = host + " 1.2.3.4\"\n";
    padded.resize(host.size() + 64, '9');
    const std::size_t tight_size = std::max<std::size_t>(host.size(), 16);
    const std::unique_ptr<char[]> tight(new char[tight_size]);
    std::memset(tight.get(), '7', tight_size);
    std::memcpy(tight.get(), host.data(), host.size());
    static const VectorLevel levels[] = {VectorLevel::PORTABLE, VectorLevel::SSE2,
                                         VectorLevel::AVX2, VectorLevel::AVX512};
    for (const VectorLevel level : levels) {
        if (level > cpu_vector_level()) break;
        const Address forms[3] = {
            parse_address(host, 0, level),
            parse_address(std::string_view(tight.get(), host.size()), tight_size, level),
            parse_address(std::string_view(padded.data(), host.size()), padded.size(), level)};
        const int families[3] = {
            address_family(host, 0, level),
            address_family(std::string_view(tight.get(), host.size()), tight_size, level),
            address_family(std::string_view(padded.data(), host.size()), padded.size(), level)};
        for (const int fast : families)
            if (fast != family)
                return "family alone: fast " + std::to_string(fast) + ", reference " +
                       std::to_string(family) + " (level " +
                       std::to_string(static_cast<int>(level)) + ")";
        // As the lookup queue takes it: the head alone, then the rest made
        // from the kept text.
        const std::string_view in_padded(padded.data(), host.size());
        Address head;
        if (!parse_address_head(head, in_padded, padded.size(), level)) {
            static const unsigned char zeros[16] = {};
            if (head.family != AF_INET6 || std::memcmp(head.bytes, bytes, 4) != 0 ||
                std::memcmp(head.bytes, zeros, 4) == 0 ||
                std::memcmp(head.bytes + 4, zeros, 12) != 0)
                return "head alone differs";
            finish_address(head, in_padded);
        }
        for (const Address &fast : {forms[0], forms[1], forms[2], head}) {
            const std::string at = " (level " + std::to_string(static_cast<int>(level)) + ")";
            if (fast.family != family)
                return "family: fast " + std::to_string(fast.family) + ", reference " +
                       std::to_string(family) + at;
            if (std::memcmp(fast.bytes, bytes, n) != 0) return "binary address differs" + at;
        }
    }
    return "";
}

#define EXPECT_SAME_ADDRESS(host)                                                                  \
    do {                                                                                           \
        const std::string diff_ = address_mismatch(host);                                          \
        ASSERT_EQ(diff_, "") << "host " << escaped(host);                                          \
    } while (0)

TEST(DifferentialAddress, HandPickedHosts) {
    const char *const hosts[] = {"",
                                 "1.2.3.4",
                                 "0.0.0.0",
                                 "255.255.255.255",
                                 "256.1.1.1",
                                 "1.2.3.256",
                                 "01.2.3.4",
                                 "1.02.3.4",
                                 "1.2.3.04",
                                 "00.1.1.1",
                                 "1.2.3",
                                 "1.2.3.4.5",
                                 "1.2.3.4.",
                                 ".1.2.3.4",
                                 "1..2.3",
                                 "1.2.3.4 ",
                                 " 1.2.3.4",
                                 "1.2.3.4\n",
                                 "0x7f.0.0.1",
                                 "1.2.3.-4",
                                 "1.2.3.+4",
                                 "1234.1.1.1",
                                 "999.1.1.1",
                                 "25.5.255.255",
                                 "100.200.250.255",
                                 "9.99.199.249",
                                 "1.2.3.0",
                                 "0.0.0.00",
                                 "0.10.0.100",
                                 "1.2.3.4444",
                                 "1111.2.3.4",
                                 "1.2.3.4.",
                                 "1.2.3..4",
                                 "1.2.3.4:80",
                                 "::",
                                 "::1",
                                 "1::",
                                 ":::",
                                 "1:2:3:4:5:6:7:8",
                                 "1:2:3:4:5:6:7:8:9",
                                 "1:2:3:4:5:6:7::",
                                 "::2:3:4:5:6:7:8",
                                 "1::2::3",
                                 "12345::",
                                 "0000:0000:0000:0000:0000:0000:0000:0001",
                                 "00000::1",
                                 "::ffff:1.2.3.4",
                                 "::ffff:01.2.3.4",
                                 "::ffff:1.2.3",
                                 "::ffff:1.2.3.4.5",
                                 "::1.2.3.4",
                                 "1.2.3.4::",
                                 "::ffff:256.1.1.1",
                                 "1:2:3:4:5:6:1.2.3.4",
                                 "1:2:3:4:5:6:7:1.2.3.4",
                                 "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
                                 "0000:0000:0000:0000:0000:0000:255.255.255.255",
                                 "0000:0000:0000:0000:0000:0000:255.255.255.2555",
                                 "FE80::1",
                                 "fe80::1%eth0",
                                 "g::1",
                                 "::x",
                                 "2001:DB8::A",
                                 "2001:db8:0:0:0:0:2:1",
                                 ":1::",
                                 "1:2:3:4:5:6::7",
                                 "1:2:3:4:5:6:7::8",
                                 "1::2:3:4:5:6:7:8",
                                 "::1:2:3:4:5:6:7",
                                 "::1:",
                                 "1:::2",
                                 "::12345",
                                 "abcd::ef01:2345:6789",
                                 "1:",
                                 ":1",
                                 "1.2.3.4/24",
                                 "-",
                                 "localhost",
                                 "\t1.2.3.4"};
    for (const char *host : hosts)
        EXPECT_SAME_ADDRESS(std::string(host));
}

std::string random_address_text(Rng &rng) {
    switch (pick(rng, 5)) {
    case 0: { // dotted parts: values around the limits, leading zeros, odd counts
        std::string s;
        const std::size_t parts = 1 + pick(rng, 6);
        for (std::size_t p = 0; p < parts; ++p) {
            if (p > 0) s += chance(rng, 95) ? "." : "..";
            if (chance(rng, 10)) s += "0";
            static const unsigned specials[] = {0,   1,   9,   10,  99,  100, 199,
                                                249, 250, 255, 256, 299, 999, 1000};
            s += std::to_string(chance(rng, 50) ? one_of(rng, specials) : pick(rng, 300));
        }
        return s;
    }
    case 1: { // IPv6 groups, a "::" somewhere, sometimes a dotted tail
        std::string s;
        const std::size_t groups = pick(rng, 10);
        const std::size_t gap = chance(rng, 60) ? pick(rng, groups + 1) : SIZE_MAX;
        for (std::size_t g = 0; g < groups; ++g) {
            if (g == gap)
                s += "::";
            else if (g > 0)
                s += ":";
            const std::size_t digits = pick(rng, 6);
            for (std::size_t d = 0; d < digits; ++d)
                s += "0123456789abcdefABCDEF"[pick(rng, 22)];
        }
        if (gap == groups) s += "::";
        if (chance(rng, 25)) s += (s.empty() || s.back() == ':' ? "" : ":") + random_ipv4(rng);
        return s;
    }
    case 2: // well-formed, for the binary bytes
        return chance(rng, 50) ? random_ipv4(rng) : random_ipv6(rng);
    default: { // anything from the address alphabet, sometimes long
        static constexpr char alphabet[] = "0123456789....::::abcdefABCDEFxg %/\t-+";
        std::string s(pick(rng, chance(rng, 10) ? 80 : 20), ' ');
        for (char &c : s)
            c = alphabet[pick(rng, sizeof alphabet - 1)];
        return s;
    }
    }
}

TEST(DifferentialAddress, RandomHosts) {
    Rng rng(0x5eed0004);
    int accepted = 0;
    for (int i = 0; i < 60000; ++i) {
        const std::string host = random_address_text(rng);
        EXPECT_SAME_ADDRESS(host);
        accepted += parse_address(host).family != 0;
    }
    // Both verdicts must be well represented for the comparison to mean much.
    EXPECT_GT(accepted, 10000);
    EXPECT_LT(accepted, 50000);
}

// Eight groups and seven colons, the form most IPv6 clients are logged in,
// and its near misses: a group of 0 or 5 digits, 7 or 9 groups, a doubled or
// trailing colon, a byte outside hex, a dotted tail.
TEST(DifferentialAddress, WrittenOutIpv6) {
    Rng rng(0x5eed0006);
    static const char hex[] = "0123456789abcdefABCDEF";
    static const char strays[] = ":.gG/ -\xff"; // no NUL: the reader cuts lines there
    int accepted = 0;
    for (int i = 0; i < 40000; ++i) {
        const std::size_t groups = chance(rng, 90) ? 8 : 7 + 2 * pick(rng, 2);
        std::string host;
        for (std::size_t g = 0; g < groups; ++g) {
            if (g > 0) host += ':';
            const std::size_t digits = chance(rng, 95) ? 1 + pick(rng, 4) : 5 * pick(rng, 2);
            for (std::size_t d = 0; d < digits; ++d)
                host += hex[pick(rng, sizeof hex - 1)];
        }
        if (chance(rng, 5)) host[pick(rng, host.size())] = strays[pick(rng, sizeof strays - 1)];
        if (chance(rng, 3)) host += chance(rng, 50) ? ":" : ".1.2.3";
        EXPECT_SAME_ADDRESS(host);
        accepted += parse_address(host).family != 0;
    }
    EXPECT_GT(accepted, 20000);
    EXPECT_LT(accepted, 38000);
}

// ---------------------------------------------------------------- numbers

// Both forms of the parse: the token alone, and the token in a buffer that
// may be loaded past its end, followed by digits a word load would see.
std::string number_mismatch(const std::string &token) {
    static const long long maxima[] = {23, 599, INT64_MAX};
    const std::string padded = token + "12345678";
    for (long long maxval : maxima) {
        long long value = 0;
        const long long slow = ref::parse_number(token.c_str(), 0, maxval, value) ? value : -1;
        const long long forms[2] = {
            parse_number(token, maxval),
            parse_number(std::string_view(padded.data(), token.size()), maxval, padded.size())};
        for (const long long fast : forms)
            if (fast != slow)
                return "max " + std::to_string(maxval) + ": fast " + std::to_string(fast) +
                       ", reference " + std::to_string(slow);
    }
    return "";
}

#define EXPECT_SAME_NUMBER(token)                                                                  \
    do {                                                                                           \
        const std::string diff_ = number_mismatch(token);                                          \
        ASSERT_EQ(diff_, "") << "token " << escaped(token);                                        \
    } while (0)

TEST(DifferentialNumber, HandPickedTokens) {
    const char *const tokens[] = {
        "", "0", "-0", "+0", "+7", "-7", "23", "24", "599", "600", "0023",
        "00000000000000000000023", " 5", "\t5", "\n5", "\v5", "\f5", "\r5", "5 ", "5\n", " ", "+",
        "-", "+-5", "--5", " -0", "- 5", "9223372036854775807", "9223372036854775808",
        "09223372036854775807", "-9223372036854775808", "-9223372036854775809",
        "99999999999999999999999", "999999999999999999", "1000000000000000000",
        "000000000000000000", "0000000000000000000", "-000000000000000000000", "1e3", "0x10", "12a",
        "\xc2\xa0"
        "5",
        "5\r",
        // Around the 8-byte word form: widths, and bytes just
        // outside '0'-'9' or that carry when 6 is added.
        "12345678", "99999999", "123456789", "00000599", "00000600", "10770\n",
        "1234567:", "1234567/", "1\xff",
        "1\xfa"
        "2",
        "9\x7f"};
    for (const char *t : tokens)
        EXPECT_SAME_NUMBER(std::string(t));
}

std::string random_number_token(Rng &rng) {
    static const char *const spaces[] = {" ", "\t", "\n", "\v", "\f", "\r", "  \t"};
    static const char *const signs[] = {"+", "-", "+-", "--"};
    static const char *const bounds[] = {"23",
                                         "24",
                                         "599",
                                         "600",
                                         "9223372036854775807",
                                         "9223372036854775808",
                                         "9223372036854775806",
                                         "18446744073709551615",
                                         "18446744073709551616",
                                         "999999999999999999",
                                         "1000000000000000000"};
    std::string s;
    if (chance(rng, 15)) s += one_of(rng, spaces);
    if (chance(rng, 20)) s += one_of(rng, signs);
    if (chance(rng, 20)) s += std::string(pick(rng, 8), '0');
    if (chance(rng, 30)) {
        s += one_of(rng, bounds);
    } else {
        const std::size_t digits = chance(rng, 30) ? 17 + pick(rng, 9) : pick(rng, 5);
        for (std::size_t d = 0; d < digits; ++d)
            s += static_cast<char>('0' + pick(rng, 10));
    }
    if (chance(rng, 8)) s += chance(rng, 50) ? one_of(rng, spaces) : "x";
    if (chance(rng, 3)) s.insert(pick(rng, s.size() + 1), one_of(rng, spaces));
    return s;
}

TEST(DifferentialNumber, RandomTokens) {
    Rng rng(0x5eed0005);
    for (int i = 0; i < 60000; ++i) {
        const std::string token = random_number_token(rng);
        EXPECT_SAME_NUMBER(token);
    }
}

} // namespace
} // namespace vestrel
