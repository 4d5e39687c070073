// The run: command line, the one pass over the log, and the per-line tally.
//
// A run owns its settings, input, line buffer, Results record, the two
// visitor sketches and, with -g, the database. It releases them in this
// order: line buffer, report text, input, database, sketches. Fatal
// conditions end the process with a message and status 1 without teardown.
//
// Per-line cost: one offset from the newline index (which also finds the NUL
// bytes, in one pass over each read), a split that stops after the size
// field, array increments, one hash and one register update; nothing
// allocated. Memory is fixed: one read buffer of READ_BLOCK bytes and the
// index's INDEX_WINDOW offsets, whatever the lines.
#pragma once

#include "geo.h"
#include "hll.h"
#include "parse.h"
#include "results.h"

#include <cstddef>
#include <string_view>

namespace vestrel {

// The read size of tally_stream and the size of its only buffer. Measured on
// a 1 GB log: 1 MiB reads ran 3.5% faster than 128 KiB ones (fewer system
// calls and page-cache batches) for 0.9 MiB more resident memory; the whole
// process stays near 6 MiB. A line longer than this takes the bounded path
// of longline.h, so no input makes the process larger.
inline constexpr std::size_t READ_BLOCK = 1024 * 1024;

// How many lines a sketch insert waits after its register is prefetched. A
// register is a likely cache miss (2 MiB of sketches, random index), and one
// line (~100 ns) did not hide it: on a common-layout log the inserts still
// cost 17% of the run. Register maxima do not depend on the order of inserts.
inline constexpr unsigned PENDING_INSERTS = 8;

// tally_stream's limit on the block a caller asks for: the newline index
// keeps 32-bit offsets.
inline constexpr std::size_t MAX_READ_BLOCK = std::size_t{1} << 30;

// Bytes after the read buffer that the scans may load (and ignore), so that
// a field near the end of the buffer is still scanned 16 bytes at a time and
// the newline index reads whole 64-byte chunks.
inline constexpr std::size_t READ_PADDING = 64;
static_assert(READ_PADDING >= NEWLINE_INDEX_OVERREAD);

// How far the newline index runs ahead of the lines; its offsets take four
// bytes for each byte of this in the worst case (a log of empty lines).
// Measured: 16 KiB, 64 KiB and 256 KiB ran alike.
inline constexpr std::size_t INDEX_WINDOW = 16 * 1024;

// Everything the tally writes to. `geo` is null without -g.
struct Tally {
    Results results;
    HllStorage ipv4;
    HllStorage ipv6;
    GeoDb *geo = nullptr;
    // The vector instructions the reader may use.
    VectorLevel vector = cpu_vector_level();
    // The last PENDING_INSERTS hits' sketch inserts, deferred so that their
    // registers can be fetched while the next lines are split: slot
    // `pending_next` is the oldest. tally_line and tally_stream apply them
    // all before they return.
    HllStorage *pending_sketch[PENDING_INSERTS] = {};
    std::uint32_t pending_hash[PENDING_INSERTS] = {};
    unsigned pending_next = 0;
};

// Counts one line: `line` is the line as read, newline included when there is
// one. Its text ends at the first NUL byte. Lines without a usable address
// count as invalid and nothing else.
void tally_line(Tally &tally, std::string_view line);

// Reads `fd` to its end and tallies every line, split exactly where getline
// would split them (after each newline; a last line without one), in reads of
// at most `block` bytes (taken as 1 to MAX_READ_BLOCK) into one buffer of that
// size (tests pass a few bytes to send most lines through the bounded path).
// A non-blocking `fd` that has nothing yet is waited for. Returns 0 at end of
// input, -1 with errno set when reading fails or the buffers cannot be had;
// the lines before a failure are tallied.
int tally_stream(Tally &tally, int fd, std::size_t block = READ_BLOCK);

// Sets the derived totals and the visitor estimates once reading is done.
void finish_totals(Tally &tally);

// The whole program; returns the exit status or ends the process on a fatal
// condition.
int run(int argc, char **argv);

} // namespace vestrel
