// The helpers the differential tests share; see differential.h.
#include "support/differential.h"

#include "reference/reference.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

namespace vestrel::test {

namespace ref = vestrel::reference;

// The bytes as a C string literal, cut after `limit` input bytes.
std::string escaped(std::string_view bytes, std::size_t limit) {
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
    const std::string bytes = read_file(std::string(VESTREL_DATA_DIR) + "/" + name);
    return split_lines(bytes);
}

bool data_dir_present() {
    return std::filesystem::is_directory(VESTREL_DATA_DIR);
}

std::string excerpt_path(const char *name) {
    return std::string(VESTREL_TEST_DIR) + "/cli/real/" + name;
}

std::vector<std::string> real_lines(std::size_t step) {
    std::vector<std::string> real;
    const bool full = data_dir_present();
    if (!full) step = std::max<std::size_t>(1, step / 10);
    for (std::size_t k = 0; k < std::size(DATA_LOGS); ++k) {
        const std::vector<std::string> lines =
            full ? data_log_lines(DATA_LOGS[k])
                 : split_lines(read_file(excerpt_path(EXCERPT_LOGS[k])));
        if (lines.empty()) throw std::runtime_error("a real log cannot be read");
        for (std::size_t i = 0; i < lines.size(); i += step)
            real.push_back(lines[i]);
    }
    return real;
}

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

// ---------------------------------------------------------------- whole runs

GeoHandle open_geo(const std::string &path) {
    GeoHandle db(new GeoDb());
    open_database(*db, path.c_str());
    return db;
}

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

namespace {

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

} // namespace

// Runs tally_stream (on the file, and through a pipe when asked) and the
// getline reference on the same bytes and compares the results. The
// reference's record goes to `reference_out` when given.
void expect_same_run(const std::string &bytes, const char *db_path, Through through,
                     Results *reference_out, std::size_t block, VectorLevel level) {
    TempDir dir;
    const std::string path = dir.file("access.log");
    write_file(path, bytes);

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
        // in a line; larger ones in a mix that also fills the read buffer and runs
        // past its end.
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
    return real_lines(11);
}

} // namespace vestrel::test
