// The fast paths against the plain reference (tests/reference): the same bytes
// go through both and every field, flag and counter must come out the same.
// Inputs are generated from fixed seeds, so a failure repeats; each failure
// message carries the input, escaped as a C string literal.
#include "geo.h"
#include "hll.h"
#include "longline.h"
#include "tally.h"
#include "parse.h"
#include "reference/reference.h"
#include "support/mmdb_writer.h"
#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vestrel {
namespace {

namespace ref = vestrel::reference;
using Rng = std::mt19937_64;

// ---------------------------------------------------------------- helpers

// The bytes as a C string literal, cut after `limit` input bytes.
std::string escaped(std::string_view bytes, std::size_t limit = 2048) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x\"\"", c); // "" ends the escape
                out += hex;
            }
        }
    }
    out += "\"";
    if (bytes.size() > limit) out += " ... (" + std::to_string(bytes.size()) + " bytes in all)";
    return out;
}

std::size_t pick(Rng &rng, std::size_t n) {
    return static_cast<std::size_t>(rng() % n);
}
bool chance(Rng &rng, unsigned percent) {
    return rng() % 100 < percent;
}

template <class T, std::size_t N> const T &one_of(Rng &rng, const T (&items)[N]) {
    return items[pick(rng, N)];
}

// Lines split where getline splits them.
std::vector<std::string> split_lines(const std::string &bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        std::size_t end = nl == std::string::npos ? bytes.size() : nl + 1;
        lines.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::vector<std::string> data_log_lines(const char *name) {
    const std::string bytes = test::read_file(std::string(VESTREL_DATA_DIR) + "/" + name);
    return split_lines(bytes);
}

bool data_dir_present() {
    return std::filesystem::is_directory(VESTREL_DATA_DIR);
}

constexpr const char *DATA_LOGS[] = {"apache-combined-elastic-2015-10k.log",
                                     "nasa-http-common-aug1995-20k.log"};

// ---------------------------------------------------------------- generators

// Bytes that steer the splitters: every delimiter, the white space strtoll
// skips, NUL, and what addresses and numbers are made of.
char steering_byte(Rng &rng) {
    static constexpr char delimiters[] = {' ', ' ', ' ', '[', ']', '"', '"', '/', ':', '\n'};
    static constexpr char others[] = {'.', '-', '+', '\t', '\r', '\v', 'a', 'f',  'G',
                                      'E', 'T', 'H', 'P',  'x',  'Z',  '%', '\\', '\0'};
    const unsigned r = static_cast<unsigned>(rng() % 100);
    if (r < 40) return one_of(rng, delimiters);
    if (r < 65) return static_cast<char>('0' + pick(rng, 10));
    if (r < 90) return one_of(rng, others);
    return static_cast<char>(1 + pick(rng, 255)); // anything but NUL
}

std::string random_bytes(Rng &rng, std::size_t max_length) {
    std::string s(pick(rng, max_length + 1), '\0');
    for (char &c : s)
        c = steering_byte(rng);
    return s;
}

// Whole pieces of log lines glued in random order, so that the later fields
// (status, size) are reached far more often than by single bytes.
std::string random_token_line(Rng &rng) {
    static const char *const pieces[] = {"192.0.2.7",
                                         "::1",
                                         "2001:db8::7",
                                         "::ffff:10.0.0.1",
                                         "10.0.0.256",
                                         "example.org",
                                         "-",
                                         "[",
                                         "]",
                                         "\"",
                                         "\"\"",
                                         " ",
                                         "  ",
                                         "10/Oct/2000:13:55:36 -0700",
                                         "01/Aug/1995:23:00:01",
                                         "/",
                                         ":",
                                         "::",
                                         "GET",
                                         "POST",
                                         "get",
                                         "HEAD / HTTP/1.1",
                                         "HTTP/1.0",
                                         "HTTP/2.0",
                                         "HTTP/3",
                                         "200",
                                         "404",
                                         "599",
                                         "600",
                                         "-1",
                                         "+7",
                                         "0",
                                         "007",
                                         "9223372036854775807",
                                         "9223372036854775808",
                                         "18446744073709551616",
                                         "\t",
                                         "\r",
                                         "\n",
                                         "\v",
                                         "x",
                                         "1.2.3.4.5",
                                         "24",
                                         "23",
                                         "\\\""};
    std::string s;
    const std::size_t n = 1 + pick(rng, 24);
    for (std::size_t i = 0; i < n; ++i) {
        if (chance(rng, 4))
            s += '\0';
        else
            s += one_of(rng, pieces);
    }
    if (chance(rng, 70)) s += '\n';
    return s;
}

// A well-formed line with random content in every field.
std::string random_host(Rng &rng);

std::string random_good_line(Rng &rng) {
    static const char *const methods[] = {"GET",   "POST",   "HEAD",    "OPTIONS",
                                          "PUT",   "DELETE", "TRACE",   "CONNECT",
                                          "PATCH", "get",    "PROPFIND"};
    static const char *const protocols[] = {"HTTP/1.1", "HTTP/1.0", "HTTP/2.0", "HTTP/3",
                                            "HTTP/0.9", "http/1.1", ""};
    std::string s = random_host(rng);
    s += " - ";
    s += chance(rng, 80) ? "-" : "alice";
    s += " [" + std::to_string(1 + pick(rng, 28)) + "/Oct/2000:";
    s += std::to_string(pick(rng, 26)) + ":55:36 -0700] \"";
    s += one_of(rng, methods);
    s += " /path/";
    s += std::to_string(pick(rng, 1000));
    s += " ";
    s += one_of(rng, protocols);
    s += "\" " + std::to_string(pick(rng, 650)) + " ";
    s += chance(rng, 10) ? "-" : std::to_string(rng() >> pick(rng, 64));
    if (chance(rng, 60)) s += " \"http://example.org/\" \"agent/1.0\"";
    s += chance(rng, 10) ? "\r\n" : "\n";
    return s;
}

std::string random_ipv4(Rng &rng) {
    return std::to_string(pick(rng, 256)) + "." + std::to_string(pick(rng, 256)) + "." +
           std::to_string(pick(rng, 256)) + "." + std::to_string(pick(rng, 256));
}

std::string random_ipv6(Rng &rng) {
    char text[64];
    std::snprintf(text, sizeof text, "%x:%x:%x::%x", static_cast<unsigned>(rng() & 0xffff),
                  static_cast<unsigned>(rng() & 0xffff), static_cast<unsigned>(rng() & 0xffff),
                  static_cast<unsigned>(rng() & 0xffff));
    return text;
}

std::string random_host(Rng &rng) {
    const unsigned r = static_cast<unsigned>(rng() % 100);
    if (r < 55) return random_ipv4(rng);
    if (r < 85) return random_ipv6(rng);
    if (r < 90) return "::ffff:" + random_ipv4(rng);
    static const char *const odd[] = {"host.example.org",  "-",        "1.2.3", "01.2.3.4", "::g",
                                      "1:2:3:4:5:6:7:8:9", "256.1.1.1"};
    return one_of(rng, odd);
}

// Lines as the logs hold them, for mutation when the data logs are absent.
const char *const SEED_LINES[] = {
    "83.149.9.216 - - [17/May/2015:10:05:03 +0000] \"GET /images/kibana-search.png HTTP/1.1\" "
    "200 203023 \"http://semicomplete.com/\" \"Mozilla/5.0 (Macintosh)\"\n",
    "in24.inetnebr.com - - [01/Aug/1995:00:00:01 -0400] \"GET /shuttle/news.txt HTTP/1.0\" 200 "
    "1839\n",
    "2001:db8::7 - bob [10/Oct/2000:13:55:36 -0700] \"POST /form HTTP/2.0\" 302 \"512\"\n",
    "10.0.0.1 - - [10/Oct/2000:23:59:59 -0700] \"HEAD / HTTP/3\" 599 9223372036854775807\n",
};

// One to four edits that favour the bytes the splitters look at.
std::string mutate(Rng &rng, std::string s) {
    const std::size_t edits = 1 + pick(rng, 4);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t at = pick(rng, s.size() + 1);
        switch (pick(rng, 6)) {
        case 0: // insert
            s.insert(at, 1, steering_byte(rng));
            break;
        case 1: // replace
            if (at < s.size()) s[at] = steering_byte(rng);
            break;
        case 2: // delete one
            if (at < s.size()) s.erase(at, 1);
            break;
        case 3: // delete a run
            if (at < s.size()) s.erase(at, 1 + pick(rng, 12));
            break;
        case 4: // duplicate a run
            if (at < s.size()) s.insert(at, s.substr(at, 1 + pick(rng, 12)));
            break;
        default: // cut
            s.resize(at);
        }
    }
    return s;
}

// ---------------------------------------------------------------- field splits

std::string show(const Field &f) {
    return f ? escaped(*f) : "<absent>";
}
std::string show(const char *f) {
    return f != nullptr ? escaped(f) : "<absent>";
}

void compare_field(std::string &diff, const char *name, const Field &fast, const char *slow) {
    const bool same = fast.has_value() == (slow != nullptr) && (!fast || *fast == slow);
    if (!same)
        diff +=
            std::string("  ") + name + ": fast " + show(fast) + ", reference " + show(slow) + "\n";
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

// Lines one byte away from the usual time stamp (26 bytes, then "] \"") and
// the usual status (three digits between single spaces), which the split
// takes by position and checks beside.
const std::string USUAL_FORM_NEAR_MISSES[] = {
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5 \"r\" \"a\"\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:3] -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - []0/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36\n-0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]\n\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -07000] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -070] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]  \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]]\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\"  200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 2000 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 20 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 20x 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200\n5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200\"5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 ",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\"\n200 5\n",
};

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
    if (data_dir_present()) {
        for (const char *name : DATA_LOGS) {
            const std::vector<std::string> lines = data_log_lines(name);
            for (std::size_t i = 0; i < lines.size(); i += 37)
                seeds.push_back(lines[i]);
        }
    }
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

TEST(DifferentialSplit, EveryLineOfTheDataLogs) {
    if (!data_dir_present()) GTEST_SKIP() << VESTREL_DATA_DIR << " is missing";
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
        for (const Address &fast : forms) {
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

// ---------------------------------------------------------------- whole runs

struct GeoDeleter {
    void operator()(GeoDb *db) const {
        close_database(*db);
        delete db;
    }
};
using GeoHandle = std::unique_ptr<GeoDb, GeoDeleter>;

GeoHandle open_geo(const std::string &path) {
    GeoHandle db(new GeoDb());
    open_database(*db, path.c_str());
    return db;
}

// A Tally with both sketches created, released when it goes.
// ---------------------------------------------------------------- newline index

// Every vector level against the bytes, on buffers of every density of
// newlines and NUL bytes, from and to every offset within a few chunks; the
// bytes after `to` are newlines and NULs that must not count.
TEST(DifferentialIndex, EveryLevelAgreesWithTheBytes) {
    Rng rng(0x5eed0021);
    std::vector<char> buf;
    std::vector<std::uint32_t> got;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = pick(rng, 300);
        const unsigned newline_chance = static_cast<unsigned>(rng() % 101);
        const unsigned nul_chance = chance(rng, 50) ? 0 : static_cast<unsigned>(rng() % 20);
        buf.assign(size + NEWLINE_INDEX_OVERREAD, '\n');
        for (std::size_t i = 0; i < size; ++i)
            buf[i] = chance(rng, newline_chance) ? '\n'
                     : chance(rng, nul_chance)   ? '\0'
                                                 : static_cast<char>(' ' + rng() % 95);
        for (std::size_t i = size; i < buf.size(); i += 3)
            buf[i] = '\0';
        const std::size_t to = size;
        const std::size_t from = pick(rng, std::min<std::size_t>(to, 130) + 1);

        std::vector<std::uint32_t> want;
        std::size_t want_nul_end = 12345;
        for (std::size_t i = from; i < to; ++i) {
            if (buf[i] == '\n') want.push_back(static_cast<std::uint32_t>(i));
            if (buf[i] == '\0') want_nul_end = i + 1;
        }
        for (int l = 0; l <= static_cast<int>(cpu_vector_level()); ++l) {
            got.assign(to - from + NEWLINE_INDEX_SLACK, 0);
            std::size_t nul_end = 12345;
            const std::size_t count = index_newlines(static_cast<VectorLevel>(l), buf.data(), from,
                                                     to, got.data(), &nul_end);
            got.resize(count);
            EXPECT_EQ(got, want) << "level " << l << ", from " << from << " to " << to << ", "
                                 << escaped(std::string_view(buf.data(), size));
            EXPECT_EQ(nul_end, want_nul_end) << "level " << l << ", from " << from << " to " << to;
        }
    }
}

struct SketchedTally {
    Tally tally;
    explicit SketchedTally(GeoDb *geo) {
        if (create(tally.ipv4, HLL_PRECISION) != 0 || create(tally.ipv6, HLL_PRECISION) != 0 ||
            tally.ipv4.registers == nullptr || tally.ipv6.registers == nullptr)
            throw std::runtime_error("sketch allocation");
        tally.geo = geo;
    }
    ~SketchedTally() {
        release(tally.ipv4);
        release(tally.ipv6);
    }
    SketchedTally(const SketchedTally &) = delete;
    SketchedTally &operator=(const SketchedTally &) = delete;
};

// What two runs must share: every counter of the record, the visit estimates
// among them, and the sketches register for register.
std::string counters_mismatch(const Tally &fast, const Tally &slow) {
    const Results &a = fast.results;
    const Results &b = slow.results;
    std::string diff;
    auto scalar = [&](const char *name, std::uint64_t x, std::uint64_t y) {
        if (x != y)
            diff += std::string("  ") + name + ": fast " + std::to_string(x) + ", reference " +
                    std::to_string(y) + "\n";
    };
    auto array = [&](const char *name, const auto &x, const auto &y) {
        for (std::size_t i = 0; i < x.size(); ++i)
            if (x[i] != y[i])
                diff += std::string("  ") + name + "[" + std::to_string(i) + "]: fast " +
                        std::to_string(x[i]) + ", reference " + std::to_string(y[i]) + "\n";
    };
    scalar("invalid_lines", a.invalid_lines, b.invalid_lines);
    scalar("processed_lines", a.processed_lines, b.processed_lines);
    scalar("bandwidth", a.bandwidth, b.bandwidth);
    scalar("hits_total", a.hits_total, b.hits_total);
    scalar("hits_ipv4", a.hits_ipv4, b.hits_ipv4);
    scalar("hits_ipv6", a.hits_ipv6, b.hits_ipv6);
    scalar("visits_total", a.visits_total, b.visits_total);
    scalar("visits_ipv4", a.visits_ipv4, b.visits_ipv4);
    scalar("visits_ipv6", a.visits_ipv6, b.visits_ipv6);
    array("continents", a.continents, b.continents);
    array("countries", a.countries, b.countries);
    array("hours", a.hours, b.hours);
    array("methods", a.methods, b.methods);
    array("protocols", a.protocols, b.protocols);
    array("status", a.status, b.status);
    auto registers = [&](const char *name, const HllStorage &x, const HllStorage &y) {
        if (x.size != y.size || std::memcmp(x.registers, y.registers, x.size) != 0)
            diff += std::string("  ") + name + " registers differ\n";
    };
    registers("ipv4", fast.ipv4, slow.ipv4);
    registers("ipv6", fast.ipv6, slow.ipv6);
    return diff;
}

// After a whole-run mismatch: feeds the lines one at a time to both tallies
// and names the first line after which the counters part.
std::string first_parting_line(const std::string &bytes, const char *db_path) {
    GeoHandle fast_geo = db_path != nullptr ? open_geo(db_path) : nullptr;
    GeoHandle slow_geo = db_path != nullptr ? open_geo(db_path) : nullptr;
    SketchedTally fast(fast_geo.get());
    SketchedTally slow(slow_geo.get());
    const std::vector<std::string> lines = split_lines(bytes);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        tally_line(fast.tally, lines[i]);
        std::vector<char> buffer(lines[i].begin(), lines[i].end());
        buffer.push_back('\0');
        ref::tally_line(slow.tally, buffer.data());
        if (!counters_mismatch(fast.tally, slow.tally).empty())
            return "first parting line (" + std::to_string(i + 1) + " of " +
                   std::to_string(lines.size()) + "): " + escaped(lines[i]);
    }
    return "every line agrees alone: the difference is in how the stream is split into lines";
}

// Feeds `bytes` through a pipe in writes of random size: with `tiny` all of
// 1 to 7 bytes; otherwise a mix of tiny, middling and larger than the read
// block, so that a long input does not cost a system call every few bytes.
void feed_pipe(int fd, const std::string &bytes, std::uint64_t seed, bool tiny) {
    Rng rng(seed);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const unsigned r = static_cast<unsigned>(rng() % 100);
        const std::size_t most = tiny || r < 50 ? 7 : r < 90 ? 4000 : 300000;
        const std::size_t n = std::min(bytes.size() - at, 1 + pick(rng, most));
        const ssize_t w = write(fd, bytes.data() + at, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        at += static_cast<std::size_t>(w);
    }
    close(fd);
}

enum class Through { File, File_And_Pipe };

// Runs tally_stream (on the file, and through a pipe when asked) and the
// getline reference on the same bytes and compares the results. The
// reference's record goes to `reference_out` when given.
void expect_same_run(const std::string &bytes, const char *db_path = nullptr,
                     Through through = Through::File, Results *reference_out = nullptr,
                     std::size_t block = READ_BLOCK, VectorLevel level = cpu_vector_level()) {
    test::TempDir dir;
    const std::string path = dir.file("access.log");
    test::write_file(path, bytes);

    GeoHandle slow_geo = db_path != nullptr ? open_geo(db_path) : nullptr;
    SketchedTally slow(slow_geo.get());
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(ref::reference_tally_file(file, slow.tally), 0);
    std::fclose(file);
    if (reference_out != nullptr) *reference_out = slow.tally.results;

    auto check = [&](const char *how, SketchedTally &fast) {
        finish_totals(fast.tally);
        const std::string diff = counters_mismatch(fast.tally, slow.tally);
        EXPECT_EQ(diff, "") << how << ", " << bytes.size() << " bytes in blocks of " << block
                            << ", vector level " << static_cast<int>(level) << ", "
                            << first_parting_line(bytes, db_path) << "\ninput "
                            << escaped(bytes, 4096);
    };
    {
        GeoHandle fast_geo = db_path != nullptr ? open_geo(db_path) : nullptr;
        SketchedTally fast(fast_geo.get());
        fast.tally.vector = level;
        const int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(tally_stream(fast.tally, fd, block), 0);
        close(fd);
        check("from a file", fast);
    }
    if (through == Through::File_And_Pipe) {
        // Small inputs go in writes of a few bytes, so that reads end anywhere
        // in a line; larger ones in a mix that also fills and grows the buffer.
        const bool tiny = bytes.size() <= 256 * 1024;
        GeoHandle fast_geo = db_path != nullptr ? open_geo(db_path) : nullptr;
        SketchedTally fast(fast_geo.get());
        fast.tally.vector = level;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer(feed_pipe, fds[1], std::cref(bytes), 0x5eed0100, tiny);
        const int status = tally_stream(fast.tally, fds[0], block);
        writer.join();
        close(fds[0]);
        ASSERT_EQ(status, 0);
        check(tiny ? "through a pipe, tiny writes" : "through a pipe, mixed writes", fast);
    }
}

// A log of `lines` lines of every kind the generators make.
std::string random_log(Rng &rng, std::size_t lines, const std::vector<std::string> &real) {
    std::string log;
    for (std::size_t i = 0; i < lines; ++i) {
        const unsigned r = static_cast<unsigned>(rng() % 100);
        if (r < 35)
            log += random_good_line(rng);
        else if (r < 50 && !real.empty())
            log += real[pick(rng, real.size())];
        else if (r < 70)
            log += mutate(rng, chance(rng, 50) || real.empty() ? random_good_line(rng)
                                                               : real[pick(rng, real.size())]);
        else if (r < 80)
            log += random_token_line(rng);
        else if (r < 88)
            log += random_bytes(rng, 60);
        else if (r < 94)
            log += "\n";
        else
            log += "\r\n";
        if (!log.empty() && log.back() != '\n' && chance(rng, 80)) log += '\n';
    }
    return log;
}

std::vector<std::string> some_real_lines() {
    std::vector<std::string> real;
    if (!data_dir_present()) return real;
    for (const char *name : DATA_LOGS) {
        const std::vector<std::string> lines = data_log_lines(name);
        for (std::size_t i = 0; i < lines.size(); i += 11)
            real.push_back(lines[i]);
    }
    return real;
}

TEST(DifferentialRun, RandomLogs) {
    const std::vector<std::string> real = some_real_lines();
    Rng rng(0x5eed0006);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string log = random_log(rng, round == 0 ? 2000 : 4000, real);
        if (round % 2 == 1 && !log.empty() && log.back() == '\n') log.pop_back();
        expect_same_run(log, nullptr, round < 2 ? Through::File_And_Pipe : Through::File);
    }
}

// The same near misses read from a log, where a line is split before its
// end is known, each line alone and all in a row.
TEST(DifferentialRun, UsualFormNearMisses) {
    std::string all;
    for (const std::string &line : USUAL_FORM_NEAR_MISSES) {
        expect_same_run(line, nullptr, Through::File);
        if (!line.empty() && line.back() == '\n') all += line;
    }
    expect_same_run(all, nullptr, Through::File_And_Pipe);
}

const std::string SMALL_AND_DEGENERATE_LOGS[] = {
    "",
    std::string(1000, '\n'),
    "\r\n\r\n\r\n",
    std::string("\0\n\0\n\0", 5),
    "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 2326",
    "192.0.2.7 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 23" + std::string(1, '\0') +
        "26\r\n::1 - - [10/Oct/2000:13" + std::string(1, '\0') +
        ":55:36 -0700] \"GET / HTTP/1.1\" 200 2326\r\n",
    // The last line, without a newline, ends at its NUL byte too.
    "::1 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 77" + std::string(1, '\0') + " 5",
    // Sizes adding up past INT64_MAX stop there.
    "1.2.3.4 - - [d] \"r\" 200 9223372036854775807\n1.2.3.4 - - [d] \"r\" 200 "
    "9223372036854775807\n1.2.3.4 - - [d] \"r\" 200 1\n",
};

TEST(DifferentialRun, SmallAndDegenerateFiles) {
    for (const std::string &c : SMALL_AND_DEGENERATE_LOGS) {
        SCOPED_TRACE(escaped(c));
        expect_same_run(c, nullptr, Through::File_And_Pipe);
    }
}

// A valid line whose request is stretched to `length` bytes in all.
std::string long_line(std::size_t length, char filler) {
    std::string line = "198.51.100.9 - - [10/Oct/2000:07:55:36 -0700] \"GET /";
    const std::string tail = " HTTP/1.0\" 404 777\n";
    line.append(length > line.size() + tail.size() ? length - line.size() - tail.size() : 0,
                filler);
    return line + tail;
}

TEST(DifferentialRun, LinesAroundAndBeyondTheReadBlock) {
    Rng rng(0x5eed0007);
    std::string log = random_log(rng, 50, {});
    // Lines ending just before, on and just after the read block's edge,
    // counted from the start of the file and from the start of a line.
    const std::size_t block = READ_BLOCK;
    log += long_line(block - log.size() - 1, 'a');
    log += long_line(block - 1, 'b');
    log += long_line(block, 'c');
    log += long_line(block + 1, 'd');
    log += random_log(rng, 50, {});
    log += long_line(3 * block + 17, '/');
    // Several MiB on one line, with NUL and '\r' bytes and no newline but the
    // last; then more ordinary lines, and a long last line without a newline.
    std::string huge = long_line(5 * READ_BLOCK + 3, 'e');
    huge[huge.size() / 2] = '\0';
    huge[huge.size() / 3] = '\r';
    log += huge;
    log += random_log(rng, 50, {});
    std::string last = long_line(block + 100, 'f');
    last.pop_back();
    log += last;
    expect_same_run(log, nullptr, Through::File_And_Pipe);
}

TEST(DifferentialRun, DataLogs) {
    if (!data_dir_present()) GTEST_SKIP() << VESTREL_DATA_DIR << " is missing";
    for (const char *name : DATA_LOGS) {
        SCOPED_TRACE(name);
        const std::string bytes = test::read_file(std::string(VESTREL_DATA_DIR) + "/" + name);
        ASSERT_FALSE(bytes.empty());
        expect_same_run(bytes, nullptr, Through::File_And_Pipe);
    }
}

// ---------------------------------------------------------------- long lines

// Lines longer than the read block go through the bounded path (longline.h):
// the stand-in it makes of a line, fed in any pieces, must count exactly as
// the reference counts the whole line.

// A tally with small sketches, cleared for every line: one line's counts and
// its visitor register.
struct LineTally {
    Tally tally;
    LineTally() {
        if (create(tally.ipv4, 8) != 0 || create(tally.ipv6, 8) != 0 ||
            tally.ipv4.registers == nullptr || tally.ipv6.registers == nullptr)
            throw std::runtime_error("sketch allocation");
    }
    ~LineTally() {
        release(tally.ipv4);
        release(tally.ipv6);
    }
    LineTally(const LineTally &) = delete;
    LineTally &operator=(const LineTally &) = delete;
    void clear() {
        clear_counters(tally.results);
        std::memset(tally.ipv4.registers, 0, tally.ipv4.size);
        std::memset(tally.ipv6.registers, 0, tally.ipv6.size);
    }
};

// The stand-in of `line` (as read, NUL bytes and all) fed as the reader
// feeds it: the text up to the first NUL byte, in pieces that end at `cuts`
// (ascending), and nothing once the counted fields are complete.
std::string stand_in(const std::string &line, const std::vector<std::size_t> &cuts) {
    const std::size_t text = std::min(line.size(), line.find('\0'));
    LongLine l;
    long_line_start(l);
    std::size_t at = 0;
    auto feed_to = [&](std::size_t cut) {
        cut = std::min(cut, text);
        if (cut > at && !long_line_done(l)) long_line_feed(l, line.data() + at, cut - at);
        at = std::max(at, cut);
    };
    for (std::size_t cut : cuts)
        feed_to(cut);
    feed_to(text);
    return std::string(long_line_text(l));
}

// "" when the stand-in of `line` cut at `cuts` counts as the reference counts
// the whole line.
std::string stand_in_mismatch(const std::string &line, const std::vector<std::size_t> &cuts,
                              LineTally &fast, LineTally &slow) {
    const std::string short_line = stand_in(line, cuts);
    if (short_line.size() > LONG_LINE_TEXT_MAX) return "stand-in too long";
    fast.clear();
    slow.clear();
    tally_line(fast.tally, short_line);
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    ref::tally_line(slow.tally, buffer.data());
    const std::string diff = counters_mismatch(fast.tally, slow.tally);
    return diff.empty() ? "" : diff + "  stand-in " + escaped(short_line) + "\n";
}

// Every line at every single cut, and byte by byte.
void expect_same_at_every_cut(const std::string &line, LineTally &fast, LineTally &slow) {
    std::vector<std::size_t> bytewise;
    for (std::size_t k = 0; k <= line.size(); ++k) {
        ASSERT_EQ(stand_in_mismatch(line, {k}, fast, slow), "")
            << "line " << escaped(line) << " cut at " << k;
        bytewise.push_back(k);
    }
    ASSERT_EQ(stand_in_mismatch(line, bytewise, fast, slow), "")
        << "line " << escaped(line) << " byte by byte";
}

TEST(DifferentialLongLine, EveryCutOfHandPickedAndRandomLines) {
    std::vector<std::string> lines(std::begin(SEED_LINES), std::end(SEED_LINES));
    const std::string hand_picked[] = {
        "",
        "\n",
        "   \n",
        std::string("\0abc 1 2\n", 9),
        std::string("1.2.3.4 - - [x\0] \"GET / HTTP/1.1\" 200 5\n", 41),
        "h - - [d]\"r\"1 2",
        "h - - [d] \"r\" 200 \"5\"\n",
        "h - - [d] \"  \" 200 5\n",
        "h - - [d] \" GET\" 200 5\n",
        "h - - [d] \"GET \" 200 5\n",
        "h - - [d] \"GET / HTTP/1.1 \" 200 5\n",
        "h - - [d] \"GET / HTTP/1.1",
        "h - - [d] \"GET / HTTP/1.1\n",
        "h - - [d] \"r\" 200",
        "h - - [] \"GET / HTTP/1.1\" 200 5\n",
        "1.2.3.4 - - [1/2/3: +07:5] \"GET / HTTP/1.1\" \t+0599 -0\n",
        "1.2.3.4 - - [1/2/3:000000000000000000000000007] \"r\" 0000000000000000000000000599 5\n",
        "1.2.3.4 - - [1/2/3:7x:5] \"r\" 599x 5x\n",
        "1.2.3.4 - - [1/2/3:- 7] \"r\" - 5 +-5\n",
        "1.2.3.4 - - [:/:/:/:7] \"r\" 1 2\n",
        "1.2.3.4 - - [1///2//3::::23:] \"r\" 1 2\n",
        "1.2.3.4 - - [1/2/3:99999999999999999999999] \"r\" 1 99999999999999999999999\n",
        "1.2.3.4 - - [1/2/3:4] \"r\" 1 9223372036854775807\n",
        "1.2.3.4 - - [1/2/3:4] \"r\" 1 9223372036854775808\n",
        "1.2.3.4 - - [1/2/3:4] \"OPTIONSX / HTTP/1.10\" 1 2\n",
        "1.2.3.4 - - [1/2/3:4] \"CONNECT a b c d HTTP/3\" 1 2\n",
        "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255 - - [1/2/3:4] \"r\" 1 2\n",
        "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.2555 - - [1/2/3:4] \"r\" 1 2\n",
        "::ffff:1.2.3.4\n",
    };
    lines.insert(lines.end(), std::begin(hand_picked), std::end(hand_picked));
    Rng rng(0x5eed0010);
    for (int i = 0; i < 150; ++i) {
        lines.push_back(random_good_line(rng));
        lines.push_back(random_token_line(rng));
        lines.push_back(mutate(rng, random_good_line(rng)));
        lines.push_back(random_bytes(rng, 80));
    }
    if (data_dir_present())
        for (const char *name : DATA_LOGS) {
            const std::vector<std::string> real = data_log_lines(name);
            for (std::size_t i = 0; i < real.size(); i += 97) {
                lines.push_back(real[i]);
                lines.push_back(mutate(rng, real[i]));
            }
        }
    LineTally fast, slow;
    for (const std::string &line : lines)
        expect_same_at_every_cut(line, fast, slow);
}

TEST(DifferentialLongLine, RandomPiecesOfStretchedLines) {
    // Fields stretched by runs of one byte (delimiters, white space, zeros,
    // digits, letters), so that kept bytes run out and skipping takes over.
    Rng rng(0x5eed0011);
    static constexpr char runs[] = {' ', ' ',  '0', '0', '9', 'a', '/',
                                    ':', '\t', '"', '[', ']', '-', '+'};
    LineTally fast, slow;
    for (int i = 0; i < 20000; ++i) {
        std::string line = chance(rng, 50) ? random_good_line(rng) : random_token_line(rng);
        const std::size_t stretches = 1 + pick(rng, 3);
        for (std::size_t k = 0; k < stretches; ++k)
            line.insert(pick(rng, line.size() + 1), 1 + pick(rng, 60), one_of(rng, runs));
        std::vector<std::size_t> cuts;
        for (std::size_t at = pick(rng, 8); at < line.size(); at += 1 + pick(rng, 24))
            cuts.push_back(at);
        ASSERT_EQ(stand_in_mismatch(line, cuts, fast, slow), "") << "line " << escaped(line);
    }
}

TEST(DifferentialRun, SmallReadBlocks) {
    // Blocks of a few bytes send nearly every line through the bounded path,
    // cut at every offset the block size gives.
    const std::vector<std::string> real = some_real_lines();
    Rng rng(0x5eed0012);
    const std::size_t blocks[] = {1, 2, 3, 5, 8, 13, 40, 61, 100, 257, 4099};
    for (std::size_t block : blocks) {
        SCOPED_TRACE("block " + std::to_string(block));
        const std::string log = random_log(rng, 600, real);
        expect_same_run(log, nullptr,
                        block == 5 || block == 61 ? Through::File_And_Pipe : Through::File, nullptr,
                        block);
    }
}

// The reader at each vector level this CPU has, down to the portable one:
// logs of every kind, read whole and in small blocks.
TEST(DifferentialRun, EveryVectorLevel) {
    const std::vector<std::string> real = some_real_lines();
    for (int l = 0; l <= static_cast<int>(cpu_vector_level()); ++l) {
        const auto level = static_cast<VectorLevel>(l);
        SCOPED_TRACE("vector level " + std::to_string(l));
        Rng rng(0x5eed0020);
        expect_same_run(random_log(rng, 2000, real), nullptr, Through::File_And_Pipe, nullptr,
                        READ_BLOCK, level);
        expect_same_run(random_log(rng, 300, real), nullptr, Through::File, nullptr, 61, level);
        for (const std::string &c : SMALL_AND_DEGENERATE_LOGS)
            expect_same_run(c, nullptr, Through::File, nullptr, READ_BLOCK, level);
    }
}

TEST(DifferentialRun, DataLogsInSmallBlocks) {
    if (!data_dir_present()) GTEST_SKIP() << VESTREL_DATA_DIR << " is missing";
    const std::size_t blocks[] = {17, 160};
    for (const char *name : DATA_LOGS)
        for (std::size_t block : blocks) {
            SCOPED_TRACE(std::string(name) + " in blocks of " + std::to_string(block));
            const std::string bytes = test::read_file(std::string(VESTREL_DATA_DIR) + "/" + name);
            expect_same_run(bytes, nullptr, Through::File, nullptr, block);
        }
}

// Megabytes in front of or inside the fields that count, each line between
// ordinary ones, read in 1 MiB blocks from a file and through a pipe.
TEST(DifferentialRun, HugeFields) {
    const std::string mb(1 << 20, 'a');
    auto run_of = [](std::size_t mib, char c) { return std::string(mib << 20, c); };
    const std::string host = "192.0.2.7";
    const std::string stamp = "[10/Oct/2000:13:55:36 -0700]";
    const std::string request = "\"GET / HTTP/1.1\"";
    struct Case {
        const char *name;
        std::string line;
    };
    const Case cases[] = {
        {"3 MB URL before the protocol",
         host + " - - " + stamp + " \"GET /" + run_of(3, 'u') + " HTTP/1.1\" 200 5\n"},
        {"3 MB ident before the time stamp",
         host + " " + run_of(3, 'i') + " - " + stamp + " " + request + " 200 5\n"},
        {"3 MB user before the time stamp",
         host + " - " + run_of(3, 'u') + " " + stamp + " " + request + " 200 5\n"},
        {"2 MB of zeros before an hour",
         host + " - - [10/Oct/2000:" + run_of(2, '0') + "13:55:36 -0700] " + request + " 200 5\n"},
        {"2 MB of zeros before a status",
         host + " - - " + stamp + " " + request + " " + run_of(2, '0') + "404 5\n"},
        {"2 MB of zeros before a size",
         host + " - - " + stamp + " " + request + " 200 " + run_of(2, '0') + "512 \"-\" \"a\"\n"},
        {"3 MB of spaces before the status",
         host + " - - " + stamp + " " + request + run_of(3, ' ') + "200 512 \"-\" \"a\"\n"},
        {"3 MB of tabs before the status (white space strtoll skips)",
         host + " - - " + stamp + " " + request + " " + run_of(3, '\t') + "200 512 \"-\"\n"},
        {"2 MB of digits in the size (out of range)",
         host + " - - " + stamp + " " + request + " 200 " + run_of(2, '7') + " \"-\"\n"},
        {"5 MB agent after the size",
         host + " - - " + stamp + " " + request + " 200 512 \"-\" \"" + run_of(5, 'A') + "\"\n"},
        {"request without its closing quote",
         host + " - - " + stamp + " \"GET /" + run_of(3, 'q') + " HTTP/1.1 200 512\n"},
        {"3 MB address", run_of(3, '1') + " - - " + stamp + " " + request + " 200 5\n"},
        {"3 MB of leading spaces before the address",
         run_of(3, ' ') + host + " - - " + stamp + " " + request + " 200 5\n"},
        {"2 MB request of spaces between method and protocol",
         host + " - - " + stamp + " \"POST" + run_of(2, ' ') + "HTTP/1.0\" 200 5\n"},
        {"2 MB day in the time stamp",
         host + " - - [" + run_of(2, '1') + "/Oct/2000:07:55:36 -0700] " + request + " 200 5\n"},
        {"2 MB time zone in the time stamp",
         host + " - - [10/Oct/2000:07:55:36 " + run_of(2, 'z') + "] " + request + " 200 5\n"},
        {"2 MB between time stamp and request",
         host + " - - " + stamp + run_of(2, 'g') + " " + request + " 200 5\n"},
        {"NUL byte inside a 3 MB request", host + " - - " + stamp + " \"GET /" + run_of(1, 'x') +
                                               std::string(1, '\0') + run_of(2, 'y') +
                                               " HTTP/1.1\" 200 5\n"},
        {"2 MB of NUL bytes, then a line", run_of(2, '\0') + "\n"},
        {"3 MB line of spaces", run_of(3, ' ') + "\n"},
    };
    Rng rng(0x5eed0013);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = random_log(rng, 20, {}) + "\n" + c.line + random_log(rng, 20, {});
        expect_same_run(log, nullptr, Through::File_And_Pipe);
        // The same line last, without its newline.
        std::string last = c.line;
        last.pop_back();
        expect_same_run(random_log(rng, 20, {}) + "\n" + last, nullptr, Through::File);
    }
}

// ---------------------------------------------------------------- geolocation

std::string geo_path(const char *name) {
    return std::string(VESTREL_TEST_DIR) + "/geo/" + name;
}

// Every address tests/geo/README.md lists, and text that is no address.
const char *const FIXTURE_HOSTS[] = {
    "77.1.0.1", "0:4d01::1", "77.1.255.254", "::ffff:77.1.2.3", "0:4d01:ffff::5", "2a10::1",
    "2a10:ffff::1", "81.2.69.1", "81.2.69.254", "2a02:cf40::1", "2a02:cf40:ffff::1", "216.160.83.1",
    "2600:1700::1", "1.0.16.1", "2400:2000::1", "200.160.2.1", "2804:14c::1", "1.128.0.1",
    "2403:5800::1", "41.0.0.1", "2c0f:f000::1", "185.121.177.1", "2a0e:b100::1", "89.160.20.1",
    "2a07:1c40:20::1", "89.160.21.1", "2a07:1c40:21::1", "89.160.22.1", "2a07:1c40:22::1",
    "89.160.23.1", "2a07:1c40:23::1", "89.160.24.1", "2a07:1c40:24::1", "89.160.25.1",
    "2a07:1c40:25::1", "89.160.26.1", "2a07:1c40:26::1", "89.160.27.1", "2a07:1c40:27::1",
    "89.160.28.1", "2a07:1c40:28::1", "89.160.29.1", "2a07:1c40:29::1", "89.160.30.1",
    "2a07:1c40:30::1", "89.160.31.1", "2a07:1c40:31::1", "89.160.32.1", "2a07:1c40:32::1",
    "89.160.33.1", "2a07:1c40:33::1", "89.160.34.1", "2a07:1c40:34::1", "::ffff:81.2.69.1",
    "::81.2.69.1", "2002:5102:4501::1", "2001:0:5102:4501::1", "::ffff:89.160.25.1", "192.0.2.1",
    "10.0.0.1", "::ffff:10.0.0.1", "127.0.0.1", "0.0.0.0", "255.255.255.255", "8.8.8.8",
    "81.2.70.1", "89.160.19.1", "89.160.35.1", "2001:db8::1", "::1", "::", "fe80::1",
    "2a07:1c40:19::1", "2a07:1c40:35::1", "2a02:cf41::1",
    // the same addresses written differently, and no addresses at all
    "2A02:CF40::1", "2a02:cf40:0:0:0:0:0:1", "::FFFF:81.2.69.1", "::ffff:5102:4501", "081.2.69.1",
    "81.2.69", "81.2.69.1.5", "example.org", "-", "::ffff:81.2.69.01"};

// Hosts in and around the fixture's networks, many of them, so that the
// cache sees repeats, evictions and slots shared by different addresses.
std::string random_geo_host(Rng &rng) {
    static const char *const v4_nets[] = {"81.2.69.", "216.160.83.", "1.0.16.",      "200.160.2.",
                                          "1.128.0.", "41.0.0.",     "185.121.177.", "81.2.70."};
    static const char *const v6_nets[] = {"2a02:cf40:", "2600:1700:", "2400:2000:", "2804:14c:",
                                          "2403:5800:", "2c0f:f000:", "2a0e:b100:", "2a02:cf41:"};
    char text[64];
    switch (pick(rng, 6)) {
    case 0:
        return std::string(one_of(rng, v4_nets)) + std::to_string(pick(rng, 256));
    case 1:
        return "89.160." + std::to_string(18 + pick(rng, 19)) + "." +
               std::to_string(pick(rng, 256));
    case 2:
        std::snprintf(text, sizeof text, "%s%x::%x", one_of(rng, v6_nets),
                      static_cast<unsigned>(pick(rng, 0x10000)),
                      static_cast<unsigned>(pick(rng, 16)));
        return text;
    case 3:
        return "2a07:1c40:" + std::to_string(18 + pick(rng, 19)) +
               "::" + std::to_string(pick(rng, 9));
    case 4:
        return "::ffff:" + std::string(one_of(rng, v4_nets)) + std::to_string(pick(rng, 256));
    default:
        return chance(rng, 50) ? random_ipv4(rng) : random_ipv6(rng);
    }
}

std::string geo_log(Rng &rng, std::size_t lines) {
    std::vector<std::string> pool(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    // Enough distinct hosts that a few hundred share a cache slot.
    while (pool.size() < std::max<std::size_t>(3000, GEO_CACHE_SLOTS / 4))
        pool.push_back(random_geo_host(rng));
    std::string log;
    for (std::size_t i = 0; i < lines; ++i) {
        std::string line = random_good_line(rng);
        line.replace(0, line.find(' '), pool[pick(rng, pool.size())]);
        log += line;
    }
    return log;
}

// Per address first, so that a difference names the address.
void expect_same_locations(const std::string &db_path, const std::vector<std::string> &hosts) {
    GeoHandle db = open_geo(db_path);
    for (const std::string &host : hosts) {
        const Address address = parse_address(host);
        if (address.family == 0) continue;
        Location fast;
        ASSERT_EQ(resolve_location(db->mmdb, address, fast), MMDB_SUCCESS) << "host " << host;
        const Location slow = ref::locate(db->mmdb, host.c_str());
        EXPECT_EQ(fast.country, slow.country) << "host " << host;
        EXPECT_EQ(fast.continent, slow.continent) << "host " << host;
    }
}

std::uint64_t total(const auto &counts) {
    std::uint64_t sum = 0;
    for (std::uint64_t c : counts)
        sum += c;
    return sum;
}

TEST(DifferentialGeo, FixtureAddressesMixedWithManyOthers) {
    const std::string db = geo_path("fixture.mmdb");
    Rng rng(0x5eed0008);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    for (int i = 0; i < 500; ++i)
        hosts.push_back(random_geo_host(rng));
    expect_same_locations(db, hosts);

    const std::string log = geo_log(rng, 15000);
    // The cache is only exercised if distinct addresses share slots.
    std::set<std::string> distinct;
    std::set<std::uint32_t> slots;
    for (const std::string &line : split_lines(log)) {
        const std::string host = line.substr(0, line.find(' '));
        if (distinct.insert(host).second)
            slots.insert(
                murmur3_32(host.data(), static_cast<std::int32_t>(host.size()), VISITOR_HASH_SEED) &
                (GEO_CACHE_SLOTS - 1));
    }
    ASSERT_GE(distinct.size() - slots.size(), 100u);
    Results results;
    expect_same_run(log, db.c_str(), Through::File_And_Pipe, &results);

    // The run must have found something, or the comparison says little.
    EXPECT_GT(total(results.countries), 2000u);
    EXPECT_GT(total(results.continents), 2000u);
}

// A text of the IPv6 address HEAD:0:0:0:0:0:0 (HEAD two groups) whose visitor
// hash picks cache slot `slot`: the six zero groups are written "0" to "0000"
// or some of them left out behind "::". "" when none of the ~12000 texts does.
std::string zero_tail_text_in_slot(const std::string &head, std::uint32_t slot) {
    static const char *const widths[] = {"0", "00", "000", "0000"};
    // Groups [gap, gap + length) of 2..7 go behind "::"; gap 8: none do.
    for (int gap = 2; gap <= 8; ++gap) {
        for (int length = gap == 8 ? 0 : 1; gap + length <= 8; ++length) {
            const int written = 6 - length;
            for (int choice = 0; choice < 1 << (2 * written); ++choice) {
                std::string text = head;
                int c = choice;
                for (int g = 2; g < 8; ++g) {
                    if (g == gap && length > 0) {
                        text += "::";
                        g += length - 1;
                        continue;
                    }
                    if (text.back() != ':') text += ':';
                    text += widths[c & 3];
                    c >>= 2;
                }
                if ((murmur3_32(text.data(), static_cast<std::int32_t>(text.size()),
                                VISITOR_HASH_SEED) &
                     (GEO_CACHE_SLOTS - 1)) == slot)
                    return text;
            }
        }
    }
    return "";
}

TEST(DifferentialGeo, CacheSlotSharedByIPv4AndIPv6OfTheSameBytes) {
    // 81.2.69.x is held (DE, EU); 5102:45xx:: has the same 16 bytes as the
    // cache stores the IPv4 address, but is an IPv6 address nobody holds.
    // Sharing a slot, the two must still be told apart by their family.
    std::string log;
    int pairs = 0;
    for (unsigned x = 1; x < 255 && pairs < 3; ++x) {
        const std::string v4 = "81.2.69." + std::to_string(x);
        const std::uint32_t slot =
            murmur3_32(v4.data(), static_cast<std::int32_t>(v4.size()), VISITOR_HASH_SEED) &
            (GEO_CACHE_SLOTS - 1);
        char head[16];
        std::snprintf(head, sizeof head, "5102:45%02x", x);
        const std::string v6 = zero_tail_text_in_slot(head, slot);
        if (v6.empty()) continue;
        ASSERT_EQ(parse_address(v6).family, AF_INET6) << v6;
        ASSERT_EQ(std::memcmp(parse_address(v6).bytes, parse_address(v4).bytes, 16), 0) << v6;
        const std::string rest = " - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 1\n";
        for (const std::string *host : {&v4, &v6, &v6, &v4})
            log += *host + rest;
        ++pairs;
    }
    ASSERT_EQ(pairs, 3);
    Results results;
    expect_same_run(log, geo_path("fixture.mmdb").c_str(), Through::File, &results);
    EXPECT_EQ(total(results.countries), 6u);
    EXPECT_EQ(total(results.continents), 6u);
}

TEST(DifferentialGeo, IPv4OnlyDatabaseCountsNoIPv6Address) {
    const std::string db = geo_path("ipv4-only.mmdb");
    Rng rng(0x5eed0009);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    expect_same_locations(db, hosts);

    std::string v6_log;
    for (const char *host : FIXTURE_HOSTS) {
        if (parse_address(host).family != AF_INET6) continue;
        for (int i = 0; i < 3; ++i) {
            std::string line = random_good_line(rng);
            v6_log += line.replace(0, line.find(' '), host);
        }
    }
    Results v6;
    expect_same_run(v6_log, db.c_str(), Through::File, &v6);
    EXPECT_GT(v6.hits_ipv6, 0u);
    EXPECT_EQ(total(v6.countries), 0u);
    EXPECT_EQ(total(v6.continents), 0u);

    // Mixed with IPv4, whose held addresses do count.
    const std::string mixed = geo_log(rng, 5000);
    Results results;
    expect_same_run(mixed, db.c_str(), Through::File, &results);
    EXPECT_GT(total(results.countries), 0u);
}

// ---------------------------------------------------------------- flat tables

// The first and last address of every network the tree holds (and of every
// empty stretch), found by walking it with the library's node reader.
struct NetworkEdges {
    std::vector<std::array<unsigned char, 16>> v6;
    std::vector<std::array<unsigned char, 4>> v4;
};

void set_bit(unsigned char *bytes, unsigned bit, unsigned value) {
    const unsigned char mask = static_cast<unsigned char>(0x80u >> (bit & 7));
    bytes[bit >> 3] =
        static_cast<unsigned char>(value ? bytes[bit >> 3] | mask : bytes[bit >> 3] & ~mask);
}

// Depth-first below `record` at `depth` of `bits`; the IPv4 aliases make the
// fixture's tree a graph, so every path is followed (the fixtures are small).
void collect_edges(const MMDB_s &mmdb, std::uint64_t record, unsigned depth, unsigned bits,
                   std::array<unsigned char, 16> prefix,
                   std::vector<std::array<unsigned char, 16>> &edges) {
    if (record < mmdb.metadata.node_count && depth < bits) {
        MMDB_search_node_s node;
        ASSERT_EQ(MMDB_read_node(&mmdb, static_cast<std::uint32_t>(record), &node), MMDB_SUCCESS);
        set_bit(prefix.data(), depth, 0);
        collect_edges(mmdb, node.left_record, depth + 1, bits, prefix, edges);
        set_bit(prefix.data(), depth, 1);
        collect_edges(mmdb, node.right_record, depth + 1, bits, prefix, edges);
        return;
    }
    std::array<unsigned char, 16> last = prefix;
    for (unsigned bit = depth; bit < bits; ++bit)
        set_bit(last.data(), bit, 1);
    edges.push_back(prefix);
    edges.push_back(last);
}

NetworkEdges network_edges(const MMDB_s &mmdb) {
    NetworkEdges edges;
    std::vector<std::array<unsigned char, 16>> v4;
    std::uint64_t ipv4_root = 0;
    if (mmdb.metadata.ip_version == 6) {
        collect_edges(mmdb, 0, 0, 128, {}, edges.v6);
        for (unsigned i = 0; i < 96 && ipv4_root < mmdb.metadata.node_count; ++i) {
            MMDB_search_node_s node;
            MMDB_read_node(&mmdb, static_cast<std::uint32_t>(ipv4_root), &node);
            ipv4_root = node.left_record;
        }
    }
    collect_edges(mmdb, ipv4_root, 0, 32, {}, v4);
    for (const auto &bytes : v4)
        edges.v4.push_back({bytes[0], bytes[1], bytes[2], bytes[3]});
    return edges;
}

// The edges and their neighbours on both sides, as text.
std::vector<std::string> edge_hosts(const NetworkEdges &edges) {
    std::vector<std::string> hosts;
    char text[INET6_ADDRSTRLEN];
    for (auto bytes : edges.v4) {
        std::uint32_t a = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                          std::uint32_t{bytes[2]} << 8 | bytes[3];
        for (std::uint32_t b : {a - 1, a, a + 1}) {
            const unsigned char out[4] = {
                static_cast<unsigned char>(b >> 24), static_cast<unsigned char>(b >> 16),
                static_cast<unsigned char>(b >> 8), static_cast<unsigned char>(b)};
            hosts.push_back(inet_ntop(AF_INET, out, text, sizeof text));
        }
    }
    for (auto bytes : edges.v6) {
        hosts.push_back(inet_ntop(AF_INET6, bytes.data(), text, sizeof text));
        // One below and one above: the last byte with carries.
        for (int step : {-1, 1}) {
            std::array<unsigned char, 16> next = bytes;
            for (int i = 15; i >= 0; --i) {
                next[i] = static_cast<unsigned char>(next[i] + step);
                if (next[i] != (step > 0 ? 0x00 : 0xff)) break;
            }
            hosts.push_back(inet_ntop(AF_INET6, next.data(), text, sizeof text));
        }
    }
    return hosts;
}

// The tables built per /16 answer as the library's lookup by text does at
// the first and last address of every network, on both sides of it, and at
// random addresses; in address order and then shuffled, each time into
// fresh tables, so that a /16 is built from its first and from any address.
TEST(DifferentialGeo, FlatTablesAgreeAtEveryNetworkEdge) {
    Rng rng(0x5eed000b);
    struct Case {
        const char *name;
        std::size_t least_found; // addresses with a continent, or the test says little
    };
    const Case cases[] = {{"fixture.mmdb", 100},
                          {"ipv4-only.mmdb", 8},
                          {"country-as-number.mmdb", 0},
                          {"ipv4-tree-as-ipv6.mmdb", 8}};
    for (const auto &[name, least_found] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> hosts;
        {
            GeoHandle db = open_geo(geo_path(name));
            hosts = edge_hosts(network_edges(db->mmdb));
        }
        for (int i = 0; i < 2000; ++i)
            hosts.push_back(chance(rng, 80) ? random_ipv4(rng) : random_ipv6(rng));
        ASSERT_GT(hosts.size(), 2000u);
        for (int order = 0; order < 2; ++order) {
            if (order == 1) std::shuffle(hosts.begin(), hosts.end(), rng);
            GeoHandle db = open_geo(geo_path(name));
            std::size_t found = 0;
            for (const std::string &host : hosts) {
                const Address address = parse_address(host);
                ASSERT_NE(address.family, 0) << host;
                Location fast;
                ASSERT_EQ(find_location(*db, address, 0, fast), MMDB_SUCCESS) << host;
                const Location slow = ref::locate(db->mmdb, host.c_str());
                EXPECT_EQ(fast.country, slow.country) << "host " << host;
                EXPECT_EQ(fast.continent, slow.continent) << "host " << host;
                found += slow.continent >= 0;
            }
            EXPECT_GE(found, least_found);
        }
    }
}

// An IPv4 database with one busy /16, 10.20.0.0/16: its 256 /24s take
// turns among DE, US and no network, and 10.20.77.0/24 is split further
// into FR (/25), JP and BR (/26), BR going on through 10.20.78.0/24: the
// /16's list is long (259 runs, searched through its index), and one run crosses a /24's
// edge.
std::string database_with_busy_prefix() {
    std::string data;
    std::uint32_t offsets[5];
    const char *const locations[5][2] = {
        {"DE", "EU"}, {"US", "NA"}, {"FR", "EU"}, {"JP", "AS"}, {"BR", "SA"}};
    for (int i = 0; i < 5; ++i) {
        offsets[i] = static_cast<std::uint32_t>(data.size());
        data += test::mmdb_location(locations[i][0], locations[i][1]);
    }
    const std::uint32_t path_nodes = 16, subtree_nodes = 255, split_nodes = 2;
    const std::uint32_t node_count = path_nodes + subtree_nodes + split_nodes;
    const std::uint32_t empty = node_count;
    auto entry = [&](int i) { return node_count + 16 + offsets[i]; };
    std::string tree;
    const std::uint32_t high = 10u << 8 | 20u;
    for (std::uint32_t depth = 0; depth < 16; ++depth) {
        const unsigned bit = high >> (15 - depth) & 1;
        test::mmdb_record(tree, bit == 0 ? depth + 1 : empty);
        test::mmdb_record(tree, bit == 1 ? depth + 1 : empty);
    }
    // Node 16 + (2^k - 1 + j) is the subtree's node at depth k, index j.
    const std::uint32_t split = path_nodes + subtree_nodes;
    for (std::uint32_t k = 0; k < 8; ++k)
        for (std::uint32_t j = 0; j < 1u << k; ++j)
            for (std::uint32_t bit = 0; bit < 2; ++bit) {
                const std::uint32_t c = 2 * j + bit;
                std::uint32_t value;
                if (k + 1 < 8)
                    value = path_nodes + (1u << (k + 1)) - 1 + c;
                else if (c == 77)
                    value = split;
                else if (c == 78)
                    value = entry(4); // BR: 10.20.77.192's run goes on into it
                else
                    value = c % 3 == 2 ? empty : entry(static_cast<int>(c % 3));
                test::mmdb_record(tree, value);
            }
    test::mmdb_record(tree, entry(2)); // 10.20.77.0/25
    test::mmdb_record(tree, split + 1);
    test::mmdb_record(tree, entry(3)); // 10.20.77.128/26
    test::mmdb_record(tree, entry(4)); // 10.20.77.192/26
    return test::mmdb_file(tree, node_count, data, 4);
}

TEST(DifferentialGeo, LongListAgreesAtEveryAddressOfItsPrefix) {
    test::TempDir dir;
    const std::string path = dir.file("busy.mmdb");
    test::write_file(path, database_with_busy_prefix());
    GeoHandle db = open_geo(path);
    std::set<int> countries;
    for (std::uint32_t a = (10u << 24 | 20u << 16) - 1; a <= (10u << 24 | 21u << 16); ++a) {
        char host[16];
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xff, a >> 8 & 0xff,
                      a & 0xff);
        Location fast;
        ASSERT_EQ(find_location(*db, parse_address(host), 0, fast), MMDB_SUCCESS) << host;
        const Location slow = ref::locate(db->mmdb, host);
        ASSERT_EQ(fast.country, slow.country) << host;
        ASSERT_EQ(fast.continent, slow.continent) << host;
        countries.insert(fast.country);
    }
    EXPECT_EQ(countries.size(), 6u); // five countries and none
}

// The text of an IPv4 address, or of its IPv4-mapped IPv6 form.
std::string ipv4_text(std::uint32_t a, bool mapped) {
    char text[INET6_ADDRSTRLEN];
    unsigned char bytes[16] = {};
    unsigned char *v4 = mapped ? bytes + 12 : bytes;
    if (mapped) bytes[10] = bytes[11] = 0xff;
    for (int i = 0; i < 4; ++i)
        v4[i] = static_cast<unsigned char>(a >> (24 - 8 * i));
    return inet_ntop(mapped ? AF_INET6 : AF_INET, bytes, text, sizeof text);
}

// The library's answer, and a corrupt database where it finds one.
void expect_same_as_library(GeoDb &db, const std::vector<std::string> &hosts) {
    for (const std::string &host : hosts) {
        const Address address = parse_address(host);
        ASSERT_NE(address.family, 0) << host;
        Location fast;
        Location plain;
        const int status = find_location(db, address, 0, fast);
        ASSERT_EQ(status != MMDB_SUCCESS, resolve_location(db.mmdb, address, plain) != MMDB_SUCCESS)
            << host;
        if (status != MMDB_SUCCESS) continue;
        const Location slow = ref::locate(db.mmdb, host.c_str());
        ASSERT_EQ(fast.country, slow.country) << "host " << host;
        ASSERT_EQ(fast.continent, slow.continent) << "host " << host;
    }
}

// The first, the last and a random address of every IPv4 /16, each also
// IPv4-mapped, in random order so that a /16 is built from any of them
// and may be reached first through its mapped form. A full country
// database named by VESTREL_TEST_COUNTRY_DB is checked too, with random
// IPv6 addresses in the ranges such databases fill.
TEST(DifferentialGeo, EveryIPv4PrefixAndItsMappedForm) {
    Rng rng(0x5eed000c);
    std::vector<std::string> paths;
    for (const char *name :
         {"fixture.mmdb", "ipv4-only.mmdb", "country-as-number.mmdb", "ipv4-tree-as-ipv6.mmdb"})
        paths.push_back(geo_path(name));
    if (const char *full = std::getenv("VESTREL_TEST_COUNTRY_DB"); full != nullptr && *full != 0)
        paths.push_back(full);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        std::vector<std::string> hosts;
        for (std::uint32_t high = 0; high < 65536; ++high)
            for (std::uint32_t low : {0u, 0xffffu, static_cast<std::uint32_t>(pick(rng, 0x10000))})
                for (bool mapped : {false, true})
                    hosts.push_back(ipv4_text(high << 16 | low, mapped));
        for (int i = 0; i < 20000; ++i) {
            char text[INET6_ADDRSTRLEN];
            unsigned char bytes[16];
            for (unsigned char &b : bytes)
                b = static_cast<unsigned char>(pick(rng, 256));
            bytes[0] = static_cast<unsigned char>(0x20 + pick(rng, 12)); // 2000::/4 to 2bff::
            hosts.push_back(inet_ntop(AF_INET6, bytes, text, sizeof text));
        }
        std::shuffle(hosts.begin(), hosts.end(), rng);
        GeoHandle db = open_geo(path);
        expect_same_as_library(*db, hosts);
    }
}

// A database with something corrupt in the subtree of one /16: the lookups
// that meet it fail as the library's do, and every other address of that
// /16 has its answer, whichever address reaches the /16 first. The busy
// database with one record of 10.20.5.0/24 pointing past the data section,
// and the broken fixtures.
TEST(DifferentialGeo, CorruptSubtreeFailsOnlyTheLookupsThatMeetIt) {
    test::TempDir dir;
    std::string busy = database_with_busy_prefix();
    // The tree's records are 3 bytes, two to a node; node 16 + 127 + 2 is
    // the depth-7 node whose right record holds 10.20.5.0/24.
    const std::size_t record = (std::size_t{16 + 127 + 2} * 2 + 1) * 3;
    busy[record] = busy[record + 1] = busy[record + 2] = '\xff';
    const std::string busy_path = dir.file("busy-corrupt.mmdb");
    test::write_file(busy_path, busy);
    const std::string paths[] = {busy_path, geo_path("nodes-plus-one.mmdb"),
                                 std::string(VESTREL_TEST_DIR) + "/fault/half-filled-value.mmdb"};
    Rng rng(0x5eed0022);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        std::vector<std::string> hosts;
        for (std::uint32_t a = 10u << 24 | 20u << 16; a < (10u << 24 | 21u << 16); a += 97)
            hosts.push_back(ipv4_text(a, false));
        for (std::uint32_t high = 0; high < 65536; ++high)
            hosts.push_back(ipv4_text(high << 16 | static_cast<std::uint32_t>(pick(rng, 0x10000)),
                                      chance(rng, 10)));
        for (int i = 0; i < 3000; ++i)
            hosts.push_back(random_ipv6(rng));
        for (int order = 0; order < 2; ++order) {
            std::shuffle(hosts.begin(), hosts.end(), rng);
            GeoHandle db = open_geo(path);
            expect_same_as_library(*db, hosts);
        }
    }
}

// Lookups counted through the queue (lists' lookups finished later, at
// random flushes or when the queue is full) count what direct lookups
// count, in the busy lists of a full country database too when
// VESTREL_TEST_COUNTRY_DB names one.
TEST(DifferentialGeo, QueuedLookupsCountWhatDirectOnesDo) {
    Rng rng(0x5eed000e);
    std::vector<std::string> paths = {geo_path("fixture.mmdb"), geo_path("ipv4-only.mmdb")};
    if (const char *full = std::getenv("VESTREL_TEST_COUNTRY_DB"); full != nullptr && *full != 0)
        paths.push_back(full);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        GeoHandle queued = open_geo(path);
        GeoHandle direct = open_geo(path);
        Results by_queue;
        Results by_lookup;
        for (int i = 0; i < 200000; ++i) {
            std::string host;
            if (chance(rng, 30)) {
                host = random_geo_host(rng);
            } else if (chance(rng, 60)) {
                host = ipv4_text(static_cast<std::uint32_t>(rng()), chance(rng, 5));
            } else {
                char text[INET6_ADDRSTRLEN];
                unsigned char bytes[16];
                for (unsigned char &b : bytes)
                    b = static_cast<unsigned char>(pick(rng, 256));
                bytes[0] = static_cast<unsigned char>(0x20 + pick(rng, 12));
                bytes[1] = static_cast<unsigned char>(pick(rng, 4)); // a few busy /16s
                host = inet_ntop(AF_INET6, bytes, text, sizeof text);
            }
            const Address address = parse_address(host);
            if (address.family == 0) continue;
            Location location;
            ASSERT_EQ(find_location(*direct, address, 0, location), MMDB_SUCCESS) << host;
            // Only addresses that count something, so that a lost lookup shows.
            if (location.continent < 0) continue;
            lookup_location(*queued, address, 0, by_queue);
            if (chance(rng, 1)) flush_locations(*queued, by_queue);
            if (location.country >= 0) ++by_lookup.countries[location.country];
            if (location.continent >= 0) ++by_lookup.continents[location.continent];
        }
        flush_locations(*queued, by_queue);
        EXPECT_EQ(by_queue.countries, by_lookup.countries);
        EXPECT_EQ(by_queue.continents, by_lookup.continents);
        EXPECT_GT(total(by_lookup.continents), 100u);
    }
}

// An IPv6 database whose IPv4 subtree (::/96) sends 0.0.0.0/1 to DE and
// 128.0.0.0/1 to US, and whose ::ffff:0:0/96 leads to that same subtree,
// to another that answers the other way round, or straight to FR.
std::string database_with_mapped_range(int mapped) {
    std::string data;
    std::uint32_t offsets[3];
    const char *const locations[3][2] = {{"DE", "EU"}, {"US", "NA"}, {"FR", "EU"}};
    for (int i = 0; i < 3; ++i) {
        offsets[i] = static_cast<std::uint32_t>(data.size());
        data += test::mmdb_location(locations[i][0], locations[i][1]);
    }
    // Nodes 0-95: 96 zero bits; 96-110: the ones of bits 81-95 after
    // node 80's right; 111: the IPv4 subtree; 112: the other subtree.
    const std::uint32_t node_count = 113, empty = node_count, ipv4 = 111, other = 112;
    auto entry = [&](int i) { return node_count + 16 + offsets[i]; };
    std::string tree;
    for (std::uint32_t depth = 0; depth < 96; ++depth) {
        test::mmdb_record(tree, depth == 95 ? ipv4 : depth + 1);
        test::mmdb_record(tree, depth == 80 ? 96 : empty);
    }
    for (std::uint32_t node = 96; node <= 110; ++node) {
        test::mmdb_record(tree, empty);
        test::mmdb_record(tree, node < 110    ? node + 1
                                : mapped == 0 ? ipv4
                                : mapped == 1 ? other
                                              : entry(2));
    }
    test::mmdb_record(tree, entry(0));
    test::mmdb_record(tree, entry(1));
    test::mmdb_record(tree, entry(1));
    test::mmdb_record(tree, entry(0));
    return test::mmdb_file(tree, node_count, data, 6);
}

TEST(DifferentialGeo, MappedAddressesGoWhereTheTreeLeadsThem) {
    Rng rng(0x5eed000d);
    test::TempDir dir;
    for (int mapped = 0; mapped < 3; ++mapped) {
        SCOPED_TRACE(mapped);
        const std::string path = dir.file("mapped.mmdb");
        test::write_file(path, database_with_mapped_range(mapped));
        std::vector<std::string> hosts = {"::ffff:1.2.3.4", "1.2.3.4",   "::ffff:200.1.1.1",
                                          "200.1.1.1",      "::1.2.3.4", "::ffff:0:1",
                                          "::fffe:1:2"};
        for (int i = 0; i < 200; ++i)
            hosts.push_back(ipv4_text(static_cast<std::uint32_t>(rng()), chance(rng, 70)));
        GeoHandle db = open_geo(path);
        std::set<int> countries;
        for (const std::string &host : hosts)
            countries.insert(ref::locate(db->mmdb, host.c_str()).country);
        EXPECT_EQ(countries.size(), mapped == 2 ? 4u : 3u); // and none
        expect_same_as_library(*db, hosts);
    }
}

TEST(DifferentialGeo, NumericCodesCountNothing) {
    const std::string db = geo_path("country-as-number.mmdb");
    Rng rng(0x5eed000a);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    expect_same_locations(db, hosts);
    const std::string log = geo_log(rng, 5000);
    Results results;
    expect_same_run(log, db.c_str(), Through::File, &results);
    EXPECT_GT(results.hits_total, 0u);
    EXPECT_EQ(total(results.countries), 0u);
    EXPECT_EQ(total(results.continents), 0u);
}

} // namespace
} // namespace vestrel
