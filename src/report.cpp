#include "report.h"

#include <cstring>
#include <jansson.h>
#include <string>

namespace vestrel {

namespace {

json_t *count(std::uint64_t hits) {
    return json_integer(static_cast<json_int_t>(hits));
}

// Element with a string "data" (from a table) and optionally a "name".
template <std::size_t N>
json_t *named_slots(const std::array<std::uint64_t, N> &counts,
                    const std::array<std::string_view, N> &codes,
                    const std::array<std::string_view, N> *names = nullptr) {
    json_t *array = json_array();
    for (std::size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        json_t *element = names != nullptr ? json_pack("{s:s%, s:s%, s:o}", "data", codes[i].data(),
                                                       codes[i].size(), "name", (*names)[i].data(),
                                                       (*names)[i].size(), "hits", count(counts[i]))
                                           : json_pack("{s:s%, s:o}", "data", codes[i].data(),
                                                       codes[i].size(), "hits", count(counts[i]));
        json_array_append_new(array, element);
    }
    return array;
}

template <std::size_t N> json_t *numbered_slots(const std::array<std::uint64_t, N> &counts) {
    json_t *array = json_array();
    for (std::size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        json_array_append_new(array, json_pack("{s:I, s:o}", "data", static_cast<json_int_t>(i),
                                               "hits", count(counts[i])));
    }
    return array;
}

json_t *family_totals(std::uint64_t ipv4, std::uint64_t ipv6, std::uint64_t total) {
    json_t *object = json_object();
    json_object_set_new(object, "ipv4", count(ipv4));
    json_object_set_new(object, "ipv6", count(ipv6));
    json_object_set_new(object, "total", count(total));
    return object;
}

// Length of the well-formed UTF-8 sequence at the start of `s` (n bytes
// left), 0 when there is none: the ranges of Unicode's table of well-formed
// byte sequences, which exclude overlong forms, surrogates and code points
// past U+10FFFF, as jansson does.
std::size_t utf8_sequence(const unsigned char *s, std::size_t n) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf; // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        if (c == 0xe0) low = 0xa0;
        if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        if (c == 0xf0) low = 0x90;
        if (c == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xbf) return 0;
    return length;
}

// A path is bytes, JSON text is UTF-8, and jansson refuses a string that is
// not: each byte that starts no well-formed sequence becomes U+FFFD, so the
// key is always there and the document stays valid.
json_t *path_string(const char *path) {
    if (path == nullptr) return nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(path);
    const std::size_t n = std::strlen(path);
    std::string text;
    text.reserve(n);
    for (std::size_t i = 0; i < n;) {
        const std::size_t length = utf8_sequence(s + i, n - i);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++i;
        } else {
            text.append(path + i, length);
            i += length;
        }
    }
    return json_stringn(text.data(), text.size());
}

} // namespace

char *build_report(const Results &results) {
    // The nested values in the order the document holds them; the keys below
    // set that order (JSON_PRESERVE_ORDER).
    json_t *hits = family_totals(results.hits_ipv4, results.hits_ipv6, results.hits_total);
    json_t *visits = family_totals(results.visits_ipv4, results.visits_ipv6, results.visits_total);
    json_t *continents = named_slots(results.continents, continent_codes, &continent_names);
    json_t *countries = named_slots(results.countries, country_codes, &country_names);
    json_t *hours = numbered_slots(results.hours);
    json_t *methods = named_slots(results.methods, method_names);
    json_t *protocols = named_slots(results.protocols, protocol_names);
    json_t *status = numbered_slots(results.status);

    json_t *root = json_object();
    json_object_set_new(root, "date", json_string(results.date));
    json_object_set_new(root, "generator", json_stringn(VERSION_TEXT.data(), VERSION_TEXT.size()));
    json_object_set_new(root, "file_name", path_string(results.file_name));
    json_object_set_new(root, "file_size", json_integer(results.file_size));
    json_object_set_new(root, "processed_lines", count(results.processed_lines));
    json_object_set_new(root, "invalid_lines", count(results.invalid_lines));
    json_object_set_new(root, "bandwidth", count(results.bandwidth));
    json_object_set_new(root, "runtime", json_real(results.runtime));
    json_object_set_new(root, "hits", hits);
    json_object_set_new(root, "visits", visits);
    json_object_set_new(root, "continents", continents);
    json_object_set_new(root, "countries", countries);
    json_object_set_new(root, "hours", hours);
    json_object_set_new(root, "methods", methods);
    json_object_set_new(root, "protocols", protocols);
    json_object_set_new(root, "status", status);

    char *text = json_dumps(root, JSON_INDENT(3) | JSON_PRESERVE_ORDER);
    json_decref(root);
    return text;
}

} // namespace vestrel
