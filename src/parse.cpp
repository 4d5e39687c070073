#include "parse.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vestrel {

namespace {

// One strtok step over a bounded text. The text never holds a NUL (the line
// reader cuts it at the first one), so memchr over the remaining bytes finds
// exactly what strtok's strcspn would. A token that runs to the end leaves
// the cursor at the end, which makes every later step absent, as strtok does.
struct Cursor {
    const char *pos;
    const char *end;
};

Field next_token(Cursor &cur, char delim) {
    while (cur.pos < cur.end && *cur.pos == delim)
        ++cur.pos;
    if (cur.pos == cur.end) return std::nullopt;
    const char *start = cur.pos;
    const auto *hit = static_cast<const char *>(
        std::memchr(start, delim, static_cast<std::size_t>(cur.end - start)));
    if (hit == nullptr) {
        cur.pos = cur.end;
        return std::string_view(start, static_cast<std::size_t>(cur.end - start));
    }
    cur.pos = hit + 1;
    return std::string_view(start, static_cast<std::size_t>(hit - start));
}

// The size field ends at a space or a double quote (a quoted size loses its
// quotes). Both bytes are rare in the few bytes scanned, so a plain loop wins
// over two memchr calls.
Field next_token_space_or_quote(Cursor &cur) {
    auto is_delim = [](char c) { return c == ' ' || c == '"'; };
    while (cur.pos < cur.end && is_delim(*cur.pos))
        ++cur.pos;
    if (cur.pos == cur.end) return std::nullopt;
    const char *start = cur.pos;
    const char *p = start;
    while (p < cur.end && !is_delim(*p))
        ++p;
    cur.pos = p < cur.end ? p + 1 : cur.end;
    return std::string_view(start, static_cast<std::size_t>(p - start));
}

std::string_view skip_token(Cursor &cur, char delim) {
    Field f = next_token(cur, delim);
    return f.value_or(std::string_view());
}

} // namespace

LogLine parse_log_line(std::string_view text) {
    LogLine line;
    Cursor cur{text.data(), text.data() + text.size()};
    line.remote_host = next_token(cur, ' ');
    skip_token(cur, ' '); // ident
    skip_token(cur, '['); // user, with the space before the bracket
    line.date = next_token(cur, ']');
    skip_token(cur, '"'); // between the closing bracket and the opening quote
    line.request = next_token(cur, '"');
    line.status = next_token(cur, ' ');
    line.size = next_token_space_or_quote(cur);
    return line;
}

LogDate parse_log_date(std::string_view date) {
    LogDate d;
    Cursor cur{date.data(), date.data() + date.size()};
    d.day = next_token(cur, '/');
    d.month = next_token(cur, '/');
    d.year = next_token(cur, ':');
    d.hour = next_token(cur, ':');
    d.minute = next_token(cur, ':');
    d.second = next_token(cur, ' ');
    return d;
}

RequestLine parse_request(std::string_view request) {
    RequestLine r;
    std::size_t last_space = request.rfind(' ');
    if (last_space == std::string_view::npos) return r;
    r.protocol = request.substr(last_space + 1);
    Cursor cur{request.data(), request.data() + request.size()};
    r.method = next_token(cur, ' ');
    return r;
}

namespace {

// inet_pton's IPv4 grammar, digit by digit, so that acceptance is identical:
// 1 to 3 digits per part, no leading zero, value at most 255, exactly four
// parts and nothing else.
bool parse_ipv4(std::string_view s, unsigned char out[4]) {
    int parts = 0;
    unsigned value = 0;
    bool saw_digit = false;
    for (char ch : s) {
        if (ch >= '0' && ch <= '9') {
            if (saw_digit && value == 0) return false;
            value = value * 10 + static_cast<unsigned>(ch - '0');
            if (value > 255) return false;
            if (!saw_digit) {
                if (++parts > 4) return false;
                saw_digit = true;
            }
        } else if (ch == '.' && saw_digit) {
            if (parts == 4) return false;
            out[parts - 1] = static_cast<unsigned char>(value);
            value = 0;
            saw_digit = false;
        } else {
            return false;
        }
    }
    if (parts < 4 || !saw_digit) return false;
    out[3] = static_cast<unsigned char>(value);
    return true;
}

} // namespace

Address parse_address(std::string_view host) {
    Address a;
    if (parse_ipv4(host, a.bytes)) {
        a.family = AF_INET;
        return a;
    }
    // No IPv6 text that inet_pton accepts is longer than
    // "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255" (45 bytes).
    char text[INET6_ADDRSTRLEN];
    if (host.size() >= sizeof text) return a;
    std::memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';
    if (inet_pton(AF_INET6, text, a.bytes) == 1) a.family = AF_INET6;
    return a;
}

long long parse_number(std::string_view token, long long maxval) {
    const char *p = token.data();
    const char *end = p + token.size();
    // Plain digits are nearly every token: status, size and hour fields.
    if (!token.empty() && token.size() <= 18) {
        long long value = 0;
        const char *q = p;
        while (q < end && static_cast<unsigned char>(*q - '0') <= 9)
            value = value * 10 + (*q++ - '0');
        if (q == end) return value <= maxval ? value : -1;
    }
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
