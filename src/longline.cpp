#include "longline.h"

#include <array>
#include <cstring>

namespace vestrel {

namespace {

// What a token keeps of itself; see longline.h.
enum class Keep : std::uint8_t { Host, First, Date, Request, Number };

// What each step of the line's grammar (LINE_STEPS in parse.h, which gives
// the delimiters) keeps of its token: a step added there without a case here
// is a -Wswitch warning.
constexpr Keep keep_of(LineStep step) {
    switch (step) {
    case STEP_HOST:
        return Keep::Host;
    case STEP_IDENT:
    case STEP_USER:
    case STEP_GAP:
        return Keep::First;
    case STEP_DATE:
        return Keep::Date;
    case STEP_REQUEST:
        return Keep::Request;
    case STEP_STATUS:
    case STEP_SIZE:
        return Keep::Number;
    case LINE_STEP_COUNT:
        break;
    }
    return Keep::First;
}

// The steps as the feed walks them: LINE_STEPS beside what each keeps.
struct Step {
    char a, b;
    Keep keep;
};

constexpr std::array<Step, LINE_STEP_COUNT> STEPS = [] {
    std::array<Step, LINE_STEP_COUNT> steps{};
    for (unsigned i = 0; i < LINE_STEP_COUNT; ++i)
        steps[i] = {LINE_STEPS[i].a, LINE_STEPS[i].b, keep_of(static_cast<LineStep>(i))};
    return steps;
}();

enum NumberPhase : std::uint8_t { LEADING, SIGNED, DIGITS, ENDED };

inline void keep(LongLine &l, char c) {
    l.text[l.length++] = c;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

void number_start(LongLine &l) {
    l.number_phase = LEADING;
    l.digits = 0;
    l.zero_kept = false;
    l.kept = 0;
}

// strtoll's reading of a number, one byte at a time, keeping what decides
// its value and acceptance: white space before the sign counts once, zeros
// before the first significant digit count once, digits past KEPT_DIGITS are
// out of range anyway, and after the first byte that is none of these the
// number is rejected whatever follows.
void number_byte(LongLine &l, char c) {
    switch (l.number_phase) {
    case LEADING:
        if (is_space(c)) {
            if (l.kept == 0) keep(l, c);
            l.kept = 1;
            return;
        }
        if (c == '+' || c == '-') {
            keep(l, c);
            l.number_phase = SIGNED;
            return;
        }
        [[fallthrough]];
    case SIGNED:
    case DIGITS:
        if (c >= '0' && c <= '9') {
            if (c == '0' && l.digits == 0) {
                if (!l.zero_kept) keep(l, c);
                l.zero_kept = true;
            } else if (l.digits < KEPT_DIGITS) {
                keep(l, c);
                ++l.digits;
            }
            l.number_phase = DIGITS;
            return;
        }
        keep(l, c);
        l.number_phase = ENDED;
        return;
    case ENDED:
        return;
    }
}

// The time stamp's steps (DATE_STEPS) through the hour's: the tally reads
// nothing after it.
void date_byte(LongLine &l, char c) {
    if (l.date_step > STEP_HOUR) return;
    const char delimiter = DATE_STEPS[l.date_step];
    if (!l.date_in_token) {
        if (c == delimiter) {
            // The time stamp's first byte stays even when it is a delimiter
            // the date's steps skip: a time stamp of them alone must still
            // be a field of the line, not an empty one that the line's steps
            // would skip. (`kept` counts the time stamp's bytes until its
            // day begins.)
            if (l.date_step == STEP_DAY && l.kept == 0) {
                keep(l, c);
                l.kept = 1;
            }
            return;
        }
        l.date_in_token = true;
        number_start(l);
    }
    if (c == delimiter) {
        keep(l, c);
        ++l.date_step;
        l.date_in_token = false;
    } else if (l.date_step == STEP_HOUR) {
        number_byte(l, c);
    } else if (l.kept == 0) {
        keep(l, c);
        l.kept = 1;
    }
}

void request_byte(LongLine &l, char c) {
    if (c == ' ') {
        l.request_space = true;
        l.method_done = l.method_done || l.method_length > 0;
        l.protocol_length = 0;
        return;
    }
    if (!l.method_done && l.method_length < KEPT_METHOD) l.method[l.method_length++] = c;
    if (l.protocol_length < KEPT_PROTOCOL) l.protocol[l.protocol_length++] = c;
}

// The request as parse_request reads it: no space, nothing counts (its first
// byte keeps the token present); else the first word and the bytes after the
// last space, around one space.
void request_end(LongLine &l) {
    if (!l.request_space) {
        keep(l, l.method[0]);
        return;
    }
    std::memcpy(l.text + l.length, l.method, l.method_length);
    l.length = static_cast<std::uint16_t>(l.length + l.method_length);
    keep(l, ' ');
    std::memcpy(l.text + l.length, l.protocol, l.protocol_length);
    l.length = static_cast<std::uint16_t>(l.length + l.protocol_length);
}

void token_start(LongLine &l) {
    l.kept = 0;
    l.date_step = 0;
    l.date_in_token = false;
    l.request_space = false;
    l.method_done = false;
    l.method_length = 0;
    l.protocol_length = 0;
    number_start(l);
}

void token_byte(LongLine &l, Keep k, char c) {
    switch (k) {
    case Keep::Host:
        if (l.kept <= ADDRESS_TEXT_MAX) {
            keep(l, c);
            ++l.kept;
        }
        return;
    case Keep::First:
        if (l.kept == 0) keep(l, c);
        l.kept = 1;
        return;
    case Keep::Date:
        date_byte(l, c);
        return;
    case Keep::Request:
        request_byte(l, c);
        return;
    case Keep::Number:
        number_byte(l, c);
        return;
    }
}

// Whether the bytes up to the next of `a`, `b` change nothing in the current
// token; sets the two bytes to look for.
bool skippable(const LongLine &l, const Step &s, char &a, char &b) {
    a = s.a;
    b = s.b;
    switch (s.keep) {
    case Keep::Host:
        return l.kept > ADDRESS_TEXT_MAX;
    case Keep::First:
        return l.kept > 0;
    case Keep::Number:
        return l.number_phase == ENDED;
    case Keep::Request:
        // Spaces matter until the end: the protocol follows the last one.
        b = ' ';
        return (l.method_done || l.method_length == KEPT_METHOD) &&
               l.protocol_length == KEPT_PROTOCOL;
    case Keep::Date:
        if (l.date_step > STEP_HOUR) return true;
        if (!l.date_in_token) return false;
        b = DATE_STEPS[l.date_step];
        return l.date_step == STEP_HOUR ? l.number_phase == ENDED : l.kept > 0;
    }
    return false;
}

// First byte in [p, end) other than `c`, or `end`: long runs of one byte
// (spaces, zeros, NUL-free padding) are the usual way a field gets huge.
const char *skip_run(const char *p, const char *end, char c) {
#if defined(VESTREL_SSE2)
    const __m128i vc = _mm_set1_epi8(c);
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, vc)));
        if (same != 0xffff) return p + __builtin_ctz(~same);
        p += 16;
    }
#endif
    while (p < end && *p == c)
        ++p;
    return p;
}

// Whether another `c` right after it would change nothing in the current
// token: true in the runs skip_run can pass over.
bool repeat_changes_nothing(const LongLine &l, Keep k, char c) {
    const bool number =
        k == Keep::Number || (k == Keep::Date && l.date_in_token && l.date_step == STEP_HOUR);
    if (number)
        return (l.number_phase == LEADING && l.kept > 0 && is_space(c)) ||
               (l.number_phase == DIGITS && l.digits == 0 && c == '0');
    return k == Keep::Request && c == ' ';
}

} // namespace

void long_line_start(LongLine &line) {
    line.length = 0;
    line.step = 0;
    line.in_token = false;
    token_start(line);
}

void long_line_feed(LongLine &l, const char *p, std::size_t size) {
    const char *const end = p + size;
    // PERF: a byte at a time only where a byte can matter (the first bytes of
    // a field, a number, the spaces of a request); the rest of a long field
    // goes by in find_either's 16-byte compares.
    while (p < end && l.step < LINE_STEP_COUNT) {
        const Step &s = STEPS[l.step];
        if (!l.in_token) {
            if (*p == s.a || *p == s.b) {
                p = skip_run(p + 1, end, *p);
                continue;
            }
            l.in_token = true;
            token_start(l);
        }
        char a, b;
        if (skippable(l, s, a, b)) {
            p = find_either(p, end, a, b);
            if (p == end) break;
        }
        const char c = *p++;
        if (c == s.a || c == s.b) {
            if (s.keep == Keep::Request) request_end(l);
            keep(l, c);
            ++l.step;
            l.in_token = false;
            continue;
        }
        token_byte(l, s.keep, c);
        if (repeat_changes_nothing(l, s.keep, c)) p = skip_run(p, end, c);
    }
}

std::string_view long_line_text(LongLine &line) {
    if (line.in_token && line.step < LINE_STEP_COUNT && STEPS[line.step].keep == Keep::Request)
        request_end(line);
    line.in_token = false;
    line.step = LINE_STEP_COUNT;
    return std::string_view(line.text, line.length);
}

} // namespace vestrel
