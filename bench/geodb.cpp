// vestrel-geodb FILE: writes a synthetic country database shaped like a
// real one, for the benchmark's -g rows where no real database is at hand.
//
// An IPv6 tree (32-bit records) holding IPv4 under ::/96, with ::ffff:0:0/96
// leading to the same subtree as real databases alias it. The IPv4 space is
// cut from /8 down to /24 and the registries' IPv6 blocks (2001::/16,
// 2003::/16, and 2400, 2600, 2800, 2a00 and 2c00::/12) from /19 down to
// /48, a network ending at each level with a chance that grows with its
// length, as allocations do; a network keeps its neighbour's country most
// of the time, and 3% of them are held by no one. Entries are
// {"country": {"iso_code"}, "continent": {"code"}} maps, three per country.
// The output depends only on the seed (fixed): its own xorshift generator.
#include "results.h"
#include "support/mmdb_writer.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::uint64_t state = 0x9e3779b97f4a7c15u;
std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}
double uniform() {
    return static_cast<double>(next() >> 11) / 9007199254740992.0;
}

constexpr std::uint32_t EMPTY = 0xffffffff; // a child record not yet a node: no network
constexpr std::uint32_t DATA = 0x80000000;  // a child record naming entry (value & ~DATA)

struct Node {
    std::uint32_t child[2] = {EMPTY, EMPTY};
};
std::vector<Node> nodes;

constexpr int ENTRIES_PER_COUNTRY = 3;
int current = 0; // the entry the last network took

std::uint32_t pick_entry() {
    if (uniform() < 0.03) return EMPTY;
    if (uniform() < 0.75) return DATA | static_cast<std::uint32_t>(current);
    // Zipf-like over countries: a few hold most networks.
    const double u = uniform();
    const int country = static_cast<int>(vestrel::COUNTRY_COUNT * u * u * u);
    current = country * ENTRIES_PER_COUNTRY + static_cast<int>(next() % ENTRIES_PER_COUNTRY);
    return DATA | static_cast<std::uint32_t>(current);
}

// The chance that a network ends at `length` bits (IPv4 or IPv6 numbering).
double end_chance(int length, bool ipv6) {
    if (!ipv6)
        return length < 8    ? 0
               : length < 13 ? 0.05
               : length < 17 ? 0.15
               : length < 21 ? 0.3
               : length < 24 ? 0.5
                             : 1;
    return length < 19 ? 0 : length < 33 ? 0.32 : length < 48 ? 0.6 : 1;
}

// The record for the subtree of a prefix `length` bits long.
std::uint32_t grow(int length, bool ipv6) {
    if (uniform() < end_chance(length, ipv6)) return pick_entry();
    const auto index = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    const std::uint32_t left = grow(length + 1, ipv6);
    const std::uint32_t right = grow(length + 1, ipv6);
    nodes[index].child[0] = left;
    nodes[index].child[1] = right;
    return index;
}

// A path of nodes from `node` along `bits` (high bit first) of `count` bits;
// returns the node whose child record `last_bit` ends the path.
std::uint32_t path(std::uint32_t node, std::uint64_t bits, int count) {
    for (int i = count - 1; i > 0; --i) {
        const unsigned bit = i < 64 ? bits >> i & 1 : 0;
        if (nodes[node].child[bit] == EMPTY || (nodes[node].child[bit] & DATA) != 0) {
            const auto fresh = static_cast<std::uint32_t>(nodes.size());
            nodes.emplace_back();
            nodes[node].child[bit] = fresh;
        }
        node = nodes[node].child[bit];
    }
    return node;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vestrel-geodb FILE\n");
        return 2;
    }
    nodes.reserve(4000000);
    nodes.emplace_back(); // the root
    // ::/96 then the IPv4 subtree; ::ffff:0:0/96 to the same subtree.
    const std::uint32_t before_ipv4 = path(0, 0, 96);
    const std::uint32_t ipv4 = grow(0, false);
    nodes[before_ipv4].child[0] = ipv4;
    const std::uint32_t before_mapped = path(0, 0xffff, 96);
    nodes[before_mapped].child[1] = ipv4;
    const struct {
        std::uint64_t prefix;
        int bits;
    } blocks[] = {{0x2001, 16}, {0x2003, 16}, {0x240, 12}, {0x260, 12},
                  {0x280, 12},  {0x2a0, 12},  {0x2c0, 12}};
    for (const auto &block : blocks) {
        const std::uint32_t at = path(0, block.prefix, block.bits);
        const std::uint32_t subtree = grow(block.bits, true);
        nodes[at].child[block.prefix & 1] = subtree;
    }

    std::string data;
    std::vector<std::uint32_t> offsets;
    for (std::size_t c = 0; c < vestrel::COUNTRY_COUNT; ++c)
        for (int v = 0; v < ENTRIES_PER_COUNTRY; ++v) {
            offsets.push_back(static_cast<std::uint32_t>(data.size()));
            data += vestrel::test::mmdb_location(
                std::string(vestrel::country_codes[c]),
                std::string(vestrel::continent_codes[(c * 7 + v / 2) % vestrel::CONTINENT_COUNT]));
        }
    const auto node_count = static_cast<std::uint32_t>(nodes.size());
    std::string tree;
    tree.reserve(std::size_t{node_count} * 8);
    for (const Node &n : nodes)
        for (std::uint32_t r : n.child)
            vestrel::test::mmdb_record(tree, r == EMPTY ? node_count
                                             : (r & DATA) != 0
                                                 ? node_count + 16 + offsets[r & ~DATA]
                                                 : r);
    const std::string file = vestrel::test::mmdb_file(tree, node_count, data, 6);
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(stderr, "vestrel-geodb: %u nodes, %zu bytes\n", node_count, file.size());
    return 0;
}
