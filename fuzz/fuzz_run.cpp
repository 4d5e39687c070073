// A whole log: the reader's line splitting, the tally, the totals and the
// report, with the fixture database attached as -g would. The input also
// picks how it is read (fuzz::read_plan): blocks of a byte to beyond its
// size, from a file or a pipe, so lines longer than the block take the
// bounded path; with which vector level; and whether it is read as it is or
// gzipped or zstd-compressed here first (a quarter of the inputs each), so
// that the decoders hand the same text out in every way a read can cut it.
// An input that is itself compressed data (the seeds hold some, whole and
// corrupt) goes to a decoder as it is: it must give a report or a decode
// error, never a crash.
#include "common.h"
#include "tally.h"
#include "report.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

using namespace vestrel;

namespace {

// Line handling does not depend on the sketch precision; a small one keeps an
// input cheap (two 1 MiB sketches to clear and estimate would dominate).
// fuzz_hll covers every precision.
constexpr std::uint8_t RUN_PRECISION = 12;

struct Shared {
    Tally tally;
    GeoDb geo;
    int fd = -1;
};

Shared &shared() {
    static Shared *s = [] {
        auto *p = new Shared;
        FUZZ_CHECK(create(p->tally.ipv4, RUN_PRECISION) == 0 && p->tally.ipv4.registers);
        FUZZ_CHECK(create(p->tally.ipv6, RUN_PRECISION) == 0 && p->tally.ipv6.registers);
        if (fuzz::open_fixture(p->geo)) p->tally.geo = &p->geo;
        p->fd = memfd_create("fuzz_run", 0);
        FUZZ_CHECK(p->fd >= 0);
        return p;
    }();
    return *s;
}

std::uint64_t sum(const auto &counts) {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts)
        total += c;
    return total;
}

// `data` as one gzip member (level from the plan) or one zstd frame.
std::string compressed(const std::uint8_t *data, std::size_t size, bool gzip, unsigned level) {
    std::string out;
    if (gzip) {
        z_stream z{};
        FUZZ_CHECK(deflateInit2(&z, static_cast<int>(level % 10), Z_DEFLATED, 16 + MAX_WBITS, 8,
                                Z_DEFAULT_STRATEGY) == Z_OK);
        out.resize(deflateBound(&z, static_cast<uLong>(size)) + 32);
        z.next_in = const_cast<Bytef *>(data);
        z.avail_in = static_cast<uInt>(size);
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
        out.resize(z.total_out);
        deflateEnd(&z);
    } else {
        out.resize(ZSTD_compressBound(size));
        const std::size_t n = ZSTD_compress(out.data(), out.size(), data, size,
                                            static_cast<int>(1 + level % 5));
        FUZZ_CHECK(!ZSTD_isError(n));
        out.resize(n);
    }
    return out;
}

std::uint64_t report_integer(json_t *root, const char *key, const char *member = nullptr) {
    json_t *value = json_object_get(root, key);
    if (member != nullptr) value = json_object_get(value, member);
    FUZZ_CHECK(json_is_integer(value));
    return static_cast<std::uint64_t>(json_integer_value(value));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Shared &s = shared();
    Tally &tally = s.tally;
    std::memset(tally.ipv4.registers, 0, tally.ipv4.size);
    std::memset(tally.ipv6.registers, 0, tally.ipv6.size);
    fuzz::clear_caches(s.geo); // answers do not change, but each input starts cold
    clear_counters(tally.results);
    tally.results.file_name = "fuzz.log";
    tally.results.file_size = static_cast<std::int64_t>(size);

    const fuzz::ReadPlan plan = fuzz::read_plan(data, size);
    // Each vector level the CPU has reads some of the inputs.
    tally.vector = static_cast<VectorLevel>((plan.seed >> 4) %
                                            (static_cast<unsigned>(cpu_vector_level()) + 1));
    const Compression given = detect_compression(data, size);
    const unsigned pick = (plan.seed >> 12) % 4;
    std::string stored;
    if (pick < 2) stored = compressed(data, size, pick == 0, plan.seed >> 16);
    DecodeOutcome outcome;
    const int status =
        stored.empty()
            ? fuzz::tally_input(tally, s.fd, data, size, plan, &outcome)
            : fuzz::tally_input(tally, s.fd, reinterpret_cast<const std::uint8_t *>(stored.data()),
                                stored.size(), plan, &outcome);
    const int read_errno = errno;
    // Compressed here, the input is the text that counts, in whatever
    // compression the input itself starts with.
    FUZZ_CHECK(outcome.format == (stored.empty() ? given
                                  : pick == 0    ? Compression::GZIP
                                                 : Compression::ZSTD));
    if (!stored.empty() || given == Compression::NONE) {
        FUZZ_CHECK(status == 0);
        FUZZ_CHECK(outcome.error == DecodeError::NONE && !outcome.trailing_garbage);
    } else {
        // Compressed data as given: decoded, or stopped with its cause.
        FUZZ_CHECK(status == 0 || (read_errno == EBADMSG && outcome.error != DecodeError::NONE));
        FUZZ_CHECK(status == -1 || outcome.error == DecodeError::NONE);
        char why[512];
        FUZZ_CHECK(describe_decode_failure(outcome, "fuzz.log", why, sizeof why)[0] != '\0');
        if (status == -1) return 0;
    }
    finish_totals(tally);

    const Results &r = tally.results;
    // Lines are split where getline splits them: after each newline, plus a
    // last line without one (the text of given compressed data is unknown).
    std::uint64_t lines = 0;
    for (std::size_t i = 0; i < size; ++i)
        lines += data[i] == '\n';
    if (size > 0 && data[size - 1] != '\n') ++lines;
    if (!stored.empty() || given == Compression::NONE) FUZZ_CHECK(r.processed_lines == lines);
    FUZZ_CHECK(r.processed_lines == r.hits_total + r.invalid_lines);
    FUZZ_CHECK(r.hits_total == r.hits_ipv4 + r.hits_ipv6);
    FUZZ_CHECK(r.visits_total == r.visits_ipv4 + r.visits_ipv6);
    // One distinct visitor already moves a sketch off zero.
    FUZZ_CHECK((r.visits_ipv4 == 0) == (r.hits_ipv4 == 0));
    FUZZ_CHECK((r.visits_ipv6 == 0) == (r.hits_ipv6 == 0));
    for (const std::uint64_t counted : {sum(r.hours), sum(r.methods), sum(r.protocols),
                                        sum(r.status), sum(r.countries), sum(r.continents)})
        FUZZ_CHECK(counted <= r.hits_total);
    FUZZ_CHECK(r.bandwidth <= INT64_MAX);
    if (r.hits_total == 0) FUZZ_CHECK(r.bandwidth == 0);

    char *text = build_report(r);
    FUZZ_CHECK(text != nullptr);
    json_error_t error;
    json_t *root = json_loads(text, 0, &error);
    FUZZ_CHECK(root != nullptr);
    FUZZ_CHECK(report_integer(root, "processed_lines") == r.processed_lines);
    FUZZ_CHECK(report_integer(root, "invalid_lines") == r.invalid_lines);
    FUZZ_CHECK(report_integer(root, "bandwidth") == r.bandwidth);
    FUZZ_CHECK(report_integer(root, "hits", "total") == r.hits_total);
    FUZZ_CHECK(report_integer(root, "visits", "total") == r.visits_total);
    FUZZ_CHECK(std::strcmp(json_string_value(json_object_get(root, "file_name")), "fuzz.log") == 0);
    json_decref(root);
    std::free(text);
    return 0;
}
