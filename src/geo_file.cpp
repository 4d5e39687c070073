#include "geo_file.h"

#include "compat.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vestrel {

namespace {

// How far from the end the library looks for the metadata marker.
constexpr std::size_t METADATA_SEARCH_BYTES = 128 * 1024;
constexpr unsigned char METADATA_MARKER[] = {0xab, 0xcd, 0xef, 'M', 'a', 'x', 'M',
                                             'i',  'n',  'd',  '.', 'c', 'o', 'm'};
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
const char *take_private_copy(MMDB_s &mmdb, int fd, const MetadataFacts &before,
                              std::size_t &copy_size) {
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
    copy_size = reserved;
    return nullptr;
}

} // namespace

const char *open_database_file(MMDB_s &mmdb, const char *path, std::size_t &copy_size) {
    copy_size = 0;
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int saved = errno;
        struct stat st {};
        if (saved == ENXIO && stat(path, &st) == 0 && S_ISSOCK(st.st_mode))
            return kind_of_file(st.st_mode);
        return std::strerror(saved);
    }
    struct stat st {};
    MetadataFacts facts;
    int errno_reason;
    const char *reason = check_file(fd, st, facts, errno_reason);
    if (reason == nullptr && errno_reason != 0) reason = std::strerror(errno_reason);
    if (reason != nullptr) {
        close(fd);
        return reason;
    }
    const int status = MMDB_open(path, MMDB_MODE_MMAP, &mmdb);
    if (status != MMDB_SUCCESS) {
        const int saved = errno;
        close(fd);
        // Only a failure to open or read the file has a meaningful errno.
        return status == MMDB_FILE_OPEN_ERROR || status == MMDB_IO_ERROR ? std::strerror(saved)
                                                                         : MMDB_strerror(status);
    }
    reason = mmdb.file_size == st.st_size && same_database(mmdb, facts)
                 ? take_private_copy(mmdb, fd, facts, copy_size)
                 : "The file changed while it was being opened";
    close(fd);
    if (reason != nullptr) close_database_file(mmdb, copy_size);
    return reason;
}

void close_database_file(MMDB_s &mmdb, std::size_t &copy_size) {
    // MMDB_close unmaps the file's length; the copy's region is longer.
    void *copy = const_cast<std::uint8_t *>(mmdb.file_content);
    MMDB_close(&mmdb);
    if (copy_size > 0) munmap(copy, copy_size);
    copy_size = 0;
}

} // namespace vestrel
