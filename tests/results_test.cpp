#include "results.h"

#include <gtest/gtest.h>
#include <string>

namespace vestrel {
namespace {

TEST(Tables, CountryAndContinentCodes) {
    for (std::size_t i = 0; i < COUNTRY_COUNT; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(country_codes[i].size(), 2u);
        EXPECT_TRUE(std::isupper(country_codes[i][0]) && std::isupper(country_codes[i][1]));
        EXPECT_FALSE(country_names[i].empty());
        if (i > 0) EXPECT_LT(country_codes[i - 1], country_codes[i]) << "ascending, distinct";
    }
    EXPECT_EQ(table_index(country_codes, "XK"), 244);
    EXPECT_EQ(country_names[244], "Kosovo");
    EXPECT_EQ(table_index(country_codes, "ZW"), 249);
    EXPECT_EQ(table_index(country_codes, "ZZ"), -1);
    EXPECT_EQ(table_index(continent_codes, "SA"), 6);
    EXPECT_EQ(continent_names[4], "North America");
}

// The packed matcher must agree with plain comparison on the entries and on
// near misses: prefixes, extensions, case, and texts past 8 bytes; both when
// it packs the bytes one by one and when it loads 8 and masks them, with
// bytes after the text that a mask too wide would take in.
TEST(Tables, KeyedMatchEqualsPlainMatch) {
    std::vector<std::string> probes = {"", "G", "GE", "GETS", "get", "Get", "POST ", " POST",
                                       "OPTION", "OPTIONSS", "CONNECTS", "HTTP/1.1\n", "HTTP/3.0",
                                       "HTTP/2", "HTTP/1.10", "HTTP/1", "http/1.1", "HTTP/1.2"};
    for (auto t : method_names)
        probes.emplace_back(t);
    for (auto t : protocol_names)
        probes.emplace_back(t);
    for (const std::string &p : probes) {
        SCOPED_TRACE(p);
        EXPECT_EQ(method_table.find(p), table_index(method_names, p));
        EXPECT_EQ(protocol_table.find(p), table_index(protocol_names, p));
        for (const std::string_view after : {"IONS", "/1.1", "", "\n\n\n\n\n\n\n\n"}) {
            const std::string buffer = p + std::string(after) + std::string(8, '\0');
            const std::string_view loaded(buffer.data(), p.size());
            EXPECT_EQ(method_table.find(loaded, buffer.size()), table_index(method_names, p));
            EXPECT_EQ(protocol_table.find(loaded, buffer.size()), table_index(protocol_names, p));
        }
    }
    EXPECT_EQ(method_table.find("PATCH"), 8);
    EXPECT_EQ(protocol_table.find("HTTP/3"), 3);
}

TEST(Results, BandwidthSaturates) {
    Results r;
    add_bandwidth(r, INT64_MAX);
    EXPECT_EQ(r.bandwidth, static_cast<std::uint64_t>(INT64_MAX));
    add_bandwidth(r, 1);
    EXPECT_EQ(r.bandwidth, static_cast<std::uint64_t>(INT64_MAX));
    add_bandwidth(r, 0);
    EXPECT_EQ(r.bandwidth, static_cast<std::uint64_t>(INT64_MAX));
}

TEST(Results, ClearKeepsFileFields) {
    Results r;
    r.file_name = "x.log";
    r.file_size = 42;
    r.hours[3] = 7;
    r.runtime = 1.5;
    r.date[0] = '2';
    clear_counters(r);
    EXPECT_STREQ(r.file_name, "x.log");
    EXPECT_EQ(r.file_size, 42);
    EXPECT_EQ(r.hours[3], 0u);
    EXPECT_EQ(r.runtime, 0.0);
    EXPECT_EQ(r.date[0], '\0');
}

} // namespace
} // namespace vestrel
