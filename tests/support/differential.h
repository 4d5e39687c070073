// What the differential tests share (tests/*_test.cpp, suites Differential*):
// the fast paths in src/ against the plain reference (tests/reference), the
// same bytes through both, and every field, flag and counter must come out
// the same. Inputs are generated from fixed seeds, so a failure repeats; each
// failure message carries the input, escaped as a C string literal.
//
// Here: the escaping, the random generators of lines and logs, the data logs
// (VESTREL_DATA_DIR, absent in a plain clone), a tally with its sketches, the
// comparison of two tallies and the whole run of tally_stream against the
// reference's getline loop (expect_same_run).
#pragma once

#include "geo.h"
#include "hll.h"
#include "read.h"
#include "tally.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::test {

using Rng = std::mt19937_64;

// The bytes as a C string literal, cut after `limit` input bytes.
std::string escaped(std::string_view bytes, std::size_t limit = 2048);

// A number in [0, n), n > 0; true `percent` times in a hundred.
std::size_t pick(Rng &rng, std::size_t n);
bool chance(Rng &rng, unsigned percent);

template <class T, std::size_t N> const T &one_of(Rng &rng, const T (&items)[N]) {
    return items[pick(rng, N)];
}

// Lines split where getline splits them.
std::vector<std::string> split_lines(const std::string &bytes);

// The lines of the data log `name` in VESTREL_DATA_DIR; empty when it cannot
// be read. data_dir_present() says whether the directory is there at all.
std::vector<std::string> data_log_lines(const char *name);
bool data_dir_present();

inline constexpr const char *DATA_LOGS[] = {"apache-combined-elastic-2015-10k.log",
                                            "nasa-http-common-aug1995-20k.log"};

// Excerpts of the same two logs kept in the repository (tests/cli/real, with
// their notices), so that real traffic is read in a plain clone too.
inline constexpr const char *EXCERPT_LOGS[] = {"apache-combined-elastic-2015.log",
                                               "nasa-http-common-aug1995.log"};
// The path of excerpt `name`.
std::string excerpt_path(const char *name);

// Every `step`-th line of the data logs (step > 0); without them, every
// max(1, step / 10)-th line of the excerpts, which hold about a fortieth of
// the logs' lines.
std::vector<std::string> real_lines(std::size_t step);

// ---------------------------------------------------------------- generators

// Bytes that steer the splitters: every delimiter, the white space strtoll
// skips, NUL, and what addresses and numbers are made of.
char steering_byte(Rng &rng);
// Up to `max_length` steering bytes.
std::string random_bytes(Rng &rng, std::size_t max_length);
// Whole pieces of log lines glued in random order, so that the later fields
// (status, size) are reached far more often than by single bytes.
std::string random_token_line(Rng &rng);
// A well-formed line with random content in every field.
std::string random_good_line(Rng &rng);
std::string random_ipv4(Rng &rng);
std::string random_ipv6(Rng &rng);
// Mostly addresses of either family, sometimes text that is none.
std::string random_host(Rng &rng);
// One to four edits that favour the bytes the splitters look at.
std::string mutate(Rng &rng, std::string s);

// Lines as the logs hold them, for mutation when the data logs are absent.
inline constexpr const char *SEED_LINES[] = {
    "83.149.9.216 - - [17/May/2015:10:05:03 +0000] \"GET /images/kibana-search.png HTTP/1.1\" "
    "200 203023 \"http://semicomplete.com/\" \"Mozilla/5.0 (Macintosh)\"\n",
    "in24.inetnebr.com - - [01/Aug/1995:00:00:01 -0400] \"GET /shuttle/news.txt HTTP/1.0\" 200 "
    "1839\n",
    "2001:db8::7 - bob [10/Oct/2000:13:55:36 -0700] \"POST /form HTTP/2.0\" 302 \"512\"\n",
    "10.0.0.1 - - [10/Oct/2000:23:59:59 -0700] \"HEAD / HTTP/3\" 599 9223372036854775807\n",
};

// Lines one byte away from the usual time stamp (26 bytes, then "] \"") and
// the usual status (three digits between single spaces), which the split
// takes by position and checks beside.
inline const std::string USUAL_FORM_NEAR_MISSES[] = {
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5 \"r\" \"a\"\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:3] -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - []0/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36\n-0700] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]\n\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -07000] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -070] \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]  \"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700]]\"GET / HTTP/1.1\" 200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\"  200 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 2000 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 20 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 20x 5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200\n5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200\"5\n",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 ",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200",
    "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\"\n200 5\n",
};

// ---------------------------------------------------------------- whole runs

struct GeoDeleter {
    void operator()(GeoDb *db) const {
        close_database(*db);
        delete db;
    }
};
using GeoHandle = std::unique_ptr<GeoDb, GeoDeleter>;

// The database at `path`, opened (exits as the program does when it cannot).
GeoHandle open_geo(const std::string &path);

// A Tally with both sketches created, released when it goes.
struct SketchedTally {
    Tally tally;
    explicit SketchedTally(GeoDb *geo) {
        if (create(tally.ipv4, HLL_PRECISION) != 0 || create(tally.ipv6, HLL_PRECISION) != 0 ||
            tally.ipv4.registers == nullptr || tally.ipv6.registers == nullptr)
            throw std::runtime_error("sketch allocation");
        tally.geo = geo;
    }
    ~SketchedTally() {
        release(tally.ipv4);
        release(tally.ipv6);
    }
    SketchedTally(const SketchedTally &) = delete;
    SketchedTally &operator=(const SketchedTally &) = delete;
};

// What two runs must share: every counter of the record, the visit estimates
// among them, and the sketches register for register. "" when they do.
std::string counters_mismatch(const Tally &fast, const Tally &slow);

enum class Through { File, File_And_Pipe };

// Runs tally_stream (on the file, and through a pipe when asked) and the
// getline reference on the same bytes and compares the results (gtest
// failures in the calling test). The reference's record goes to
// `reference_out` when given.
void expect_same_run(const std::string &bytes, const char *db_path = nullptr,
                     Through through = Through::File, Results *reference_out = nullptr,
                     std::size_t block = READ_BLOCK, VectorLevel level = cpu_vector_level());

// A log of `lines` lines of every kind the generators make, with lines of
// `real` among them when it is not empty.
std::string random_log(Rng &rng, std::size_t lines, const std::vector<std::string> &real);

// Every eleventh line of the data logs, or lines of the excerpts
// (real_lines(11)).
std::vector<std::string> some_real_lines();

} // namespace vestrel::test
