// Splitting of one access-log line into the fields the tally counts, and of
// the time stamp and the request into their parts; the address check and the
// number parsers that read those fields.
//
// Every field is a view into the caller's line buffer, valid until the next
// line is read into it; nothing is copied or allocated and the buffer is never
// written. An absent field is std::nullopt; a present field may be empty only
// where stated (the protocol after a trailing space).
//
// Field boundaries follow the classic strtok rule for each step with its
// delimiter set (LINE_STEPS, DATE_STEPS): skip delimiters, take the run up to
// the next delimiter, and once the text is exhausted every later step on it
// finds nothing. The text of a line ends at its first NUL byte; the newline
// that ends a line is not a delimiter and stays on whichever field ends the
// line.
//
// The fast paths load whole words and vectors, which may reach past a field
// but never past what the caller says may be loaded (`readable`,
// LogLine::readable_end: the reader's buffer and its padding); with less
// room they take the plain byte loops, which give the same answers.
#pragma once

#include "compat.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
// The scans below use SSE2, which every x86-64 has; a VESTREL_PORTABLE build
// (CMake option) compiles the plain loops that other machines get instead, so
// that they are tested on x86 as well.
#if defined(__SSE2__) && !defined(VESTREL_PORTABLE)
#define VESTREL_SSE2 1
#include <emmintrin.h>
#endif

namespace vestrel {

// A field: a view into the line, or absent (a null pointer; a present
// field's view always points into the line, even when it is empty). The
// std::optional<std::string_view> calls a caller makes (has_value, *, ->,
// value_or, a test as bool, std::nullopt) work on it unchanged.
// PERF: a pointer and a length stay in registers through the split;
// std::optional's flag byte made the compiler copy each field through the
// stack, where reading back 16 bytes written as two 8-byte halves (and 8
// written as one) stalled store forwarding on every line.
struct Field {
    const char *ptr = nullptr;
    std::size_t len = 0;

    constexpr Field() = default;
    constexpr Field(std::nullopt_t) {}
    constexpr Field(std::string_view view) : ptr(view.data()), len(view.size()) {}
    constexpr bool has_value() const { return ptr != nullptr; }
    constexpr explicit operator bool() const { return ptr != nullptr; }
    constexpr std::string_view operator*() const { return {ptr, len}; }
    // field->size(): the view is made for the call.
    struct Arrow {
        std::string_view view;
        constexpr const std::string_view *operator->() const { return &view; }
    };
    constexpr Arrow operator->() const { return {{ptr, len}}; }
    constexpr std::string_view value_or(std::string_view absent) const {
        return ptr != nullptr ? std::string_view(ptr, len) : absent;
    }
};

#if defined(VESTREL_SSE2)
// Bit i set where p[i] is `a` or `b`, for the 16 bytes from p (all loadable).
inline unsigned either_mask(const char *p, char a, char b) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(chunk, _mm_set1_epi8(a)), _mm_cmpeq_epi8(chunk, _mm_set1_epi8(b)))));
}
#endif

// First byte in [p, end) equal to `a` or `b` (pass the same byte twice for
// one), or `end`. PERF: fields are 3 to 100 bytes, too short for a memchr
// call to pay off; one 16-byte compare covers most of them. Loads stay inside
// [p, readable): bytes past `end` may be loaded but never decide the result;
// with readable == end the tail is read byte by byte, so views of any memory
// are safe.
inline const char *find_any(const char *p, const char *end, char a, char b, const char *readable) {
#if defined(VESTREL_SSE2)
    while (p < end && readable - p >= 16) {
        const unsigned mask = either_mask(p, a, b);
        if (mask != 0) {
            const char *hit = p + std::countr_zero(mask);
            return hit < end ? hit : end;
        }
        p += 16;
    }
    if (p >= end) return end;
#else
    (void)readable;
#endif
    while (p < end && *p != a && *p != b)
        ++p;
    return p;
}

// find_any for fields that are often longer than 16 bytes (the request): 64
// bytes per step. PERF: the 16-byte loop ran two to five
// times on a request, and its exit was mispredicted on most lines; one mask
// of 64 bytes ends nearly every request in one step.
inline const char *find_any_wide(const char *p, const char *end, char a, char b,
                                 const char *readable) {
#if defined(VESTREL_SSE2)
    while (p < end && readable - p >= 64) {
        std::uint64_t mask = 0;
        for (unsigned k = 0; k < 4; ++k)
            mask |= std::uint64_t{either_mask(p + 16 * k, a, b)} << (16 * k);
        if (mask != 0) {
            const char *hit = p + std::countr_zero(mask);
            return hit < end ? hit : end;
        }
        p += 64;
    }
#endif
    return find_any(p, end, a, b, readable);
}

inline const char *find_either(const char *p, const char *end, char a, char b) {
    return find_any(p, end, a, b, end);
}

// The line's grammar: eight strtok steps in order, each with its delimiter
// set {a, b} (a == b for one byte); the host, time stamp, request, status and
// size are the tokens of five of them, the other three are skipped. The split
// (parse_log_line) and the long-line stand-in (longline.cpp) both read their
// steps from this table, so a change of the split is a change of both; the
// split's fast paths for the usual layout check their bytes against it at
// compile time.
enum LineStep : std::uint8_t {
    STEP_HOST,
    STEP_IDENT,
    STEP_USER, // with the space before the time stamp's bracket
    STEP_DATE,
    STEP_GAP, // between the closing bracket and the request's quote
    STEP_REQUEST,
    STEP_STATUS,
    STEP_SIZE,
    LINE_STEP_COUNT
};

struct SplitStep {
    char a, b;
};

inline constexpr SplitStep LINE_STEPS[LINE_STEP_COUNT] = {
    {' ', ' '}, // STEP_HOST
    {' ', ' '}, // STEP_IDENT
    {'[', '['}, // STEP_USER
    {']', ']'}, // STEP_DATE
    {'"', '"'}, // STEP_GAP
    {'"', '"'}, // STEP_REQUEST
    {' ', ' '}, // STEP_STATUS
    {' ', '"'}, // STEP_SIZE: a quoted size loses its quotes
};

// The time stamp's grammar, as parse_log_date takes it: day, month, year,
// hour, minute and second, each ended by its delimiter; the zone after the
// last is dropped. parse_hour's usual layout and the long-line stand-in (which
// keeps the steps up to the hour) read theirs from this table too.
enum DateStep : std::uint8_t {
    STEP_DAY,
    STEP_MONTH,
    STEP_YEAR,
    STEP_HOUR,
    STEP_MINUTE,
    STEP_SECOND,
    DATE_STEP_COUNT
};

inline constexpr char DATE_STEPS[DATE_STEP_COUNT] = {'/', '/', ':', ':', ':', ' '};

struct LogLine {
    Field remote_host;
    Field date;
    Field request;
    Field status;
    Field size;
    // Loads may reach up to here from any field (at least the line's end;
    // parse_log_line always sets it).
    const char *readable_end = nullptr;
};

struct LogDate {
    Field day;
    Field month;
    Field year;
    Field hour;
    Field minute;
    Field second;
};

struct RequestLine {
    Field method;
    Field protocol;
};

// Splits `text` (the line as read, newline included, no NUL byte inside) into
// host, time stamp, request, status and size by position. Validates nothing.
// `readable` is how many bytes from text.data() may be loaded (at least
// text.size()): the read buffer past the line lets the field scans load 16
// bytes at a time up to the line's end instead of reading its tail bytewise.
LogLine parse_log_line(std::string_view text, std::size_t readable = 0);

// Splits a time stamp such as "10/Oct/2000:13:55:36 -0700" by DATE_STEPS; the
// zone is dropped.
LogDate parse_log_date(std::string_view date);

// Method is the first word of the request, protocol what follows its last
// space (possibly empty); both absent when the request has no space. The
// long-line stand-in keeps what this reads of a request (request_byte and
// request_end in longline.cpp, KEPT_METHOD and KEPT_PROTOCOL): a change of
// this rule is a change there.
RequestLine parse_request(std::string_view request);

// The hour the tally counts for a time stamp: parse_log_date's hour read with
// parse_number(hour, 23); -1 when absent or rejected. Reads the usual layout
// directly. The long-line stand-in keeps the date's steps up to the hour
// (date_byte in longline.cpp), so a rule that reads further is a change there.
long long parse_hour(std::string_view date);

// A binary address as the family check produced it.
struct Address {
    int family = 0; // AF_INET or AF_INET6; 0 when the text is neither
    unsigned char bytes[16] = {};
};

// The address family of `host` with exactly inet_pton's acceptance: IPv4 as
// four dotted decimal parts without leading zeros, each at most 255; else
// IPv6 with inet_pton(AF_INET6)'s grammar. On success the binary form is filled
// in; on failure `family` is 0. `readable` is how many bytes from
// host.data() may be loaded (0: only the host's own); `level` is at most
// cpu_vector_level(), and every level gives the same answer.
Address parse_address(std::string_view host, std::size_t readable = 0,
                      VectorLevel level = VectorLevel::SSE2);

// Bytes of an address's text that parse_address_head reads, and keeps for
// finish_address, when it makes only the address's head.
inline constexpr std::size_t ADDRESS_HEAD_TEXT = 48;

// parse_address as a lookup needs it first, written in place into `out` (the
// lookup queue's slot, see geo.h parse_into_slot): an IPv6 address in the
// usual forms gets only its first four bytes (its /32, all a lookup reads
// unless it walks the tree) when they are not all zero, so that IPv4-mapped
// addresses are always whole. Returns false then: the rest of the bytes are
// zero, and finish_address makes them from ADDRESS_HEAD_TEXT bytes of the
// text (which `readable` covered). PERF: an Address built on the stack, its
// family and bytes written in pieces, then copied whole into the queue
// stalled store forwarding on every line with -g.
bool parse_address_head(Address &out, std::string_view host, std::size_t readable,
                        VectorLevel level);

// Makes the whole binary form of an address parse_address_head left at its
// head, from its text `host` with ADDRESS_HEAD_TEXT bytes readable.
void finish_address(Address &out, std::string_view host);

// parse_address's family alone (AF_INET, AF_INET6 or 0), for a caller that
// has no use for the binary form: the usual IPv6 forms are then checked
// without it.
int address_family(std::string_view host, std::size_t readable = 0,
                   VectorLevel level = VectorLevel::SSE2);

// Parses `token` as BSD strtonum(token, 0, maxval) would: optional leading
// white space and one sign, at least one digit, nothing after the digits,
// value in [0, maxval]. Returns the value, or -1 when the token is rejected. The
// long-line stand-in keeps the bytes that decide this (number_byte in
// longline.cpp, KEPT_DIGITS): a change of the rule is a change there.
long long parse_number_slow(std::string_view token, long long maxval);

// True when the 8 bytes of `x` are all ASCII digits.
inline bool all_digits(std::uint64_t x) {
    // A digit has high nibble 3, and stays below 0x40 when 6 is added. A
    // byte that carries into its neighbour has failed the first test already.
    constexpr std::uint64_t nibbles = 0xf0f0f0f0f0f0f0f0ULL;
    constexpr std::uint64_t threes = 0x3030303030303030ULL;
    return ((x & nibbles) == threes) & (((x + 0x0606060606060606ULL) & nibbles) == threes);
}

// The value of 8 ASCII digits, the first byte the most significant.
inline std::uint64_t eight_digits(std::uint64_t x) {
    x = (x & 0x0f0f0f0f0f0f0f0fULL) * 2561 >> 8;
    x = (x & 0x00ff00ff00ff00ffULL) * 6553601 >> 16;
    return (x & 0x0000ffff0000ffffULL) * 42949672960001ULL >> 32;
}

long long parse_number(std::string_view token, long long maxval);

// parse_number when 8 bytes from token.data() may be loaded (`readable`).
// PERF: sizes have every number of digits, so the digit loop's end was
// mispredicted on most lines; a token of up to 8 bytes is checked and
// converted in one word here.
inline long long parse_number(std::string_view token, long long maxval, std::size_t readable) {
    const std::size_t n = token.size();
    // The word arithmetic below takes the first byte as the lowest.
    if (std::endian::native != std::endian::little || readable < 8 || n == 0 || n > 8 ||
        static_cast<unsigned char>(token[0] - '0') > 9)
        return parse_number(token, maxval);
    std::uint64_t x;
    std::memcpy(&x, token.data(), 8);
    // The token's bytes moved to the top, '0's before them.
    const unsigned pad = static_cast<unsigned>(8 - n) * 8;
    x = (x << pad) | (0x3030303030303030ULL & ((std::uint64_t{1} << pad) - 1));
    if (!all_digits(x)) return -1; // a digit first, then something else
    const auto value = static_cast<long long>(eight_digits(x));
    return value <= maxval ? value : -1;
}

inline long long parse_number(std::string_view token, long long maxval) {
    // Plain digits are nearly every token (status, size, hour); 18 of them
    // cannot overflow. A token that starts with a digit has no white space
    // or sign to skip, so any other byte after it rejects it: the size that
    // ends a common-layout line ("2326\n") is decided here, not in the slow
    // path (measured: 4% of the run on a common-layout log).
    if (!token.empty() && token.size() <= 18) {
        long long value = 0;
        for (std::size_t i = 0; i < token.size(); ++i) {
            const unsigned digit = static_cast<unsigned char>(token[i] - '0');
            if (digit > 9) return i == 0 ? parse_number_slow(token, maxval) : -1;
            value = value * 10 + digit;
        }
        return value <= maxval ? value : -1;
    }
    return parse_number_slow(token, maxval);
}

} // namespace vestrel
