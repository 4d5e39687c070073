// Helpers shared by the fuzz targets: a check that stops the run with the
// failed condition printed, and field checks that every splitter result must
// pass whatever the input.
#pragma once

#include "geo.h"
#include "parse.h"

#include <cstdio>
#include <new>
#include <string_view>

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

// Empties every answer cache of `db` and keeps its open database: a harness
// that opens another database, or wants each input to start cold, calls
// this. Re-creating the caches in place covers whatever they hold.
inline void clear_caches(GeoDb &db) {
    new (&db.caches) GeoCaches{};
}

} // namespace vestrel::fuzz
