// The long-line path (src/longline.cpp) against the reference: the stand-in
// it makes of a line, fed in any pieces, counts as the whole line does
// (tests/support/differential.h).
#include "hll.h"
#include "longline.h"
#include "reference/reference.h"
#include "results.h"
#include "support/differential.h"
#include "tally.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace vestrel {
namespace {

namespace ref = vestrel::reference;
using namespace test;

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
        // A time stamp of day delimiters alone still splits as a field.
        "1.2.3.4 - - [/] \"GET / HTTP/1.1\" 200 5\n",
        "1.2.3.4 - - [///]x\"GET / HTTP/1.1\" 200 5\n",
        "1.2.3.4 - - [//1/2/3:4] \"r\" 1 2\n",
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
    for (const std::string &line : real_lines(97)) {
        lines.push_back(line);
        lines.push_back(mutate(rng, line));
    }
    LineTally fast, slow;
    for (const std::string &line : lines)
        expect_same_at_every_cut(line, fast, slow);
}

// A line whose every field keeps the most it can fills the stand-in's
// buffer exactly: a rule that keeps one byte more needs a larger buffer.
TEST(LongLine, EveryFieldAtItsLongestFillsTheStandIn) {
    const std::string number = "\t-0" + std::string(KEPT_DIGITS + 5, '7') + "x";
    const std::string line = std::string(ADDRESS_TEXT_MAX + 5, 'a') + " ident user[/1/2/3:" +
                             number + ":5:6 -0700]gap\"OPTIONSXXXX / HTTP/1.1XXXX\" " + number +
                             " " + number + " \n";
    LongLine l;
    long_line_start(l);
    long_line_feed(l, line.data(), line.size());
    EXPECT_EQ(long_line_text(l).size(), LONG_LINE_TEXT_MAX);
    LineTally fast, slow;
    EXPECT_EQ(stand_in_mismatch(line, {}, fast, slow), "");
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

} // namespace
} // namespace vestrel
