#include "main.h"

#include "compat.h"
#include "longline.h"
#include "parse.h"
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vestrel {

namespace {

constexpr const char *USAGE_TEXT = "vestrel [-ghv] [-d db] logfile\n"
                                   "\n"
                                   "The options are as follows:\n"
                                   "\n"
                                   "\t-d db\tSpecify path to a GeoIP database.\n"
                                   "\t-g\tEnable GeoIP lookups.\n"
                                   "\t-h\tDisplay usage.\n"
                                   "\t-v\tDisplay version.";

// Standard output may be closed or full: a report that did not arrive must
// not end with status 0.
void flush_stdout_or_die() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("Can't write to standard output");
        std::exit(1);
    }
}

[[noreturn]] void print_and_exit(const char *text) {
    std::puts(text);
    flush_stdout_or_die();
    std::exit(0);
}

// The text of a line ends at its first NUL byte.
std::string_view cut_at_nul(std::string_view line) {
    const void *nul = std::memchr(line.data(), '\0', line.size());
    return nul == nullptr ? line
                          : line.substr(0, static_cast<std::size_t>(static_cast<const char *>(nul) -
                                                                    line.data()));
}

void flush_pending_insert(Tally &tally) {
    if (tally.geo != nullptr) flush_locations(*tally.geo, tally.results);
    for (unsigned i = 0; i < PENDING_INSERTS; ++i) {
        if (tally.pending_sketch[i] != nullptr)
            insert_hash(*tally.pending_sketch[i], tally.pending_hash[i]);
        tally.pending_sketch[i] = nullptr;
    }
}

// Queues a hit's insert behind the PENDING_INSERTS - 1 before it, applying
// the oldest.
inline void defer_insert(Tally &tally, HllStorage &sketch, std::uint32_t h) {
    prefetch_register(sketch, h);
    const unsigned slot = tally.pending_next;
    if (tally.pending_sketch[slot] != nullptr)
        insert_hash(*tally.pending_sketch[slot], tally.pending_hash[slot]);
    tally.pending_sketch[slot] = &sketch;
    tally.pending_hash[slot] = h;
    tally.pending_next = (slot + 1) % PENDING_INSERTS;
}

// How many bytes from a field's start may be loaded.
std::size_t readable_from(const LogLine &fields, std::string_view field) {
    return fields.readable_end != nullptr
               ? static_cast<std::size_t>(fields.readable_end - field.data())
               : field.size();
}

// Counts one line from its fields; its sketch insert may stay pending until
// later lines or flush_pending_insert.
void tally_fields(Tally &tally, const LogLine &fields) {
    Results &r = tally.results;
    if (!fields.remote_host) {
        ++r.invalid_lines;
        return;
    }
    const std::string_view host = *fields.remote_host;
    const Address address = parse_address(host, readable_from(fields, host));
    HllStorage *sketch;
    if (address.family == AF_INET) {
        ++r.hits_ipv4;
        sketch = &tally.ipv4;
    } else if (address.family == AF_INET6) {
        ++r.hits_ipv6;
        sketch = &tally.ipv6;
    } else {
        ++r.invalid_lines;
        return;
    }
    // An accepted address is at most 45 bytes, well inside the hash's range.
    const auto length = static_cast<std::int32_t>(host.size());
    const std::uint32_t h =
        length <= MURMUR_SHORT_MAX && readable_from(fields, host) >= MURMUR_SHORT_LOAD
            ? murmur3_32_short(host.data(), length, VISITOR_HASH_SEED)
            : murmur3_32(host.data(), length, VISITOR_HASH_SEED);
    // PERF: see PENDING_INSERTS.
    defer_insert(tally, *sketch, h);
    if (tally.geo != nullptr) lookup_location(*tally.geo, address, h, r);

    if (fields.date) {
        const long long hour = parse_hour(*fields.date);
        if (hour >= 0) ++r.hours[hour];
    }
    if (fields.request) {
        const RequestLine request = parse_request(*fields.request);
        if (request.method) {
            const int i = method_table.find(*request.method);
            if (i >= 0) ++r.methods[i];
        }
        if (request.protocol) {
            const int i = protocol_table.find(*request.protocol);
            if (i >= 0) ++r.protocols[i];
        }
    }
    if (fields.status) {
        const long long code =
            parse_number(*fields.status, STATUS_COUNT - 1, readable_from(fields, *fields.status));
        if (code >= 0) ++r.status[code];
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
    flush_pending_insert(tally);
}

namespace {

// The line that outgrew the read block: its stand-in so far, and whether its
// text still needs bytes (no NUL byte yet, fields outstanding).
struct Overflow {
    LongLine line;
    bool active = false;
    bool wants_text = false;
};

void overflow_feed(Overflow &o, const char *bytes, std::size_t size) {
    if (!o.wants_text) return;
    const std::string_view text = cut_at_nul(std::string_view(bytes, size));
    long_line_feed(o.line, text.data(), text.size());
    o.wants_text = text.size() == size && !long_line_done(o.line);
}

// The first newline in [from, stop), or null.
const char *find_newline(const char *from, const char *stop) {
    return static_cast<const char *>(
        std::memchr(from, '\n', static_cast<std::size_t>(stop - from)));
}

// Waits until a non-blocking descriptor has something to read (or has hung
// up). Returns 0, or -1 with errno set.
int wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) == -1)
        if (errno != EINTR) return -1;
    return 0;
}

// The vector level the reader uses: the CPU's widest, or a narrower one
// named in VESTREL_VECTOR (to compare them, or to rule one out). A level the
// CPU lacks is lowered to the CPU's. An unknown name is refused with the
// known ones and the CPU's level, which is how to learn the latter.
VectorLevel chosen_vector_level() {
    const VectorLevel cpu = cpu_vector_level();
    const char *want = std::getenv("VESTREL_VECTOR");
    if (want == nullptr || *want == '\0') return cpu;
    for (std::size_t i = 0; i < std::size(VECTOR_LEVEL_NAMES); ++i)
        if (std::strcmp(want, VECTOR_LEVEL_NAMES[i]) == 0)
            return std::min(static_cast<VectorLevel>(i), cpu);
    errx(1, "VESTREL_VECTOR must be portable, sse2, avx2 or avx512 (this machine: %s)",
         VECTOR_LEVEL_NAMES[static_cast<std::size_t>(cpu)]);
}

} // namespace

int tally_stream(Tally &tally, int fd, std::size_t block) {
    // buf[0, end) holds unread bytes: at most one partial line once the
    // complete ones are tallied. buf[0, indexed) has been through the newline
    // index: the offsets of its newlines past `line` are
    // newlines[next, count), and buf[0, nul_end) holds each of its NUL bytes
    // (0: none), so lines that start at or past nul_end skip the per-line NUL
    // check. A line costs one pass of the index, not one per read. A line
    // that fills the whole block goes to the bounded path, which takes every
    // later byte of it straight from the reads: the buffer never grows.
    block = std::clamp<std::size_t>(block, 1, MAX_READ_BLOCK);
    // Zeroed, so that every byte the scans may load is defined.
    char *buf = static_cast<char *>(std::calloc(1, block + READ_PADDING));
    auto *newlines = static_cast<std::uint32_t *>(
        std::malloc((INDEX_WINDOW + NEWLINE_INDEX_SLACK) * sizeof(std::uint32_t)));
    if (buf == nullptr || newlines == nullptr) {
        std::free(buf);
        std::free(newlines);
        errno = ENOMEM;
        return -1;
    }
    // PERF: the buffer's pages at once rather than a fault per page (only
    // as far as the usual block: a larger one is a test's).
    prefault(buf, std::min(block, READ_BLOCK) + READ_PADDING);
    Overflow overflow;
    std::size_t end = 0;
    std::size_t indexed = 0;
    std::size_t nul_end = 0;
    int status = 0;
    for (;;) {
        if (end == block) {
            // Rare path: no newline in a whole block.
            if (!overflow.active) {
                long_line_start(overflow.line);
                overflow.active = true;
                overflow.wants_text = true;
            }
            overflow_feed(overflow, buf, end);
            end = indexed = nul_end = 0;
        }
        const ssize_t n = read(fd, buf + end, block - end);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A non-blocking input that is momentarily empty is not at its end.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable(fd) == 0) continue;
            status = -1;
            break;
        }
        if (n == 0) {
            if (overflow.active) {
                overflow_feed(overflow, buf, end);
                tally_text(tally, long_line_text(overflow.line));
            } else if (end > 0) {
                tally_text(tally, cut_at_nul(std::string_view(buf, end)));
            }
            break;
        }
        end += static_cast<std::size_t>(n);

        const char *line = buf;
        if (overflow.active) {
            const char *nl = find_newline(buf + indexed, buf + end);
            const char *piece_end = nl == nullptr ? buf + end : nl + 1;
            overflow_feed(overflow, buf, static_cast<std::size_t>(piece_end - buf));
            if (nl == nullptr) {
                end = indexed = nul_end = 0;
                continue;
            }
            tally_text(tally, long_line_text(overflow.line));
            overflow.active = false;
            line = piece_end;
            indexed = static_cast<std::size_t>(piece_end - buf);
        }
        // The index runs a window ahead of the lines, so that its offsets
        // stay in a small array whatever the lines look like.
        const std::size_t readable = block + READ_PADDING;
        std::size_t count = 0;
        std::size_t next = 0;
        for (;;) {
            if (next == count) {
                if (indexed == end) break;
                const std::size_t to = std::min(indexed + INDEX_WINDOW, end);
                count = index_newlines(tally.vector, buf, indexed, to, newlines, &nul_end);
                next = 0;
                indexed = to;
                continue;
            }
            const char *nl = buf + newlines[next++];
            const std::string_view text(line, static_cast<std::size_t>(nl + 1 - line));
            tally_text(tally, line < buf + nul_end ? cut_at_nul(text) : text,
                       static_cast<std::size_t>(buf + readable - line));
            line = nl + 1;
        }
        // Whatever is left after the last newline is the start of a line.
        const std::size_t done = static_cast<std::size_t>(line - buf);
        const std::size_t rest = end - done;
        if (done > 0 && rest > 0) std::memmove(buf, line, rest);
        end = indexed = rest;
        nul_end = nul_end > done ? nul_end - done : 0;
    }
    flush_pending_insert(tally);
    const int saved = errno;
    std::free(newlines);
    std::free(buf);
    errno = saved;
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

int run(int argc, char **argv) {
    if (pledge("stdio rpath", nullptr) == -1) err(1, "pledge");

    bool geoip_enabled = false;
    const char *db_path = nullptr;
    int ch;
    while ((ch = getopt(argc, argv, OPTION_STRING)) != -1) {
        switch (ch) {
        case 'd':
            db_path = optarg;
            break;
        case 'g':
            geoip_enabled = true;
            break;
        case 'h':
            print_and_exit(USAGE_TEXT);
        case 'v':
            print_and_exit(VERSION_TEXT.data());
        default:
            break; // getopt has already said what was wrong
        }
    }
    if (optind >= argc) print_and_exit(USAGE_TEXT);
    const char *log_path = argv[optind];

    // Static: the record, the geolocation cache and the sketch handles are a
    // few hundred KiB, too much for the stack of a small-stack platform.
    static Tally tally;
    tally.vector = chosen_vector_level();
    if (create(tally.ipv4, HLL_PRECISION) == -1 || tally.ipv4.registers == nullptr)
        errx(1, "Can't initialize HLL storage for IPv4");
    if (create(tally.ipv6, HLL_PRECISION) == -1 || tally.ipv6.registers == nullptr) {
        release(tally.ipv4);
        errx(1, "Can't initialize HLL storage for IPv6");
    }

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);

    // constinit: zero pages, touched only with -g; a run-time constructor
    // would write all 2 MiB of its tables.
    static constinit GeoDb geo;
    if (geoip_enabled) {
        open_database(geo, db_path != nullptr ? db_path : DEFAULT_GEOIP_DB);
        tally.geo = &geo;
    }

    const bool use_stdin = std::strcmp(log_path, "-") == 0;
    const int fd = use_stdin ? STDIN_FILENO : open(log_path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        std::perror("Can't open log file");
        std::exit(1);
    }
    struct stat st {};
    if (fstat(fd, &st) == -1) {
        const int saved = errno;
        close(fd);
        errno = saved;
        std::perror("Can't stat log file");
        std::exit(1);
    }
    Results &results = tally.results;
    clear_counters(results);
    results.file_name = log_path;
    results.file_size = st.st_size;

    // A read error must not pass for the end of a shorter log.
    if (tally_stream(tally, fd) == -1) {
        std::perror("Can't read log file");
        std::exit(1);
    }
    finish_totals(tally);

    timespec stop{};
    clock_gettime(CLOCK_MONOTONIC, &stop);
    time_t seconds = stop.tv_sec - start.tv_sec;
    long nanoseconds = stop.tv_nsec - start.tv_nsec;
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000L;
    }
    results.runtime =
        static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1000000000.0;

    const time_t now = time(nullptr);
    if (const std::tm *local = localtime(&now))
        std::strftime(results.date, sizeof results.date, "%Y-%m-%d %H:%M:%S", local);

    char *report = build_report(results);
    if (report == nullptr) errx(1, "Can't serialise the report");
    std::printf("%s\n", report);
    flush_stdout_or_die();
    std::fprintf(stderr, "Processed %" PRIu64 " lines in %f seconds.\n", results.processed_lines,
                 results.runtime);

    std::free(report);
    close(fd);
    if (geoip_enabled) close_database(geo);
    release(tally.ipv4);
    release(tally.ipv6);
    return 0;
}

} // namespace vestrel
