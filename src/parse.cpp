#include "parse.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#if defined(VESTREL_SSE2)
#include <tmmintrin.h>
#endif

namespace vestrel {

namespace {

// One strtok step over a bounded text with the delimiter set {a, b}. The text
// never holds a NUL (the line reader cuts it at the first one), so the end of
// the view is where strtok would stop. A token that runs to the end leaves
// the cursor at the end, which makes every later step absent, as strtok does.
struct Cursor {
    const char *pos;
    const char *end;
    const char *readable; // loads may reach up to here (at least `end`)
};

// Wide: the search is find_any_wide, for fields often longer than 16 bytes.
template <bool Wide = false> inline Field next_token(Cursor &cur, char a, char b) {
#if defined(VESTREL_SSE2)
    // PERF: most tokens start right at the cursor and end within 16 bytes,
    // or run to the line's end there: one load and a few tests in place of
    // the skip loop, the search loop and their tests (on a common-layout log
    // 1% fewer instructions and 3-4% less time). Anything else takes the
    // steps below from the start. (Going on from the 16th byte instead made
    // the split too large to inline: 6% more instructions.)
    if (!Wide && cur.readable - cur.pos >= 16 && cur.pos < cur.end && *cur.pos != a &&
        *cur.pos != b) {
        const unsigned hits = either_mask(cur.pos, a, b);
        const char *start = cur.pos;
        const char *hit = start + std::countr_zero(hits | 1u << 16);
        if (hits != 0 && hit < cur.end) {
            cur.pos = hit + 1;
            return std::string_view(start, static_cast<std::size_t>(hit - start));
        }
        // No delimiter before the line's end, which lies inside the load.
        if (cur.end - start <= 16) {
            cur.pos = cur.end;
            return std::string_view(start, static_cast<std::size_t>(cur.end - start));
        }
    }
#endif
    while (cur.pos < cur.end && (*cur.pos == a || *cur.pos == b))
        ++cur.pos;
    if (cur.pos == cur.end) return std::nullopt;
    const char *start = cur.pos;
    const char *hit = Wide ? find_any_wide(start, cur.end, a, b, cur.readable)
                           : find_any(start, cur.end, a, b, cur.readable);
    cur.pos = hit < cur.end ? hit + 1 : cur.end;
    return std::string_view(start, static_cast<std::size_t>(hit - start));
}

inline Field next_token(Cursor &cur, char delim) {
    return next_token(cur, delim, delim);
}

// Step `S` of the line's grammar, its delimiters compile-time constants.
template <LineStep S> inline Field take(Cursor &cur) {
    return next_token(cur, LINE_STEPS[S].a, LINE_STEPS[S].b);
}

constexpr bool is_delimiter(LineStep step, char c) {
    return c == LINE_STEPS[step].a || c == LINE_STEPS[step].b;
}

// The empty ident and user, "- - [": ident "-" and its delimiter, user "- "
// and its delimiter (the bracket that opens the time stamp).
constexpr char NO_USER[] = {'-', LINE_STEPS[STEP_IDENT].a, '-', ' ', LINE_STEPS[STEP_USER].a};
static_assert(!is_delimiter(STEP_IDENT, '-') && !is_delimiter(STEP_USER, '-') &&
                  !is_delimiter(STEP_USER, ' '),
              "NO_USER must split into the ident and user steps");

// take<S> with find_any_wide, for fields often longer than 16 bytes.
template <LineStep S> inline Field take_long(Cursor &cur) {
    return next_token<true>(cur, LINE_STEPS[S].a, LINE_STEPS[S].b);
}

// Whether the 5 bytes at p are NO_USER. PERF: fixed-size loads; a 5-byte
// memcmp was a library call on every line in one of the split's forms.
inline bool starts_with_no_user(const char *p) {
    std::uint32_t head;
    std::memcpy(&head, p, 4);
    std::uint32_t want;
    std::memcpy(&want, NO_USER, 4);
    return head == want && p[4] == NO_USER[4];
}

// The usual time stamp: 26 bytes without its closing delimiter, then that
// delimiter, one space (the gap step's token) and the gap's delimiter (the
// request's opening quote).
constexpr unsigned USUAL_DATE = 26;
constexpr char DATE_END = LINE_STEPS[STEP_DATE].a;
constexpr char REQUEST_START = LINE_STEPS[STEP_GAP].a;
static_assert(LINE_STEPS[STEP_DATE].b == DATE_END, "usual_date scans for one closing byte");
static_assert(!is_delimiter(STEP_GAP, ' '), "the space before the request is the gap's token");

// Whether the time stamp at cur.pos has the usual form (USUAL_DATE), so that
// the steps for it and the gap before the request end where this says. PERF: the split is a chain,
// each step starting where the one before ended; with the usual form taken on trust and checked
// beside, the request is searched for straight after the host, and the check
// is off the chain.
inline bool usual_date(const Cursor &cur) {
    constexpr unsigned DATE = USUAL_DATE;
    const char *d = cur.pos;
    if (cur.end - d < DATE + 3 || cur.readable - d < 32) return false;
    if (d[DATE] != DATE_END || d[DATE + 1] != ' ' || d[DATE + 2] != REQUEST_START) return false;
#if defined(VESTREL_SSE2)
    const __m128i close = _mm_set1_epi8(DATE_END);
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + 16));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, close))) |
                      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, close))) << 16;
    return (hits & ((1u << DATE) - 1)) == 0;
#else
    for (unsigned i = 0; i < DATE; ++i)
        if (d[i] == DATE_END) return false;
    return true;
#endif
}

// The usual status: three bytes (digits, which the tally checks) between two
// of its delimiters.
constexpr char STATUS_END = LINE_STEPS[STEP_STATUS].a;
static_assert(LINE_STEPS[STEP_STATUS].b == STATUS_END, "usual_status tests for one delimiter");

// Whether the status at cur.pos has the usual form, so that its step ends
// where this says (see usual_date).
inline bool usual_status(const Cursor &cur) {
    const char *s = cur.pos;
    return cur.end - s >= 5 && s[0] == STATUS_END && s[4] == STATUS_END && s[1] != STATUS_END &&
           s[2] != STATUS_END && s[3] != STATUS_END;
}

// The eight steps of LINE_STEPS, in order; see parse_log_line.
LogLine split_line(Cursor &cur) {
    // PERF: fields go into locals and the record is built once at the end;
    // default-constructing it first cost a block clear on every line.
    const Field remote_host = take<STEP_HOST>(cur);
    // Nearly every line has no ident and no user: NO_USER then lands where
    // the two steps below would.
    if (cur.end - cur.pos >= 5 && starts_with_no_user(cur.pos)) {
        cur.pos += sizeof NO_USER;
    } else {
        take<STEP_IDENT>(cur);
        take<STEP_USER>(cur);
    }
    Field date;
    if (usual_date(cur)) {
        date = std::string_view(cur.pos, USUAL_DATE);
        cur.pos += USUAL_DATE + 3;
    } else {
        date = take<STEP_DATE>(cur);
        // Likewise a single space between the bracket and the quote.
        if (cur.end - cur.pos >= 2 && cur.pos[0] == ' ' && cur.pos[1] == REQUEST_START)
            cur.pos += 2;
        else
            take<STEP_GAP>(cur);
    }
    const Field request = take_long<STEP_REQUEST>(cur);
    Field status;
    if (usual_status(cur)) {
        status = std::string_view(cur.pos + 1, 3);
        cur.pos += 5;
    } else {
        status = take<STEP_STATUS>(cur);
    }
    const Field size = take<STEP_SIZE>(cur);
    static_assert(STEP_SIZE + 1 == LINE_STEP_COUNT, "split_line takes every step");
    return LogLine{remote_host, date, request, status, size, cur.readable};
}

} // namespace

LogLine parse_log_line(std::string_view text, std::size_t readable) {
    const char *end = text.data() + text.size();
    Cursor cur{text.data(), end, readable > text.size() ? text.data() + readable : end};
    return split_line(cur);
}

LogDate parse_log_date(std::string_view date) {
    LogDate d;
    Cursor cur{date.data(), date.data() + date.size(), date.data() + date.size()};
    d.day = next_token(cur, DATE_STEPS[STEP_DAY]);
    d.month = next_token(cur, DATE_STEPS[STEP_MONTH]);
    d.year = next_token(cur, DATE_STEPS[STEP_YEAR]);
    d.hour = next_token(cur, DATE_STEPS[STEP_HOUR]);
    d.minute = next_token(cur, DATE_STEPS[STEP_MINUTE]);
    d.second = next_token(cur, DATE_STEPS[STEP_SECOND]);
    static_assert(STEP_SECOND + 1 == DATE_STEP_COUNT, "parse_log_date takes every step");
    return d;
}

RequestLine parse_request(std::string_view request) {
    RequestLine r;
    // An empty view may have no buffer at all, and memrchr must not get one.
    if (request.empty()) return r;
    // PERF: nearly every request ends in " HTTP/1.1" or another 8-byte
    // protocol: a space 9 bytes from the end and none after it give the last
    // space without a memrchr call (2.5% of the run on a combined log).
    const char *last_space = nullptr;
    const std::size_t n = request.size();
    if (n >= 9 && request[n - 9] == ' ') {
        std::uint64_t tail;
        std::memcpy(&tail, request.data() + n - 8, 8);
        const std::uint64_t x = tail ^ 0x2020202020202020ULL; // a zero byte where a space was
        if (((x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL) == 0)
            last_space = request.data() + n - 9;
    }
    if (last_space == nullptr)
        last_space = static_cast<const char *>(memrchr(request.data(), ' ', n));
    if (last_space == nullptr) return r;
    r.protocol = request.substr(static_cast<std::size_t>(last_space + 1 - request.data()));
    // Most requests are GETs: the first word without a scan.
    if (n >= 4 && std::memcmp(request.data(), "GET ", 4) == 0) {
        r.method = request.substr(0, 3);
        return r;
    }
    Cursor cur{request.data(), request.data() + request.size(), request.data() + request.size()};
    r.method = next_token(cur, ' ');
    return r;
}

namespace {

// inet_pton's IPv4 grammar, so that acceptance is identical: four parts of
// 1 to 3 digits, no leading zero, each at most 255, separated by single dots,
// nothing else. Byte by byte: the IPv4 tail of an IPv6 address, and hosts
// whose bytes cannot be loaded in words.
// "0.0.0.0" to "255.255.255.255": anything shorter or longer is no IPv4.
constexpr std::size_t IPV4_SHORTEST = 7;
constexpr std::size_t IPV4_LONGEST = 15;
constexpr bool ipv4_length(std::size_t n) {
    return n >= IPV4_SHORTEST && n <= IPV4_LONGEST;
}

bool parse_ipv4_bytewise(std::string_view s, unsigned char out[4]) {
    if (!ipv4_length(s.size())) return false;
    const char *p = s.data();
    const char *end = p + s.size();
    auto digit = [&](const char *q) {
        return q < end && static_cast<unsigned char>(*q - '0') <= 9;
    };
    for (int part = 0; part < 4; ++part) {
        if (!digit(p)) return false;
        unsigned value = static_cast<unsigned>(*p++ - '0');
        if (digit(p)) {
            if (value == 0) return false;
            value = value * 10 + static_cast<unsigned>(*p++ - '0');
            if (digit(p)) {
                value = value * 10 + static_cast<unsigned>(*p++ - '0');
                if (value > 255) return false;
            }
        }
        out[part] = static_cast<unsigned char>(value);
        if (part < 3) {
            if (p == end || *p != '.') return false;
            ++p;
        }
    }
    return p == end;
}

#if defined(VESTREL_SSE2)
// Bytes parse_ipv4_words may load from the host's start.
constexpr std::size_t IPV4_LOAD = 20;
// Bytes the one-load forms (parse_ipv4_shuffle, is_ipv4_masks) load.
constexpr std::size_t IPV4_VECTOR_LOAD = 16;
static_assert(IPV4_LONGEST <= IPV4_VECTOR_LOAD, "one load holds the longest address");

// The first n bytes of an address's text from one load, a bit per byte:
// the digits and the dots. The three one-load forms below start from them.
struct Ipv4Masks {
    unsigned in; // the text's bytes
    unsigned digits;
    unsigned dots;
};

// `d`: the load less '0' in every byte.
inline Ipv4Masks ipv4_masks(__m128i d, unsigned n) {
    const unsigned in = (1u << n) - 1;
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    const __m128i is_dot = _mm_cmpeq_epi8(d, _mm_set1_epi8('.' - '0'));
    return {in, static_cast<unsigned>(_mm_movemask_epi8(is_digit)) & in,
            static_cast<unsigned>(_mm_movemask_epi8(is_dot)) & in};
}

// Every byte a digit or a dot, and exactly three dots.
inline bool three_dots(const Ipv4Masks &m) {
    const unsigned rest1 = m.dots & (m.dots - 1);
    const unsigned rest2 = rest1 & (rest1 - 1);
    return (m.digits | m.dots) == m.in && rest2 != 0 && (rest2 & (rest2 - 1)) == 0;
}

// One part of 1 to 3 digits at `p` (length `length`, digits checked): its
// value, and whether it breaks the grammar (length, leading zero, > 255).
inline unsigned ipv4_part(const char *p, unsigned length, unsigned &bad) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    // The part's digits moved to the top of three bytes, zeros before them.
    const unsigned shift = (3 - (length & 3)) * 8;
    const std::uint32_t digits = ((x << shift) & 0xffffff) - ((0x303030u << shift) & 0xffffff);
    const unsigned value = (digits & 0xff) * 100 + (digits >> 8 & 0xff) * 10 + (digits >> 16);
    bad |= static_cast<unsigned>(length - 1 > 2) |
           static_cast<unsigned>(length > 1 && static_cast<unsigned char>(*p) == '0') |
           static_cast<unsigned>(value > 255);
    return value;
}

// The grammar from whole words: IPV4_LOAD bytes from s.data() may be loaded.
// PERF: clients have addresses of every length, so the byte loop's branches
// on the number of digits were mispredicted on most lines; here the dots come
// from one vector compare and each part from one word, with no branch on the
// digits.
bool parse_ipv4_words(std::string_view s, unsigned char out[4]) {
    const auto n = static_cast<unsigned>(s.size());
    const char *p = s.data();
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const Ipv4Masks m = ipv4_masks(_mm_sub_epi8(v, _mm_set1_epi8('0')), n);
    if (!three_dots(m)) return false;
    const unsigned dots = m.dots;
    const unsigned rest1 = dots & (dots - 1);
    const unsigned rest2 = rest1 & (rest1 - 1);
    const auto dot1 = static_cast<unsigned>(std::countr_zero(dots));
    const auto dot2 = static_cast<unsigned>(std::countr_zero(rest1));
    const auto dot3 = static_cast<unsigned>(std::countr_zero(rest2));
    unsigned bad = 0;
    const unsigned a = ipv4_part(p, dot1, bad);
    const unsigned b = ipv4_part(p + dot1 + 1, dot2 - dot1 - 1, bad);
    const unsigned c = ipv4_part(p + dot2 + 1, dot3 - dot2 - 1, bad);
    const unsigned e = ipv4_part(p + dot3 + 1, n - dot3 - 1, bad);
    if (bad != 0) return false;
    out[0] = static_cast<unsigned char>(a);
    out[1] = static_cast<unsigned char>(b);
    out[2] = static_cast<unsigned char>(c);
    out[3] = static_cast<unsigned char>(e);
    return true;
}

// The shuffles of parse_ipv4_shuffle, one for each combination of part
// lengths (1 to 3 each), indexed by (l1 - 1) + 3 (l2 - 1) + 9 (l3 - 1) +
// 27 (l4 - 1): lane k takes part k's hundreds, tens and ones in its first
// three bytes, 0x80 (a zero byte) where the part is shorter and in the fourth.
constexpr unsigned IPV4_LAYOUTS = 81;
alignas(16) constexpr std::array<std::array<unsigned char, 16>, IPV4_LAYOUTS> IPV4_SHUFFLE = [] {
    std::array<std::array<unsigned char, 16>, IPV4_LAYOUTS> t{};
    for (unsigned i = 0; i < IPV4_LAYOUTS; ++i) {
        const unsigned length[4] = {i % 3 + 1, i / 3 % 3 + 1, i / 9 % 3 + 1, i / 27 + 1};
        unsigned start = 0;
        for (unsigned k = 0; k < 4; ++k) {
            for (unsigned j = 0; j < 4; ++j)
                t[i][4 * k + j] = 0x80;
            for (unsigned j = 0; j < length[k]; ++j)
                t[i][4 * k + 3 - length[k] + j] = static_cast<unsigned char>(start + j);
            start += length[k] + 1;
        }
    }
    return t;
}();

// parse_ipv4_words with one load, one shuffle and two multiply-adds for the
// four values: IPV4_VECTOR_LOAD bytes from s.data() may be loaded. PERF:
// against the four parts' word loads, shifts and multiplies, 6 to 9% less
// time for the whole run on logs of IPv4 clients (measured).
__attribute__((target("ssse3"))) bool parse_ipv4_shuffle(std::string_view s,
                                                        unsigned char out[4]) {
    const auto n = static_cast<unsigned>(s.size());
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s.data()));
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const Ipv4Masks m = ipv4_masks(d, n);
    const unsigned zeros =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_setzero_si128()))) & m.in;
    if (!three_dots(m)) return false;
    const unsigned digits = m.digits;
    const unsigned dots = m.dots;
    const unsigned rest1 = dots & (dots - 1);
    const unsigned rest2 = rest1 & (rest1 - 1);
    // No part starts with a 0 that a digit follows.
    if (((dots << 1 | 1) & zeros & digits >> 1) != 0) return false;
    const auto dot1 = static_cast<unsigned>(std::countr_zero(dots));
    const auto dot2 = static_cast<unsigned>(std::countr_zero(rest1));
    const auto dot3 = static_cast<unsigned>(std::countr_zero(rest2));
    // Part lengths less one: each must be 0 to 2.
    const unsigned l1 = dot1 - 1;
    const unsigned l2 = dot2 - dot1 - 2;
    const unsigned l3 = dot3 - dot2 - 2;
    const unsigned l4 = n - dot3 - 2;
    if (l1 > 2 || l2 > 2 || l3 > 2 || l4 > 2) return false;
    const __m128i shuffle = _mm_load_si128(
        reinterpret_cast<const __m128i *>(IPV4_SHUFFLE[l1 + 3 * l2 + 9 * l3 + 27 * l4].data()));
    const __m128i placed = _mm_shuffle_epi8(d, shuffle);
    const __m128i pairs = _mm_maddubs_epi16(placed, _mm_set1_epi32(0x00010a64));
    const __m128i values = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010001));
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(values, _mm_set1_epi32(255))) != 0) return false;
    const __m128i packed = _mm_shuffle_epi8(values, _mm_set1_epi32(0x0c080400));
    const auto word = static_cast<std::uint32_t>(_mm_cvtsi128_si32(packed));
    std::memcpy(out, &word, 4);
    return true;
}

[[gnu::noinline]] bool parse_ipv4_copied(std::string_view s, unsigned char out[4]) {
    char copy[IPV4_LOAD] = {};
    std::memcpy(copy, s.data(), s.size());
    return parse_ipv4_words(std::string_view(copy, s.size()), out);
}
#endif

bool parse_ipv4(std::string_view s, std::size_t readable, VectorLevel level,
                unsigned char out[4]) {
    if (!ipv4_length(s.size())) return false;
#if defined(VESTREL_SSE2)
    // Every machine with AVX2 has SSSE3.
    if (level >= VectorLevel::AVX2 && readable >= IPV4_VECTOR_LOAD)
        return parse_ipv4_shuffle(s, out);
    if (readable >= IPV4_LOAD) return parse_ipv4_words(s, out);
    return parse_ipv4_copied(s, out);
#else
    (void)readable;
    (void)level;
    return parse_ipv4_bytewise(s, out);
#endif
}

#if defined(VESTREL_SSE2)
// parse_ipv4's verdict without the binary form, from masks of one load
// (IPV4_VECTOR_LOAD bytes from s.data() may be loaded; ipv4_length holds):
// every byte a digit or a dot, three dots, no empty part, none of four
// digits, none with a leading zero, and the three-digit ones at most "255"
// byte by byte. PERF: without -g only the family is wanted, and the shuffle's
// values were a chain of dependent steps (the table's index from the dots,
// then the shuffle and two multiply-adds) in a call that cannot be inlined
// (SSSE3): 13% of the run on a common-layout log.
inline bool is_ipv4_masks(std::string_view s) {
    const auto n = static_cast<unsigned>(s.size());
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s.data()));
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const auto mask = [](__m128i x) { return static_cast<unsigned>(_mm_movemask_epi8(x)); };
    const auto is = [&d](char k) { return _mm_cmpeq_epi8(d, _mm_set1_epi8(k)); };
    const Ipv4Masks m = ipv4_masks(d, n);
    const unsigned digits = m.digits;
    const unsigned dots = m.dots;
    const unsigned starts = (dots << 1 | 1) & m.in;
    const unsigned three = starts & digits >> 1 & digits >> 2;
    // Over "255" where three digits start, compared as signed bytes (exact
    // on digits, the only bytes the mask is taken at).
    const auto above = [](__m128i x, char k) { return _mm_cmpgt_epi8(x, _mm_set1_epi8(k)); };
    const __m128i d1 = _mm_srli_si128(d, 1);
    const __m128i over_255 = _mm_or_si128(
        above(d, 2),
        _mm_and_si128(is(2), _mm_or_si128(above(d1, 5),
                                          _mm_and_si128(_mm_cmpeq_epi8(d1, _mm_set1_epi8(5)),
                                                        above(_mm_srli_si128(d, 2), 5)))));
    return three_dots(m) && (dots & (1u | dots >> 1 | 1u << (n - 1))) == 0 &&
           (digits & digits >> 1 & digits >> 2 & digits >> 3) == 0 &&
           (starts & mask(is(0)) & digits >> 1) == 0 && (three & mask(over_255)) == 0;
}
#endif

// parse_ipv4's verdict alone.
bool is_ipv4(std::string_view s, std::size_t readable, VectorLevel level) {
    if (!ipv4_length(s.size())) return false;
#if defined(VESTREL_SSE2)
    if (readable >= IPV4_VECTOR_LOAD) return is_ipv4_masks(s);
#endif
    unsigned char bytes[4];
    return parse_ipv4(s, readable, level, bytes);
}

// Value of a hex digit, or 16 for any other byte.
constexpr std::array<unsigned char, 256> HEX_VALUE = [] {
    std::array<unsigned char, 256> t{};
    t.fill(16);
    for (int c = '0'; c <= '9'; ++c)
        t[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[c] = static_cast<unsigned char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        t[c] = static_cast<unsigned char>(c - 'A' + 10);
    return t;
}();

// inet_pton's IPv6 grammar step for step, so that acceptance is identical:
// groups of 1 to 4 hex digits, one "::" at most, an optional dotted IPv4
// tail in the last 4 bytes, exactly 16 bytes in the end.
bool parse_ipv6(std::string_view s, unsigned char out[16]) {
    unsigned char tmp[16] = {};
    unsigned char *tp = tmp;
    unsigned char *const endp = tmp + 16;
    unsigned char *colonp = nullptr;
    const char *src = s.data();
    const char *const end = src + s.size();
    // A leading "::" needs the second colon right away.
    if (src < end && *src == ':') {
        if (++src == end || *src != ':') return false;
    }
    const char *curtok = src;
    int seen_xdigits = 0;
    unsigned val = 0;
    while (src < end) {
        const char ch = *src++;
        const unsigned digit = HEX_VALUE[static_cast<unsigned char>(ch)];
        if (digit < 16) {
            val = (val << 4) | digit;
            if (++seen_xdigits > 4) return false;
            continue;
        }
        if (ch == ':') {
            curtok = src;
            if (seen_xdigits == 0) {
                if (colonp != nullptr) return false;
                colonp = tp;
                continue;
            }
            if (src == end) return false;
            if (tp + 2 > endp) return false;
            *tp++ = static_cast<unsigned char>(val >> 8);
            *tp++ = static_cast<unsigned char>(val);
            seen_xdigits = 0;
            val = 0;
            continue;
        }
        if (ch == '.' && tp + 4 <= endp &&
            parse_ipv4_bytewise(std::string_view(curtok, static_cast<std::size_t>(end - curtok)),
                                tp)) {
            tp += 4;
            seen_xdigits = 0;
            break;
        }
        return false;
    }
    if (seen_xdigits > 0) {
        if (tp + 2 > endp) return false;
        *tp++ = static_cast<unsigned char>(val >> 8);
        *tp++ = static_cast<unsigned char>(val);
    }
    if (colonp != nullptr) {
        if (tp == endp) return false;
        const long n = tp - colonp;
        for (long i = 1; i <= n; ++i) {
            endp[-i] = colonp[n - i];
            colonp[n - i] = 0;
        }
        tp = endp;
    }
    if (tp != endp) return false;
    std::memcpy(out, tmp, 16);
    return true;
}

// What the address check makes of an address: its family alone, its whole
// binary form, or its head (see parse_address_head).
enum Ipv6Form { FAMILY, WHOLE, HEAD };
// The address check's result when it made only the head.
constexpr int HEAD_ONLY = 2;

#if defined(VESTREL_SSE2)
// Bytes parse_ipv6_hex may load from the host's start.
constexpr std::size_t IPV6_LOAD = ADDRESS_HEAD_TEXT;

// Bits of the bytes in [p, p + 16 * Chunks) for which the compare holds.
template <unsigned Chunks, typename Compare>
std::uint64_t byte_mask(const char *p, Compare compare) {
    static_assert(Chunks <= 4);
    std::uint64_t m = 0;
    for (unsigned k = 0; k < Chunks; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        m |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(compare(x)))} << (16 * k);
    }
    return m;
}

// std::popcount in a few instructions. PERF: the x86-64 baseline has no
// popcnt instruction, so std::popcount was a library call on every IPv6
// line (2% of the run on a log of IPv6 clients).
inline int bit_count(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

// One group of 1 to 4 hex digits at `p` (checked): its value.
inline unsigned ipv6_group(const char *p, unsigned length) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    // The group's digits moved to the top of the word, zero bytes before them.
    const unsigned shift = (4 - length) * 8;
    x = shift == 32 ? 0 : x << shift;
    // '0'-'9' keep their low nibble; 'a'-'f' and 'A'-'F' (bit 6 set) add 9 to it.
    const std::uint32_t v = (x & 0x0f0f0f0fu) + 9 * ((x >> 6) & 0x01010101u);
    const std::uint32_t pairs = ((v << 4) | (v >> 8)) & 0x00ff00ffu;
    return (pairs & 0xff) << 8 | (pairs >> 16 & 0xff);
}

// The groups of 1 to 4 hex digits in [from, to), separated by the single
// colons of `colons`, into `groups` (at most `most`): their number, or -1
// when a group is empty or too long or there are too many.
int ipv6_groups(const char *p, unsigned from, unsigned to, std::uint64_t colons, unsigned most,
                unsigned groups[8]) {
    if (from == to) return 0;
    std::uint64_t rest =
        colons & ((std::uint64_t{1} << to) - 1) & ~((std::uint64_t{1} << from) - 1);
    unsigned count = 0;
    for (unsigned start = from;;) {
        const unsigned end = rest != 0 ? static_cast<unsigned>(std::countr_zero(rest)) : to;
        const unsigned length = end - start;
        if (length == 0 || length > 4 || count == most) return -1;
        groups[count++] = ipv6_group(p + start, length);
        if (end == to) return static_cast<int>(count);
        rest &= rest - 1;
        start = end + 1;
    }
}

// The forms of an IPv6 address without a dotted tail: groups and colons,
// with at most one "::", when IPV6_LOAD bytes may be loaded: nonzero with
// the binary form in `out` as `Form` says, HEAD_ONLY when only its first
// four bytes were made (HEAD, and they are not all zero). Zero says
// nothing: a dotted tail and every reject are left to parse_ipv6. PERF: the
// byte loop took a third of the run on a log of IPv6 clients; here the
// colons come from one set of compares and each group from one word. The
// check counts the groups from the masks alone, with no loop over them
// (whose length was mispredicted on most lines).
template <Ipv6Form Form> int parse_ipv6_hex(std::string_view s, unsigned char out[16]) {
    const auto n = static_cast<unsigned>(s.size());
    if (n < 2 || n > 39) return 0;
    const char *p = s.data();
    const std::uint64_t in = (std::uint64_t{1} << n) - 1;
    const std::uint64_t colons =
        byte_mask<3>(p, [](__m128i x) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(':')); }) & in;
    const std::uint64_t hex =
        byte_mask<3>(p,
                     [](__m128i x) {
                         const __m128i digit = _mm_sub_epi8(x, _mm_set1_epi8('0'));
                         const __m128i letter =
                             _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
                         return _mm_or_si128(
                             _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit),
                             _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter));
                     }) &
        in;
    if ((hex | colons) != in) return 0;
    // Bit i: bytes i and i + 1 are both colons. One "::" at most, and no
    // single colon at either end.
    const std::uint64_t pairs = colons & (colons >> 1);
    if ((pairs & (pairs - 1)) != 0) return 0;
    if ((colons & 1) != 0 && (pairs & 1) == 0) return 0;
    if ((colons >> (n - 1)) != 0 && (pairs >> (n - 2)) == 0) return 0;
    if constexpr (Form != WHOLE) {
        // No run of five hex digits; eight groups, or at most seven and "::".
        if ((hex & hex >> 1 & hex >> 2 & hex >> 3 & hex >> 4) != 0) return 0;
        const int groups = bit_count(hex & ~(hex << 1));
        if (pairs == 0 ? groups != 8 : groups > 7) return 0;
        if constexpr (Form == FAMILY) return 1;
    }
    if constexpr (Form == HEAD) {
        // The first two groups, when "::" does not come first: the second
        // is zero when "::" follows the first. PERF: the whole binary form
        // took 18 ns a line more than the check alone on IPv6 clients, and
        // a lookup needs it only to walk a /32 or an IPv4-mapped address
        // (whose first four bytes are zero).
        const auto colon1 = static_cast<unsigned>(std::countr_zero(colons));
        const std::uint64_t later = colons & (colons - 1);
        const auto colon2 = static_cast<unsigned>(std::countr_zero(later));
        if (colon1 != 0) {
            const unsigned first = ipv6_group(p, colon1);
            const unsigned second =
                colon2 == colon1 + 1 ? 0 : ipv6_group(p + colon1 + 1, colon2 - colon1 - 1);
            if ((first | second) != 0) {
                const std::uint32_t head = (first >> 8) | (first & 0xff) << 8 |
                                           (second >> 8) << 16 | (second & 0xff) << 24;
                std::memcpy(out, &head, 4);
                return HEAD_ONLY;
            }
        }
    }
    // The groups before "::" (all eight when there is none) go first, those
    // after it last, zeros between.
    unsigned groups[8];
    int left;
    int right = 0;
    if (pairs == 0) {
        left = ipv6_groups(p, 0, n, colons, 8, groups);
        if (left != 8) return 0;
    } else {
        // "::" stands for at least one zero group: seven groups at most.
        const auto gap = static_cast<unsigned>(std::countr_zero(pairs));
        left = ipv6_groups(p, 0, gap, colons, 7, groups);
        if (left < 0) return 0;
        right = ipv6_groups(p, gap + 2, n, colons, 7 - static_cast<unsigned>(left), groups + left);
        if (right < 0) return 0;
    }
    // PERF: the bytes gathered in two words, each stored whole: built byte
    // by byte in memory, they were read back as one vector before the
    // byte stores had left the store buffer, a stall on every line.
    // (x86 only, so little-endian: byte k of a word is bits 8k to 8k + 7.)
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    for (int i = 0; i < left + right; ++i) {
        const auto at = static_cast<unsigned>(i < left ? 2 * i : 16 - 2 * (left + right - i));
        const std::uint64_t big_endian = (groups[i] >> 8 & 0xff) | (groups[i] & 0xff) << 8;
        const std::uint64_t placed = big_endian << (8 * (at % 8));
        const std::uint64_t in_high = 0 - std::uint64_t{at / 8};
        low |= placed & ~in_high;
        high |= placed & in_high;
    }
    std::memcpy(out, &low, 8);
    std::memcpy(out + 8, &high, 8);
    return 1;
}
#endif

} // namespace

namespace {

// The address check; the binary form as `Form` says (see parse_ipv6_hex).
// Returns HEAD_ONLY when only its first four bytes were made.
template <Ipv6Form Form>
inline int check_address(std::string_view host, std::size_t readable, VectorLevel level,
                         Address &a) {
    a.family = 0;
    std::memset(a.bytes, 0, sizeof a.bytes);
    if (Form == FAMILY ? is_ipv4(host, readable, level)
                       : parse_ipv4(host, readable, level, a.bytes)) {
        a.family = AF_INET;
        return 1;
    }
#if defined(VESTREL_SSE2)
    if (readable >= IPV6_LOAD) {
        const int made = parse_ipv6_hex<Form>(host, a.bytes);
        if (made != 0) {
            a.family = AF_INET6;
            return made;
        }
    }
#endif
    if (parse_ipv6(host, a.bytes)) a.family = AF_INET6;
    return 1;
}

} // namespace

bool parse_address_head(Address &out, std::string_view host, std::size_t readable,
                        VectorLevel level) {
    return check_address<HEAD>(host, readable, level, out) != HEAD_ONLY;
}

void finish_address(Address &out, std::string_view host) {
#if defined(VESTREL_SSE2)
    parse_ipv6_hex<WHOLE>(host, out.bytes);
#else
    (void)out;
    (void)host; // parse_address_head makes every address whole
#endif
}

Address parse_address(std::string_view host, std::size_t readable, VectorLevel level) {
    Address a;
    check_address<WHOLE>(host, readable, level, a);
    return a;
}

int address_family(std::string_view host, std::size_t readable, VectorLevel level) {
    Address a;
    check_address<FAMILY>(host, readable, level, a);
    return a.family;
}

long long parse_hour(std::string_view date) {
    constexpr unsigned HOURS_IN_DAY = 24;
    // The usual "10/Oct/2000:13:55:36 -0700": the delimiters where the
    // splitter would find them and none before, so its hour is bytes 12-13.
    constexpr char SLASH = DATE_STEPS[STEP_DAY];
    constexpr char COLON = DATE_STEPS[STEP_YEAR];
    static_assert(DATE_STEPS[STEP_MONTH] == SLASH && DATE_STEPS[STEP_HOUR] == COLON,
                  "the usual layout has two delimiters, each ending two steps");
    const char *d = date.data();
    bool usual;
#if defined(VESTREL_SSE2)
    if (date.size() >= 16) {
        // PERF: the thirteen byte checks below as two compares.
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d));
        const auto slashes =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(SLASH))));
        const auto colons =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(COLON))));
        usual =
            (slashes & 0x7f) == (1u << 2 | 1u << 6) && (colons & 0x7f80) == (1u << 11 | 1u << 14);
    } else
#endif
    {
        usual = date.size() >= 15 && d[2] == SLASH && d[6] == SLASH && d[11] == COLON &&
                d[14] == COLON && d[0] != SLASH && d[1] != SLASH && d[3] != SLASH &&
                d[4] != SLASH && d[5] != SLASH && d[7] != COLON && d[8] != COLON && d[9] != COLON &&
                d[10] != COLON;
    }
    if (usual) {
        const unsigned tens = static_cast<unsigned char>(d[12] - '0');
        const unsigned ones = static_cast<unsigned char>(d[13] - '0');
        if (tens <= 9 && ones <= 9) {
            const unsigned hour = tens * 10 + ones;
            return hour < HOURS_IN_DAY ? static_cast<long long>(hour) : -1;
        }
    }
    const LogDate parts = parse_log_date(date);
    return parts.hour ? parse_number(*parts.hour, 23) : -1;
}

long long parse_number_slow(std::string_view token, long long maxval) {
    const char *p = token.data();
    const char *end = p + token.size();
    // strtoll's white space in the C locale, then one sign.
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end) return -1;
    // Past maxval the token is rejected whatever follows, so overflow can
    // stop the scan early.
    const auto limit = static_cast<unsigned long long>(maxval);
    unsigned long long magnitude = 0;
    for (; p < end; ++p) {
        unsigned digit = static_cast<unsigned char>(*p - '0');
        if (digit > 9 || digit > limit || magnitude > (limit - digit) / 10) return -1;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return magnitude == 0 ? 0 : -1;
    return static_cast<long long>(magnitude);
}

} // namespace vestrel
