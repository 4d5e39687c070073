#include "geo.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vestrel {

template <std::size_t N>
int match_code(const MMDB_entry_data_s &data, const std::array<std::string_view, N> &codes) {
    // The type and length checks keep a hostile or malformed database from
    // making us read a number as a pointer or read past a short string.
    if (!data.has_data || data.type != MMDB_DATA_TYPE_UTF8_STRING || data.data_size < 2) return -1;
    const std::string_view prefix(data.utf8_string, 2);
    return table_index(codes, prefix);
}

template int match_code(const MMDB_entry_data_s &,
                        const std::array<std::string_view, COUNTRY_COUNT> &);
template int match_code(const MMDB_entry_data_s &,
                        const std::array<std::string_view, CONTINENT_COUNT> &);

void open_database(GeoDb &db, const char *path) {
    int status = MMDB_open(path, MMDB_MODE_MMAP, &db.mmdb);
    if (status == MMDB_SUCCESS) return;
    // Only a failure to open or read the file has a meaningful errno; for a
    // file that is not a database the library's own reason says more.
    if (status == MMDB_FILE_OPEN_ERROR || status == MMDB_IO_ERROR)
        err(1, "Can't open database (%s)", path);
    errx(1, "Can't open database (%s): %s", path, MMDB_strerror(status));
}

void close_database(GeoDb &db) {
    MMDB_close(&db.mmdb);
}

Location resolve_location(MMDB_s &mmdb, const Address &address) {
    Location location;
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
    MMDB_lookup_result_s result =
        MMDB_lookup_sockaddr(&mmdb, reinterpret_cast<const sockaddr *>(&storage), &mmdb_error);
    if (mmdb_error != MMDB_SUCCESS || !result.found_entry) return location;

    // A failed query leaves has_data false, which match_code rejects, so the
    // status itself needs no check.
    MMDB_entry_data_s data{};
    MMDB_get_value(&result.entry, &data, "country", "iso_code", nullptr);
    location.country = static_cast<std::int16_t>(match_code(data, country_codes));
    data = MMDB_entry_data_s{};
    MMDB_get_value(&result.entry, &data, "continent", "code", nullptr);
    location.continent = static_cast<std::int16_t>(match_code(data, continent_codes));
    return location;
}

void lookup_location(GeoDb &db, const Address &address, std::uint32_t hash, Results &results) {
    GeoCacheSlot &slot = db.cache[hash & (GEO_CACHE_SLOTS - 1)];
    if (slot.address.family != address.family ||
        std::memcmp(slot.address.bytes, address.bytes, sizeof address.bytes) != 0) {
        slot.address = address;
        slot.location = resolve_location(db.mmdb, address);
    }
    if (slot.location.country >= 0) ++results.countries[slot.location.country];
    if (slot.location.continent >= 0) ++results.continents[slot.location.continent];
}

} // namespace vestrel
