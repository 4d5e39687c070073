// The program: the command line, then one run over one log.
//
// A run owns its settings, the input descriptor, the Tally (Results record
// and sketches) and, with -g, the database. It releases them in this order:
// report text, input, database, sketches (the read buffer is the tally's,
// gone when reading ends). Fatal conditions end the process with a message
// and status 1 without teardown. Memory is fixed: the reader's buffer and
// index (read.h) and, for a compressed log, its decoder (decompress.h), the
// two sketches (hll.h) and, with -g, the database copy and its tables
// (geo.h), whatever the log.
#include "compat.h"
#include "report.h"
#include "tally.h"

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

// The whole program; returns the exit status or ends the process on a fatal
// condition.
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

    // Static: the record's counters are about 7 KiB, kept off the stack of
    // small-stack platforms.
    static Tally tally;
    tally.vector = chosen_vector_level();
    if (create(tally.ipv4, HLL_PRECISION) == -1) errx(1, "Can't initialize HLL storage for IPv4");
    if (create(tally.ipv6, HLL_PRECISION) == -1) {
        release(tally.ipv4);
        errx(1, "Can't initialize HLL storage for IPv6");
    }

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);

    // constinit: zero pages, touched only with -g; a run-time constructor
    // would write all 1.4 MiB of its tables.
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

    // A read error must not pass for the end of a shorter log, nor bad
    // compressed data for a log that ends there. ENOMEM is the memory the
    // reader or a decoder allocates (a read of a file or pipe does not give
    // it), and says so rather than blaming the log.
    DecodeOutcome outcome;
    if (tally_stream(tally, fd, READ_BLOCK, &outcome) == -1) {
        if (outcome.error == DecodeError::NONE) {
            std::perror(errno == ENOMEM ? "Can't allocate memory to read the log"
                                        : "Can't read log file");
        } else {
            char why[1024];
            std::fprintf(stderr, "Can't read log file: %s\n",
                         describe_decode_failure(outcome, log_path, why, sizeof why));
        }
        std::exit(1);
    }
    // As `gzip -d`: the text is whole, the bytes after it were not read.
    if (outcome.trailing_garbage) warnx("trailing garbage after the gzip data ignored");
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

} // namespace

} // namespace vestrel

int main(int argc, char **argv) {
    return vestrel::run(argc, argv);
}
