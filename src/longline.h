// The bounded path for a line longer than the read block: the line streams by
// in pieces and is reduced, as it goes, to a short stand-in line that the
// ordinary splitters and the tally read exactly as they would read the whole
// line. The rules stay where they are (parse.h, the tally): this module only
// knows which bytes of each field can change a count, and keeps those.
//
// What a field keeps (everything else is dropped, with the repeated
// delimiters between fields):
//   host                 its first ADDRESS_TEXT_MAX + 1 bytes: longer is no address
//   ident, user, the text between time stamp and request
//                        its first byte: the field is only skipped
//   time stamp           day, month and year by their first byte, the hour as a number,
//                        and its own first byte when that is a day delimiter
//   request              the first KEPT_METHOD bytes of its first word and the last
//                        KEPT_PROTOCOL bytes after its last space: longer matches no table
//   status, size         as a number: one leading white-space byte, the sign, one
//                        leading zero, at most KEPT_DIGITS significant digits and the
//                        first byte that ends the number
// A kept byte is a byte of the field itself, so it never holds the delimiters
// that end the field, and the stand-in splits into the same fields.
//
// State: LongLine is a fixed-size value (about 300 bytes); feeding costs time
// linear in the bytes fed, with a vector scan over the bytes that change
// nothing. Nothing is allocated. The pieces carry the line's text only: the
// caller stops at its first NUL byte.
#pragma once

#include "parse.h"
#include "results.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vestrel {

// "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255": no accepted address text
// is longer.
inline constexpr std::size_t ADDRESS_TEXT_MAX = 45;

constexpr std::size_t longest(const auto &table) {
    std::size_t n = 0;
    for (std::string_view entry : table)
        n = entry.size() > n ? entry.size() : n;
    return n;
}
// One byte more than the longest entry, so a longer word never matches.
inline constexpr std::size_t KEPT_METHOD = longest(method_names) + 1;
inline constexpr std::size_t KEPT_PROTOCOL = longest(protocol_names) + 1;
// INT64_MAX has 19 digits; 20 are out of range whatever they are.
inline constexpr std::size_t KEPT_DIGITS = 20;

// One white-space byte, a sign, one zero, the digits, the byte after them.
inline constexpr std::size_t KEPT_NUMBER = 1 + 1 + 1 + KEPT_DIGITS + 1;
// Each field with the delimiter that ended it.
inline constexpr std::size_t LONG_LINE_TEXT_MAX =
    (ADDRESS_TEXT_MAX + 1 + 1)                  // host
    + 2 + 2                                     // ident, user
    + (1 + STEP_HOUR * 2 + KEPT_NUMBER + 1 + 1) // time stamp
    + 2                                         // between time stamp and request
    + (KEPT_METHOD + 1 + KEPT_PROTOCOL + 1)     // request
    + 2 * (KEPT_NUMBER + 1);                    // status, size

struct LongLine {
    char text[LONG_LINE_TEXT_MAX];
    std::uint16_t length;
    // The line's step in LINE_STEPS (LINE_STEP_COUNT once the size is
    // complete) and whether its token has begun; the same for the time
    // stamp's steps in DATE_STEPS (past STEP_HOUR once the hour is complete).
    std::uint8_t step;
    bool in_token;
    std::uint8_t date_step;
    bool date_in_token;
    // Bytes kept of the current token (host, skipped fields).
    std::uint8_t kept;
    // The number being read: see number_byte in longline.cpp.
    std::uint8_t number_phase;
    std::uint8_t digits;
    bool zero_kept;
    // The request: its first word so far, and the bytes after its last space.
    bool request_space;
    bool method_done;
    std::uint8_t method_length;
    std::uint8_t protocol_length;
    char method[KEPT_METHOD];
    char protocol[KEPT_PROTOCOL];
};

// Makes `line` ready for a new line.
void long_line_start(LongLine &line);

// Feeds the next `size` bytes of the line's text (no NUL byte among them).
void long_line_feed(LongLine &line, const char *bytes, std::size_t size);

// True once every field that counts is complete: later bytes change nothing
// and need not be fed.
inline bool long_line_done(const LongLine &line) {
    return line.step >= LINE_STEP_COUNT;
}

// Ends the line and returns its stand-in, valid until `line` is started
// again. parse_log_line and everything after it read the stand-in as they
// would read the whole text that was fed.
std::string_view long_line_text(LongLine &line);

} // namespace vestrel
