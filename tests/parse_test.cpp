#include "parse.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>

namespace vestrel {
namespace {

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

} // namespace
} // namespace vestrel
