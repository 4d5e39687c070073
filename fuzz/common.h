// Helpers shared by the fuzz targets: a check that stops the run with the
// failed condition printed, field checks that every splitter result must
// pass whatever the input, and the reading of a whole input the way the
// program reads a log, in reads of sizes the input chooses.
#pragma once

#include "geo.h"
#include "hll.h"
#include "tally.h"
#include "parse.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <string_view>
#include <thread>
#include <unistd.h>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__,          \
                         __LINE__);                                                                \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

namespace vestrel::fuzz {

// A field is a view into `text` that holds none of the bytes that end it and,
// unless `may_be_empty`, at least one byte.
inline void check_field(const Field &field, std::string_view text, std::string_view delimiters,
                        bool may_be_empty = false) {
    if (!field) return;
    const std::string_view f = *field;
    FUZZ_CHECK(f.data() >= text.data());
    FUZZ_CHECK(f.data() + f.size() <= text.data() + text.size());
    FUZZ_CHECK(may_be_empty || !f.empty());
    FUZZ_CHECK(f.find_first_of(delimiters) == std::string_view::npos);
}

// Opens the fixture database as the program opens a database (private
// copy, flattened tables), so that the targets go through the same paths.
inline bool open_fixture(GeoDb &db) {
    char why[256];
    return load_database(db, VESTREL_GEO_FIXTURE, why, sizeof why);
}

// Empties the flattened tables and the entry caches of `db` (GeoCaches) and
// keeps its open database and its run arena, written again from the start:
// a harness that opens another database, or wants each input to start
// cold, calls this. Re-creating GeoCaches in place covers whatever it holds.
inline void clear_caches(GeoDb &db) {
    new (&db.caches) GeoCaches{};
}

// How an input reaches tally_stream: the size of its read block (so of every
// read), and whether it comes through a pipe written in pieces by another
// thread, with the read end blocking or not. Taken from a hash of the input,
// so that every input has its own plan and a mutation tries another: blocks
// of 1 to 16 bytes, 17 to 256, larger than the whole input, and READ_BLOCK;
// pipe writes of 1 byte to twice the block.
struct ReadPlan {
    std::size_t block;
    bool pipe;
    bool nonblocking;
    std::uint32_t seed;
};

inline ReadPlan read_plan(const std::uint8_t *data, std::size_t size) {
    const std::uint32_t h = murmur3_32(data, static_cast<std::int32_t>(size), 0x6c0ffee5);
    const std::uint32_t r = h >> 8;
    std::size_t block = READ_BLOCK;
    switch (h & 3) {
    case 0:
        block = 1 + r % 16;
        break;
    case 1:
        block = 17 + r % 240;
        break;
    case 2:
        block = size + 1 + r % 64;
        break;
    default:
        break;
    }
    return ReadPlan{block, (h & 4) != 0, (h & 8) != 0, h};
}

// Writes `data` into `fd` in pieces of 1 to 2 * block bytes, then closes it.
// A reader that stops early (bad compressed data, bytes after the last gzip
// member) closes its end: the rest is dropped (SIGPIPE is ignored, see
// tally_input).
inline void write_in_pieces(int fd, const std::uint8_t *data, std::size_t size, ReadPlan plan) {
    std::uint32_t x = plan.seed | 1;
    for (std::size_t at = 0; at < size;) {
        x ^= x << 13; // xorshift: the piece sizes repeat with the input
        x ^= x >> 17;
        x ^= x << 5;
        const std::size_t want = 1 + x % (2 * plan.block);
        const ssize_t n = write(fd, data + at, want < size - at ? want : size - at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) break;
        FUZZ_CHECK(n > 0);
        at += static_cast<std::size_t>(n);
    }
    close(fd);
}

// Tallies `data` with tally_stream as the plan says: from `memfd` (a memory
// file the caller owns) or through a pipe. Returns tally_stream's result,
// errno kept; `outcome` as tally_stream's.
inline int tally_input(Tally &tally, int memfd, const std::uint8_t *data, std::size_t size,
                       ReadPlan plan, DecodeOutcome *outcome = nullptr) {
    if (!plan.pipe) {
        FUZZ_CHECK(ftruncate(memfd, 0) == 0);
        FUZZ_CHECK(pwrite(memfd, data, size, 0) == static_cast<ssize_t>(size));
        FUZZ_CHECK(lseek(memfd, 0, SEEK_SET) == 0);
        return tally_stream(tally, memfd, plan.block, outcome);
    }
    static const bool no_sigpipe = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    FUZZ_CHECK(no_sigpipe);
    int fds[2];
    FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);
    if (plan.nonblocking) FUZZ_CHECK(fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
    std::thread writer(write_in_pieces, fds[1], data, size, plan);
    const int status = tally_stream(tally, fds[0], plan.block, outcome);
    const int saved = errno;
    close(fds[0]); // before the join: the reader may have stopped early
    writer.join();
    errno = saved;
    return status;
}

} // namespace vestrel::fuzz
