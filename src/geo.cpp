#include "geo.h"

#include "compat.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vestrel {

namespace {

// Country codes are two capital letters, so a 26 x 26 table answers what the
// scan of the 250 codes would; anything else is in no table row.
const std::array<std::int16_t, 26 * 26> country_by_letters = [] {
    std::array<std::int16_t, 26 * 26> index;
    index.fill(-1);
    for (std::size_t i = COUNTRY_COUNT; i-- > 0;)
        index[(country_codes[i][0] - 'A') * 26 + (country_codes[i][1] - 'A')] =
            static_cast<std::int16_t>(i);
    return index;
}();

int two_letter_index(std::string_view code, const std::array<std::string_view, COUNTRY_COUNT> &) {
    const unsigned first = static_cast<unsigned char>(code[0] - 'A');
    const unsigned second = static_cast<unsigned char>(code[1] - 'A');
    return first < 26 && second < 26 ? country_by_letters[first * 26 + second] : -1;
}

int two_letter_index(std::string_view code,
                     const std::array<std::string_view, CONTINENT_COUNT> &codes) {
    return table_index(codes, code);
}

} // namespace

template <std::size_t N>
int match_code(const MMDB_entry_data_s &data, const std::array<std::string_view, N> &codes) {
    // The type and length checks keep a hostile or malformed database from
    // making us read a number as a pointer or read past a short string.
    if (!data.has_data || data.type != MMDB_DATA_TYPE_UTF8_STRING || data.data_size < 2) return -1;
    return two_letter_index(std::string_view(data.utf8_string, 2), codes);
}

template int match_code(const MMDB_entry_data_s &,
                        const std::array<std::string_view, COUNTRY_COUNT> &);
template int match_code(const MMDB_entry_data_s &,
                        const std::array<std::string_view, CONTINENT_COUNT> &);

namespace {

// ---------------------------------------------------------------- opening
//
// libmaxminddb maps the file shared and trusts its metadata: a node count
// near 2^32 wraps its 32-bit size check and the walk reads far outside the
// mapping, and a file rewritten or truncated under the mapping raises SIGBUS
// at the next lookup. So the metadata is checked in 64-bit arithmetic before
// the library sees the file, and once the library has opened it, its mapping
// is replaced by a private copy read from a descriptor held since the check;
// the copy's metadata must then say what the library read. From there on
// nothing the file's owner does reaches the run. The copy costs one read of
// the file and its size in resident memory, which the lookups of a large
// log would have paged in anyway.

// How far from the end the library looks for the metadata marker.
constexpr std::size_t METADATA_SEARCH_BYTES = 128 * 1024;
constexpr unsigned char METADATA_MARKER[] = {0xab, 0xcd, 0xef, 'M', 'a', 'x', 'M',
                                             'i',  'n',  'd',  '.', 'c', 'o', 'm'};
// Zero bytes between the search tree and the data section.
constexpr std::uint64_t DATA_SECTION_SEPARATOR = 16;
// Record values and data offsets are 32-bit: a larger file cannot be valid.
constexpr std::uint64_t LARGEST_DATABASE = UINT32_MAX;

// The metadata values the checks and the comparison with the library need.
struct MetadataFacts {
    std::uint64_t marker_offset = 0; // of the marker, from the file's start
    std::uint64_t node_count = UINT64_MAX;
    std::uint64_t record_size = UINT64_MAX;
    std::uint64_t ip_version = UINT64_MAX;
    std::uint64_t build_epoch = UINT64_MAX;
};

// A bounded reader of the metadata map: the few types a writer puts there,
// no pointers (no writer uses them in metadata), nesting at most 8 deep.
struct MetadataReader {
    const unsigned char *at;
    const unsigned char *end;
};

// Reads one control byte and its size; false when the bytes run out or the
// type is a pointer or unknown.
bool read_control(MetadataReader &r, unsigned &type, std::uint64_t &size) {
    if (r.at == r.end) return false;
    const unsigned control = *r.at++;
    type = control >> 5;
    if (type == 0) {
        if (r.at == r.end) return false;
        type = 7u + *r.at++;
    }
    if (type == 1 || type == 12 || type == 13 || type > 15) return false;
    size = control & 0x1f;
    if (size >= 29) {
        const std::size_t extra = size - 28;
        if (static_cast<std::size_t>(r.end - r.at) < extra) return false;
        std::uint64_t more = 0;
        for (std::size_t i = 0; i < extra; ++i)
            more = more << 8 | *r.at++;
        size = (size == 29 ? 29 : size == 30 ? 285 : 65821) + more;
    }
    return true;
}

// Skips one value, or reads it into `number` when it is an unsigned integer
// of at most 8 bytes (number stays UINT64_MAX otherwise).
bool read_value(MetadataReader &r, std::uint64_t &number, int depth) {
    unsigned type;
    std::uint64_t size;
    if (depth > 8 || !read_control(r, type, size)) return false;
    if (type == 7 || type == 11) { // map, array: 2n or n values follow
        const std::uint64_t items = type == 7 ? 2 * size : size;
        if (items > static_cast<std::uint64_t>(r.end - r.at)) return false;
        for (std::uint64_t i = 0; i < items; ++i) {
            std::uint64_t ignored;
            if (!read_value(r, ignored, depth + 1)) return false;
        }
        return true;
    }
    if (type == 14) return true; // boolean: the size is the value
    if (type == 3) size = 8;     // double
    if (type == 15) size = 4;    // float
    if (size > static_cast<std::uint64_t>(r.end - r.at)) return false;
    const bool unsigned_type = type == 5 || type == 6 || type == 9 || type == 10;
    if (unsigned_type && size <= 8) {
        number = 0;
        for (std::uint64_t i = 0; i < size; ++i)
            number = number << 8 | r.at[i];
    }
    r.at += size;
    return true;
}

// Finds and reads the metadata in the last bytes of a file. `tail` holds the
// file's bytes from offset `tail_offset` to its end. Returns nullptr when
// the file can be handed to the library, else why not.
const char *check_metadata(const unsigned char *tail, std::size_t tail_size,
                           std::uint64_t tail_offset, MetadataFacts &facts) {
    const char *const invalid = MMDB_strerror(MMDB_INVALID_METADATA_ERROR);
    const std::uint64_t file_size = tail_offset + tail_size;
    // The last marker counts, as for the library.
    const unsigned char *marker = nullptr;
    for (std::size_t i = tail_size; i >= sizeof METADATA_MARKER; --i) {
        if (std::memcmp(tail + i - sizeof METADATA_MARKER, METADATA_MARKER,
                        sizeof METADATA_MARKER) == 0) {
            marker = tail + i - sizeof METADATA_MARKER;
            break;
        }
    }
    if (marker == nullptr) return invalid;
    facts.marker_offset = tail_offset + static_cast<std::uint64_t>(marker - tail);

    MetadataReader r{marker + sizeof METADATA_MARKER, tail + tail_size};
    unsigned type;
    std::uint64_t pairs;
    if (!read_control(r, type, pairs) || type != 7) return invalid;
    for (std::uint64_t i = 0; i < pairs; ++i) {
        std::uint64_t key_size;
        if (!read_control(r, type, key_size) || type != 2 ||
            key_size > static_cast<std::uint64_t>(r.end - r.at))
            return invalid;
        const std::string_view key(reinterpret_cast<const char *>(r.at), key_size);
        r.at += key_size;
        std::uint64_t number = UINT64_MAX;
        if (!read_value(r, number, 1)) return invalid;
        if (key == "node_count") facts.node_count = number;
        if (key == "record_size") facts.record_size = number;
        if (key == "ip_version") facts.ip_version = number;
        if (key == "build_epoch") facts.build_epoch = number;
    }
    if (facts.node_count > UINT32_MAX || facts.ip_version == UINT64_MAX) return invalid;
    if (facts.ip_version != 4 && facts.ip_version != 6) return invalid;
    if (facts.record_size != 24 && facts.record_size != 28 && facts.record_size != 32)
        return MMDB_strerror(MMDB_UNKNOWN_DATABASE_FORMAT_ERROR);
    if (file_size > LARGEST_DATABASE) return "The file is larger than a database can be (4 GiB)";
    // No overflow: node_count < 2^32 and record_size <= 32.
    const std::uint64_t tree_bytes = facts.node_count * facts.record_size / 4;
    if (tree_bytes + DATA_SECTION_SEPARATOR > facts.marker_offset)
        return "The metadata's search tree does not fit in the file";
    return nullptr;
}

// Reads `size` bytes at `offset`; false when the file ends sooner.
bool read_fully(int fd, unsigned char *to, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = pread(fd, to, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        to += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

const char *kind_of_file(mode_t mode) {
    if (S_ISFIFO(mode)) return "Not a regular file but a FIFO";
    if (S_ISCHR(mode)) return "Not a regular file but a character device";
    if (S_ISBLK(mode)) return "Not a regular file but a block device";
    if (S_ISSOCK(mode)) return "Not a regular file but a socket";
    return "Not a regular file";
}

// Checks the file behind `fd` before the library maps it. Returns nullptr
// or why it cannot be a database; `errno_reason` is set instead when the
// system's error text says it.
const char *check_file(int fd, struct stat &st, MetadataFacts &facts, int &errno_reason) {
    errno_reason = 0;
    if (fstat(fd, &st) == -1) {
        errno_reason = errno;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        errno_reason = EISDIR;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) return kind_of_file(st.st_mode);
    if (st.st_size == 0) {
        // Files under /proc and /sys say 0 and still have contents.
        unsigned char byte;
        return read_fully(fd, &byte, 1, 0)
                   ? "The file reports a size of 0 but has contents (a kernel file, not a database)"
                   : "The file is empty";
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const std::size_t tail_size =
        static_cast<std::size_t>(size < METADATA_SEARCH_BYTES ? size : METADATA_SEARCH_BYTES);
    static unsigned char tail[METADATA_SEARCH_BYTES];
    if (!read_fully(fd, tail, tail_size, size - tail_size))
        return "The file changed while it was being opened";
    return check_metadata(tail, tail_size, size - tail_size, facts);
}

// The library's reading of the metadata and the bytes of the copy agree.
bool same_database(const MMDB_s &mmdb, const MetadataFacts &facts) {
    return facts.node_count == mmdb.metadata.node_count &&
           facts.record_size == mmdb.metadata.record_size &&
           facts.ip_version == mmdb.metadata.ip_version &&
           facts.build_epoch == mmdb.metadata.build_epoch &&
           mmdb.metadata_section ==
               mmdb.file_content + facts.marker_offset + sizeof METADATA_MARKER;
}

// Private memory for a copy of `size` bytes, aligned so that it can be
// backed by huge pages, its pages already in place; MAP_FAILED on failure.
// `reserved` gets the length mapped. PERF: every fresh anonymous page costs
// a fault and a clear. In 4 KiB pages the copy of GeoLite2-Country (4 MB)
// cost 12-16 ms of CPU on a 2-core EPYC VM (1000 faults); aligned to 2 MiB,
// advised for huge pages and populated in one call, 2-3 ms.
void *map_copy_region(std::size_t size, std::size_t &reserved) {
    constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    reserved = (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    void *raw = mmap(nullptr, reserved + HUGE_PAGE, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return MAP_FAILED;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
    if (aligned > start) munmap(raw, aligned - start);
    if (aligned + reserved < start + reserved + HUGE_PAGE)
        munmap(reinterpret_cast<void *>(aligned + reserved), start + HUGE_PAGE - aligned);
    void *region = reinterpret_cast<void *>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(region, reserved, MADV_HUGEPAGE); // advice only: failure costs speed
#endif
    prefault(region, reserved);
    return region;
}

// Replaces the library's shared mapping of the file with private memory
// holding the same bytes, read from `fd`, and points the library's handle
// at it (file_content, data_section and metadata_section are all the
// handle holds in the mapping; MMDB_close unmaps file_content). Returns
// nullptr or why not, with the handle untouched.
const char *take_private_copy(GeoDb &db, int fd, const MetadataFacts &before) {
    MMDB_s &mmdb = db.mmdb;
    const std::size_t size = static_cast<std::size_t>(mmdb.file_size);
    std::size_t reserved;
    void *copy = map_copy_region(size, reserved);
    if (copy == MAP_FAILED) return std::strerror(errno);
    auto *bytes = static_cast<unsigned char *>(copy);
    const std::size_t tail_size = size < METADATA_SEARCH_BYTES ? size : METADATA_SEARCH_BYTES;
    MetadataFacts after;
    if (!read_fully(fd, bytes, size, 0) ||
        check_metadata(bytes + size - tail_size, tail_size, size - tail_size, after) != nullptr ||
        std::memcmp(&after, &before, sizeof after) != 0 || !same_database(mmdb, after)) {
        munmap(copy, reserved);
        return "The file changed while it was being opened";
    }
    mprotect(copy, reserved, PROT_READ); // a guard only: failure changes nothing
    const std::uint8_t *shared = mmdb.file_content;
    mmdb.data_section = bytes + (mmdb.data_section - shared);
    mmdb.metadata_section = bytes + (mmdb.metadata_section - shared);
    mmdb.file_content = bytes;
    munmap(const_cast<std::uint8_t *>(shared), size);
    db.copy_size = reserved;
    return nullptr;
}

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
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int saved = errno;
        struct stat st {};
        if (saved == ENXIO && stat(path, &st) == 0 && S_ISSOCK(st.st_mode))
            return fail(why, why_size, kind_of_file(st.st_mode));
        return fail(why, why_size, std::strerror(saved));
    }
    struct stat st {};
    MetadataFacts facts;
    int errno_reason;
    const char *reason = check_file(fd, st, facts, errno_reason);
    if (reason == nullptr && errno_reason != 0) reason = std::strerror(errno_reason);
    if (reason != nullptr) {
        close(fd);
        return fail(why, why_size, reason);
    }
    const int status = MMDB_open(path, MMDB_MODE_MMAP, &db.mmdb);
    if (status != MMDB_SUCCESS) {
        const int saved = errno;
        close(fd);
        // Only a failure to open or read the file has a meaningful errno.
        return fail(why, why_size,
                    status == MMDB_FILE_OPEN_ERROR || status == MMDB_IO_ERROR
                        ? std::strerror(saved)
                        : MMDB_strerror(status));
    }
    reason = db.mmdb.file_size == st.st_size && same_database(db.mmdb, facts)
                 ? take_private_copy(db, fd, facts)
                 : "The file changed while it was being opened";
    close(fd);
    if (reason == nullptr) reason = reserve_runs(db);
    if (reason != nullptr) {
        close_database(db);
        return fail(why, why_size, reason);
    }
    return true;
}

void open_database(GeoDb &db, const char *path) {
    char why[256];
    if (!load_database(db, path, why, sizeof why))
        errx(1, "Can't open database (%s): %s", path, why);
}

void close_database(GeoDb &db) {
    // MMDB_close unmaps the file's length; the copy's region is longer.
    void *copy = const_cast<std::uint8_t *>(db.mmdb.file_content);
    MMDB_close(&db.mmdb);
    if (db.copy_size > 0) munmap(copy, db.copy_size);
    db.copy_size = 0;
    if (db.runs != nullptr) munmap(db.runs, db.runs_size);
    db.runs = nullptr;
    db.run_capacity = 0;
    db.runs_size = 0;
    db.runs_ready = 0;
}

namespace {

// Paths as arrays rather than the variadic call, which allocates a copy of
// the path on every query.
const char *const COUNTRY_PATH[] = {"country", "iso_code", nullptr};
const char *const CONTINENT_PATH[] = {"continent", "code", nullptr};
const char *const NO_PATH[] = {nullptr};

// A query for one code: MMDB_SUCCESS with `code` set (-1 when the value is
// not a table code), or the library's status. Only a successful query is
// matched: on corrupt data libmaxminddb 1.7.1 can fail with the value half
// filled in (has_data set, a string type, a pointer that points nowhere).
template <std::size_t N>
int query_code(MMDB_entry_s &entry, const char *const *path,
               const std::array<std::string_view, N> &codes, std::int16_t &code) {
    MMDB_entry_data_s data{};
    const int status = MMDB_aget_value(&entry, &data, path);
    code = status == MMDB_SUCCESS ? static_cast<std::int16_t>(match_code(data, codes)) : -1;
    return is_corrupt(status) ? status : MMDB_SUCCESS;
}

// What an entry's data says: MMDB_SUCCESS or the status of a corrupt database.
int read_entry(MMDB_entry_s &entry, Location &location) {
    const int status = query_code(entry, COUNTRY_PATH, country_codes, location.country);
    if (status != MMDB_SUCCESS) return status;
    return query_code(entry, CONTINENT_PATH, continent_codes, location.continent);
}

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

bool is_corrupt(int status) {
    return status == MMDB_CORRUPT_SEARCH_TREE_ERROR || status == MMDB_INVALID_DATA_ERROR ||
           status == MMDB_UNKNOWN_DATABASE_FORMAT_ERROR || status == MMDB_OUT_OF_MEMORY_ERROR;
}

int resolve_location(MMDB_s &mmdb, const Address &address, Location &location) {
    location = Location{};
    MMDB_lookup_result_s result;
    const int status = find_entry(mmdb, address, result);
    if (status != MMDB_SUCCESS || !result.found_entry) return status;
    const int read = read_entry(result.entry, location);
    if (read != MMDB_SUCCESS) location = Location{};
    return read;
}

namespace {

int entry_location(GeoDb &db, MMDB_entry_s &entry, Location &location) {
    // A country database has a few hundred distinct entries behind millions
    // of networks: most tree walks end at an entry already read. The first
    // cache is keyed by the record's data offset and spares even the decode
    // of its first byte; the second by the offset of the map the entry
    // stands for, after any pointer: a search in a map is linear in its
    // size, and thousands of records can point at one large map, which is
    // then searched once, not once each.
    const std::uint64_t record_key = std::uint64_t{entry.offset} + 1;
    GeoEntrySlot &record = db.caches.records[(entry.offset * 0x9E3779B1u) >> (32 - GEO_ENTRY_BITS)];
    if (record.key == record_key) {
        location = record.location;
        return MMDB_SUCCESS;
    }
    location = Location{};
    MMDB_entry_data_s top{};
    const int status = MMDB_aget_value(&entry, &top, NO_PATH);
    if (status != MMDB_SUCCESS) return is_corrupt(status) ? status : MMDB_SUCCESS;
    const std::uint64_t key = std::uint64_t{top.offset} + 1;
    GeoEntrySlot &slot = db.caches.entries[(top.offset * 0x9E3779B1u) >> (32 - GEO_ENTRY_BITS)];
    if (slot.key != key) {
        MMDB_entry_s map{entry.mmdb, top.offset};
        const int read = read_entry(map, location);
        if (read != MMDB_SUCCESS) {
            location = Location{}; // the country may have been read
            return read;
        }
        slot.key = key;
        slot.location = location;
    }
    location = slot.location;
    record.key = record_key;
    record.location = location;
    return MMDB_SUCCESS;
}

} // namespace

namespace {

// ---------------------------------------------------------------- IPv4 table

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
// two entry records; this halved the cost of flattening a /16.
Record child(const MMDB_s &mmdb, std::uint64_t node, unsigned bit) {
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
int leaf_location(GeoDb &db, const Record &record, Location &location) {
    location = Location{};
    if (record.type == MMDB_RECORD_TYPE_EMPTY) return MMDB_SUCCESS;
    if (record.type != MMDB_RECORD_TYPE_DATA) return MMDB_CORRUPT_SEARCH_TREE_ERROR;
    const auto offset = static_cast<std::uint32_t>(record.value - db.mmdb.metadata.node_count -
                                                   DATA_SECTION_SEPARATOR);
    MMDB_entry_s entry{&db.mmdb, offset};
    return entry_location(db, entry, location);
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

std::uint8_t packed(std::int16_t index) {
    return index < 0 ? GEO_NONE : static_cast<std::uint8_t>(index);
}

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
void ready_runs(GeoDb &db, std::size_t end) {
    const std::size_t bytes =
        std::min((end + 1 + GEO_INDEX_SLOTS + GEO_LINE_SLOTS) * sizeof(GeoRun), db.runs_size);
    if (bytes > db.runs_ready) ready_more_runs(db, bytes);
}

// Flattens the /16 `high`: walks 16 bits down from the IPv4 root, then the
// subtree below in address order, appending runs after a header slot at
// `first`. Returns MMDB_SUCCESS with the /16's word, or the status of a
// corrupt tree. PERF: GeoLite2-Country's 65536 /16s (261000 runs) take
// about 20 ms in all, built as the log reaches them.
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
    while (depth > 0) {
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
                if (end == first + 1 || db.runs[end - 1].country != GEO_DEEPER)
                    db.runs[end++] =
                        GeoRun{static_cast<std::uint16_t>(p.start), GEO_DEEPER, GEO_DEEPER};
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
        Location location;
        const int status = leaf_location(db, p.record, location);
        if (status != MMDB_SUCCESS) return status;
        const GeoRun run{static_cast<std::uint16_t>(p.start), packed(location.country),
                         packed(location.continent)};
        if (end > first + 1 && db.runs[end - 1].country == run.country &&
            run.country != GEO_DEEPER && db.runs[end - 1].continent == run.continent)
            continue; // the same answer goes on
        db.runs[end++] = run;
    }
    const std::size_t count = end - first - 1;
    if (count == 1) {
        word = GEO_PREFIX_ANSWER | std::uint32_t{db.runs[first + 1].continent} << 8 |
               db.runs[first + 1].country;
        return MMDB_SUCCESS;
    }
    std::uint8_t flags = GEO_NONE;
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
        flags = GEO_INDEXED;
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
    db.runs[header] = GeoRun{static_cast<std::uint16_t>(count), flags, GEO_NONE};
    c.run_count = end;
    word = static_cast<std::uint32_t>(header + 1) | (flags == GEO_INDEXED ? GEO_PREFIX_INDEXED : 0);
    return MMDB_SUCCESS;
}

// ---------------------------------------------------------------- IPv6 walk

// An IPv6 address walked in place from the record its /16 leads to, found
// once per /16. PERF: the library's lookup plus its checks cost about 400 ns
// per address on the uniform log; this walk reads 13 to 40 records.
int ipv6_location(GeoDb &db, const Address &address, Location &location) {
    location = Location{};
    // The library refuses IPv6 lookups in an IPv4 tree: no answer.
    if (db.mmdb.metadata.ip_version != 6) return MMDB_SUCCESS;
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
    return leaf_location(db, record, location);
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

Location unpacked(std::uint8_t country, std::uint8_t continent) {
    Location location;
    if (country != GEO_NONE) location.country = country;
    if (continent != GEO_NONE) location.continent = continent;
    return location;
}

// The answer a GeoCaches::ipv4_short entry of GEO_SHORT_ANSWER or more names.
Location short_answer(std::uint16_t entry) {
    Location location;
    if ((entry & 0xff) != GEO_NONE) location.country = static_cast<std::int16_t>(entry & 0xff);
    if ((entry >> 8 & 7) != GEO_SHORT_NO_CONTINENT)
        location.continent = static_cast<std::int16_t>(entry >> 8 & 7);
    return location;
}

// An answer packed in a word: country in bits 0-7, continent in bits 8-15.
Location packed_answer(std::uint32_t word) {
    return unpacked(static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8));
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
// (the first must).
const GeoRun *search_runs(const GeoRun *run, std::size_t count, std::uint16_t low) {
    // PERF: branch-free halving; GeoLite2-Country's lists hold 2 to 4000
    // runs, most under 16 (one cache line); longer lists narrow the search
    // by their index first.
    while (count > 1) {
        const std::size_t half = count / 2;
        run = run[half].start <= low ? run + half : run;
        count -= half;
    }
    return run;
}

// The run of a /16's list that holds an address: the last that starts at
// or below its low 16 bits (the first run starts at 0).
const GeoRun *find_run(const GeoRun *arena, std::uint32_t word, std::uint16_t low) {
    const GeoRun *header = arena + ((word & ~GEO_PREFIX_INDEXED) - 1);
    std::size_t first = 0;
    std::size_t count = header->start;
    if ((word & GEO_PREFIX_INDEXED) != 0) index_range(header, low, first, count);
    return search_runs(header + 1 + first, count, low);
}

// The run that answers for an address from its /16's word (built if need
// be): nullptr when the /16 is left to the tree walk.
const GeoRun *prefix_run(GeoDb &db, std::uint32_t &word, bool ipv6, const unsigned char *b,
                         GeoRun &answer) {
    if (word == 0) {
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
    }
    if (word == GEO_PREFIX_TREE) return nullptr;
    if ((word & GEO_PREFIX_ANSWER) != 0) {
        answer = GeoRun{0, static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
        return &answer;
    }
    return find_run(db.runs, word, static_cast<std::uint16_t>(b[2] << 8 | b[3]));
}

// The GeoCaches::ipv4_short entry for a /16's word.
std::uint16_t short_entry(std::uint32_t word) {
    if (word == GEO_PREFIX_TREE) return 0;
    if ((word & GEO_PREFIX_ANSWER) != 0) {
        static_assert(COUNTRY_COUNT < GEO_NONE && CONTINENT_COUNT <= GEO_SHORT_NO_CONTINENT);
        const unsigned continent = word >> 8 & 0xff;
        return static_cast<std::uint16_t>(
            GEO_SHORT_ANSWER | (continent == GEO_NONE ? GEO_SHORT_NO_CONTINENT : continent) << 8 |
            (word & 0xff));
    }
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

} // namespace

int find_location(GeoDb &db, const Address &address, Location &location) {
    const unsigned char *b = address.bytes;
    const std::size_t high = std::size_t{b[0]} << 8 | b[1];
    if (address.family == AF_INET) {
        // PERF: most IPv4 lookups end here, at one entry of a small table,
        // or go from there straight to their list.
        const std::uint16_t entry = db.caches.ipv4_short[high];
        if (entry >= GEO_SHORT_ANSWER) {
            location = short_answer(entry);
            return MMDB_SUCCESS;
        }
        if (entry != 0) {
            const GeoRun *run =
                find_run(db.runs, static_cast<std::uint32_t>((entry - 1) * GEO_LINE_SLOTS + 1),
                         static_cast<std::uint16_t>(b[2] << 8 | b[3]));
            location = unpacked(run->country, run->continent);
            return MMDB_SUCCESS;
        }
    }
    if (db.runs != nullptr && (address.family == AF_INET || db.mmdb.metadata.ip_version == 6)) {
        // PERF: one read of the /16's word for most addresses, a halving
        // search in one or two cache lines for the others.
        const bool ipv6 = address.family == AF_INET6;
        if (ipv6 && is_mapped(b) && mapped_to_ipv4(db)) {
            return find_location(db, mapped_ipv4(b), location);
        }
        std::uint32_t &word = (ipv6 ? db.caches.ipv6_prefixes : db.caches.ipv4_prefixes)[high];
        GeoRun answer;
        const GeoRun *run = prefix_run(db, word, ipv6, b, answer);
        if (!ipv6) db.caches.ipv4_short[high] = short_entry(word);
        if (run != nullptr && run->country != GEO_DEEPER) {
            location = unpacked(run->country, run->continent);
            return MMDB_SUCCESS;
        }
        if (ipv6) return ipv6_location(db, address, location);
    }
    if (address.family == AF_INET6) return ipv6_location(db, address, location); // an IPv4 tree: no answer
    // A /16 the tables refused: the library's lookup.
    location = Location{};
    MMDB_lookup_result_s result;
    int status = find_entry(db.mmdb, address, result);
    if (status == MMDB_SUCCESS && result.found_entry)
        status = entry_location(db, result.entry, location);
    if (status != MMDB_SUCCESS) location = Location{};
    return status;
}

namespace {

void count_location(const Location &location, Results &results) {
    if (location.country >= 0) ++results.countries[location.country];
    if (location.continent >= 0) ++results.continents[location.continent];
}

void count_lookup(GeoDb &db, const Address &address, Results &results) {
    Location location;
    const int status = find_location(db, address, location);
    // A corrupt database would give answers that look like absent countries.
    if (status != MMDB_SUCCESS)
        errx(1, "Can't read database (%s): %s", db.path, MMDB_strerror(status));
    count_location(location, results);
}

// A queued lookup that its IPv4 short entry did not answer, between the
// passes of count_queued.
struct GeoStaged {
    const GeoRun *run; // the list's header, then the first run that may hold `low`
    std::uint32_t count;
    std::uint16_t low;  // the key searched for
    std::uint16_t slot; // in GeoDb::queued
    std::uint8_t state;
};
inline constexpr std::uint8_t GEO_STAGED_DIRECT = 0; // left to find_location
inline constexpr std::uint8_t GEO_STAGED_LIST = 1;
inline constexpr std::uint8_t GEO_STAGED_INDEXED = 2; // the index precedes `run`
inline constexpr std::uint8_t GEO_STAGED_DONE = 3;

// Pass 2 of count_queued: where a lookup that its IPv4 short entry did not
// answer goes. Answers that need nothing more than a /16's word are counted
// at once; lists are asked for; anything else is left to find_location, in
// order, in the last pass.
void stage(GeoDb &db, GeoStaged &s, Results &results) {
    Address &q = db.queued[s.slot];
    s.state = GEO_STAGED_DIRECT;
    if (q.family == AF_INET6) {
        if (db.runs == nullptr || db.mmdb.metadata.ip_version != 6) return;
        // An IPv4-mapped address is its IPv4 address where the tree leads
        // it there (dual-stack servers log every IPv4 client so).
        if (is_mapped(q.bytes)) {
            if (!mapped_to_ipv4(db)) return;
            q = mapped_ipv4(q.bytes);
        }
    }
    const unsigned char *b = q.bytes;
    const std::size_t high = std::size_t{b[0]} << 8 | b[1];
    s.low = static_cast<std::uint16_t>(b[2] << 8 | b[3]);
    std::uint32_t word;
    if (q.family == AF_INET) {
        const std::uint16_t entry = db.caches.ipv4_short[high];
        if (entry >= GEO_SHORT_ANSWER) { // a /16 built since pass 1
            count_location(short_answer(entry), results);
            s.state = GEO_STAGED_DONE;
            return;
        }
        if (entry != 0) {
            s.run = db.runs + (entry - 1) * GEO_LINE_SLOTS;
            s.state = GEO_STAGED_LIST;
            __builtin_prefetch(s.run);
            return;
        }
        // A /16 not built yet, or one whose list only its word can name
        // (an indexed one, most often).
        word = db.caches.ipv4_prefixes[high];
    } else {
        word = db.caches.ipv6_prefixes[high];
    }
    if (word == 0 || word == GEO_PREFIX_TREE) return;
    if ((word & GEO_PREFIX_ANSWER) != 0) {
        count_location(packed_answer(word), results);
        s.state = GEO_STAGED_DONE;
        return;
    }
    s.run = db.runs + ((word & ~GEO_PREFIX_INDEXED) - 1);
    if ((word & GEO_PREFIX_INDEXED) != 0) {
        s.state = GEO_STAGED_INDEXED;
        __builtin_prefetch(reinterpret_cast<const unsigned char *>(s.run - GEO_INDEX_SLOTS) +
                           2 * (s.low >> 8));
        return;
    }
    s.state = GEO_STAGED_LIST;
    __builtin_prefetch(s.run);
}

// Pass 3: a list's lookup becomes the range of runs to search, the runs an
// index names or the whole list (at most GEO_INDEX_MIN runs), and the cache
// lines the search will read are asked for.
void narrow(GeoStaged &s) {
    if (s.state != GEO_STAGED_LIST && s.state != GEO_STAGED_INDEXED) return;
    std::size_t first = 0;
    std::size_t count = s.run->start;
    if (s.state == GEO_STAGED_INDEXED) index_range(s.run, s.low, first, count);
    s.run += 1 + first;
    s.count = static_cast<std::uint32_t>(count);
    // Every line of the range: pass 2 asked only for an index's line or a
    // list's first.
    const auto line = [](const GeoRun *run) { return reinterpret_cast<std::uintptr_t>(run) / 64; };
    for (std::uintptr_t at = line(s.run); at <= line(s.run + count - 1); ++at)
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
        // here, at random.
        const Address &q = db.queued[i];
        const unsigned ipv4 = q.family == AF_INET;
        const unsigned answered = (entry_of(q) >> 15) & ipv4;
        const unsigned entry = entry_of(q) | (answered - 1); // all ones unless answered
        ++db.answer_hits[entry & 0x7ff];
        staged[rest].slot = static_cast<std::uint16_t>(i);
        rest += answered ^ 1;
    }
    for (unsigned k = 0; k < rest; ++k)
        stage(db, staged[k], results);
    for (unsigned k = 0; k < rest; ++k)
        narrow(staged[k]);
    for (unsigned k = 0; k < rest; ++k) {
        const GeoStaged &s = staged[k];
        if (s.state == GEO_STAGED_DONE) continue;
        const Address &q = db.queued[s.slot];
        if (s.state != GEO_STAGED_DIRECT) {
            const GeoRun *run = search_runs(s.run, s.count, s.low);
            if (run->country != GEO_DEEPER) {
                count_location(unpacked(run->country, run->continent), results);
                continue;
            }
        }
        count_lookup(db, q, results);
    }
}

void flush_locations(GeoDb &db, Results &results) {
    count_queued(db, results);
    for (std::size_t key = 0; key < db.answer_hits.size(); ++key) {
        const std::uint64_t hits = db.answer_hits[key];
        if (hits == 0) continue;
        // Keys are the low bits of short entries, so short_answer reads them.
        const Location location = short_answer(static_cast<std::uint16_t>(key));
        if (location.country >= 0) results.countries[location.country] += hits;
        if (location.continent >= 0) results.continents[location.continent] += hits;
        db.answer_hits[key] = 0;
    }
}

} // namespace vestrel
