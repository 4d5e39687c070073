#include "geo.h"

#include "compat.h"
#include "geo_file.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>

namespace vestrel {

namespace {

// Reserves GeoDb::runs; its pages cost memory only once written or readied
// (see ready_runs).
const char *reserve_runs(GeoDb &db) {
    // Each network of the tree gives at most one run per family's table
    // (IPv6 aliases can lead into the IPv4 tree), each node a /32 marker,
    // and each /16 a header and a run covering its start. A list's index
    // must stay clear of the /16 word's flag bit.
    db.run_capacity = std::min<std::size_t>(
        3 * (std::size_t{db.mmdb.metadata.node_count} + 1) + 4 * 65536, GEO_PREFIX_INDEXED - 1);
    db.runs_size = db.run_capacity * sizeof(GeoRun);
    void *runs =
        mmap(nullptr, db.runs_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (runs == MAP_FAILED) {
        db.run_capacity = 0;
        db.runs_size = 0;
        return std::strerror(errno);
    }
    db.runs = static_cast<GeoRun *>(runs);
    return nullptr;
}

bool fail(char *why, std::size_t why_size, const char *reason) {
    std::snprintf(why, why_size, "%s", reason);
    return false;
}

} // namespace

bool load_database(GeoDb &db, const char *path, char *why, std::size_t why_size) {
    db.path = path;
    const char *reason = open_database_file(db.mmdb, path, db.copy_size);
    if (reason != nullptr) return fail(why, why_size, reason);
    reason = reserve_runs(db);
    if (reason != nullptr) {
        close_database(db);
        return fail(why, why_size, reason);
    }
    // PERF: the entry caches are read, then written, at scattered slots: two
    // page faults for each of their 32 pages on first use (a one-line run
    // took 280 faults, 241 with this one call).
    prefault(&db.caches.entries, sizeof db.caches.entries);
    return true;
}

void open_database(GeoDb &db, const char *path) {
    char why[256];
    if (!load_database(db, path, why, sizeof why))
        errx(1, "Can't open database (%s): %s", path, why);
}

void close_database(GeoDb &db) {
    close_database_file(db.mmdb, db.copy_size);
    if (db.runs != nullptr) munmap(db.runs, db.runs_size);
    db.runs = nullptr;
    db.run_capacity = 0;
    db.runs_size = 0;
    db.runs_ready = 0;
}

namespace {

// The tree walk for one address: MMDB_SUCCESS (found_entry false when the
// database holds no network for it) or the status of a corrupt database.
int find_entry(MMDB_s &mmdb, const Address &address, MMDB_lookup_result_s &result) {
    sockaddr_storage storage{};
    if (address.family == AF_INET) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&storage);
        sin->sin_family = AF_INET;
        std::memcpy(&sin->sin_addr, address.bytes, 4);
    } else {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        sin6->sin6_family = AF_INET6;
        std::memcpy(&sin6->sin6_addr, address.bytes, 16);
    }
    int mmdb_error = MMDB_SUCCESS;
    result = MMDB_lookup_sockaddr(&mmdb, reinterpret_cast<const sockaddr *>(&storage), &mmdb_error);
    if (mmdb_error == MMDB_SUCCESS) return MMDB_SUCCESS;
    result.found_entry = false; // an IPv6 address in an IPv4 database: no network
    return is_corrupt(mmdb_error) ? mmdb_error : MMDB_SUCCESS;
}

} // namespace

int resolve_location(MMDB_s &mmdb, const Address &address, Location &location) {
    location = Location{};
    MMDB_lookup_result_s result;
    const int status = find_entry(mmdb, address, result);
    if (status != MMDB_SUCCESS || !result.found_entry) return status;
    GeoAnswer answer;
    const int read = read_answer(result.entry, answer);
    location = decode_answer(answer);
    return read;
}

namespace {

// ---------------------------------------------------------------- the tree

constexpr unsigned IPV4_PREFIX_BITS = 16;

// A record of the search tree and what it is, as libmaxminddb tells them
// apart (a data record's offset wraps as the library's does).
struct Record {
    std::uint64_t value;
    std::uint8_t type;
};

Record classify(const MMDB_s &mmdb, std::uint64_t value) {
    const std::uint64_t nodes = mmdb.metadata.node_count;
    if (value < nodes) return {value, MMDB_RECORD_TYPE_SEARCH_NODE};
    if (value == nodes) return {value, MMDB_RECORD_TYPE_EMPTY};
    if (value - nodes < mmdb.data_section_size) return {value, MMDB_RECORD_TYPE_DATA};
    return {value, MMDB_RECORD_TYPE_INVALID};
}

// The record on side `bit` of node `node` (a search node: below node_count,
// so inside the tree, which the open checked lies inside the copy).
// PERF: read in place rather than through MMDB_read_node, which also fills
// two entry records; this halved the cost of flattening a /16. Inlined: a
// build reads both sides of every node it meets.
[[gnu::always_inline]] inline Record child(const MMDB_s &mmdb, std::uint64_t node, unsigned bit) {
    const unsigned record_size = mmdb.metadata.record_size;
    const std::uint8_t *p = mmdb.file_content + node * (record_size / 4);
    std::uint64_t value;
    if (record_size == 24) {
        p += bit * 3;
        value = std::uint64_t{p[0]} << 16 | std::uint64_t{p[1]} << 8 | p[2];
    } else if (record_size == 28) {
        value = bit == 0 ? std::uint64_t{p[3] & 0xf0u} << 20 | std::uint64_t{p[0]} << 16 |
                               std::uint64_t{p[1]} << 8 | p[2]
                         : std::uint64_t{p[3] & 0x0fu} << 24 | std::uint64_t{p[4]} << 16 |
                               std::uint64_t{p[5]} << 8 | p[6];
    } else {
        p += bit * 4;
        value =
            std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 | std::uint64_t{p[2]} << 8 | p[3];
    }
    return classify(mmdb, value);
}

// What a record that is not a node says of every address under it:
// MMDB_SUCCESS with the answer, or the status of a corrupt tree.
int leaf_answer(GeoDb &db, const Record &record, GeoAnswer &answer) {
    answer = GEO_NOTHING;
    if (record.type == MMDB_RECORD_TYPE_EMPTY) return MMDB_SUCCESS;
    if (record.type != MMDB_RECORD_TYPE_DATA) return MMDB_CORRUPT_SEARCH_TREE_ERROR;
    const auto offset = static_cast<std::uint32_t>(record.value - db.mmdb.metadata.node_count -
                                                   DATA_SECTION_SEPARATOR);
    MMDB_entry_s entry{&db.mmdb, offset};
    return entry_answer(db.caches.entries, entry, answer);
}

// The record IPv4 addresses start from: the root of an IPv4 tree, or where
// 96 zero bits lead in an IPv6 tree (as libmaxminddb looks IPv4 up there).
Record ipv4_root(const MMDB_s &mmdb) {
    Record record = classify(mmdb, 0);
    const unsigned depth = mmdb.metadata.ip_version == 6 ? 96 : 0;
    for (unsigned i = 0; i < depth && record.type == MMDB_RECORD_TYPE_SEARCH_NODE; ++i)
        record = child(mmdb, record.value, 0);
    return record;
}

// A record in one word, 0 for none: value, type, and a bit that is set.
std::uint64_t packed_record(const Record &record) {
    return record.value << 3 | std::uint64_t{record.type} << 1 | 1;
}

Record unpacked_record(std::uint64_t word) {
    return {word >> 3, static_cast<std::uint8_t>(word >> 1 & 3)};
}

// ---------------------------------------------------------------- building a /16

// Puts the arena's pages in place 128 KiB at a time, ahead of the build
// that writes them. PERF: written page by page, the uniform benchmark log's
// 1.8 MiB of runs took 450 page faults, about 6 ms on a 2-core EPYC VM; in
// huge pages it took as little, but kept 2 MiB resident for logs whose runs
// take a few hundred KiB.
void ready_more_runs(GeoDb &db, std::size_t bytes) {
    constexpr std::size_t STEP = 128 * 1024;
    while (db.runs_ready < bytes) {
        const std::size_t length = std::min(STEP, db.runs_size - db.runs_ready);
        // Where it fails, the pages come in as they are written.
        if (!prefault(reinterpret_cast<char *>(db.runs) + db.runs_ready, length)) {
            db.runs_ready = db.runs_size;
            return;
        }
        db.runs_ready += length;
    }
}

// Readies the arena for a build that has written up to run `end`: room for
// one more run, then a list's index or its move to a cache line's start.
// PERF: called for every leaf a build meets, so inlined down to one test.
inline void ready_runs(GeoDb &db, std::size_t end) {
    const std::size_t bytes = (end + 1 + GEO_INDEX_SLOTS + GEO_LINE_SLOTS) * sizeof(GeoRun);
    if (bytes > db.runs_ready) ready_more_runs(db, std::min(bytes, db.runs_size));
}

// Flattens the /16 below `record` (the record 16 bits down from the
// family's root): walks its subtree in address order, appending runs after a
// header slot. Returns MMDB_SUCCESS with the /16's word (GEO_PREFIX_TREE
// where the arena has no room or the build would go past the budget, see
// GEO_BUILD_RECORDS_START), or the status of a corrupt tree. PERF: GeoLite2-Country's 65536 /16s
// (261000 runs) take about 20 ms in all, built as the log reaches them.
int build_prefix(GeoDb &db, Record record, bool ipv6, std::uint32_t &word) {
    GeoCaches &c = db.caches;
    ready_runs(db, c.run_count + 1);

    if (c.run_count + 2 > db.run_capacity) {
        word = GEO_PREFIX_TREE;
        return MMDB_SUCCESS;
    }
    const std::size_t first = c.run_count;
    std::size_t end = first + 1; // after the header
    // Depth-first, left before right, so that stretches come in address
    // order; at most one pending right side per level below the /16.
    // PERF: one array per field, each read as it was written: a pending
    // record stored as two words and read back as one 16-byte copy could
    // not be forwarded from the store, and that stall took half a build.
    struct Pending {
        Record record;
        std::uint32_t start;
        unsigned bits; // address bits left below this record
    };
    constexpr unsigned STACK = 32 - IPV4_PREFIX_BITS + 1;
    std::uint64_t stack_value[STACK];
    std::uint8_t stack_type[STACK];
    std::uint32_t stack_start[STACK];
    unsigned stack_bits[STACK];
    unsigned depth = 0;
    const auto push = [&](const Record &r, std::uint32_t start, unsigned bits) {
        stack_value[depth] = r.value;
        stack_type[depth] = r.type;
        stack_start[depth] = start;
        stack_bits[depth] = bits;
        ++depth;
    };
    push(record, 0, 32 - IPV4_PREFIX_BITS);
    unsigned leaves = 0;
    std::uint64_t last_leaf = UINT64_MAX; // no record's value (they have at most 32 bits)
    GeoAnswer last_answer = GEO_NOTHING;
    const std::uint64_t records_allowed =
        GEO_BUILD_RECORDS_START + GEO_BUILD_RECORDS_PER_LOOKUP * c.paying_lookups;
    const std::uint64_t decodes_allowed =
        GEO_BUILD_DECODES_START + GEO_BUILD_DECODES_PER_LOOKUP * c.paying_lookups;
    while (depth > 0) {
        if (++c.build_records > records_allowed) {
            word = GEO_PREFIX_TREE;
            return MMDB_SUCCESS;
        }
        --depth;
        const Pending p{
            {stack_value[depth], stack_type[depth]}, stack_start[depth], stack_bits[depth]};
        if (p.record.type == MMDB_RECORD_TYPE_SEARCH_NODE) {
            if (p.bits == 0 && !ipv6) return MMDB_CORRUPT_SEARCH_TREE_ERROR; // past 32 bits
            if (p.bits == 0) {
                // A /32 holding smaller IPv6 networks: its addresses are
                // walked (3% of the uniform log's IPv6 lookups).
                if (++leaves > GEO_MAX_LEAVES_PER_PREFIX || end == db.run_capacity) {
                    word = GEO_PREFIX_TREE;
                    return MMDB_SUCCESS;
                }
                ready_runs(db, end);
                if (end == first + 1 || db.runs[end - 1].answer != GEO_DEEPER)
                    db.runs[end++] = GeoRun{static_cast<std::uint16_t>(p.start), GEO_DEEPER};
                continue;
            }
            push(child(db.mmdb, p.record.value, 1), p.start | 1u << (p.bits - 1), p.bits - 1);
            push(child(db.mmdb, p.record.value, 0), p.start, p.bits - 1);
            continue;
        }
        if (++leaves > GEO_MAX_LEAVES_PER_PREFIX || end == db.run_capacity) {
            word = GEO_PREFIX_TREE;
            return MMDB_SUCCESS;
        }
        ready_runs(db, end);
        // PERF: in GeoLite2-Country's IPv4 space a third of the leaves a
        // build meets repeat the record of the leaf before; its answer
        // spares them the entry caches' lookup.
        GeoAnswer answer = last_answer;
        if (p.record.value != last_leaf) {
            const int status = leaf_answer(db, p.record, answer);
            if (status != MMDB_SUCCESS) return status;
            if (c.entries.decoded > decodes_allowed) {
                word = GEO_PREFIX_TREE;
                return MMDB_SUCCESS;
            }
            last_leaf = p.record.value;
            last_answer = answer;
        }
        if (end > first + 1 && db.runs[end - 1].answer == answer)
            continue; // the same answer goes on
        db.runs[end++] = GeoRun{static_cast<std::uint16_t>(p.start), answer};
    }
    const std::size_t count = end - first - 1;
    if (count == 1) {
        word = GEO_PREFIX_ANSWER | db.runs[first + 1].answer;
        return MMDB_SUCCESS;
    }
    bool indexed = false;
    std::size_t header = first;
    if (count > GEO_INDEX_MIN && end + GEO_INDEX_SLOTS <= db.run_capacity) {
        header = first + GEO_INDEX_SLOTS;
        std::memmove(db.runs + header + 1, db.runs + first + 1, count * sizeof(GeoRun));
        const GeoRun *runs = db.runs + header + 1;
        auto *index = reinterpret_cast<unsigned char *>(db.runs + first);
        std::uint16_t at = 0;
        for (unsigned high = 0; high < 256; ++high) {
            while (at + 1u < count && runs[at + 1].start <= high << 8)
                ++at;
            std::memcpy(index + 2 * high, &at, 2);
        }
        const auto last = static_cast<std::uint16_t>(count - 1);
        std::memcpy(index + 2 * 256, &last, 2);
        end += GEO_INDEX_SLOTS;
        indexed = true;
    } else {
        // PERF: a short list that would cross a cache line's edge moves to
        // the next line when that makes it span fewer lines: one miss
        // instead of two, for at most 60 bytes. An IPv4 list always starts
        // a line, so that GeoCaches::ipv4_short can name it.
        constexpr std::size_t line = GEO_LINE_SLOTS;
        const std::size_t span = count + 1;
        const std::size_t aligned = (first + line - 1) / line * line;
        if ((!ipv6 || (first % line + span - 1) / line > (span - 1) / line) &&
            aligned + span <= db.run_capacity) {
            std::memmove(db.runs + aligned + 1, db.runs + first + 1, count * sizeof(GeoRun));
            header = aligned;
            end = aligned + span;
        }
    }
    db.runs[header] = GeoRun{static_cast<std::uint16_t>(count), GEO_NOTHING};
    c.run_count = end;
    word = static_cast<std::uint32_t>(header + 1) | (indexed ? GEO_PREFIX_INDEXED : 0);
    return MMDB_SUCCESS;
}

// ---------------------------------------------------------------- IPv6 walk

// An IPv6 address walked in place from the record its /16 leads to, found
// once per /16. PERF: the library's lookup plus its checks cost about 400 ns
// per address on the uniform log; this walk reads 13 to 40 records.
int ipv6_answer(GeoDb &db, const Address &address, GeoAnswer &answer) {
    answer = GEO_NOTHING;
    const unsigned char *b = address.bytes;
    std::uint64_t &start = db.caches.ipv6_starts[std::size_t{b[0]} << 8 | b[1]];
    if (start == 0) {
        Record record = classify(db.mmdb, 0);
        for (unsigned i = 0; i < 16 && record.type == MMDB_RECORD_TYPE_SEARCH_NODE; ++i)
            record = child(db.mmdb, record.value, b[i >> 3] >> (7 - (i & 7)) & 1);
        start = packed_record(record);
    }
    Record record = unpacked_record(start);
    for (unsigned i = 16; i < 128 && record.type == MMDB_RECORD_TYPE_SEARCH_NODE; ++i)
        record = child(db.mmdb, record.value, b[i >> 3] >> (7 - (i & 7)) & 1);
    if (record.type == MMDB_RECORD_TYPE_SEARCH_NODE) return MMDB_CORRUPT_SEARCH_TREE_ERROR;
    return leaf_answer(db, record, answer);
}

// The record 16 bits below `root`, the family's root, along the address's
// first two bytes (the first 12 bits' record is kept per /12).
Record down_16(GeoDb &db, Record root, const unsigned char *b, bool ipv6) {
    const auto down = [&db, b](Record r, unsigned from, unsigned to) {
        for (unsigned i = from; i < to && r.type == MMDB_RECORD_TYPE_SEARCH_NODE; ++i)
            r = child(db.mmdb, r.value, b[i >> 3] >> (7 - (i & 7)) & 1);
        return r;
    };
    std::uint64_t &known =
        db.caches.down_12[(ipv6 ? 4096 : 0) + (std::size_t{b[0]} << 4 | b[1] >> 4)];
    if (known == 0) known = packed_record(down(root, 0, 12));
    return down(unpacked_record(known), 12, 16);
}

// The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) holds.
Address mapped_ipv4(const unsigned char *bytes) {
    Address ipv4;
    ipv4.family = AF_INET;
    std::memcpy(ipv4.bytes, bytes + 12, 4);
    return ipv4;
}

// The runs of an indexed list that may hold `low`: [first, first + count)
// after its header.
void index_range(const GeoRun *header, std::uint16_t low, std::size_t &first, std::size_t &count) {
    const auto *index = reinterpret_cast<const unsigned char *>(header - GEO_INDEX_SLOTS);
    std::uint16_t from;
    std::uint16_t to;
    std::memcpy(&from, index + 2 * (low >> 8), 2);
    std::memcpy(&to, index + 2 * (low >> 8) + 2, 2);
    first = from;
    count = std::size_t{to} - from + 1;
}

// The last of `count` runs from `run` on that starts at or below `low`
// (the first must); runs up to `limit` may be read.
const GeoRun *search_runs(const GeoRun *run, std::size_t count, std::uint16_t low,
                          const GeoRun *limit) {
#if defined(VESTREL_SSE2)
    // PERF: a range of up to 16 runs (most IPv4 lists, and most ranges an
    // IPv6 list's index leaves) is compared at once: the halving loop's
    // length followed the list's, and its end was mispredicted on most
    // lookups, its steps a chain of dependent loads.
    constexpr std::size_t WIDE = 16;
    static_assert(sizeof(GeoRun) == 4 && offsetof(GeoRun, start) == 0, "a start per 4 bytes");
    if (count <= WIDE && static_cast<std::size_t>(limit - run) >= WIDE) {
        const __m128i key = _mm_set1_epi16(static_cast<short>(low));
        std::uint64_t at_or_below = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(run + 4 * k));
            const __m128i le = _mm_cmpeq_epi16(_mm_subs_epu16(x, key), _mm_setzero_si128());
            at_or_below |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(le))}
                           << (16 * k);
        }
        // Bit 4i: run i starts at or below `low`. The starts ascend, so the
        // answer is the last such run; run 0 always is one and is left out,
        // so that the count fits in the product's top four bits.
        const std::uint64_t in_range =
            count == WIDE ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * count)) - 1;
        const std::uint64_t later = at_or_below & in_range & 0x1111111111111110u;
        return run + ((later * 0x1111111111111111u) >> 60);
    }
#else
    (void)limit;
#endif
    // Branch-free halving; GeoLite2-Country's lists hold 2 to 4000 runs,
    // most under 16 (one cache line); longer lists narrow the search by
    // their index first.
    while (count > 1) {
        const std::size_t half = count / 2;
        run = run[half].start <= low ? run + half : run;
        count -= half;
    }
    return run;
}

// The GeoCaches::ipv4_short entry for a /16's word.
std::uint16_t short_entry(std::uint32_t word) {
    if (word == GEO_PREFIX_TREE) return 0;
    if ((word & GEO_PREFIX_ANSWER) != 0)
        return static_cast<std::uint16_t>(GEO_SHORT_ANSWER | (word & ~GEO_PREFIX_ANSWER));
    const std::uint32_t header = word - 1;
    if ((word & GEO_PREFIX_INDEXED) != 0 || header % GEO_LINE_SLOTS != 0 ||
        header / GEO_LINE_SLOTS + 1 >= GEO_SHORT_ANSWER)
        return 0;
    return static_cast<std::uint16_t>(header / GEO_LINE_SLOTS + 1);
}

// Whether an IPv6 address is IPv4-mapped (::ffff:0:0/96).
bool is_mapped(const unsigned char *b) {
    static constexpr unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(b, prefix, sizeof prefix) == 0;
}

// Whether the walk along ::ffff:0:0/96 ends at the record IPv4 addresses
// start from: then every IPv4-mapped address walks on exactly as its IPv4
// address does and gets its answer (otherwise such an address is walked
// from its /16, about 110 records).
bool mapped_to_ipv4(GeoDb &db) {
    if (db.caches.mapped_state == 0) {
        Record record = classify(db.mmdb, 0);
        for (unsigned i = 0; i < 96 && record.type == MMDB_RECORD_TYPE_SEARCH_NODE; ++i)
            record = child(db.mmdb, record.value, i >= 80 ? 1 : 0);
        const Record root = ipv4_root(db.mmdb);
        db.caches.mapped_state = record.type == root.type && record.value == root.value ? 1 : 2;
    }
    return db.caches.mapped_state == 1;
}

// ---------------------------------------------------------------- lookups

// Where an address's answer is, as far as the tables tell without a walk.
struct GeoRoute {
    const GeoRun *run; // GEO_ROUTE_LIST, GEO_ROUTE_INDEXED: the list's header
    GeoAnswer answer;  // GEO_ROUTE_ANSWER
    std::uint16_t low; // the key searched for in a list
    std::uint8_t kind;
};
constexpr std::uint8_t GEO_ROUTE_ANSWER = 0;
constexpr std::uint8_t GEO_ROUTE_LIST = 1;
constexpr std::uint8_t GEO_ROUTE_INDEXED = 2; // the list's index precedes its header
constexpr std::uint8_t GEO_ROUTE_WALK = 3;    // the walk (or, unbuilt, a build) decides

// The route a /16's word gives.
inline void route_word(const GeoDb &db, std::uint32_t word, GeoRoute &r) {
    if (word == 0 || word == GEO_PREFIX_TREE) {
        r.kind = GEO_ROUTE_WALK;
    } else if ((word & GEO_PREFIX_ANSWER) != 0) {
        r.kind = GEO_ROUTE_ANSWER;
        r.answer = static_cast<GeoAnswer>(word & ~GEO_PREFIX_ANSWER);
    } else {
        r.kind = (word & GEO_PREFIX_INDEXED) != 0 ? GEO_ROUTE_INDEXED : GEO_ROUTE_LIST;
        r.run = db.runs + ((word & ~GEO_PREFIX_INDEXED) - 1);
    }
}

// The route an IPv4 /16's short entry gives: false when it gives none and
// the /16's word must be asked.
inline bool route_short(const GeoDb &db, std::uint16_t entry, GeoRoute &r) {
    if (entry >= GEO_SHORT_ANSWER) {
        r.kind = GEO_ROUTE_ANSWER;
        r.answer = static_cast<GeoAnswer>(entry & ~GEO_SHORT_ANSWER);
        return true;
    }
    if (entry == 0) return false;
    r.kind = GEO_ROUTE_LIST;
    r.run = db.runs + (entry - 1) * GEO_LINE_SLOTS;
    return true;
}

// The route of every lookup, queued or not. An IPv4-mapped `address` becomes
// its IPv4 address where the tree leads it there. With `build`, a /16 not
// built yet is built first (a build does not fail: a corrupt subtree leaves
// the /16 to the walk); without, it is GEO_ROUTE_WALK.
void route(GeoDb &db, Address &address, bool build, GeoRoute &r) {
    if (address.family == AF_INET6) {
        // The library refuses IPv6 lookups in an IPv4 tree: no answer.
        if (db.mmdb.metadata.ip_version != 6) {
            r.kind = GEO_ROUTE_ANSWER;
            r.answer = GEO_NOTHING;
            return;
        }
        // Dual-stack servers log every IPv4 client so.
        if (is_mapped(address.bytes) && mapped_to_ipv4(db)) address = mapped_ipv4(address.bytes);
    }
    const unsigned char *b = address.bytes;
    const bool ipv6 = address.family == AF_INET6;
    const std::size_t high = std::size_t{b[0]} << 8 | b[1];
    r.low = static_cast<std::uint16_t>(b[2] << 8 | b[3]);
    if (!ipv6) {
        // PERF: most IPv4 lookups end here, at one entry of a small table,
        // or go from there straight to their list.
        if (route_short(db, db.caches.ipv4_short[high], r)) return;
    }
    std::uint32_t &word = (ipv6 ? db.caches.ipv6_prefixes : db.caches.ipv4_prefixes)[high];
    if (word == 0 && build) {
        const Record root =
            ipv6 ? classify(db.mmdb, 0)
                 : unpacked_record(db.caches.ipv4_root != 0
                                       ? db.caches.ipv4_root
                                       : (db.caches.ipv4_root = packed_record(ipv4_root(db.mmdb))));
        // A /16 with anything corrupt in its subtree is left to the walk,
        // address by address, so that only the lookups that meet the
        // corruption fail, as the library's do.
        if (build_prefix(db, down_16(db, root, b, ipv6), ipv6, word) != MMDB_SUCCESS)
            word = GEO_PREFIX_TREE;
        if (!ipv6) db.caches.ipv4_short[high] = short_entry(word);
    }
    route_word(db, word, r);
}

// A list's route becomes the range of runs to search: [run, run + count),
// the runs its index names or the whole list (at most GEO_INDEX_MIN runs).
std::size_t narrow(GeoRoute &r) {
    std::size_t first = 0;
    std::size_t count = r.run->start;
    if (r.kind == GEO_ROUTE_INDEXED) index_range(r.run, r.low, first, count);
    r.run += 1 + first;
    return count;
}

// The address walked in the copy: IPv6 from its /16's record, IPv4 by the
// library's lookup (only /16s the tables refused come here).
int walk(GeoDb &db, const Address &address, GeoAnswer &answer) {
    if (address.family == AF_INET6) return ipv6_answer(db, address, answer);
    answer = GEO_NOTHING;
    MMDB_lookup_result_s result;
    int status = find_entry(db.mmdb, address, result);
    if (status == MMDB_SUCCESS && result.found_entry)
        status = entry_answer(db.caches.entries, result.entry, answer);
    return status;
}

// The answer at the end of a route made with `build`: MMDB_SUCCESS, or the
// status of a corrupt database with GEO_NOTHING.
int answer_of(GeoDb &db, const Address &address, GeoRoute &r, GeoAnswer &answer) {
    if (r.kind == GEO_ROUTE_ANSWER) {
        answer = r.answer;
        return MMDB_SUCCESS;
    }
    if (r.kind != GEO_ROUTE_WALK) {
        const std::size_t count = narrow(r);
        answer = search_runs(r.run, count, r.low, db.runs + db.run_capacity)->answer;
        if (answer != GEO_DEEPER) return MMDB_SUCCESS;
    }
    return walk(db, address, answer);
}

// The answer for an address, built if need be: MMDB_SUCCESS, or the status
// of a corrupt database with GEO_NOTHING.
int find_answer(GeoDb &db, Address address, GeoAnswer &answer) {
    ++db.caches.paying_lookups;
    GeoRoute r;
    route(db, address, true, r);
    return answer_of(db, address, r, answer);
}

} // namespace

int find_location(GeoDb &db, const Address &address, Location &location) {
    GeoAnswer answer;
    const int status = find_answer(db, address, answer);
    location = decode_answer(status == MMDB_SUCCESS ? answer : GEO_NOTHING);
    return status;
}

namespace {

void count_answer(GeoAnswer answer, Results &results, std::uint64_t hits = 1) {
    const Location location = decode_answer(answer);
    if (location.country >= 0) results.countries[location.country] += hits;
    if (location.continent >= 0) results.continents[location.continent] += hits;
}

void count_lookup(GeoDb &db, const Address &address, Results &results) {
    GeoAnswer answer;
    const int status = find_answer(db, address, answer);
    // A corrupt database would give answers that look like absent countries.
    if (status != MMDB_SUCCESS)
        errx(1, "Can't read database (%s): %s", db.path, MMDB_strerror(status));
    count_answer(answer, results);
}

// The queued address in `slot`, made whole where parse_into_slot made only
// its head.
const Address &whole_address(GeoDb &db, unsigned slot) {
    const std::uint8_t length = db.queued_text_length[slot];
    if (length != 0) {
        finish_address(db.queued[slot], std::string_view(db.queued_text[slot].data(), length));
        db.queued_text_length[slot] = 0;
    }
    return db.queued[slot];
}

// A queued lookup that its IPv4 short entry did not answer, between the
// passes of count_queued.
struct GeoStaged {
    GeoRoute route;
    std::uint32_t count; // of the runs from route.run to search
    std::uint16_t slot;  // in GeoDb::queued
};

// Pass 2 of count_queued: where a lookup goes, as its route says. Answers
// that need nothing more than a /16's word are counted at once; lists are
// asked for; anything else is left to count_lookup, in order, in the last
// pass.
void stage(GeoDb &db, GeoStaged &s) {
    GeoRoute &r = s.route;
    const Address &q = db.queued[s.slot];
    // PERF: the usual lookups here are routed without a call to route: an
    // IPv4 one mostly has its list's line in its short entry, which pass 1
    // has just read, and an IPv6 one that is not IPv4-mapped needs only its
    // /16's word.
    const std::size_t high = std::size_t{q.bytes[0]} << 8 | q.bytes[1];
    r.low = static_cast<std::uint16_t>(q.bytes[2] << 8 | q.bytes[3]);
    if (q.family == AF_INET6 && db.mmdb.metadata.ip_version == 6 && !is_mapped(q.bytes))
        route_word(db, db.caches.ipv6_prefixes[high], r);
    else if (q.family != AF_INET || !route_short(db, db.caches.ipv4_short[high], r))
        route(db, db.queued[s.slot], false, r);
    if (r.kind == GEO_ROUTE_ANSWER) {
        ++db.answer_hits[r.answer];
    } else if (r.kind == GEO_ROUTE_INDEXED) {
        __builtin_prefetch(reinterpret_cast<const unsigned char *>(r.run - GEO_INDEX_SLOTS) +
                           2 * (r.low >> 8));
    } else if (r.kind == GEO_ROUTE_LIST) {
        __builtin_prefetch(r.run);
    }
}

// Pass 3: a list's lookup becomes the range of runs to search, and the
// cache lines the search will read are asked for (pass 2 asked only for an
// index's line or a list's first).
void narrow_staged(GeoStaged &s) {
    if (s.route.kind != GEO_ROUTE_LIST && s.route.kind != GEO_ROUTE_INDEXED) return;
    const std::size_t count = narrow(s.route);
    s.count = static_cast<std::uint32_t>(count);
    // A range of at most 16 runs spans one or two lines: asked for without
    // a loop, whose length was mispredicted.
    __builtin_prefetch(s.route.run);
    __builtin_prefetch(s.route.run + count - 1);
    const auto line = [](const GeoRun *run) { return reinterpret_cast<std::uintptr_t>(run) / 64; };
    for (std::uintptr_t at = line(s.route.run) + 1; at < line(s.route.run + count - 1); ++at)
        __builtin_prefetch(reinterpret_cast<const void *>(at * 64));
}

} // namespace

// PERF: most IPv4 lookups end at one entry of a 128 KiB table, a likely
// cache miss with a data-dependent branch after it when made line by line;
// here they are one tight loop that reads entries ahead and counts without
// a branch. A list's runs are mostly far from the core (the IPv4 lists alone
// take 833 KiB, and the log streams through the caches), so the lists of
// the whole batch are asked for before any is read, and their misses
// overlap. Only the last pass can fail, and it goes in the order the
// lookups were made.
void count_queued(GeoDb &db, Results &results) {
    constexpr unsigned AHEAD = 16;
    const unsigned n = db.queued_count;
    db.queued_count = 0;
    std::array<GeoStaged, GEO_QUEUE_SLOTS> staged;
    unsigned rest = 0;
    const auto entry_of = [&db](const Address &q) -> const std::uint16_t & {
        return db.caches.ipv4_short[std::size_t{q.bytes[0]} << 8 | q.bytes[1]];
    };
    for (unsigned i = 0; i < n; ++i) {
        if (i + AHEAD < n) __builtin_prefetch(&entry_of(db.queued[i + AHEAD]));
        // Arithmetic, not branches: a fifth to a third are not answered
        // here, at random. One that is not counts at GEO_NOTHING, which
        // counts nothing.
        const Address &q = db.queued[i];
        const unsigned ipv4 = q.family == AF_INET;
        const unsigned answered = (entry_of(q) >> 15) & ipv4;
        ++db.answer_hits[entry_of(q) & ((1u << GEO_ANSWER_BITS) - 1) & (0u - answered)];
        staged[rest].slot = static_cast<std::uint16_t>(i);
        rest += answered ^ 1;
    }
    for (unsigned k = 0; k < rest; ++k)
        stage(db, staged[k]);
    for (unsigned k = 0; k < rest; ++k)
        narrow_staged(staged[k]);
    for (unsigned k = 0; k < rest; ++k) {
        const GeoStaged &s = staged[k];
        if (s.route.kind == GEO_ROUTE_ANSWER) continue;
        if (s.route.kind != GEO_ROUTE_WALK) {
            const GeoAnswer answer =
                search_runs(s.route.run, s.count, s.route.low, db.runs + db.run_capacity)->answer;
            if (answer != GEO_DEEPER) {
                ++db.answer_hits[answer];
                continue;
            }
        }
        count_lookup(db, whole_address(db, s.slot), results);
    }
}

void flush_locations(GeoDb &db, Results &results) {
    count_queued(db, results);
    for (std::size_t answer = 0; answer < db.answer_hits.size(); ++answer) {
        if (db.answer_hits[answer] == 0) continue; // pages never written stay untouched
        count_answer(static_cast<GeoAnswer>(answer), results, db.answer_hits[answer]);
        db.answer_hits[answer] = 0;
    }
}

} // namespace vestrel
