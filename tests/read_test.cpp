// The reader (src/read.cpp) and the run over it (tally_stream) against the
// reference's getline loop: the newline index at every vector level, and
// whole logs read from a file and through a pipe, in blocks of every size,
// with lines around and beyond the read block (tests/support/differential.h).
#include "read.h"
#include "reference/reference.h"
#include "support/compress.h"
#include "support/differential.h"
#include "support/process.h"
#include "tally.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <cstdint>
#include <string>
#include <vector>

namespace vestrel {
namespace {

namespace ref = vestrel::reference;
using namespace test;

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

// The excerpts of the real logs, whole and in small blocks.
TEST(DifferentialRun, LogExcerpts) {
    for (const char *name : EXCERPT_LOGS) {
        SCOPED_TRACE(name);
        const std::string bytes = test::read_file(excerpt_path(name));
        ASSERT_FALSE(bytes.empty());
        expect_same_run(bytes, nullptr, Through::File_And_Pipe);
        for (std::size_t block : {17, 160}) {
            SCOPED_TRACE("blocks of " + std::to_string(block));
            expect_same_run(bytes, nullptr, Through::File, nullptr, block);
        }
    }
}

TEST(DifferentialRun, DataLogs) {
    if (!data_dir_present())
        GTEST_SKIP() << VESTREL_DATA_DIR << " is missing (the excerpts in tests/cli/real ran)";
    for (const char *name : DATA_LOGS) {
        SCOPED_TRACE(name);
        const std::string bytes = test::read_file(std::string(VESTREL_DATA_DIR) + "/" + name);
        ASSERT_FALSE(bytes.empty());
        expect_same_run(bytes, nullptr, Through::File_And_Pipe);
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

// A compressed log counts as its text, whatever the read block: blocks of a
// byte up to the usual one, cut through the decoder's output anywhere, with
// members and frames (and their ends) falling anywhere in a block.
TEST(DifferentialRun, CompressedLogsInEveryBlockSize) {
    const std::vector<std::string> real = some_real_lines();
    Rng rng(0x5eed0030);
    const std::string log = random_log(rng, 500, real);
    const std::size_t cut1 = pick(rng, log.size()), cut2 = cut1 + pick(rng, log.size() - cut1);
    const std::string a = log.substr(0, cut1), b = log.substr(cut1, cut2 - cut1),
                      c = log.substr(cut2);
    const struct {
        const char *name;
        std::string stored;
    } forms[] = {
        {"gzip", test::gzip_member(log)},
        {"gzip, four members, one empty",
         test::gzip_member(a, 1) + test::gzip_member("") + test::gzip_member(b, 0) +
             test::gzip_member(c, 9)},
        {"zstd", test::zstd_frame(log)},
        {"zstd, three frames and skippable ones",
         test::zstd_skippable("x") + test::zstd_frame(a) + test::zstd_skippable("yy", 7) +
             test::zstd_frame(b, 18) + test::zstd_frame(c, 0, false)},
    };
    const std::size_t blocks[] = {1, 2, 3, 5, 6, 7, 8, 13, 61, 100, 4099, 65536, READ_BLOCK};
    for (const auto &form : forms)
        for (std::size_t block : blocks) {
            SCOPED_TRACE(std::string(form.name) + " in blocks of " + std::to_string(block));
            expect_same_run(log, nullptr,
                            block == 5 || block == 4099 ? Through::File_And_Pipe : Through::File,
                            nullptr, block, cpu_vector_level(), &form.stored);
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
    if (!data_dir_present())
        GTEST_SKIP() << VESTREL_DATA_DIR << " is missing (the excerpts in tests/cli/real ran)";
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

// ---------------------------------------------------------------- decoding ahead

struct ReadBack {
    std::string text; // the lines handed out, one after another
    int status = 0;   // next_line's last return
    int error = 0;
    DecodeError why = DecodeError::NONE;
};

// Reads `stored` through a Reader, from a file or a pipe fed in uneven
// writes, with the decoder where `ahead` puts it. Stops after `lines` lines
// when that is not 0 and closes the reader with the rest unread.
ReadBack read_back(const std::string &stored, DecodeAhead ahead, std::size_t block,
                   bool through_pipe, std::size_t lines = 0) {
    TempDir dir;
    int fd = -1;
    int fds[2] = {-1, -1};
    std::thread writer;
    if (through_pipe) {
        EXPECT_EQ(pipe(fds), 0);
        fd = fds[0];
        writer = std::thread([&stored, out = fds[1]] {
            Rng rng(0x5eed0040);
            for (std::size_t at = 0; at < stored.size();) {
                const std::size_t n = std::min(stored.size() - at, 1 + pick(rng, 70000));
                const ssize_t w = write(out, stored.data() + at, n);
                if (w <= 0) break;
                at += static_cast<std::size_t>(w);
            }
            close(out);
        });
    } else {
        const std::string path = dir.file("stored");
        write_file(path, stored);
        fd = open(path.c_str(), O_RDONLY);
    }
    ReadBack got;
    Reader reader;
    EXPECT_EQ(open_reader(reader, fd, cpu_vector_level(), block), 0);
    reader.decode_ahead = ahead;
    LineView line;
    std::size_t count = 0;
    while ((got.status = next_line(reader, line)) > 0) {
        got.text.append(line.text);
        if (++count == lines) break;
    }
    got.error = got.status < 0 ? errno : 0;
    if (got.status <= 0) got.why = reader.decoder.outcome.error;
    close_reader(reader);
    if (writer.joinable()) {
        // A reader closed early leaves the rest of the pipe unread.
        close(fd);
        writer.join();
    } else {
        close(fd);
    }
    return got;
}

// The text of a compressed log, and where it fails, are the same whether
// its decoder runs between the lines or ahead in a helper thread: from a
// file and through a pipe, in blocks from a byte to the usual one, with a
// log long enough to go round the ring many times, and with the reader
// closed while the helper still has text for it.
TEST(Reader, DecodingAheadGivesTheSameText) {
    const std::vector<std::string> real = some_real_lines();
    Rng rng(0x5eed0041);
    // Without NUL bytes, so that in whole blocks the lines are the text.
    auto log_of = [&](std::size_t bytes) {
        std::string log;
        while (log.size() < bytes)
            log += random_log(rng, 2000, real);
        std::replace(log.begin(), log.end(), '\0', '0');
        return log;
    };
    const std::string small = log_of(1);
    const std::string big = log_of(6 * AHEAD_SLOTS * AHEAD_SLOT); // over twenty rounds of the ring
    const std::string gz = test::gzip_member(big.substr(0, big.size() / 3), 1) +
                           test::gzip_member("") + test::gzip_member(big.substr(big.size() / 3));
    const std::string zst = test::zstd_frame(big.substr(0, 1000), 20) +
                            test::zstd_skippable("x") + test::zstd_frame(big.substr(1000));
    const struct {
        const char *name;
        std::string stored;
        const std::string *text; // null: the data is bad
        DecodeError why;
    } cases[] = {
        {"gzip, small", test::gzip_member(small), &small, DecodeError::NONE},
        {"gzip, big, three members", gz, &big, DecodeError::NONE},
        {"zstd, big, two frames", zst, &big, DecodeError::NONE},
        {"gzip, truncated", gz.substr(0, gz.size() / 2), nullptr, DecodeError::TRUNCATED},
        {"zstd, truncated", zst.substr(0, zst.size() - 100), nullptr, DecodeError::TRUNCATED},
    };
    for (const auto &c : cases)
        for (std::size_t block : {std::size_t{7}, std::size_t{4099}, READ_BLOCK})
            for (bool through_pipe : {false, true}) {
                if (block == 7 && c.stored.size() > 1000000) continue; // slow, nothing new
                SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block) +
                             (through_pipe ? ", pipe" : ", file"));
                const ReadBack here = read_back(c.stored, DecodeAhead::NEVER, block, through_pipe);
                const ReadBack ahead =
                    read_back(c.stored, DecodeAhead::ALWAYS, block, through_pipe);
                EXPECT_EQ(ahead.status, here.status);
                EXPECT_EQ(ahead.error, here.error);
                EXPECT_EQ(ahead.why, c.why);
                EXPECT_EQ(here.why, c.why);
                EXPECT_TRUE(ahead.text == here.text) << ahead.text.size() << " bytes against "
                                                     << here.text.size();
                if (c.text != nullptr) {
                    EXPECT_EQ(here.status, 0);
                    if (block == READ_BLOCK) EXPECT_TRUE(here.text == *c.text);
                } else {
                    EXPECT_EQ(here.status, -1);
                    EXPECT_EQ(here.error, EBADMSG);
                    EXPECT_GT(here.text.size(), 0u);
                }
            }
    // Closed after a few lines, with the ring full and the helper waiting
    // for room: it stops.
    for (const std::string *stored : {&gz, &zst}) {
        const ReadBack part = read_back(*stored, DecodeAhead::ALWAYS, READ_BLOCK, false, 3);
        EXPECT_EQ(part.status, 1);
        EXPECT_EQ(part.text, big.substr(0, part.text.size()));
    }
}

} // namespace
} // namespace vestrel
