// Country and continent of client addresses from a MaxMind DB database.
//
// The database is held for the whole run in private memory, read once at
// open after its metadata was checked against the file's size, so that a
// file rewritten or truncated during the run changes nothing and a lying
// node count cannot send the library outside the file. A corrupt search
// tree or data section found by a lookup is fatal, never a missing country.
//
// Each lookup counts at most one country and one continent (see
// geo_entry.h for what counts). Answers come from the IPv4 and IPv6 spaces
// flattened one /16 at a time on first use (see GeoRun); IPv6 networks
// smaller than a /32 are walked in the copy, and so is every address of a
// /16 whose subtree holds anything corrupt (so that only the lookups that
// meet the corruption fail), for which the run arena has no room, or whose
// flattening would go past the budget (see GEO_BUILD_RECORDS_START).
// IPv4-mapped addresses use the IPv4 tables when the tree leads them
// there. The file and its copy are geo_file.h's, the entries and their
// caches geo_entry.h's.
//
// Lookups are queued and made a batch at a time (see count_queued); those
// that may fail are still made in the order they were asked for, and
// flush_locations finishes them all.
//
// Cost with GeoLite2-Country (4 MB): 2-3 ms to copy it at open; about
// 20 ms to flatten the whole IPv4 space; for the uniform benchmark log,
// which reaches every IPv4 /16, 1.8 MiB of runs, list indexes and line
// padding in all (both families, readied up to 128 KiB ahead of use), two
// 256 KiB tables of /16 words, a 128 KiB table of short entries, the entry
// caches' 128 KiB and the batch's 50 KiB of queue, kept texts and counts:
// about 3.5 MiB over the database's copy. GeoDb itself is 1.4 MiB of zero
// pages until used.
#pragma once

#include "geo_entry.h"
#include "parse.h"
#include "results.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <maxminddb.h>
#include <string_view>
#include <sys/socket.h>

namespace vestrel {

inline constexpr const char *DEFAULT_GEOIP_DB = "/usr/local/share/dbip/dbip-country-lite.mmdb";

// The address spaces flattened, one /16 at a time: the first lookup in a
// /16 walks its subtree once and leaves either one answer for the whole /16
// or a sorted list of runs, each the start (IPv4: the low 16 bits; IPv6:
// bits 16-31) of a stretch of addresses with one answer; later lookups
// there are one table read or a halving search in that list. Adjacent
// networks with the same answer share a run. The subtree below a /16 is at
// most 16 levels deep (IPv6: a /32 that holds smaller networks is a run
// marked GEO_DEEPER), so a build reads at most 2^17 records, whatever the
// database, and each /16 is built once per run.
//
// A list of more than GEO_INDEX_MIN runs is preceded by an index: per value
// of the key's high byte, the position (16 bits) of the run that holds the
// key with that high byte and a low byte of 0, then the last position, so
// that a search looks only between two neighbouring positions, most often
// one cache line, instead of halving thousands of runs (IPv6 /16s such as
// 2a02::/16 hold 2000 to 4000 runs, and the uniform log's IPv6 lookups
// mostly land in those). The index is found from the /16's word alone, so
// such a search never reads the header. A shorter list that fits in one
// cache line with its header is placed inside one.
struct GeoRun {
    std::uint16_t start; // in a list's header: the number of runs after it
    GeoAnswer answer;    // or GEO_DEEPER; in a list's header: GEO_NOTHING
};
inline constexpr std::size_t GEO_INDEX_MIN = 64;
// 257 positions of two bytes in the slots of the arena.
inline constexpr std::size_t GEO_INDEX_SLOTS = (257 * 2 + sizeof(GeoRun) - 1) / sizeof(GeoRun);
// In an IPv6 list: a /32 that holds smaller networks, walked address by address.
inline constexpr GeoAnswer GEO_DEEPER = 0xffff;
static_assert(GEO_DEEPER >> GEO_ANSWER_BITS != 0, "no answer is GEO_DEEPER");
inline constexpr unsigned GEO_MAX_LEAVES_PER_PREFIX = 65535;

// The budget of the flattening, so that a crafted database cannot make a
// run slower than the library's own lookups by more than a small factor:
// all builds together read at most GEO_BUILD_RECORDS_START records plus
// GEO_BUILD_RECORDS_PER_LOOKUP for each lookup the tables did not answer
// at once, and decode at most GEO_BUILD_DECODES_START entries plus
// GEO_BUILD_DECODES_PER_LOOKUP for each (decodes by walks count too). A
// build that would go past it stops, and its /16 is walked address by
// address. A library lookup reads 32 to 128 records and decodes one entry
// (two queries, about 400 ns); 256 records take under 1 µs, and 8 decodes
// are 12 of its queries. A country database never comes near: on 200 MB
// of the uniform benchmark log a synthetic one (bench/geodb.cpp) read 1.2
// million records and decoded 64,000 entries for 57,000 such lookups, 13
// and 7 times less than allowed. The crafted databases of
// tests/geo/README.md: the 65,536 /16s of a DAG that answers every address
// in turn took over 35 s of CPU unbounded, 0.1 s bounded (the library's
// lookups 0.06 s); a 10 MB tree of /16s sharing 32,768 leaves over 8,192
// long maps, 64 lines, 0.04 s (before: 3.3 s for a 15 MB one).
inline constexpr std::uint64_t GEO_BUILD_RECORDS_START = std::uint64_t{1} << 20;
inline constexpr std::uint64_t GEO_BUILD_RECORDS_PER_LOOKUP = 256;
inline constexpr std::uint64_t GEO_BUILD_DECODES_START = 32768;
inline constexpr std::uint64_t GEO_BUILD_DECODES_PER_LOOKUP = 8;

// A /16's word in GeoCaches::ipv4_prefixes: 0 not built yet;
// GEO_PREFIX_TREE left to the walk; GEO_PREFIX_ANSWER set: the answer of
// the whole /16 in the low GEO_ANSWER_BITS; otherwise
// the index of its list's header in GeoDb::runs, plus one, with
// GEO_PREFIX_INDEXED set when an index precedes the list.
inline constexpr std::uint32_t GEO_PREFIX_TREE = 0xffffffff;
inline constexpr std::uint32_t GEO_PREFIX_ANSWER = 0x80000000;
inline constexpr std::uint32_t GEO_PREFIX_INDEXED = 0x40000000;
inline constexpr std::uint16_t GEO_SHORT_ANSWER = 0x8000;
static_assert(GEO_SHORT_ANSWER >> GEO_ANSWER_BITS != 0, "a short entry holds an answer");
// GeoRun slots per cache line, where an IPv4 list that has no index starts.
inline constexpr std::size_t GEO_LINE_SLOTS = 64 / sizeof(GeoRun);

// Everything a lookup may remember, all zero at first. Emptying it changes
// no answer.
struct GeoCaches {
    GeoEntryCaches entries;
    // 256 KiB, touched as used: most /16s of a country database have one
    // answer, so most lookups read this word and nothing else.
    std::array<std::uint32_t, 65536> ipv4_prefixes{};
    // The same for IPv6 by /16, its runs keyed by bits 16 to 31: 97% of the
    // uniform log's IPv6 addresses lie in networks of /32 or larger.
    std::array<std::uint32_t, 65536> ipv6_prefixes{};
    std::size_t run_count = 0;
    // Per IPv6 /16, the record 16 bits down; 0: not yet found. 512 KiB,
    // touched as used (a log's IPv6 clients come from a few hundred /16s).
    std::array<std::uint64_t, 65536> ipv6_starts{};
    std::uint64_t ipv4_root = 0; // the record IPv4 addresses start from, 0: not yet found
    // Per /12, IPv4 then IPv6, the record 12 bits below the family's root;
    // 0: not yet found. 64 KiB, touched as used. PERF: the 16 steps down to
    // a /16 are a chain of dependent loads, the first 12 shared with 15
    // other /16s; a build then takes 4.
    std::array<std::uint64_t, 2 * 4096> down_12{};
    // Per IPv4 /16, what its lookups need without the word: GEO_SHORT_ANSWER
    // plus its single answer, or the number of the cache line its list
    // starts at, plus one; 0: ask the
    // word. 128 KiB, and most IPv4 lookups read nothing else: the words are
    // read only to build and when a /16 has no such form.
    std::array<std::uint16_t, 65536> ipv4_short{};
    // The flattening's budget (see GEO_BUILD_RECORDS_START): records read by
    // builds, and lookups the tables did not answer at once.
    std::uint64_t build_records = 0;
    std::uint64_t paying_lookups = 0;
    // Whether the IPv6 tree leads ::ffff:0:0/96 to the IPv4 root, so that
    // an IPv4-mapped address is the IPv4 address: 0 not yet known, 1 yes, 2 no.
    std::uint8_t mapped_state = 0;
};

// PERF: the batch of count_queued against a plain lookup per address with
// the short entry 16 lookups ahead prefetched, both on 200 MB logs of each
// benchmark shape with -g (a synthetic 6 MB country database, 9 interleaved
// pairs, CPU time, a shared 2-core EPYC VM): batch/plain 0.94 uniform, 0.93
// common, 0.96 default, 0.98 long, 0.98 ipv6 (medians; pairs from 0.71 to
// 1.11, a busy machine). It gains 4-7% on three shapes and loses on none,
// so it stays. 10 KiB of queue (the lookups asked for and not yet made)
// and 24 KiB of IPv6 texts kept beside it; 64, 128 and 512 lookups a batch
// ran alike.
inline constexpr unsigned GEO_QUEUE_SLOTS = 512;

struct GeoDb {
    MMDB_s mmdb{};
    const char *path = nullptr; // as given, for messages
    std::size_t copy_size = 0;  // bytes mapped for the private copy
    // Room for every run the two tables can hold (see reserve_runs).
    // Reserved at open, resident only as /16s are built (up to 128 KiB
    // ahead); GeoLite2-Country's whole IPv4 space takes 833 KiB.
    GeoRun *runs = nullptr;
    std::size_t run_capacity = 0;
    std::size_t runs_size = 0;  // bytes mapped
    std::size_t runs_ready = 0; // bytes whose pages are in place (see ready_runs)
    GeoCaches caches;
    std::array<Address, GEO_QUEUE_SLOTS> queued{};
    // Per queued address: the length of its text, kept beside it when it
    // was parsed only up to its head (see parse_into_slot); 0 when whole.
    std::array<std::uint8_t, GEO_QUEUE_SLOTS> queued_text_length{};
    std::array<std::array<char, ADDRESS_HEAD_TEXT>, GEO_QUEUE_SLOTS> queued_text{};
    unsigned queued_count = 0;
    // Hits counted by count_queued and not yet added to a Results record,
    // by answer.
    std::array<std::uint64_t, std::size_t{1} << GEO_ANSWER_BITS> answer_hits{};
};

// Opens the database at `path`: a regular file whose metadata describes a
// search tree and data section that fit inside it, copied into private
// memory. Returns true, or false with the reason written into `why` (at
// most `why_size` bytes) and nothing left open. Costs one read of the file.
bool load_database(GeoDb &db, const char *path, char *why, std::size_t why_size);

// load_database, or on failure "Can't open database (PATH): REASON" on
// standard error and the end of the process with status 1.
void open_database(GeoDb &db, const char *path);

// Releases the database's memory.
void close_database(GeoDb &db);

// What the database says of one address, by the library's own lookup: the
// lookup of the binary address, then the "country"/"iso_code" and
// "continent"/"code" values matched against the tables. Returns MMDB_SUCCESS, or the status of
// a corrupt database with an empty location.
int resolve_location(MMDB_s &mmdb, const Address &address, Location &location);

// What resolve_location says, from the flattened tables. Returns
// MMDB_SUCCESS, or the status of a corrupt database with an empty location.
int find_location(GeoDb &db, const Address &address, Location &location);

// Makes every queued lookup (see queue_lookup).
void count_queued(GeoDb &db, Results &results);

// Parses `host` (see parse_address_head) into the queue's next slot, whose
// lookup queue_lookup then asks for (a slot not asked for is overwritten by
// the next); returns the address's family. An IPv6 address is mostly made
// only up to its head, all that its lookup reads unless it walks the tree,
// and its text is kept for the rest. PERF: parsed in place, not built on
// the stack and copied whole, which stalled store forwarding on every line.
inline int parse_into_slot(GeoDb &db, std::string_view host, std::size_t readable,
                           VectorLevel level) {
    const unsigned slot = db.queued_count;
    Address &address = db.queued[slot];
    if (parse_address_head(address, host, readable, level)) {
        db.queued_text_length[slot] = 0;
    } else {
        std::memcpy(db.queued_text[slot].data(), host.data(), ADDRESS_HEAD_TEXT);
        db.queued_text_length[slot] = static_cast<std::uint8_t>(host.size());
    }
    return address.family;
}

// Counts the country and continent of the address in the queue's next slot in
// `results`, after up to GEO_QUEUE_SLOTS more lookups or at
// flush_locations; on a corrupt database writes "Can't read database
// (PATH): REASON" on standard error and ends the process with status 1.
// Lookups that may fail are made in the order they were asked for, so that
// the first corrupt one is the one reported.
inline void queue_lookup(GeoDb &db, Results &results) {
    if (++db.queued_count == GEO_QUEUE_SLOTS) count_queued(db, results);
}

// queue_lookup of a copy of `address`, for a caller that holds the binary
// form rather than the text.
inline void lookup_location(GeoDb &db, const Address &address, Results &results) {
    db.queued[db.queued_count] = address;
    db.queued_text_length[db.queued_count] = 0;
    queue_lookup(db, results);
}

// Counts every lookup queue_lookup left waiting.
void flush_locations(GeoDb &db, Results &results);

} // namespace vestrel
