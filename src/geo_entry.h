// The entries of a database: what one says of country and continent, as one
// answer code, and the caches that read each entry once.
//
// A value counts only when it is a UTF-8 string of at least two bytes whose
// first two bytes equal a table code (case-sensitive); a shorter value, a
// number or a map counts as no value, each of country and continent decided
// by itself. A query the library fails on corrupt data counts nothing (it
// may leave the value half filled in) and its status is handed on.
//
// Cost: a country database has a few hundred distinct entries behind
// millions of networks, so most reads end in the caches (two tables of 4096
// slots, 64 KiB each); an entry decoded costs three queries of its map.
#pragma once

#include "results.h"

#include <array>
#include <cstdint>
#include <maxminddb.h>
#include <string_view>

namespace vestrel {

// An answer: the country's index in country_codes plus one in bits 0-7,
// the continent's index in continent_codes plus one in bits 8-10; 0 says
// nothing. encode_answer and decode_answer are the only conversions.
using GeoAnswer = std::uint16_t;
inline constexpr unsigned GEO_ANSWER_BITS = 11;
inline constexpr GeoAnswer GEO_NOTHING = 0;
static_assert(COUNTRY_COUNT < 255 && CONTINENT_COUNT < 8, "an answer's fields hold index + 1");

// The answer for a country and a continent index, -1 for none.
constexpr GeoAnswer encode_answer(int country, int continent) {
    return static_cast<GeoAnswer>((country + 1) | (continent + 1) << 8);
}
static_assert(encode_answer(-1, -1) == GEO_NOTHING,
              "nothing is zero: zeroed tables, the batch's uncounted lookups and "
              "GeoDb's image in .bss rely on it");
static_assert(encode_answer(COUNTRY_COUNT - 1, CONTINENT_COUNT - 1) < 1u << GEO_ANSWER_BITS);

// The answer as indexes: -1 where it names none.
struct Location {
    std::int16_t country = -1;
    std::int16_t continent = -1;
};

constexpr Location decode_answer(GeoAnswer answer) {
    return {static_cast<std::int16_t>((answer & 0xff) - 1),
            static_cast<std::int16_t>((answer >> 8 & 7) - 1)};
}

// Matches an entry-data value against a table of two-letter codes: the index
// of the code equal to the value's first two bytes, or -1 when the value is
// absent, not a UTF-8 string, shorter than two bytes or not in the table.
template <std::size_t N>
int match_code(const MMDB_entry_data_s &data, const std::array<std::string_view, N> &codes);

// Whether a libmaxminddb status says the database is corrupt (as opposed to
// "no such network" or "no such value", which only mean no answer).
bool is_corrupt(int status);

// What the entry says: MMDB_SUCCESS with its answer, or the status of a
// corrupt database with GEO_NOTHING.
int read_answer(MMDB_entry_s &entry, GeoAnswer &answer);

// The answer of one database entry, by its offset in the data section.
struct GeoEntrySlot {
    std::uint64_t key = 0; // offset + 1; 0: the slot is empty
    GeoAnswer answer = GEO_NOTHING;
};

// 4096 entries hold the distinct records of a country database (1024 left
// the flattening of GeoLite2-Country's IPv4 space at 26 ms, 4096 at 21 ms).
inline constexpr unsigned GEO_ENTRY_BITS = 12;

// Entries read so far; emptying it changes no answer.
struct GeoEntryCaches {
    std::array<GeoEntrySlot, std::size_t{1} << GEO_ENTRY_BITS> records{}; // by data offset
    std::array<GeoEntrySlot, std::size_t{1} << GEO_ENTRY_BITS> entries{}; // by map offset
    std::uint64_t decoded = 0; // maps read, not found in `entries`
};

// read_answer through the caches: MMDB_SUCCESS with the answer, or the status
// of a corrupt database with GEO_NOTHING (nothing cached then).
int entry_answer(GeoEntryCaches &caches, MMDB_entry_s &entry, GeoAnswer &answer);

} // namespace vestrel
