// One log line: the splitters, the address and number parsers and the per-line
// tally (with the fixture database attached when it opens, so that the
// geolocation queue and tables are exercised too).
#include "common.h"
#include "tally.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>

using namespace vestrel;
using vestrel::fuzz::check_field;

namespace {

Tally &shared_tally() {
    static Tally *tally = [] {
        auto *t = new Tally;
        FUZZ_CHECK(create(t->ipv4, HLL_PRECISION) == 0 && t->ipv4.registers != nullptr);
        FUZZ_CHECK(create(t->ipv6, HLL_PRECISION) == 0 && t->ipv6.registers != nullptr);
        static GeoDb geo;
        if (fuzz::open_fixture(geo)) t->geo = &geo;
        return t;
    }();
    return *tally;
}

void check_number(std::string_view token, long long maxval) {
    const long long value = parse_number(token, maxval);
    FUZZ_CHECK(value >= -1 && value <= maxval);
    // Whatever is accepted has a digit in it.
    if (value >= 0) FUZZ_CHECK(token.find_first_of("0123456789") != std::string_view::npos);
}

std::uint64_t sum(const auto &counts) {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts)
        total += c;
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char *>(data), size);
    // The splitters take text without NUL bytes: the tally cuts there first.
    const std::string_view text = raw.substr(0, raw.find('\0'));

    const LogLine line = parse_log_line(text);
    check_field(line.remote_host, text, " ");
    check_field(line.date, text, "]");
    check_field(line.request, text, "\"");
    check_field(line.status, text, " ");
    check_field(line.size, text, " \"");
    // strtok order: once one field is absent, every later one is too.
    const Field *order[] = {&line.remote_host, &line.date, &line.request, &line.status, &line.size};
    for (std::size_t i = 1; i < std::size(order); ++i)
        if (!*order[i - 1]) FUZZ_CHECK(!*order[i]);

    if (line.date) {
        const LogDate date = parse_log_date(*line.date);
        check_field(date.day, *line.date, "/");
        check_field(date.month, *line.date, "/");
        check_field(date.year, *line.date, ":");
        check_field(date.hour, *line.date, ":");
        check_field(date.minute, *line.date, ":");
        check_field(date.second, *line.date, " ");
        if (date.hour) check_number(*date.hour, 23);
        // The tally's direct read of the hour must agree with the split.
        FUZZ_CHECK(parse_hour(*line.date) == (date.hour ? parse_number(*date.hour, 23) : -1));
    }
    // The date and request parsers are also run on the whole text, which
    // holds every byte the fields can.
    const LogDate whole_date = parse_log_date(text);
    check_field(whole_date.second, text, " ");
    FUZZ_CHECK(parse_hour(text) == (whole_date.hour ? parse_number(*whole_date.hour, 23) : -1));

    for (const std::string_view request : {line.request.value_or(std::string_view()), text}) {
        const RequestLine r = parse_request(request);
        // Protocol: whatever follows the last space; method: the first word,
        // absent when the request is nothing but spaces.
        FUZZ_CHECK(r.protocol.has_value() == (request.find(' ') != std::string_view::npos));
        FUZZ_CHECK(r.method.has_value() ==
                   (r.protocol && request.find_first_not_of(' ') != std::string_view::npos));
        check_field(r.method, request, " ");
        check_field(r.protocol, request, " ", true);
    }

    for (const std::string_view host : {line.remote_host.value_or(std::string_view()), text}) {
        const Address a = parse_address(host);
        FUZZ_CHECK(a.family == 0 || a.family == AF_INET || a.family == AF_INET6);
        if (a.family == AF_INET) {
            // An IPv4 address leaves the other 12 bytes at zero: the
            // geolocation queue copies all 16.
            FUZZ_CHECK(host.size() >= 7 && host.size() <= 15);
            for (int i = 4; i < 16; ++i)
                FUZZ_CHECK(a.bytes[i] == 0);
        }
        if (a.family == AF_INET6) FUZZ_CHECK(host.size() >= 2 && host.size() <= 45);
    }

    for (const long long maxval : {23LL, 599LL, static_cast<long long>(INT64_MAX), 0LL}) {
        check_number(text, maxval);
        if (line.status) check_number(*line.status, maxval);
        if (line.size) check_number(*line.size, maxval);
    }

    // The tally itself, on the line as read (NUL bytes included): exactly
    // one of invalid, IPv4 hit or IPv6 hit goes up, and nothing counts more
    // than the hits.
    Tally &tally = shared_tally();
    Results before = tally.results;
    tally_line(tally, raw);
    const Results &after = tally.results;
    const std::uint64_t invalid = after.invalid_lines - before.invalid_lines;
    const std::uint64_t hits =
        (after.hits_ipv4 - before.hits_ipv4) + (after.hits_ipv6 - before.hits_ipv6);
    FUZZ_CHECK(invalid + hits == 1);
    FUZZ_CHECK(sum(after.hours) - sum(before.hours) <= hits);
    FUZZ_CHECK(sum(after.methods) - sum(before.methods) <= hits);
    FUZZ_CHECK(sum(after.protocols) - sum(before.protocols) <= hits);
    FUZZ_CHECK(sum(after.status) - sum(before.status) <= hits);
    FUZZ_CHECK(sum(after.countries) - sum(before.countries) <= hits);
    FUZZ_CHECK(sum(after.continents) - sum(before.continents) <= hits);
    FUZZ_CHECK(after.bandwidth >= before.bandwidth && after.bandwidth <= INT64_MAX);
    if (hits == 0) FUZZ_CHECK(after.bandwidth == before.bandwidth);
    // The record is shared by every input: start each from zero bandwidth so
    // that one huge size does not saturate it and hide every later change.
    tally.results.bandwidth = 0;
    return 0;
}
