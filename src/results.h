// The statistics record of one run and the vocabulary tables that give its
// counter arrays their meaning.
//
// Invariants: every counter array has exactly the length of its table (checked
// at compile time below), the tables never change at run time, and entries
// within a table are distinct, so a value matches at most one slot. The record
// is a fixed-size value: counting is one increment of a slot, whatever the
// input, and nothing here allocates.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vestrel {

inline constexpr std::string_view VERSION_TEXT = "Vestrel 2.1.17";

inline constexpr std::size_t METHOD_COUNT = 9;
inline constexpr std::size_t PROTOCOL_COUNT = 4;
inline constexpr std::size_t CONTINENT_COUNT = 7;
inline constexpr std::size_t COUNTRY_COUNT = 250;
inline constexpr std::size_t HOUR_COUNT = 24;
inline constexpr std::size_t STATUS_COUNT = 600;

inline constexpr std::array<std::string_view, METHOD_COUNT> method_names = {
    "GET", "POST", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE", "CONNECT", "PATCH"};
inline constexpr std::array<std::string_view, PROTOCOL_COUNT> protocol_names = {
    "HTTP/1.1", "HTTP/1.0", "HTTP/2.0", "HTTP/3"};
extern const std::array<std::string_view, CONTINENT_COUNT> continent_codes;
extern const std::array<std::string_view, CONTINENT_COUNT> continent_names;
extern const std::array<std::string_view, COUNTRY_COUNT> country_codes;
extern const std::array<std::string_view, COUNTRY_COUNT> country_names;

// Field order and names follow the report; `file_name` borrows the command-line
// argument and is never freed through the record.
struct Results {
    const char *file_name = nullptr;
    std::int64_t file_size = 0;
    std::uint64_t invalid_lines = 0;
    std::uint64_t processed_lines = 0;
    // Saturates at INT64_MAX instead of wrapping (see add_bandwidth).
    std::uint64_t bandwidth = 0;
    std::uint64_t hits_total = 0;
    std::uint64_t hits_ipv4 = 0;
    std::uint64_t hits_ipv6 = 0;
    std::uint64_t visits_total = 0;
    std::uint64_t visits_ipv4 = 0;
    std::uint64_t visits_ipv6 = 0;
    std::array<std::uint64_t, CONTINENT_COUNT> continents{};
    std::array<std::uint64_t, COUNTRY_COUNT> countries{};
    std::array<std::uint64_t, HOUR_COUNT> hours{};
    std::array<std::uint64_t, METHOD_COUNT> methods{};
    std::array<std::uint64_t, PROTOCOL_COUNT> protocols{};
    std::array<std::uint64_t, STATUS_COUNT> status{};
    double runtime = 0.0;
    char date[20] = {};
};

// Clears every field but `file_name` and `file_size`.
void clear_counters(Results &results);

// Adds one accepted response size (0 to INT64_MAX). The report writes the
// total as a signed 64-bit integer, so it stops at INT64_MAX rather than wrap
// into a negative number.
inline void add_bandwidth(Results &results, std::uint64_t size) {
    constexpr std::uint64_t cap = INT64_MAX;
    results.bandwidth = size > cap - results.bandwidth ? cap : results.bandwidth + size;
}

// Index of `value` in `table` by exact comparison, or -1. Used off the
// per-line path (continents, tests); methods and protocols go through
// KeyedTable below.
template <std::size_t N>
constexpr int table_index(const std::array<std::string_view, N> &table, std::string_view value) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == value) return static_cast<int>(i);
    return -1;
}

// A text of at most 8 bytes as one integer, byte i in bits 8i to 8i + 7;
// together with the length it identifies the text exactly.
constexpr std::uint64_t small_key(const char *p, std::size_t n) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < n; ++i)
        key |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return key;
}

// table_index for the per-line tables (methods, protocols), whose entries are
// 1 to 8 bytes. PERF: one integer compare per entry instead of a byte loop or
// a memcmp call: the match runs twice on every line; and with 8 bytes
// loadable from the text (`readable`) its key is one masked load.
template <std::size_t N> struct KeyedTable {
    std::array<std::uint64_t, N> keys{};
    std::array<std::size_t, N> sizes{};

    constexpr explicit KeyedTable(const std::array<std::string_view, N> &table) {
        for (std::size_t i = 0; i < N; ++i) {
            keys[i] = small_key(table[i].data(), table[i].size());
            sizes[i] = table[i].size();
        }
    }

    int find(std::string_view value, std::size_t readable = 0) const {
        const std::size_t n = value.size();
        if (n == 0 || n > 8) return -1;
        std::uint64_t key;
        if (std::endian::native == std::endian::little && readable >= 8) {
            std::memcpy(&key, value.data(), 8);
            key &= ~std::uint64_t{0} >> (8 * (8 - n));
        } else {
            key = small_key(value.data(), n);
        }
        for (std::size_t i = 0; i < N; ++i)
            if (sizes[i] == n && keys[i] == key) return static_cast<int>(i);
        return -1;
    }
};

inline constexpr KeyedTable method_table{method_names};
inline constexpr KeyedTable protocol_table{protocol_names};
static_assert([] {
    for (auto t : method_names)
        if (t.empty() || t.size() > 8) return false;
    for (auto t : protocol_names)
        if (t.empty() || t.size() > 8) return false;
    return true;
}());

} // namespace vestrel
