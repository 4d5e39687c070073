// A database file of arbitrary bytes: when load_database accepts it (its
// metadata checks, then libmaxminddb's, then the private copy), every lookup
// of a fixed set of addresses goes through resolve_location, the flattened
// tables' find_location and, separately, MMDB_lookup_string + match_code. A lookup
// may find the database corrupt; it must say so with a corrupt status, and
// where both succeed, the answers must agree.
// (The library is the system's, not instrumented: coverage feedback comes
// from vestrel's side of each lookup only.)
#include "common.h"
#include "geo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sanitizer/lsan_interface.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace vestrel;

namespace {

// Addresses held by the fixture database and their neighbours. Several share
// a /16 (IPv4) or /32 (IPv6) prefix, in an order where a /16 built for one
// answers the next.
constexpr const char *ADDRESSES[] = {
    "77.1.0.1",
    "77.1.255.254",
    "0:4d01::1", // the same first 32 bits as 77.1/16, the other family
    "0:4d01:ffff::5",
    "::ffff:77.1.2.3",
    "2a10::1",
    "2a10:ffff::1",
    "81.2.69.1",
    "81.2.70.1",
    "81.2.69.254",
    "216.160.83.1",
    "216.160.84.1",
    "1.0.16.1",
    "1.0.17.1",
    "89.160.22.1",
    "89.160.25.1",
    "89.160.33.1",
    "89.160.34.1",
    "89.160.35.1",
    "10.0.0.1",
    "0.0.0.0",
    "255.255.255.255",
    "2a02:cf40::1",
    "2a02:cf40:ffff::1",
    "2a02:cf41::1",
    "2a07:1c40:27::1",
    "2a07:1c40:28::1",
    "::ffff:81.2.69.1",
    "::ffff:81.2.70.1",
    "::81.2.69.1",
    "2002:5102:4501::1",
    "2001:0:5102:4501::1",
    "2001:db8::1",
    "::1",
    "::",
    "fe80::1",
    "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
};

int code_at(MMDB_entry_s &entry, const char *key, const char *member, const auto &codes) {
    // A failed query may leave the value half filled (see read_entry in
    // src/geo.cpp): only a successful one is matched.
    MMDB_entry_data_s value{};
    if (MMDB_get_value(&entry, &value, key, member, nullptr) != MMDB_SUCCESS) return -1;
    return match_code(value, codes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const int fd = memfd_create("fuzz_geo", 0);
    FUZZ_CHECK(fd >= 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    static GeoDb db;
    bool opened;
    {
        // libmaxminddb 1.7.1 loses about 4.5 KiB when it rejects a database
        // whose metadata decodes but whose data does not (open status 7,
        // MMDB_INVALID_DATA_ERROR). That leak is the library's and vestrel
        // exits on a failed open, so allocations made inside the call are
        // left out of leak checking. A database that opens is closed below.
        __lsan::ScopedDisabler library_leaks_on_failed_open;
        char why[256];
        opened = load_database(db, path.c_str(), why, sizeof why);
    }
    if (!opened) return 0;
    fuzz::clear_caches(db); // tables built from the last input's database
    // What the queued lookups below must count, when none met corruption.
    Results expected{};
    bool all_found = true;
    for (const char *const &text : ADDRESSES) {
        const Address address = parse_address(text);
        FUZZ_CHECK(address.family != 0);
        Location location;
        const int status = resolve_location(db.mmdb, address, location);
        FUZZ_CHECK(status == MMDB_SUCCESS || is_corrupt(status));
        FUZZ_CHECK(location.country >= -1 && location.country < static_cast<int>(COUNTRY_COUNT));
        FUZZ_CHECK(location.continent >= -1 &&
                   location.continent < static_cast<int>(CONTINENT_COUNT));

        // The tables give what resolve_location says, twice over: first
        // where the lookup builds its /16 (or an earlier one did), then
        // from what is built. A build walks other parts of a corrupt
        // database, so only answers are compared.
        for (int i = 0; i < 2; ++i) {
            Location cached;
            const int cached_status = find_location(db, address, cached);
            FUZZ_CHECK(cached_status == MMDB_SUCCESS || is_corrupt(cached_status));
            if (cached_status != MMDB_SUCCESS) {
                FUZZ_CHECK(cached.country == -1 && cached.continent == -1);
                all_found = false;
            } else if (i == 1) {
                if (cached.country >= 0) ++expected.countries[cached.country];
                if (cached.continent >= 0) ++expected.continents[cached.continent];
            }
            if (cached_status == MMDB_SUCCESS && status == MMDB_SUCCESS) {
                FUZZ_CHECK(cached.country == location.country);
                FUZZ_CHECK(cached.continent == location.continent);
            }
        }
        if (status != MMDB_SUCCESS) continue;

        // The text lookup finds the same record (IPv4 text in an IPv6 tree
        // goes to ::a.b.c.d, as an AF_INET sockaddr does).
        int gai_error = 0;
        int mmdb_error = MMDB_SUCCESS;
        MMDB_lookup_result_s result = MMDB_lookup_string(&db.mmdb, text, &gai_error, &mmdb_error);
        if (gai_error != 0 || mmdb_error != MMDB_SUCCESS || !result.found_entry) {
            FUZZ_CHECK(location.country == -1 && location.continent == -1);
            continue;
        }
        FUZZ_CHECK(code_at(result.entry, "country", "iso_code", country_codes) == location.country);
        FUZZ_CHECK(code_at(result.entry, "continent", "code", continent_codes) ==
                   location.continent);
    }

    // The batch path (the queue's passes, the staged searches, the head
    // parse and its finishing) over the tables just built counts what the
    // lookups one at a time found. Only where none met corruption: a
    // corrupt lookup in the batch ends the process, as in a run.
    if (all_found) {
        Results counted{};
        for (const char *const &text : ADDRESSES) {
            // The text inside a line, as the queue takes it from one.
            char line[ADDRESS_HEAD_TEXT + 64] = {};
            const std::size_t length = std::strlen(text);
            std::memcpy(line, text, length);
            line[length] = ' ';
            FUZZ_CHECK(parse_into_slot(db, std::string_view(line, length), sizeof line,
                                       cpu_vector_level()) != 0);
            queue_lookup(db, counted);
        }
        flush_locations(db, counted);
        FUZZ_CHECK(counted.countries == expected.countries);
        FUZZ_CHECK(counted.continents == expected.continents);
    }
    close_database(db);
    return 0;
}
