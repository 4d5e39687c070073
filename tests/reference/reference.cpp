// The unoptimised definition of the per-line tally, kept for tests: see
// reference.h.
#include "reference/reference.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/types.h>

namespace vestrel::reference {

LineFields parse_log_line(char *line) {
    LineFields f;
    if (line[0] == '\0') return f;
    f.remote_host = std::strtok(line, " ");
    std::strtok(nullptr, " ");
    std::strtok(nullptr, "[");
    f.date = std::strtok(nullptr, "]");
    std::strtok(nullptr, "\"");
    f.request = std::strtok(nullptr, "\"");
    f.status = std::strtok(nullptr, " ");
    f.size = std::strtok(nullptr, " \"");
    return f;
}

DateFields parse_log_date(char *date) {
    DateFields d;
    d.day = std::strtok(date, "/");
    d.month = std::strtok(nullptr, "/");
    d.year = std::strtok(nullptr, ":");
    d.hour = std::strtok(nullptr, ":");
    d.minute = std::strtok(nullptr, ":");
    d.second = std::strtok(nullptr, " ");
    return d;
}

RequestFields parse_request(char *request) {
    RequestFields r;
    char *sp = std::strrchr(request, ' ');
    if (sp == nullptr) return r;
    r.protocol = sp + 1;
    r.method = std::strtok(request, " ");
    return r;
}

int address_family(const char *host, unsigned char bytes[16]) {
    if (inet_pton(AF_INET, host, bytes) == 1) return AF_INET;
    if (inet_pton(AF_INET6, host, bytes) == 1) return AF_INET6;
    return 0;
}

bool parse_number(const char *text, long long minval, long long maxval, long long &value) {
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < minval || v > maxval) return false;
    value = v;
    return true;
}

namespace {

// Index of the first code equal to the first two bytes of a string value.
template <std::size_t N>
int first_code(const MMDB_entry_data_s &data, const std::array<std::string_view, N> &codes) {
    if (!data.has_data || data.type != MMDB_DATA_TYPE_UTF8_STRING || data.data_size < 2) return -1;
    for (std::size_t i = 0; i < N; ++i)
        if (codes[i][0] == data.utf8_string[0] && codes[i][1] == data.utf8_string[1])
            return static_cast<int>(i);
    return -1;
}

template <std::size_t N>
int first_name(const std::array<std::string_view, N> &names, const char *value) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == std::string_view(value)) return static_cast<int>(i);
    return -1;
}

} // namespace

Location locate(MMDB_s &mmdb, const char *host) {
    Location location;
    int gai_error = 0;
    int mmdb_error = MMDB_SUCCESS;
    MMDB_lookup_result_s result = MMDB_lookup_string(&mmdb, host, &gai_error, &mmdb_error);
    if (gai_error != 0 || mmdb_error != MMDB_SUCCESS || !result.found_entry) return location;
    // A failed query may leave a half-filled value behind (corrupt data), so
    // only a successful one is read.
    MMDB_entry_data_s data{};
    if (MMDB_get_value(&result.entry, &data, "country", "iso_code", nullptr) == MMDB_SUCCESS)
        location.country = static_cast<std::int16_t>(first_code(data, country_codes));
    data = MMDB_entry_data_s{};
    if (MMDB_get_value(&result.entry, &data, "continent", "code", nullptr) == MMDB_SUCCESS)
        location.continent = static_cast<std::int16_t>(first_code(data, continent_codes));
    return location;
}

void tally_line(ReferenceState &state, char *line) {
    Results &r = state.results;
    const LineFields f = parse_log_line(line);
    if (f.remote_host == nullptr) {
        r.invalid_lines += 1;
        return;
    }
    unsigned char bytes[16];
    const int family = address_family(f.remote_host, bytes);
    HllStorage *sketch = nullptr;
    if (family == AF_INET) {
        r.hits_ipv4 += 1;
        sketch = &state.ipv4;
    } else if (family == AF_INET6) {
        r.hits_ipv6 += 1;
        sketch = &state.ipv6;
    } else {
        r.invalid_lines += 1;
        return;
    }
    vestrel::insert(*sketch, f.remote_host, static_cast<std::int32_t>(std::strlen(f.remote_host)));

    if (state.geo != nullptr) {
        const Location location = locate(state.geo->mmdb, f.remote_host);
        if (location.country >= 0) r.countries[location.country] += 1;
        if (location.continent >= 0) r.continents[location.continent] += 1;
    }

    long long value = 0;
    if (f.date != nullptr) {
        const DateFields d = parse_log_date(f.date);
        if (d.hour != nullptr && parse_number(d.hour, 0, 23, value)) r.hours[value] += 1;
    }
    if (f.request != nullptr) {
        const RequestFields q = parse_request(f.request);
        if (q.method != nullptr) {
            const int i = first_name(method_names, q.method);
            if (i >= 0) r.methods[i] += 1;
        }
        if (q.protocol != nullptr) {
            const int i = first_name(protocol_names, q.protocol);
            if (i >= 0) r.protocols[i] += 1;
        }
    }
    if (f.status != nullptr && parse_number(f.status, 0, 599, value)) r.status[value] += 1;
    if (f.size != nullptr && parse_number(f.size, 0, INT64_MAX, value)) {
        const auto size = static_cast<std::uint64_t>(value);
        if (size > static_cast<std::uint64_t>(INT64_MAX) - r.bandwidth)
            r.bandwidth = INT64_MAX;
        else
            r.bandwidth += size;
    }
}

int reference_tally_file(FILE *file, ReferenceState &state) {
    char *line = nullptr;
    std::size_t capacity = 0;
    while (getline(&line, &capacity, file) != -1)
        tally_line(state, line);
    std::free(line);
    if (std::ferror(file)) return -1;

    Results &r = state.results;
    r.hits_total = r.hits_ipv4 + r.hits_ipv6;
    r.processed_lines = r.hits_total + r.invalid_lines;
    r.visits_ipv4 = static_cast<std::uint64_t>(vestrel::estimate(state.ipv4));
    r.visits_ipv6 = static_cast<std::uint64_t>(vestrel::estimate(state.ipv6));
    r.visits_total = r.visits_ipv4 + r.visits_ipv6;
    return 0;
}

} // namespace vestrel::reference
