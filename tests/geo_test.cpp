// Geolocation (src/geo.cpp) against the library's own lookup: the fixture
// databases in tests/geo and databases written here, per address, through
// whole runs, the flattened tables at every network edge, and the queued
// lookups (tests/support/differential.h).
#include "geo.h"
#include "hll.h"
#include "reference/reference.h"
#include "support/differential.h"
#include "support/mmdb_writer.h"
#include "support/process.h"
#include "tally.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vestrel {
namespace {

namespace ref = vestrel::reference;
using namespace test;

// ---------------------------------------------------------------- geolocation

std::string geo_path(const char *name) {
    return std::string(VESTREL_TEST_DIR) + "/geo/" + name;
}

// Every address tests/geo/README.md lists, and text that is no address.
const char *const FIXTURE_HOSTS[] = {
    "77.1.0.1", "0:4d01::1", "77.1.255.254", "::ffff:77.1.2.3", "0:4d01:ffff::5", "2a10::1",
    "2a10:ffff::1", "81.2.69.1", "81.2.69.254", "2a02:cf40::1", "2a02:cf40:ffff::1", "216.160.83.1",
    "2600:1700::1", "1.0.16.1", "2400:2000::1", "200.160.2.1", "2804:14c::1", "1.128.0.1",
    "2403:5800::1", "41.0.0.1", "2c0f:f000::1", "185.121.177.1", "2a0e:b100::1", "89.160.20.1",
    "2a07:1c40:20::1", "89.160.21.1", "2a07:1c40:21::1", "89.160.22.1", "2a07:1c40:22::1",
    "89.160.23.1", "2a07:1c40:23::1", "89.160.24.1", "2a07:1c40:24::1", "89.160.25.1",
    "2a07:1c40:25::1", "89.160.26.1", "2a07:1c40:26::1", "89.160.27.1", "2a07:1c40:27::1",
    "89.160.28.1", "2a07:1c40:28::1", "89.160.29.1", "2a07:1c40:29::1", "89.160.30.1",
    "2a07:1c40:30::1", "89.160.31.1", "2a07:1c40:31::1", "89.160.32.1", "2a07:1c40:32::1",
    "89.160.33.1", "2a07:1c40:33::1", "89.160.34.1", "2a07:1c40:34::1", "::ffff:81.2.69.1",
    "::81.2.69.1", "2002:5102:4501::1", "2001:0:5102:4501::1", "::ffff:89.160.25.1", "192.0.2.1",
    "10.0.0.1", "::ffff:10.0.0.1", "127.0.0.1", "0.0.0.0", "255.255.255.255", "8.8.8.8",
    "81.2.70.1", "89.160.19.1", "89.160.35.1", "2001:db8::1", "::1", "::", "fe80::1",
    "2a07:1c40:19::1", "2a07:1c40:35::1", "2a02:cf41::1",
    // the same addresses written differently, and no addresses at all
    "2A02:CF40::1", "2a02:cf40:0:0:0:0:0:1", "::FFFF:81.2.69.1", "::ffff:5102:4501", "081.2.69.1",
    "81.2.69", "81.2.69.1.5", "example.org", "-", "::ffff:81.2.69.01"};

// Hosts in and around the fixture's networks, many of them, so that the
// cache sees repeats, evictions and slots shared by different addresses.
std::string random_geo_host(Rng &rng) {
    static const char *const v4_nets[] = {"81.2.69.", "216.160.83.", "1.0.16.",      "200.160.2.",
                                          "1.128.0.", "41.0.0.",     "185.121.177.", "81.2.70."};
    static const char *const v6_nets[] = {"2a02:cf40:", "2600:1700:", "2400:2000:", "2804:14c:",
                                          "2403:5800:", "2c0f:f000:", "2a0e:b100:", "2a02:cf41:"};
    char text[64];
    switch (pick(rng, 6)) {
    case 0:
        return std::string(one_of(rng, v4_nets)) + std::to_string(pick(rng, 256));
    case 1:
        return "89.160." + std::to_string(18 + pick(rng, 19)) + "." +
               std::to_string(pick(rng, 256));
    case 2:
        std::snprintf(text, sizeof text, "%s%x::%x", one_of(rng, v6_nets),
                      static_cast<unsigned>(pick(rng, 0x10000)),
                      static_cast<unsigned>(pick(rng, 16)));
        return text;
    case 3:
        return "2a07:1c40:" + std::to_string(18 + pick(rng, 19)) +
               "::" + std::to_string(pick(rng, 9));
    case 4:
        return "::ffff:" + std::string(one_of(rng, v4_nets)) + std::to_string(pick(rng, 256));
    default:
        return chance(rng, 50) ? random_ipv4(rng) : random_ipv6(rng);
    }
}

std::string geo_log(Rng &rng, std::size_t lines) {
    std::vector<std::string> pool(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    // Enough distinct hosts that a few hundred share a cache slot.
    while (pool.size() < std::max<std::size_t>(3000, GEO_CACHE_SLOTS / 4))
        pool.push_back(random_geo_host(rng));
    std::string log;
    for (std::size_t i = 0; i < lines; ++i) {
        std::string line = random_good_line(rng);
        line.replace(0, line.find(' '), pool[pick(rng, pool.size())]);
        log += line;
    }
    return log;
}

// Per address first, so that a difference names the address.
void expect_same_locations(const std::string &db_path, const std::vector<std::string> &hosts) {
    GeoHandle db = open_geo(db_path);
    for (const std::string &host : hosts) {
        const Address address = parse_address(host);
        if (address.family == 0) continue;
        Location fast;
        ASSERT_EQ(resolve_location(db->mmdb, address, fast), MMDB_SUCCESS) << "host " << host;
        const Location slow = ref::locate(db->mmdb, host.c_str());
        EXPECT_EQ(fast.country, slow.country) << "host " << host;
        EXPECT_EQ(fast.continent, slow.continent) << "host " << host;
    }
}

std::uint64_t total(const auto &counts) {
    std::uint64_t sum = 0;
    for (std::uint64_t c : counts)
        sum += c;
    return sum;
}

TEST(DifferentialGeo, FixtureAddressesMixedWithManyOthers) {
    const std::string db = geo_path("fixture.mmdb");
    Rng rng(0x5eed0008);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    for (int i = 0; i < 500; ++i)
        hosts.push_back(random_geo_host(rng));
    expect_same_locations(db, hosts);

    const std::string log = geo_log(rng, 15000);
    // The cache is only exercised if distinct addresses share slots.
    std::set<std::string> distinct;
    std::set<std::uint32_t> slots;
    for (const std::string &line : split_lines(log)) {
        const std::string host = line.substr(0, line.find(' '));
        if (distinct.insert(host).second)
            slots.insert(
                murmur3_32(host.data(), static_cast<std::int32_t>(host.size()), VISITOR_HASH_SEED) &
                (GEO_CACHE_SLOTS - 1));
    }
    ASSERT_GE(distinct.size() - slots.size(), 100u);
    Results results;
    expect_same_run(log, db.c_str(), Through::File_And_Pipe, &results);

    // The run must have found something, or the comparison says little.
    EXPECT_GT(total(results.countries), 2000u);
    EXPECT_GT(total(results.continents), 2000u);
}

// A text of the IPv6 address HEAD:0:0:0:0:0:0 (HEAD two groups) whose visitor
// hash picks cache slot `slot`: the six zero groups are written "0" to "0000"
// or some of them left out behind "::". "" when none of the ~12000 texts does.
std::string zero_tail_text_in_slot(const std::string &head, std::uint32_t slot) {
    static const char *const widths[] = {"0", "00", "000", "0000"};
    // Groups [gap, gap + length) of 2..7 go behind "::"; gap 8: none do.
    for (int gap = 2; gap <= 8; ++gap) {
        for (int length = gap == 8 ? 0 : 1; gap + length <= 8; ++length) {
            const int written = 6 - length;
            for (int choice = 0; choice < 1 << (2 * written); ++choice) {
                std::string text = head;
                int c = choice;
                for (int g = 2; g < 8; ++g) {
                    if (g == gap && length > 0) {
                        text += "::";
                        g += length - 1;
                        continue;
                    }
                    if (text.back() != ':') text += ':';
                    text += widths[c & 3];
                    c >>= 2;
                }
                if ((murmur3_32(text.data(), static_cast<std::int32_t>(text.size()),
                                VISITOR_HASH_SEED) &
                     (GEO_CACHE_SLOTS - 1)) == slot)
                    return text;
            }
        }
    }
    return "";
}

TEST(DifferentialGeo, CacheSlotSharedByIPv4AndIPv6OfTheSameBytes) {
    // 81.2.69.x is held (DE, EU); 5102:45xx:: has the same 16 bytes as the
    // cache stores the IPv4 address, but is an IPv6 address nobody holds.
    // Sharing a slot, the two must still be told apart by their family.
    std::string log;
    int pairs = 0;
    for (unsigned x = 1; x < 255 && pairs < 3; ++x) {
        const std::string v4 = "81.2.69." + std::to_string(x);
        const std::uint32_t slot =
            murmur3_32(v4.data(), static_cast<std::int32_t>(v4.size()), VISITOR_HASH_SEED) &
            (GEO_CACHE_SLOTS - 1);
        char head[16];
        std::snprintf(head, sizeof head, "5102:45%02x", x);
        const std::string v6 = zero_tail_text_in_slot(head, slot);
        if (v6.empty()) continue;
        ASSERT_EQ(parse_address(v6).family, AF_INET6) << v6;
        ASSERT_EQ(std::memcmp(parse_address(v6).bytes, parse_address(v4).bytes, 16), 0) << v6;
        const std::string rest = " - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.1\" 200 1\n";
        for (const std::string *host : {&v4, &v6, &v6, &v4})
            log += *host + rest;
        ++pairs;
    }
    ASSERT_EQ(pairs, 3);
    Results results;
    expect_same_run(log, geo_path("fixture.mmdb").c_str(), Through::File, &results);
    EXPECT_EQ(total(results.countries), 6u);
    EXPECT_EQ(total(results.continents), 6u);
}

TEST(DifferentialGeo, IPv4OnlyDatabaseCountsNoIPv6Address) {
    const std::string db = geo_path("ipv4-only.mmdb");
    Rng rng(0x5eed0009);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    expect_same_locations(db, hosts);

    std::string v6_log;
    for (const char *host : FIXTURE_HOSTS) {
        if (parse_address(host).family != AF_INET6) continue;
        for (int i = 0; i < 3; ++i) {
            std::string line = random_good_line(rng);
            v6_log += line.replace(0, line.find(' '), host);
        }
    }
    Results v6;
    expect_same_run(v6_log, db.c_str(), Through::File, &v6);
    EXPECT_GT(v6.hits_ipv6, 0u);
    EXPECT_EQ(total(v6.countries), 0u);
    EXPECT_EQ(total(v6.continents), 0u);

    // Mixed with IPv4, whose held addresses do count.
    const std::string mixed = geo_log(rng, 5000);
    Results results;
    expect_same_run(mixed, db.c_str(), Through::File, &results);
    EXPECT_GT(total(results.countries), 0u);
}

// ---------------------------------------------------------------- flat tables

// The first and last address of every network the tree holds (and of every
// empty stretch), found by walking it with the library's node reader.
struct NetworkEdges {
    std::vector<std::array<unsigned char, 16>> v6;
    std::vector<std::array<unsigned char, 4>> v4;
};

void set_bit(unsigned char *bytes, unsigned bit, unsigned value) {
    const unsigned char mask = static_cast<unsigned char>(0x80u >> (bit & 7));
    bytes[bit >> 3] =
        static_cast<unsigned char>(value ? bytes[bit >> 3] | mask : bytes[bit >> 3] & ~mask);
}

// Depth-first below `record` at `depth` of `bits`; the IPv4 aliases make the
// fixture's tree a graph, so every path is followed (the fixtures are small).
void collect_edges(const MMDB_s &mmdb, std::uint64_t record, unsigned depth, unsigned bits,
                   std::array<unsigned char, 16> prefix,
                   std::vector<std::array<unsigned char, 16>> &edges) {
    if (record < mmdb.metadata.node_count && depth < bits) {
        MMDB_search_node_s node;
        ASSERT_EQ(MMDB_read_node(&mmdb, static_cast<std::uint32_t>(record), &node), MMDB_SUCCESS);
        set_bit(prefix.data(), depth, 0);
        collect_edges(mmdb, node.left_record, depth + 1, bits, prefix, edges);
        set_bit(prefix.data(), depth, 1);
        collect_edges(mmdb, node.right_record, depth + 1, bits, prefix, edges);
        return;
    }
    std::array<unsigned char, 16> last = prefix;
    for (unsigned bit = depth; bit < bits; ++bit)
        set_bit(last.data(), bit, 1);
    edges.push_back(prefix);
    edges.push_back(last);
}

NetworkEdges network_edges(const MMDB_s &mmdb) {
    NetworkEdges edges;
    std::vector<std::array<unsigned char, 16>> v4;
    std::uint64_t ipv4_root = 0;
    if (mmdb.metadata.ip_version == 6) {
        collect_edges(mmdb, 0, 0, 128, {}, edges.v6);
        for (unsigned i = 0; i < 96 && ipv4_root < mmdb.metadata.node_count; ++i) {
            MMDB_search_node_s node;
            MMDB_read_node(&mmdb, static_cast<std::uint32_t>(ipv4_root), &node);
            ipv4_root = node.left_record;
        }
    }
    collect_edges(mmdb, ipv4_root, 0, 32, {}, v4);
    for (const auto &bytes : v4)
        edges.v4.push_back({bytes[0], bytes[1], bytes[2], bytes[3]});
    return edges;
}

// The edges and their neighbours on both sides, as text.
std::vector<std::string> edge_hosts(const NetworkEdges &edges) {
    std::vector<std::string> hosts;
    char text[INET6_ADDRSTRLEN];
    for (auto bytes : edges.v4) {
        std::uint32_t a = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                          std::uint32_t{bytes[2]} << 8 | bytes[3];
        for (std::uint32_t b : {a - 1, a, a + 1}) {
            const unsigned char out[4] = {
                static_cast<unsigned char>(b >> 24), static_cast<unsigned char>(b >> 16),
                static_cast<unsigned char>(b >> 8), static_cast<unsigned char>(b)};
            hosts.push_back(inet_ntop(AF_INET, out, text, sizeof text));
        }
    }
    for (auto bytes : edges.v6) {
        hosts.push_back(inet_ntop(AF_INET6, bytes.data(), text, sizeof text));
        // One below and one above: the last byte with carries.
        for (int step : {-1, 1}) {
            std::array<unsigned char, 16> next = bytes;
            for (int i = 15; i >= 0; --i) {
                next[i] = static_cast<unsigned char>(next[i] + step);
                if (next[i] != (step > 0 ? 0x00 : 0xff)) break;
            }
            hosts.push_back(inet_ntop(AF_INET6, next.data(), text, sizeof text));
        }
    }
    return hosts;
}

// The tables built per /16 answer as the library's lookup by text does at
// the first and last address of every network, on both sides of it, and at
// random addresses; in address order and then shuffled, each time into
// fresh tables, so that a /16 is built from its first and from any address.
TEST(DifferentialGeo, FlatTablesAgreeAtEveryNetworkEdge) {
    Rng rng(0x5eed000b);
    struct Case {
        const char *name;
        std::size_t least_found; // addresses with a continent, or the test says little
    };
    const Case cases[] = {{"fixture.mmdb", 100},
                          {"ipv4-only.mmdb", 8},
                          {"country-as-number.mmdb", 0},
                          {"ipv4-tree-as-ipv6.mmdb", 8}};
    for (const auto &[name, least_found] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> hosts;
        {
            GeoHandle db = open_geo(geo_path(name));
            hosts = edge_hosts(network_edges(db->mmdb));
        }
        for (int i = 0; i < 2000; ++i)
            hosts.push_back(chance(rng, 80) ? random_ipv4(rng) : random_ipv6(rng));
        ASSERT_GT(hosts.size(), 2000u);
        for (int order = 0; order < 2; ++order) {
            if (order == 1) std::shuffle(hosts.begin(), hosts.end(), rng);
            GeoHandle db = open_geo(geo_path(name));
            std::size_t found = 0;
            for (const std::string &host : hosts) {
                const Address address = parse_address(host);
                ASSERT_NE(address.family, 0) << host;
                Location fast;
                ASSERT_EQ(find_location(*db, address, 0, fast), MMDB_SUCCESS) << host;
                const Location slow = ref::locate(db->mmdb, host.c_str());
                EXPECT_EQ(fast.country, slow.country) << "host " << host;
                EXPECT_EQ(fast.continent, slow.continent) << "host " << host;
                found += slow.continent >= 0;
            }
            EXPECT_GE(found, least_found);
        }
    }
}

// An IPv4 database with one busy /16, 10.20.0.0/16: its 256 /24s take
// turns among DE, US and no network, and 10.20.77.0/24 is split further
// into FR (/25), JP and BR (/26), BR going on through 10.20.78.0/24: the
// /16's list is long (259 runs, searched through its index), and one run crosses a /24's
// edge.
std::string database_with_busy_prefix() {
    std::string data;
    std::uint32_t offsets[5];
    const char *const locations[5][2] = {
        {"DE", "EU"}, {"US", "NA"}, {"FR", "EU"}, {"JP", "AS"}, {"BR", "SA"}};
    for (int i = 0; i < 5; ++i) {
        offsets[i] = static_cast<std::uint32_t>(data.size());
        data += test::mmdb_location(locations[i][0], locations[i][1]);
    }
    const std::uint32_t path_nodes = 16, subtree_nodes = 255, split_nodes = 2;
    const std::uint32_t node_count = path_nodes + subtree_nodes + split_nodes;
    const std::uint32_t empty = node_count;
    auto entry = [&](int i) { return node_count + 16 + offsets[i]; };
    std::string tree;
    const std::uint32_t high = 10u << 8 | 20u;
    for (std::uint32_t depth = 0; depth < 16; ++depth) {
        const unsigned bit = high >> (15 - depth) & 1;
        test::mmdb_record(tree, bit == 0 ? depth + 1 : empty);
        test::mmdb_record(tree, bit == 1 ? depth + 1 : empty);
    }
    // Node 16 + (2^k - 1 + j) is the subtree's node at depth k, index j.
    const std::uint32_t split = path_nodes + subtree_nodes;
    for (std::uint32_t k = 0; k < 8; ++k)
        for (std::uint32_t j = 0; j < 1u << k; ++j)
            for (std::uint32_t bit = 0; bit < 2; ++bit) {
                const std::uint32_t c = 2 * j + bit;
                std::uint32_t value;
                if (k + 1 < 8)
                    value = path_nodes + (1u << (k + 1)) - 1 + c;
                else if (c == 77)
                    value = split;
                else if (c == 78)
                    value = entry(4); // BR: 10.20.77.192's run goes on into it
                else
                    value = c % 3 == 2 ? empty : entry(static_cast<int>(c % 3));
                test::mmdb_record(tree, value);
            }
    test::mmdb_record(tree, entry(2)); // 10.20.77.0/25
    test::mmdb_record(tree, split + 1);
    test::mmdb_record(tree, entry(3)); // 10.20.77.128/26
    test::mmdb_record(tree, entry(4)); // 10.20.77.192/26
    return test::mmdb_file(tree, node_count, data, 4);
}

TEST(DifferentialGeo, LongListAgreesAtEveryAddressOfItsPrefix) {
    test::TempDir dir;
    const std::string path = dir.file("busy.mmdb");
    test::write_file(path, database_with_busy_prefix());
    GeoHandle db = open_geo(path);
    std::set<int> countries;
    for (std::uint32_t a = (10u << 24 | 20u << 16) - 1; a <= (10u << 24 | 21u << 16); ++a) {
        char host[16];
        std::snprintf(host, sizeof host, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xff, a >> 8 & 0xff,
                      a & 0xff);
        Location fast;
        ASSERT_EQ(find_location(*db, parse_address(host), 0, fast), MMDB_SUCCESS) << host;
        const Location slow = ref::locate(db->mmdb, host);
        ASSERT_EQ(fast.country, slow.country) << host;
        ASSERT_EQ(fast.continent, slow.continent) << host;
        countries.insert(fast.country);
    }
    EXPECT_EQ(countries.size(), 6u); // five countries and none
}

// The text of an IPv4 address, or of its IPv4-mapped IPv6 form.
std::string ipv4_text(std::uint32_t a, bool mapped) {
    char text[INET6_ADDRSTRLEN];
    unsigned char bytes[16] = {};
    unsigned char *v4 = mapped ? bytes + 12 : bytes;
    if (mapped) bytes[10] = bytes[11] = 0xff;
    for (int i = 0; i < 4; ++i)
        v4[i] = static_cast<unsigned char>(a >> (24 - 8 * i));
    return inet_ntop(mapped ? AF_INET6 : AF_INET, bytes, text, sizeof text);
}

// The library's answer, and a corrupt database where it finds one.
void expect_same_as_library(GeoDb &db, const std::vector<std::string> &hosts) {
    for (const std::string &host : hosts) {
        const Address address = parse_address(host);
        ASSERT_NE(address.family, 0) << host;
        Location fast;
        Location plain;
        const int status = find_location(db, address, 0, fast);
        ASSERT_EQ(status != MMDB_SUCCESS, resolve_location(db.mmdb, address, plain) != MMDB_SUCCESS)
            << host;
        if (status != MMDB_SUCCESS) continue;
        const Location slow = ref::locate(db.mmdb, host.c_str());
        ASSERT_EQ(fast.country, slow.country) << "host " << host;
        ASSERT_EQ(fast.continent, slow.continent) << "host " << host;
    }
}

// The first, the last and a random address of every IPv4 /16, each also
// IPv4-mapped, in random order so that a /16 is built from any of them
// and may be reached first through its mapped form. A full country
// database named by VESTREL_TEST_COUNTRY_DB is checked too, with random
// IPv6 addresses in the ranges such databases fill.
TEST(DifferentialGeo, EveryIPv4PrefixAndItsMappedForm) {
    Rng rng(0x5eed000c);
    std::vector<std::string> paths;
    for (const char *name :
         {"fixture.mmdb", "ipv4-only.mmdb", "country-as-number.mmdb", "ipv4-tree-as-ipv6.mmdb"})
        paths.push_back(geo_path(name));
    if (const char *full = std::getenv("VESTREL_TEST_COUNTRY_DB"); full != nullptr && *full != 0)
        paths.push_back(full);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        std::vector<std::string> hosts;
        for (std::uint32_t high = 0; high < 65536; ++high)
            for (std::uint32_t low : {0u, 0xffffu, static_cast<std::uint32_t>(pick(rng, 0x10000))})
                for (bool mapped : {false, true})
                    hosts.push_back(ipv4_text(high << 16 | low, mapped));
        for (int i = 0; i < 20000; ++i) {
            char text[INET6_ADDRSTRLEN];
            unsigned char bytes[16];
            for (unsigned char &b : bytes)
                b = static_cast<unsigned char>(pick(rng, 256));
            bytes[0] = static_cast<unsigned char>(0x20 + pick(rng, 12)); // 2000::/4 to 2bff::
            hosts.push_back(inet_ntop(AF_INET6, bytes, text, sizeof text));
        }
        std::shuffle(hosts.begin(), hosts.end(), rng);
        GeoHandle db = open_geo(path);
        expect_same_as_library(*db, hosts);
    }
}

// A database with something corrupt in the subtree of one /16: the lookups
// that meet it fail as the library's do, and every other address of that
// /16 has its answer, whichever address reaches the /16 first. The busy
// database with one record of 10.20.5.0/24 pointing past the data section,
// and the broken fixtures.
TEST(DifferentialGeo, CorruptSubtreeFailsOnlyTheLookupsThatMeetIt) {
    test::TempDir dir;
    std::string busy = database_with_busy_prefix();
    // The tree's records are 3 bytes, two to a node; node 16 + 127 + 2 is
    // the depth-7 node whose right record holds 10.20.5.0/24.
    const std::size_t record = (std::size_t{16 + 127 + 2} * 2 + 1) * 3;
    busy[record] = busy[record + 1] = busy[record + 2] = '\xff';
    const std::string busy_path = dir.file("busy-corrupt.mmdb");
    test::write_file(busy_path, busy);
    const std::string paths[] = {busy_path, geo_path("nodes-plus-one.mmdb"),
                                 std::string(VESTREL_TEST_DIR) + "/fault/half-filled-value.mmdb"};
    Rng rng(0x5eed0022);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        std::vector<std::string> hosts;
        for (std::uint32_t a = 10u << 24 | 20u << 16; a < (10u << 24 | 21u << 16); a += 97)
            hosts.push_back(ipv4_text(a, false));
        for (std::uint32_t high = 0; high < 65536; ++high)
            hosts.push_back(ipv4_text(high << 16 | static_cast<std::uint32_t>(pick(rng, 0x10000)),
                                      chance(rng, 10)));
        for (int i = 0; i < 3000; ++i)
            hosts.push_back(random_ipv6(rng));
        for (int order = 0; order < 2; ++order) {
            std::shuffle(hosts.begin(), hosts.end(), rng);
            GeoHandle db = open_geo(path);
            expect_same_as_library(*db, hosts);
        }
    }
}

// Lookups counted through the queue (lists' lookups finished later, at
// random flushes or when the queue is full) count what direct lookups
// count, in the busy lists of a full country database too when
// VESTREL_TEST_COUNTRY_DB names one.
TEST(DifferentialGeo, QueuedLookupsCountWhatDirectOnesDo) {
    Rng rng(0x5eed000e);
    std::vector<std::string> paths = {geo_path("fixture.mmdb"), geo_path("ipv4-only.mmdb")};
    if (const char *full = std::getenv("VESTREL_TEST_COUNTRY_DB"); full != nullptr && *full != 0)
        paths.push_back(full);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        GeoHandle queued = open_geo(path);
        GeoHandle direct = open_geo(path);
        Results by_queue;
        Results by_lookup;
        for (int i = 0; i < 200000; ++i) {
            std::string host;
            if (chance(rng, 30)) {
                host = random_geo_host(rng);
            } else if (chance(rng, 60)) {
                host = ipv4_text(static_cast<std::uint32_t>(rng()), chance(rng, 5));
            } else {
                char text[INET6_ADDRSTRLEN];
                unsigned char bytes[16];
                for (unsigned char &b : bytes)
                    b = static_cast<unsigned char>(pick(rng, 256));
                bytes[0] = static_cast<unsigned char>(0x20 + pick(rng, 12));
                bytes[1] = static_cast<unsigned char>(pick(rng, 4)); // a few busy /16s
                host = inet_ntop(AF_INET6, bytes, text, sizeof text);
            }
            const Address address = parse_address(host);
            if (address.family == 0) continue;
            Location location;
            ASSERT_EQ(find_location(*direct, address, 0, location), MMDB_SUCCESS) << host;
            // Only addresses that count something, so that a lost lookup shows.
            if (location.continent < 0) continue;
            lookup_location(*queued, address, 0, by_queue);
            if (chance(rng, 1)) flush_locations(*queued, by_queue);
            if (location.country >= 0) ++by_lookup.countries[location.country];
            if (location.continent >= 0) ++by_lookup.continents[location.continent];
        }
        flush_locations(*queued, by_queue);
        EXPECT_EQ(by_queue.countries, by_lookup.countries);
        EXPECT_EQ(by_queue.continents, by_lookup.continents);
        EXPECT_GT(total(by_lookup.continents), 100u);
    }
}

// An IPv6 database whose IPv4 subtree (::/96) sends 0.0.0.0/1 to DE and
// 128.0.0.0/1 to US, and whose ::ffff:0:0/96 leads to that same subtree,
// to another that answers the other way round, or straight to FR.
std::string database_with_mapped_range(int mapped) {
    std::string data;
    std::uint32_t offsets[3];
    const char *const locations[3][2] = {{"DE", "EU"}, {"US", "NA"}, {"FR", "EU"}};
    for (int i = 0; i < 3; ++i) {
        offsets[i] = static_cast<std::uint32_t>(data.size());
        data += test::mmdb_location(locations[i][0], locations[i][1]);
    }
    // Nodes 0-95: 96 zero bits; 96-110: the ones of bits 81-95 after
    // node 80's right; 111: the IPv4 subtree; 112: the other subtree.
    const std::uint32_t node_count = 113, empty = node_count, ipv4 = 111, other = 112;
    auto entry = [&](int i) { return node_count + 16 + offsets[i]; };
    std::string tree;
    for (std::uint32_t depth = 0; depth < 96; ++depth) {
        test::mmdb_record(tree, depth == 95 ? ipv4 : depth + 1);
        test::mmdb_record(tree, depth == 80 ? 96 : empty);
    }
    for (std::uint32_t node = 96; node <= 110; ++node) {
        test::mmdb_record(tree, empty);
        test::mmdb_record(tree, node < 110    ? node + 1
                                : mapped == 0 ? ipv4
                                : mapped == 1 ? other
                                              : entry(2));
    }
    test::mmdb_record(tree, entry(0));
    test::mmdb_record(tree, entry(1));
    test::mmdb_record(tree, entry(1));
    test::mmdb_record(tree, entry(0));
    return test::mmdb_file(tree, node_count, data, 6);
}

TEST(DifferentialGeo, MappedAddressesGoWhereTheTreeLeadsThem) {
    Rng rng(0x5eed000d);
    test::TempDir dir;
    for (int mapped = 0; mapped < 3; ++mapped) {
        SCOPED_TRACE(mapped);
        const std::string path = dir.file("mapped.mmdb");
        test::write_file(path, database_with_mapped_range(mapped));
        std::vector<std::string> hosts = {"::ffff:1.2.3.4", "1.2.3.4",   "::ffff:200.1.1.1",
                                          "200.1.1.1",      "::1.2.3.4", "::ffff:0:1",
                                          "::fffe:1:2"};
        for (int i = 0; i < 200; ++i)
            hosts.push_back(ipv4_text(static_cast<std::uint32_t>(rng()), chance(rng, 70)));
        GeoHandle db = open_geo(path);
        std::set<int> countries;
        for (const std::string &host : hosts)
            countries.insert(ref::locate(db->mmdb, host.c_str()).country);
        EXPECT_EQ(countries.size(), mapped == 2 ? 4u : 3u); // and none
        expect_same_as_library(*db, hosts);
    }
}

TEST(DifferentialGeo, NumericCodesCountNothing) {
    const std::string db = geo_path("country-as-number.mmdb");
    Rng rng(0x5eed000a);
    std::vector<std::string> hosts(std::begin(FIXTURE_HOSTS), std::end(FIXTURE_HOSTS));
    expect_same_locations(db, hosts);
    const std::string log = geo_log(rng, 5000);
    Results results;
    expect_same_run(log, db.c_str(), Through::File, &results);
    EXPECT_GT(results.hits_total, 0u);
    EXPECT_EQ(total(results.countries), 0u);
    EXPECT_EQ(total(results.continents), 0u);
}

} // namespace
} // namespace vestrel
