// The tally: counts each line into the Results record and the visitor
// sketches, and runs the reader over a whole descriptor.
//
// A Tally owns the Results record, the two sketches' handles (the sketches
// are created and released by the run) and, with -g, a pointer to the
// database. Sketch inserts and geolocation lookups are deferred a few lines
// so that their memory can be fetched while later lines are split; every
// entry point here applies them all before it returns, so a caller never
// sees a count half made.
//
// Per-line cost: a split that stops after the size field, array increments,
// one hash and one register update, and with -g one queued lookup; nothing
// allocated.
#pragma once

#include "geo.h"
#include "hll.h"
#include "read.h"
#include "results.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vestrel {

// How many lines a sketch insert waits after its register is prefetched. A
// register is a likely cache miss (2 MiB of sketches, random index), and one
// line (~100 ns) did not hide it: on a common-layout log the inserts still
// cost 17% of the run. Register maxima do not depend on the order of inserts.
inline constexpr unsigned PENDING_INSERTS = 8;

// Written by empty pending-insert slots, read by nobody.
inline std::uint8_t idle_register = 0;

constexpr std::array<HllUpdate, PENDING_INSERTS> no_pending_inserts() {
    std::array<HllUpdate, PENDING_INSERTS> slots{};
    slots.fill({&idle_register, 0});
    return slots;
}

// Everything the tally writes to. `geo` is null without -g.
struct Tally {
    Results results;
    HllStorage ipv4;
    HllStorage ipv6;
    GeoDb *geo = nullptr;
    // The vector instructions the reader may use.
    VectorLevel vector = cpu_vector_level();
    // The last PENDING_INSERTS hits' sketch inserts: slot `pending_next` is
    // the oldest. An empty slot raises idle_register by nothing, so that
    // applying one needs no test.
    std::array<HllUpdate, PENDING_INSERTS> pending = no_pending_inserts();
    unsigned pending_next = 0;
};

// Counts one line: `line` is the line as read, newline included when there is
// one. Its text ends at the first NUL byte. Lines without a usable address
// count as invalid and nothing else.
void tally_line(Tally &tally, std::string_view line);

// Reads `fd` to its end with the reader (blocks of `block` bytes, see
// open_reader; a gzip or zstd log is decompressed) and tallies every line.
// Returns 0 at end of input, -1 with errno set when reading fails (the lines
// before the failure are tallied; EBADMSG: the compressed data is bad or not
// read here) or with ENOMEM when the reader's buffers cannot be had (nothing
// is tallied). When `outcome` is given it receives what the reader found
// (the compression, and why bad data stopped it), whatever the result.
int tally_stream(Tally &tally, int fd, std::size_t block = READ_BLOCK,
                 DecodeOutcome *outcome = nullptr);

// Sets the derived totals and the visitor estimates once reading is done.
void finish_totals(Tally &tally);

} // namespace vestrel
