#include "geo_entry.h"

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

bool is_corrupt(int status) {
    return status == MMDB_CORRUPT_SEARCH_TREE_ERROR || status == MMDB_INVALID_DATA_ERROR ||
           status == MMDB_UNKNOWN_DATABASE_FORMAT_ERROR || status == MMDB_OUT_OF_MEMORY_ERROR;
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
               const std::array<std::string_view, N> &codes, int &code) {
    MMDB_entry_data_s data{};
    const int status = MMDB_aget_value(&entry, &data, path);
    code = status == MMDB_SUCCESS ? match_code(data, codes) : -1;
    return is_corrupt(status) ? status : MMDB_SUCCESS;
}

} // namespace

int read_answer(MMDB_entry_s &entry, GeoAnswer &answer) {
    answer = GEO_NOTHING;
    int country;
    int continent;
    int status = query_code(entry, COUNTRY_PATH, country_codes, country);
    if (status == MMDB_SUCCESS)
        status = query_code(entry, CONTINENT_PATH, continent_codes, continent);
    if (status == MMDB_SUCCESS) answer = encode_answer(country, continent);
    return status;
}

int entry_answer(GeoEntryCaches &caches, MMDB_entry_s &entry, GeoAnswer &answer) {
    // A country database has a few hundred distinct entries behind millions
    // of networks: most tree walks end at an entry already read. The first
    // cache is keyed by the record's data offset and spares even the decode
    // of its first byte; the second by the offset of the map the entry
    // stands for, after any pointer: a search in a map is linear in its
    // size, and thousands of records can point at one large map, which is
    // then searched once, not once each.
    const std::uint64_t record_key = std::uint64_t{entry.offset} + 1;
    GeoEntrySlot &record = caches.records[(entry.offset * 0x9E3779B1u) >> (32 - GEO_ENTRY_BITS)];
    if (record.key == record_key) {
        answer = record.answer;
        return MMDB_SUCCESS;
    }
    answer = GEO_NOTHING;
    MMDB_entry_data_s top{};
    const int status = MMDB_aget_value(&entry, &top, NO_PATH);
    if (status != MMDB_SUCCESS) return is_corrupt(status) ? status : MMDB_SUCCESS;
    const std::uint64_t key = std::uint64_t{top.offset} + 1;
    GeoEntrySlot &slot = caches.entries[(top.offset * 0x9E3779B1u) >> (32 - GEO_ENTRY_BITS)];
    if (slot.key != key) {
        ++caches.decoded;
        MMDB_entry_s map{entry.mmdb, top.offset};
        const int read = read_answer(map, answer);
        if (read != MMDB_SUCCESS) return read;
        slot.key = key;
        slot.answer = answer;
    }
    answer = slot.answer;
    record.key = record_key;
    record.answer = answer;
    return MMDB_SUCCESS;
}

} // namespace vestrel
