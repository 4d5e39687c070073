// Country and continent of client addresses from a MaxMind DB database.
//
// The database is memory-mapped for the whole run and only read. Each lookup
// counts at most one country and one continent, each decided by itself: a
// value counts only when it is a UTF-8 string of at least two bytes whose
// first two bytes equal a table code (case-sensitive). A direct-mapped cache
// of recent answers, keyed by the full binary address, spares repeat visitors
// the tree walk; it changes no count.
#pragma once

#include "parse.h"
#include "results.h"

#include <array>
#include <cstdint>
#include <maxminddb.h>

namespace vestrel {

inline constexpr const char *DEFAULT_GEOIP_DB = "/usr/local/share/dbip/dbip-country-lite.mmdb";

// The answer for one address: indexes into country_codes and
// continent_codes, -1 where the database gives none.
struct Location {
    std::int16_t country = -1;
    std::int16_t continent = -1;
};

struct GeoCacheSlot {
    Address address; // family 0: the slot is empty
    Location location;
};

inline constexpr std::size_t GEO_CACHE_SLOTS = 4096;

struct GeoDb {
    MMDB_s mmdb{};
    std::array<GeoCacheSlot, GEO_CACHE_SLOTS> cache{};
};

// Opens `path` memory-mapped. On failure writes "Can't open database (PATH)"
// with the reason to standard error and ends the process with status 1.
void open_database(GeoDb &db, const char *path);

// Unmaps the database.
void close_database(GeoDb &db);

// What the database says of one address, without the cache: the lookup of
// the binary address, then the "country"/"iso_code" and "continent"/"code"
// values matched against the tables.
Location resolve_location(MMDB_s &mmdb, const Address &address);

// Counts the address's country and continent in `results`. `hash` is any
// hash of the address text (the visitor hash); it only picks the cache slot.
void lookup_location(GeoDb &db, const Address &address, std::uint32_t hash, Results &results);

// Matches an entry-data value against a table of two-letter codes: the index
// of the code equal to the value's first two bytes, or -1 when the value is
// absent, not a UTF-8 string, shorter than two bytes or not in the table.
template <std::size_t N>
int match_code(const MMDB_entry_data_s &data, const std::array<std::string_view, N> &codes);

} // namespace vestrel
