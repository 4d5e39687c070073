// Differential: the fast paths in src/ against the plain definitions in
// tests/reference (getline, strtok, inet_pton, strtoll, MMDB_lookup_string).
// The input is a whole log. Each of its lines is split by both and every
// field, date part, request part, address and number must agree; then the
// whole log is tallied by both (fixture database attached) and the two
// records must be equal in every count. The fast tally reads the log as the
// input's read plan says (fuzz::read_plan): in blocks of a byte to beyond
// its size, from a file or a pipe, so that lines longer than the block are
// compared through the bounded path.
#include "common.h"
#include "tally.h"
#include "reference/reference.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace vestrel;

namespace {

// Sketch precision for both tallies: the two share the sketch code, so a
// small one keeps each input cheap and still compares the estimates.
constexpr std::uint8_t DIFF_PRECISION = 8;

// The fast field and the reference field must both be absent, or both
// present at the same offset with the same length.
void same_field(const Field &fast, std::string_view fast_text, const char *ref,
                const char *ref_text) {
    FUZZ_CHECK(fast.has_value() == (ref != nullptr));
    if (!fast) return;
    FUZZ_CHECK(fast->data() - fast_text.data() == ref - ref_text);
    FUZZ_CHECK(fast->size() == std::strlen(ref));
}

void same_number(std::string_view token) {
    const std::string copy(token);
    for (const long long maxval : {23LL, 599LL, static_cast<long long>(INT64_MAX)}) {
        long long expected = 0;
        if (!reference::parse_number(copy.c_str(), 0, maxval, expected)) expected = -1;
        FUZZ_CHECK(parse_number(token, maxval) == expected);
        // The word form, with digits past the token where a load reaches.
        const std::string padded = copy + "99999999";
        FUZZ_CHECK(parse_number(std::string_view(padded.data(), copy.size()), maxval,
                                padded.size()) == expected);
    }
}

void same_address(std::string_view host, MMDB_s *mmdb) {
    const std::string copy(host);
    unsigned char bytes[16] = {};
    const int family = reference::address_family(copy.c_str(), bytes);
    const Address address = parse_address(host);
    FUZZ_CHECK(address.family == family);
    FUZZ_CHECK(address_family(host) == family);
    // The form that loads past the host, as the reader's buffer allows.
    std::string padded = copy;
    padded.resize(copy.size() + 64, '.');
    const Address loaded =
        parse_address(std::string_view(padded.data(), copy.size()), padded.size());
    FUZZ_CHECK(loaded.family == family);
    FUZZ_CHECK(family == 0 || std::memcmp(loaded.bytes, address.bytes, 16) == 0);
    // As the lookup queue takes it: the head alone, then the rest made from
    // the kept text.
    Address head;
    const std::string_view in_padded(padded.data(), copy.size());
    if (!parse_address_head(head, in_padded, padded.size(), VectorLevel::SSE2)) {
        FUZZ_CHECK(head.family == AF_INET6 && std::memcmp(head.bytes, loaded.bytes, 4) == 0);
        finish_address(head, in_padded);
    }
    FUZZ_CHECK(head.family == family);
    FUZZ_CHECK(family == 0 || std::memcmp(head.bytes, address.bytes, 16) == 0);
    // Every wider vector level the machine has, from the same buffer.
    for (const VectorLevel level : {VectorLevel::AVX2, VectorLevel::AVX512}) {
        if (level > cpu_vector_level()) break;
        const Address wide =
            parse_address(std::string_view(padded.data(), copy.size()), padded.size(), level);
        FUZZ_CHECK(wide.family == family);
        FUZZ_CHECK(address_family(std::string_view(padded.data(), copy.size()), padded.size(),
                                  level) == family);
        FUZZ_CHECK(family == 0 || std::memcmp(wide.bytes, address.bytes, 16) == 0);
    }
    if (family == 0) return;
    FUZZ_CHECK(std::memcmp(address.bytes, bytes, family == AF_INET ? 4 : 16) == 0);
    if (mmdb == nullptr) return;
    Location fast;
    FUZZ_CHECK(resolve_location(*mmdb, address, fast) == MMDB_SUCCESS); // the fixture is sound
    const Location ref = reference::locate(*mmdb, copy.c_str());
    FUZZ_CHECK(fast.country == ref.country && fast.continent == ref.continent);
}

void same_split(std::string_view line, MMDB_s *mmdb) {
    std::string buffer(line); // the reference writes into its text
    char *ref_text = buffer.data();
    const LogLine fast = parse_log_line(line);
    const reference::LineFields ref = reference::parse_log_line(ref_text);
    same_field(fast.remote_host, line, ref.remote_host, ref_text);
    same_field(fast.date, line, ref.date, ref_text);
    same_field(fast.request, line, ref.request, ref_text);
    same_field(fast.status, line, ref.status, ref_text);
    same_field(fast.size, line, ref.size, ref_text);

    if (fast.remote_host) same_address(*fast.remote_host, mmdb);
    if (fast.date) {
        const LogDate d = parse_log_date(*fast.date);
        const reference::DateFields rd = reference::parse_log_date(ref.date);
        same_field(d.day, line, rd.day, ref_text);
        same_field(d.month, line, rd.month, ref_text);
        same_field(d.year, line, rd.year, ref_text);
        same_field(d.hour, line, rd.hour, ref_text);
        same_field(d.minute, line, rd.minute, ref_text);
        same_field(d.second, line, rd.second, ref_text);
        if (d.hour) same_number(*d.hour);
        // The hour as the tally reads it (directly in the usual layout).
        long long hour = -1;
        if (rd.hour != nullptr && !reference::parse_number(rd.hour, 0, 23, hour)) hour = -1;
        FUZZ_CHECK(parse_hour(*fast.date) == hour);
    }
    if (fast.request) {
        const RequestLine q = parse_request(*fast.request);
        const reference::RequestFields rq = reference::parse_request(ref.request);
        same_field(q.method, line, rq.method, ref_text);
        same_field(q.protocol, line, rq.protocol, ref_text);
    }
    if (fast.status) same_number(*fast.status);
    if (fast.size) same_number(*fast.size);
    // The parsers on the whole line too: any byte a field may hold is there.
    same_number(line);
    same_address(line, nullptr);
}

struct Pair {
    Tally fast;
    Tally ref;
    GeoDb geo;
    int fd = -1;
};

Pair &shared() {
    static Pair *p = [] {
        auto *q = new Pair;
        for (Tally *t : {&q->fast, &q->ref}) {
            FUZZ_CHECK(create(t->ipv4, DIFF_PRECISION) == 0 && t->ipv4.registers);
            FUZZ_CHECK(create(t->ipv6, DIFF_PRECISION) == 0 && t->ipv6.registers);
        }
        if (fuzz::open_fixture(q->geo)) {
            q->fast.geo = &q->geo;
            q->ref.geo = &q->geo;
        }
        q->fd = memfd_create("fuzz_diff", 0);
        FUZZ_CHECK(q->fd >= 0);
        return q;
    }();
    return *p;
}

void reset(Tally &t) {
    std::memset(t.ipv4.registers, 0, t.ipv4.size);
    std::memset(t.ipv6.registers, 0, t.ipv6.size);
    clear_counters(t.results);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The reference reads text: compressed logs are fuzz_run's.
    if (detect_compression(data, size) != Compression::NONE) return 0;
    Pair &p = shared();
    MMDB_s *mmdb = p.fast.geo != nullptr ? &p.geo.mmdb : nullptr;
    const std::string_view log(reinterpret_cast<const char *>(data), size);

    for (std::size_t start = 0; start < log.size();) {
        const std::size_t nl = log.find('\n', start);
        const std::size_t stop = nl == std::string_view::npos ? log.size() : nl + 1;
        const std::string_view line = log.substr(start, stop - start);
        same_split(line.substr(0, line.find('\0')), mmdb);
        start = stop;
    }

    reset(p.fast);
    reset(p.ref);
    fuzz::clear_caches(p.geo);
    FUZZ_CHECK(fuzz::tally_input(p.fast, p.fd, data, size, fuzz::read_plan(data, size)) == 0);
    finish_totals(p.fast);
    // The reference reads the file (written by tally_input or here).
    FUZZ_CHECK(ftruncate(p.fd, 0) == 0);
    FUZZ_CHECK(pwrite(p.fd, data, size, 0) == static_cast<ssize_t>(size));
    FUZZ_CHECK(lseek(p.fd, 0, SEEK_SET) == 0);
    FILE *file = fdopen(dup(p.fd), "r");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(reference::reference_tally_file(file, p.ref) == 0);
    std::fclose(file);

    const Results &a = p.fast.results;
    const Results &b = p.ref.results;
    FUZZ_CHECK(a.invalid_lines == b.invalid_lines);
    FUZZ_CHECK(a.processed_lines == b.processed_lines);
    FUZZ_CHECK(a.bandwidth == b.bandwidth);
    FUZZ_CHECK(a.hits_total == b.hits_total);
    FUZZ_CHECK(a.hits_ipv4 == b.hits_ipv4);
    FUZZ_CHECK(a.hits_ipv6 == b.hits_ipv6);
    FUZZ_CHECK(a.visits_total == b.visits_total);
    FUZZ_CHECK(a.visits_ipv4 == b.visits_ipv4);
    FUZZ_CHECK(a.visits_ipv6 == b.visits_ipv6);
    FUZZ_CHECK(a.continents == b.continents);
    FUZZ_CHECK(a.countries == b.countries);
    FUZZ_CHECK(a.hours == b.hours);
    FUZZ_CHECK(a.methods == b.methods);
    FUZZ_CHECK(a.protocols == b.protocols);
    FUZZ_CHECK(a.status == b.status);
    FUZZ_CHECK(register_digest(p.fast.ipv4) == register_digest(p.ref.ipv4));
    FUZZ_CHECK(register_digest(p.fast.ipv6) == register_digest(p.ref.ipv6));
    return 0;
}
