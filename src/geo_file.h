// The database file: the checks made before libmaxminddb sees it, and the
// private copy the run reads instead of the library's shared mapping.
//
// libmaxminddb maps the file shared and trusts its metadata: a node count
// near 2^32 wraps its 32-bit size check and the walk reads far outside the
// mapping, and a file rewritten or truncated under the mapping raises SIGBUS
// at the next lookup. So the metadata is checked in 64-bit arithmetic before
// the library sees the file, and once the library has opened it, its mapping
// is replaced by a private copy read from a descriptor held since the check;
// the copy's metadata must then say what the library read. From there on
// nothing the file's owner does reaches the run, and a search node's record
// always lies inside the copy.
//
// Cost: one read of the file and its size in resident memory (2-3 ms and
// 4 MiB for GeoLite2-Country), which the lookups of a large log would have
// paged in anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <maxminddb.h>

namespace vestrel {

// Zero bytes between the search tree and the data section.
inline constexpr std::uint64_t DATA_SECTION_SEPARATOR = 16;

// Opens the database at `path` into `mmdb`: a regular file whose metadata
// describes a search tree and data section that fit inside it, then the
// library's open, then the private copy (read-only, `copy_size` bytes
// mapped). Returns nullptr, or why not (a static text or the system's error
// text, valid until the next call) with nothing left open. Costs one read of
// the file.
const char *open_database_file(MMDB_s &mmdb, const char *path, std::size_t &copy_size);

// Releases what open_database_file opened; `copy_size` 0 once released.
void close_database_file(MMDB_s &mmdb, std::size_t &copy_size);

} // namespace vestrel
