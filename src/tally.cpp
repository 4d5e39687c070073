#include "tally.h"

#include "parse.h"

#include <cstdint>
#include <sys/socket.h>

namespace vestrel {

namespace {

// Applies every deferred count: the queued geolocation lookups and the
// pending sketch inserts.
void flush_deferred_counts(Tally &tally) {
    if (tally.geo != nullptr) flush_locations(*tally.geo, tally.results);
    for (HllUpdate &update : tally.pending)
        apply_update(update);
    tally.pending = no_pending_inserts();
}

// Queues a hit's insert behind the PENDING_INSERTS - 1 before it, applying
// the oldest.
inline void defer_insert(Tally &tally, HllStorage &sketch, std::uint32_t h) {
    const HllUpdate update = register_update(sketch, h);
    __builtin_prefetch(update.reg, 1);
    const unsigned slot = tally.pending_next;
    apply_update(tally.pending[slot]);
    tally.pending[slot] = update;
    tally.pending_next = (slot + 1) % PENDING_INSERTS;
}

// How many bytes from a field's start may be loaded.
std::size_t readable_from(const LogLine &fields, std::string_view field) {
    return static_cast<std::size_t>(fields.readable_end - field.data());
}

// Counts one line from its fields; its sketch insert may stay pending until
// later lines or flush_deferred_counts.
void tally_fields(Tally &tally, const LogLine &fields) {
    Results &r = tally.results;
    if (!fields.remote_host) {
        ++r.invalid_lines;
        return;
    }
    const std::string_view host = *fields.remote_host;
    const std::size_t readable = readable_from(fields, host);
    // The binary form only for the lookup, made where the lookup queue
    // takes it.
    int family;
    if (tally.geo != nullptr) {
        family = parse_into_slot(*tally.geo, host, readable, tally.vector);
    } else {
        family = address_family(host, readable, tally.vector);
    }
    HllStorage *sketch;
    if (family == AF_INET) {
        ++r.hits_ipv4;
        sketch = &tally.ipv4;
    } else if (family == AF_INET6) {
        ++r.hits_ipv6;
        sketch = &tally.ipv6;
    } else {
        ++r.invalid_lines;
        return;
    }
    // An accepted address is at most 45 bytes, well inside the hash's range.
    const auto length = static_cast<std::int32_t>(host.size());
    std::uint32_t h;
    if (length <= MURMUR_SHORT_MAX && readable >= MURMUR_SHORT_LOAD)
        h = murmur3_32_short(host.data(), length, VISITOR_HASH_SEED);
    else if (length <= MURMUR_MEDIUM_MAX && readable >= MURMUR_MEDIUM_LOAD)
        h = murmur3_32_upto<MURMUR_MEDIUM_MAX>(host.data(), length, VISITOR_HASH_SEED);
    else
        h = murmur3_32(host.data(), length, VISITOR_HASH_SEED);
    // PERF: see PENDING_INSERTS.
    defer_insert(tally, *sketch, h);
    if (tally.geo != nullptr) queue_lookup(*tally.geo, r);

    if (fields.date) {
        const long long hour = parse_hour(*fields.date);
        if (hour >= 0) ++r.hours[hour];
    }
    if (fields.request) {
        const RequestLine request = parse_request(*fields.request);
        if (request.method) {
            const int i =
                method_table.find(*request.method, readable_from(fields, *request.method));
            if (i >= 0) ++r.methods[i];
        }
        if (request.protocol) {
            const int i =
                protocol_table.find(*request.protocol, readable_from(fields, *request.protocol));
            if (i >= 0) ++r.protocols[i];
        }
    }
    if (fields.status) {
        const std::string_view status = *fields.status;
        const unsigned d0 = static_cast<unsigned char>(status[0] - '0');
        if (status.size() == 3 && d0 <= 9) {
            // The usual three digits, read as parse_number would read them.
            const unsigned d1 = static_cast<unsigned char>(status[1] - '0');
            const unsigned d2 = static_cast<unsigned char>(status[2] - '0');
            const unsigned code = d0 * 100 + d1 * 10 + d2;
            if (d1 <= 9 && d2 <= 9 && code < STATUS_COUNT) ++r.status[code];
        } else {
            const long long code =
                parse_number(status, STATUS_COUNT - 1, readable_from(fields, status));
            if (code >= 0) ++r.status[code];
        }
    }
    if (fields.size) {
        const long long size =
            parse_number(*fields.size, INT64_MAX, readable_from(fields, *fields.size));
        if (size >= 0) add_bandwidth(r, static_cast<std::uint64_t>(size));
    }
}

// Counts one line whose text holds no NUL byte.
void tally_text(Tally &tally, std::string_view text, std::size_t readable = 0) {
    tally_fields(tally, parse_log_line(text, readable));
}

} // namespace

void tally_line(Tally &tally, std::string_view line) {
    tally_text(tally, cut_at_nul(line));
    flush_deferred_counts(tally);
}

// Never inlined: inside its caller, the per-line code lost its own inlining
// budget, and the split or the address check became calls (measured: 50
// to 130 more instructions a line).
[[gnu::noinline]] int tally_stream(Tally &tally, int fd, std::size_t block,
                                   DecodeOutcome *outcome) {
    Reader reader;
    if (outcome != nullptr) *outcome = DecodeOutcome{};
    if (open_reader(reader, fd, tally.vector, block) == -1) return -1;
    LineView line;
    int status;
    while ((status = next_line(reader, line)) > 0)
        tally_text(tally, line.text, line.readable);
    flush_deferred_counts(tally);
    if (outcome != nullptr) *outcome = reader.decoder.outcome;
    close_reader(reader);
    return status;
}

void finish_totals(Tally &tally) {
    Results &r = tally.results;
    r.hits_total = r.hits_ipv4 + r.hits_ipv6;
    r.processed_lines = r.hits_total + r.invalid_lines;
    r.visits_ipv4 = static_cast<std::uint64_t>(estimate(tally.ipv4));
    r.visits_ipv6 = static_cast<std::uint64_t>(estimate(tally.ipv6));
    r.visits_total = r.visits_ipv4 + r.visits_ipv6;
}

} // namespace vestrel
