// The unoptimised definition of the per-line tally, kept for tests.
//
// This is what the fast paths in src/ must equal byte for byte in their
// results: lines read with getline, fields split with strtok, addresses checked
// with inet_pton, numbers read with strtoll, geolocation looked up by text with
// MMDB_lookup_string. It is written for plainness, not speed; only the
// visitor sketches are shared with the product (they are not what is checked
// here).
//
// The splitters write NUL bytes into the buffer they are given, as strtok
// does; every field points into that buffer and an absent field is nullptr.
#pragma once

#include "tally.h"

#include <cstdio>
#include <maxminddb.h>

namespace vestrel::reference {

struct LineFields {
    char *remote_host = nullptr;
    char *date = nullptr;
    char *request = nullptr;
    char *status = nullptr;
    char *size = nullptr;
};

struct DateFields {
    char *day = nullptr;
    char *month = nullptr;
    char *year = nullptr;
    char *hour = nullptr;
    char *minute = nullptr;
    char *second = nullptr;
};

struct RequestFields {
    char *method = nullptr;
    char *protocol = nullptr;
};

// `line` is the NUL-terminated text of one line as getline returned it.
LineFields parse_log_line(char *line);
DateFields parse_log_date(char *date);
RequestFields parse_request(char *request);

// AF_INET or AF_INET6 as inet_pton accepts `host` (IPv4 tried first), with
// the binary form in `bytes` (4 or 16 bytes); 0 when neither accepts it.
int address_family(const char *host, unsigned char bytes[16]);

// strtonum(text, minval, maxval) written with strtoll: true and the value in
// `value` when accepted.
bool parse_number(const char *text, long long minval, long long maxval, long long &value);

// Country and continent of `host` (an address inet_pton accepted) through
// MMDB_lookup_string: indexes into country_codes and continent_codes, -1
// where nothing counts.
Location locate(MMDB_s &mmdb, const char *host);

// The reference tally writes to the same record as the product; with
// `geo` set only geo->mmdb is used (no cache).
using ReferenceState = vestrel::Tally;

// Counts one line (NUL-terminated, newline included when there is one).
void tally_line(ReferenceState &state, char *line);

// Tallies every line of `file` read with getline, then sets the totals and
// visitor estimates. The sketches must have been created by the caller.
// Returns 0, or -1 when reading failed.
int reference_tally_file(FILE *file, ReferenceState &state);

} // namespace vestrel::reference
