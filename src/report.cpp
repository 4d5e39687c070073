#include "report.h"

#include <jansson.h>

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

} // namespace

char *build_report(const Results &results) {
    // Arrays are built in table order of the record but inserted in report
    // order; the two differ ("status" is built before "methods").
    json_t *continents = named_slots(results.continents, continent_codes, &continent_names);
    json_t *countries = named_slots(results.countries, country_codes, &country_names);
    json_t *hours = numbered_slots(results.hours);
    json_t *status = numbered_slots(results.status);
    json_t *methods = named_slots(results.methods, method_names);
    json_t *protocols = named_slots(results.protocols, protocol_names);
    json_t *hits = family_totals(results.hits_ipv4, results.hits_ipv6, results.hits_total);
    json_t *visits = family_totals(results.visits_ipv4, results.visits_ipv6, results.visits_total);

    json_t *root = json_object();
    json_object_set_new(root, "date", json_string(results.date));
    json_object_set_new(root, "generator", json_stringn(VERSION_TEXT.data(), VERSION_TEXT.size()));
    json_object_set_new(root, "file_name", json_string(results.file_name));
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
