#include "geo.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

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

void open_database(GeoDb &db, const char *path) {
    int status = MMDB_open(path, MMDB_MODE_MMAP, &db.mmdb);
    if (status == MMDB_SUCCESS) return;
    // Only a failure to open or read the file has a meaningful errno; for a
    // file that is not a database the library's own reason says more.
    if (status == MMDB_FILE_OPEN_ERROR || status == MMDB_IO_ERROR) {
        // Mapping an empty file or a directory fails with errors that say
        // little ("Invalid argument", "No such device"): name the cause.
        const int saved = errno;
        struct stat st {};
        if (status == MMDB_IO_ERROR && stat(path, &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                errno = EISDIR;
                err(1, "Can't open database (%s)", path);
            }
            if (st.st_size == 0) errx(1, "Can't open database (%s): The file is empty", path);
        }
        errno = saved;
        err(1, "Can't open database (%s)", path);
    }
    errx(1, "Can't open database (%s): %s", path, MMDB_strerror(status));
}

void close_database(GeoDb &db) {
    MMDB_close(&db.mmdb);
}

namespace {

// What an entry's data says; the data of one entry never changes.
Location read_entry(MMDB_entry_s &entry) {
    // Path arrays rather than the variadic call, which allocates a copy of
    // the path on every query. Only a successful query is matched: on corrupt
    // data libmaxminddb 1.7.1 can fail with the value half filled in
    // (has_data set, a string type, a pointer that points nowhere).
    static const char *const country_path[] = {"country", "iso_code", nullptr};
    static const char *const continent_path[] = {"continent", "code", nullptr};
    Location location;
    MMDB_entry_data_s data{};
    if (MMDB_aget_value(&entry, &data, country_path) == MMDB_SUCCESS)
        location.country = static_cast<std::int16_t>(match_code(data, country_codes));
    data = MMDB_entry_data_s{};
    if (MMDB_aget_value(&entry, &data, continent_path) == MMDB_SUCCESS)
        location.continent = static_cast<std::int16_t>(match_code(data, continent_codes));
    return location;
}

// The tree walk for one address: found_entry false when the database holds
// no network for it or the lookup fails.
MMDB_lookup_result_s find_entry(MMDB_s &mmdb, const Address &address) {
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
    if (mmdb_error != MMDB_SUCCESS) result.found_entry = false;
    return result;
}

} // namespace

Location resolve_location(MMDB_s &mmdb, const Address &address) {
    MMDB_lookup_result_s result = find_entry(mmdb, address);
    return result.found_entry ? read_entry(result.entry) : Location{};
}

namespace {

// The network cache holds answers for whole /16 (IPv4) or /32 (IPv6)
// prefixes, filled only from lookups whose network is at least that large:
// every address under such a prefix walks the same tree path to the same
// entry. Country databases are mostly made of such networks, so a first
// visit from a known network needs no tree walk.
constexpr unsigned IPV4_NET_BITS = 16;
constexpr unsigned IPV6_NET_BITS = 32;

std::uint32_t network_key(const Address &address) {
    const unsigned char *b = address.bytes;
    return address.family == AF_INET
               ? static_cast<std::uint32_t>(b[0]) << 8 | b[1]
               : static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
                     static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

// Whether the network found for `address` covers its whole cache prefix.
// The netmask of an IPv4 lookup in an IPv6 database counts the 96 bits of
// the IPv4 subtree's position; a network above that subtree covers every
// IPv4 address.
bool covers_prefix(const MMDB_s &mmdb, const Address &address, unsigned netmask) {
    if (address.family == AF_INET6) return netmask <= IPV6_NET_BITS;
    const unsigned offset = mmdb.metadata.ip_version == 6 ? 96 : 0;
    return netmask <= offset + IPV4_NET_BITS;
}

Location entry_location(GeoDb &db, MMDB_entry_s &entry) {
    // A country database has a few hundred distinct entries behind millions
    // of networks: most tree walks end at an entry already read.
    const std::uint64_t key = std::uint64_t{entry.offset} + 1;
    GeoEntrySlot &slot = db.entries[(entry.offset * 0x9E3779B1u) >> (32 - GEO_ENTRY_BITS)];
    if (slot.key != key) {
        slot.key = key;
        slot.location = read_entry(entry);
    }
    return slot.location;
}

Location locate(GeoDb &db, const Address &address) {
    const std::uint32_t net_key = network_key(address);
    GeoNetSlot &net = db.networks[(net_key * 0x9E3779B1u) >> (32 - GEO_NETWORK_BITS)];
    if (net.family == address.family && net.key == net_key) return net.location;
    MMDB_lookup_result_s result = find_entry(db.mmdb, address);
    if (!result.found_entry) return Location{};
    const Location location = entry_location(db, result.entry);
    if (covers_prefix(db.mmdb, address, result.netmask)) {
        net.family = address.family;
        net.key = net_key;
        net.location = location;
    }
    return location;
}

} // namespace

void lookup_location(GeoDb &db, const Address &address, std::uint32_t hash, Results &results) {
    GeoCacheSlot &slot = db.cache[hash & (GEO_CACHE_SLOTS - 1)];
    if (slot.address.family != address.family ||
        std::memcmp(slot.address.bytes, address.bytes, sizeof address.bytes) != 0) {
        slot.address = address;
        slot.location = locate(db, address);
    }
    if (slot.location.country >= 0) ++results.countries[slot.location.country];
    if (slot.location.continent >= 0) ++results.continents[slot.location.continent];
}

} // namespace vestrel
