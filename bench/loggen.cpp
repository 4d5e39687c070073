// vestrel-loggen: deterministic generator of synthetic web-server access logs.
//
//   vestrel-loggen [--shape NAME] [--seed N] [--bytes SIZE] [--common-ratio R] > file.log
//
// Writes lines in the combined layout
//   host - - [dd/Mon/yyyy:HH:MM:SS +0000] "METHOD path PROTO" status size "referrer" "agent"
// to stdout until the next line would push the output past SIZE bytes (K/M/G suffixes are
// powers of 1024, default 1G).  A fraction R of the lines (default: the shape's) stop after the
// size field (common layout).
//
// The cost of reading a log is per line as much as per byte, and the cost of geolocation depends
// on how clients cluster, so one log says little about another.  The shape picks the kind of log
// (table kShapes): "default" is the model below, unchanged byte for byte; "uniform" spreads
// clients over the whole address space with short agents (~177 B/line); "common" has only
// common-layout lines with terse URLs (~92 B/line); "long" has long referrers and in-app agents
// (~594 B/line); "ipv6" has 80% IPv6 clients spread over the registries' blocks.  All but
// "default" add rare oddities (unusual methods, protocols and status codes, junk requests).
//
// The output depends only on the arguments: all randomness comes from our own xoshiro256**
// generator and every derived quantity is computed with integer arithmetic, so the same
// arguments give byte-identical output with any compiler, standard library or platform.
//
// Traffic model of the default shape (see bench/README.md):
//   * clients come from a fixed pool of 255,000 IPv4 and 45,000 IPv6 addresses; 15% of the lines
//     come from IPv6 clients; within each family a client is drawn with Zipf-like weights
//     1/(rank+3), so a few clients are heavy and most appear a handful of times;
//   * IPv4 clients cluster in a few thousand public /16 networks, IPv6 clients mostly in the
//     blocks of large access and hosting providers, so nearly all of them have a country;
//   * IPv6 addresses are printed in canonical form: ones with zero runs come out compressed
//     ("2a01:4f8::1"), a few are IPv4-mapped ("::ffff:203.0.113.7");
//   * every client keeps its user agent (90% of its requests), bots send no referrer;
//   * URLs come from a pool of 30,000 resources (pages, assets, API calls, junk probes), also
//     Zipf-weighted, plus per-request query strings that create a long tail of distinct URLs;
//   * time starts at 2024-03-04 00:00:00 UTC and advances monotonically over about seven days
//     with a day/night rhythm, whatever the size;
//   * about 0.1% of the lines are broken: a host name instead of an address, or a line cut short.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// Random numbers

std::uint64_t splitmix64(std::uint64_t &x) {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    std::uint64_t x = a ^ (b * 0xd6e8feb86659fd93ULL);
    return splitmix64(x);
}

class Rng {
  public:
    explicit Rng(std::uint64_t seed) {
        for (auto &v : s_)
            v = splitmix64(seed);
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, n) for n < 2^32 (multiply-shift, bias below 2^-32).
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>(((next() >> 32) * static_cast<std::uint64_t>(n)) >> 32);
    }
    // Uniform in [0, n) for any n > 0 (modulo; bias negligible for our ranges).
    std::uint64_t below64(std::uint64_t n) { return next() % n; }
    std::uint32_t range(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
    // True with probability ppm / 1e6.
    bool chance(std::uint32_t ppm) { return below(1000000) < ppm; }
    // Roughly log-uniform in [lo, hi).
    std::uint32_t logu(std::uint32_t lo, std::uint32_t hi) {
        int elo = 0, ehi = 0;
        while ((2u << elo) <= lo)
            ++elo;
        while ((1u << ehi) < hi)
            ++ehi;
        for (;;) {
            const int e = elo + static_cast<int>(below(static_cast<std::uint32_t>(ehi - elo)));
            const std::uint32_t v = (1u << e) + below(1u << e);
            if (v >= lo && v < hi) return v;
        }
    }

  private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// Small discrete distribution given by integer weights.
class Choice {
  public:
    Choice(std::initializer_list<std::uint32_t> weights) { init(weights.begin(), weights.end()); }
    explicit Choice(const std::vector<std::uint32_t> &weights) {
        init(weights.begin(), weights.end());
    }
    std::size_t pick(Rng &rng) const {
        const std::uint32_t u = rng.below(cum_.back());
        return static_cast<std::size_t>(std::upper_bound(cum_.begin(), cum_.end(), u) -
                                        cum_.begin());
    }

  private:
    template <class It> void init(It first, It last) {
        std::uint32_t sum = 0;
        for (; first != last; ++first)
            cum_.push_back(sum += *first);
    }
    std::vector<std::uint32_t> cum_;
};

// Zipf-like distribution over ranks 0..n-1 with weights 1/(rank+q), in fixed point.
class Zipf {
  public:
    Zipf(std::size_t n, std::uint64_t q) {
        cum_.reserve(n);
        std::uint64_t sum = 0;
        for (std::size_t r = 0; r < n; ++r)
            cum_.push_back(sum += (std::uint64_t{1} << 40) / (r + q));
    }
    std::size_t pick(Rng &rng) const {
        const std::uint64_t u = rng.below64(cum_.back());
        return static_cast<std::size_t>(std::upper_bound(cum_.begin(), cum_.end(), u) -
                                        cum_.begin());
    }

  private:
    std::vector<std::uint64_t> cum_;
};

// ---------------------------------------------------------------------------------------------
// Text helpers

void put_uint(std::string &s, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void put_uint2(std::string &s, unsigned v) {
    s.push_back(static_cast<char>('0' + v / 10));
    s.push_back(static_cast<char>('0' + v % 10));
}

void put_hex(std::string &s, std::uint64_t v, int digits) {
    static const char hex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i)
        s.push_back(hex[(v >> (4 * i)) & 15]);
}

void put_alnum(std::string &s, Rng &rng, int n) {
    static const char set[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < n; ++i)
        s.push_back(set[rng.below(62)]);
}

// Stores many short strings back to back.
class StringPool {
  public:
    void add(std::string_view s) {
        start_.push_back(static_cast<std::uint32_t>(data_.size()));
        data_.append(s);
    }
    std::string_view operator[](std::size_t i) const {
        const std::size_t b = start_[i];
        const std::size_t e = i + 1 < start_.size() ? start_[i + 1] : data_.size();
        return std::string_view(data_).substr(b, e - b);
    }
    std::size_t size() const { return start_.size(); }

  private:
    std::string data_;
    std::vector<std::uint32_t> start_;
};

constexpr std::array<std::string_view, 72> kWords = {
    "alpine",  "amber",  "anchor",   "arcade",  "aurora",  "basalt",  "beacon", "birch",
    "blue",    "bright", "canyon",   "cedar",   "classic", "cloud",   "coast",  "copper",
    "coral",   "cotton", "crisp",    "delta",   "desert",  "echo",    "ember",  "field",
    "forest",  "frost",  "garden",   "glacier", "golden",  "granite", "harbor", "hazel",
    "horizon", "indigo", "island",   "jade",    "lake",    "lantern", "linen",  "lunar",
    "maple",   "meadow", "midnight", "mint",    "modern",  "nova",    "oak",    "ocean",
    "olive",   "orbit",  "pebble",   "pine",    "polar",   "prairie", "quartz", "rapid",
    "river",   "sage",   "shadow",   "sierra",  "silver",  "slate",   "solar",  "spruce",
    "stone",   "summit", "terra",    "timber",  "urban",   "velvet",  "willow", "zephyr"};

constexpr std::array<std::string_view, 16> kCategories = {
    "outdoor", "kitchen", "garden", "office",  "travel", "audio", "lighting", "furniture",
    "sports",  "kids",    "books",  "fashion", "beauty", "tools", "pets",     "gifts"};

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void put_slug(std::string &s, Rng &rng, int words) {
    for (int i = 0; i < words; ++i) {
        if (i) s.push_back('-');
        s.append(kWords[rng.below(kWords.size())]);
    }
}

// ---------------------------------------------------------------------------------------------
// Clients

bool reserved_v4(std::uint32_t a, std::uint32_t b) {
    return a == 0 || a == 10 || a == 127 || a >= 224 || (a == 100 && b >= 64 && b < 128) ||
           (a == 169 && b == 254) || (a == 172 && b >= 16 && b < 32) || (a == 192 && b == 168) ||
           (a == 198 && (b == 18 || b == 19));
}

void put_v4(std::string &s, std::uint32_t ip) {
    put_uint(s, ip >> 24);
    s.push_back('.');
    put_uint(s, (ip >> 16) & 255);
    s.push_back('.');
    put_uint(s, (ip >> 8) & 255);
    s.push_back('.');
    put_uint(s, ip & 255);
}

// Canonical text form: lowercase, no leading zeros, longest run (>= 2) of zero groups as "::".
void put_v6(std::string &s, const std::array<std::uint16_t, 8> &g) {
    std::size_t best = 8, best_len = 0; // no run yet
    for (std::size_t i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > best_len && j - i >= 2) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == best) {
            s.append("::");
            i += best_len - 1;
            continue;
        }
        if (i > 0 && i != best + best_len) s.push_back(':');
        const unsigned v = g[i];
        bool started = false;
        for (int k = 3; k >= 0; --k) {
            const unsigned d = (v >> (4 * k)) & 15;
            if (d || started || k == 0) {
                s.push_back(hex[d]);
                started = true;
            }
        }
    }
}

// Where IPv6 clients come from: blocks of access providers and hosting networks (first hextet,
// range of the second one, weight); the entry with range 0-0 stands for scattered addresses
// elsewhere in 2000::/3, which mostly belong to no known network.
struct V6Block {
    std::uint16_t first, lo, hi;
    std::uint32_t weight;
};

constexpr std::array<V6Block, 35> kV6Blocks = {{
    {0x2601, 0x0000, 0x0fff, 120}, {0x2409, 0x4000, 0x43ff, 90}, {0x2003, 0x0000, 0x1fff, 60},
    {0x240e, 0x0000, 0x0fff, 60},  {0x2409, 0x8000, 0x8fff, 60}, {0x2607, 0xfb90, 0xfb91, 60},
    {0x2a01, 0xcb00, 0xcbff, 50},  {0x2600, 0x1000, 0x100f, 50}, {0x2401, 0x4900, 0x4900, 40},
    {0x2a01, 0x0e00, 0x0e3f, 30},  {0x2600, 0x0380, 0x038f, 30}, {0x2600, 0x1700, 0x170f, 30},
    {0x2a00, 0x23c0, 0x23c7, 30},  {0x2a02, 0x8100, 0x811f, 30}, {0x2001, 0x8000, 0x8fff, 25},
    {0x2400, 0x4050, 0x4070, 25},  {0x2600, 0x1f00, 0x1fff, 25}, {0x2804, 0x0014, 0x0014, 20},
    {0x2a01, 0x04f8, 0x04f9, 20},  {0x2a02, 0x2e00, 0x2e1f, 15}, {0x2406, 0x3000, 0x3003, 10},
    {0x2402, 0x3a80, 0x3a80, 10},  {0x2001, 0x0e68, 0x0e68, 10}, {0x2800, 0x0810, 0x0810, 10},
    {0x2a00, 0x1450, 0x1450, 10},  {0x2001, 0x4860, 0x4860, 10}, {0x2606, 0x4700, 0x4700, 10},
    {0x2a03, 0x2880, 0x2880, 10},  {0x2604, 0xa880, 0xa880, 10}, {0x2001, 0x41d0, 0x41d0, 10},
    {0x2a05, 0xd000, 0xd07f, 10},  {0x2001, 0x0470, 0x0470, 10}, {0x2406, 0xda00, 0xdaff, 10},
    {0x2a01, 0x7e00, 0x7e01, 5},   {0x0000, 0x0000, 0x0000, 60},
}};

constexpr std::array<std::uint16_t, 9> kV6Scattered = {0x2001, 0x2400, 0x2402, 0x2600, 0x2605,
                                                       0x2800, 0x2a00, 0x2a02, 0x2c0f};

// Groups 2..7 of an IPv6 address whose network groups 0..1 are set: subnet, then an interface
// identifier of the given kind (0 random, 1 small number, 2 EUI-64).
void fill_v6_host(std::array<std::uint16_t, 8> &g, std::size_t kind, Rng &rng) {
    g[2] = static_cast<std::uint16_t>(rng.chance(250000) ? 0 : rng.below(65536));
    g[3] = static_cast<std::uint16_t>(rng.chance(300000) ? rng.below(16) : rng.below(65536));
    if (kind == 0) {
        for (std::size_t i = 4; i < 8; ++i)
            g[i] = static_cast<std::uint16_t>(rng.below(65536));
    } else if (kind == 1) {
        g[7] = static_cast<std::uint16_t>(rng.chance(600000) ? rng.range(1, 255)
                                                             : rng.range(1, 65535));
        if (rng.chance(200000)) g[6] = static_cast<std::uint16_t>(rng.range(1, 255));
    } else {
        const std::uint64_t mac = rng.next();
        g[4] = static_cast<std::uint16_t>(((mac >> 32) & 0xfcff) | 0x0200);
        g[5] = static_cast<std::uint16_t>(((mac >> 24) & 0xff) << 8 | 0xff);
        g[6] = static_cast<std::uint16_t>(0xfe00 | ((mac >> 16) & 0xff));
        g[7] = static_cast<std::uint16_t>(mac & 0xffff);
    }
}

const Choice kV6HostKind{51, 31, 15, 3}; // random, small, EUI-64, IPv4-mapped

// Any public unicast IPv4 address, all equally likely.
std::uint32_t wide_v4(Rng &rng) {
    for (;;) {
        const auto ip = static_cast<std::uint32_t>(rng.next() >> 32);
        const std::uint32_t a = ip >> 24, b = (ip >> 16) & 255, d = ip & 255;
        if (!reserved_v4(a, b) && d != 0 && d != 255) return ip;
    }
}

// The /12 blocks the registries hand out from (2001::/16 and 2003::/16 counted as one block
// each); a wide IPv6 client lies anywhere in them, so it falls in one of some 5 million /32
// networks, many of which no database knows.
struct V6Region {
    std::uint16_t first;  // first hextet of the block
    std::uint16_t count;  // how many first hextets it spans
    std::uint32_t weight; // share of the clients
};
constexpr std::array<V6Region, 7> kV6Regions = {{
    {0x2001, 1, 15},
    {0x2003, 1, 5},
    {0x2400, 16, 25},
    {0x2600, 16, 25},
    {0x2800, 16, 8},
    {0x2a00, 16, 20},
    {0x2c00, 16, 2},
}};
Choice make_region_choice() {
    std::vector<std::uint32_t> weights;
    for (const auto &r : kV6Regions)
        weights.push_back(r.weight);
    return Choice(weights);
}
const Choice kV6RegionChoice = make_region_choice();

// Address of a wide client, from a generator seeded with the client's number: each number
// stands for one address, so how often an address recurs depends only on how numbers are drawn.
void put_wide_client(std::string &s, bool v6, Rng &rng) {
    if (!v6) {
        put_v4(s, wide_v4(rng));
        return;
    }
    const std::size_t kind = kV6HostKind.pick(rng);
    if (kind == 3) {
        s.append("::ffff:");
        put_v4(s, wide_v4(rng));
        return;
    }
    std::array<std::uint16_t, 8> g{};
    const V6Region &r = kV6Regions[kV6RegionChoice.pick(rng)];
    g[0] = static_cast<std::uint16_t>(r.first + rng.below(r.count));
    g[1] = static_cast<std::uint16_t>(rng.below(65536));
    fill_v6_host(g, kind, rng);
    put_v6(s, g);
}

struct Clients {
    StringPool v4, v6;
    std::vector<std::uint16_t> v4_agent, v6_agent;
};

void build_clients(Clients &c, Rng &rng, const Choice &agents, std::size_t n4, std::size_t n6) {
    // IPv4: addresses cluster in a few thousand /16 networks, as real traffic does.
    std::vector<std::uint32_t> nets;
    while (nets.size() < 6000) {
        const std::uint32_t a = rng.range(1, 223), b = rng.below(256);
        if (!reserved_v4(a, b)) nets.push_back(a << 8 | b);
    }
    std::unordered_set<std::uint64_t> seen;
    seen.reserve((n4 + n6) * 2);
    std::string s;
    while (c.v4.size() < n4) {
        // Low-numbered networks hold more clients.
        const std::uint32_t net =
            nets[rng.below(1 + rng.below(static_cast<std::uint32_t>(nets.size())))];
        const std::uint32_t ip = net << 16 | rng.below(256) << 8 | rng.range(1, 254);
        if (!seen.insert(ip).second) continue;
        s.clear();
        put_v4(s, ip);
        c.v4.add(s);
        c.v4_agent.push_back(static_cast<std::uint16_t>(agents.pick(rng)));
    }
    std::vector<std::uint32_t> block_weights;
    for (const auto &b : kV6Blocks)
        block_weights.push_back(b.weight);
    const Choice block_choice(block_weights);
    while (c.v6.size() < n6) {
        std::array<std::uint16_t, 8> g{};
        const std::size_t kind = kV6HostKind.pick(rng);
        if (kind == 3) {
            std::uint32_t a, b;
            do {
                a = rng.range(1, 223);
                b = rng.below(256);
            } while (reserved_v4(a, b));
            g[5] = 0xffff;
            g[6] = static_cast<std::uint16_t>(a << 8 | b);
            g[7] = static_cast<std::uint16_t>(rng.below(65536));
        } else {
            const V6Block &b = kV6Blocks[block_choice.pick(rng)];
            if (b.first == 0) {
                g[0] = kV6Scattered[rng.below(kV6Scattered.size())];
                g[1] = static_cast<std::uint16_t>(rng.below(65536));
            } else {
                g[0] = b.first;
                g[1] = static_cast<std::uint16_t>(rng.range(b.lo, b.hi));
            }
            fill_v6_host(g, kind, rng);
        }
        std::uint64_t h = 0x6a09e667f3bcc909ULL;
        for (auto v : g)
            h = mix(h, v);
        if (!seen.insert(h).second) continue;
        s.clear();
        if (kind == 3) {
            s.append("::ffff:");
            put_v4(s, static_cast<std::uint32_t>(g[6]) << 16 | g[7]);
        } else {
            put_v6(s, g);
        }
        c.v6.add(s);
        c.v6_agent.push_back(static_cast<std::uint16_t>(agents.pick(rng)));
    }
}

// ---------------------------------------------------------------------------------------------
// User agents and referrers

struct Agent {
    std::string_view text;
    std::uint32_t weight;
    bool bot;
};

constexpr std::array<Agent, 22> kAgents = {{
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/122.0.0.0 Safari/537.36",
     2400, false},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/121.0.0.0 Safari/537.36",
     900, false},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/122.0.0.0 Safari/537.36",
     900, false},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.3.1 Safari/605.1.15",
     700, false},
    {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_3_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
     "like Gecko) Version/17.3.1 Mobile/15E148 Safari/604.1",
     1300, false},
    {"Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/122.0.0.0 Mobile Safari/537.36",
     1200, false},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:123.0) Gecko/20100101 Firefox/123.0", 500,
     false},
    {"Mozilla/5.0 (X11; Linux x86_64; rv:123.0) Gecko/20100101 Firefox/123.0", 150, false},
    {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/122.0.0.0 "
     "Safari/537.36",
     150, false},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/122.0.0.0 Safari/537.36 Edg/122.0.2365.66",
     450, false},
    {"Mozilla/5.0 (Linux; Android 14; SAMSUNG SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
     "SamsungBrowser/24.0 Chrome/117.0.0.0 Mobile Safari/537.36",
     150, false},
    {"Mozilla/5.0 (iPad; CPU OS 17_3 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "CriOS/122.0.6261.89 Mobile/15E148 Safari/604.1",
     100, false},
    {"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", 250, true},
    {"Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) AppleWebKit/537.36 (KHTML, like "
     "Gecko) Chrome/122.0.6261.94 Mobile Safari/537.36 (compatible; Googlebot/2.1; "
     "+http://www.google.com/bot.html)",
     150, true},
    {"Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)", 150, true},
    {"Mozilla/5.0 (compatible; AhrefsBot/7.0; +http://ahrefs.com/robot/)", 120, true},
    {"Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots)", 80, true},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_5) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/13.1.1 Safari/605.1.15 (Applebot/0.1; +http://www.apple.com/go/applebot)",
     50, true},
    {"facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)", 60, true},
    {"curl/8.5.0", 60, true},
    {"python-requests/2.31.0", 60, true},
    {"Go-http-client/1.1", 40, true},
}};

// Programs rather than browsers: apps of the site, libraries, monitors. Short, and like bots they
// send no referrer.
constexpr std::array<Agent, 14> kAppAgents = {{
    {"okhttp/4.12.0", 2200, true},
    {"okhttp/4.9.3", 600, true},
    {"Dalvik/2.1.0 (Linux; U; Android 13; SM-A536B Build/TP1A.220624.014)", 700, true},
    {"ExampleShop/5.12.1 (iPhone; iOS 17.3.1; Scale/3.00)", 1600, true},
    {"ExampleShop/5.12.1 CFNetwork/1494.0.7 Darwin/23.4.0", 900, true},
    {"ExampleShop/5.11.0 (Android 14; Pixel 8)", 500, true},
    {"Wget/1.21.4", 100, true},
    {"Java/17.0.10", 120, true},
    {"axios/1.6.7", 300, true},
    {"Apache-HttpClient/4.5.14 (Java/17.0.10)", 150, true},
    {"Prometheus/2.50.1", 100, true},
    {"kube-probe/1.29", 100, true},
    {"Mozilla/5.0", 80, true},
    {"-", 250, true},
}};

// The agents a shape draws from: views into the constant tables or into `storage`.
struct AgentTable {
    std::vector<Agent> list;
    StringPool storage;
};

Choice agent_choice_of(const AgentTable &t) {
    std::vector<std::uint32_t> weights;
    for (const auto &a : t.list)
        weights.push_back(a.weight);
    return Choice(weights);
}

void add_agents(AgentTable &t, const Agent *first, std::size_t n, std::uint32_t scale) {
    for (std::size_t i = 0; i < n; ++i)
        t.list.push_back({first[i].text, first[i].weight * scale, first[i].bot});
}

const std::array<std::string_view, 10> kLocales = {"en_US", "en_GB", "de_DE", "fr_FR", "es_ES",
                                                   "pt_BR", "it_IT", "nl_NL", "pl_PL", "ja_JP"};
const std::array<std::string_view, 8> kPhones = {"SM-S918B",  "SM-A546B",    "SM-G991B",
                                                 "Pixel 7",   "Pixel 8 Pro", "CPH2451",
                                                 "2201116SG", "moto g54 5G"};

void put_build_id(std::string &s, Rng &rng) {
    static const std::array<std::string_view, 4> prefixes = {"TP1A", "UP1A", "TQ3A", "AP2A"};
    s.append(prefixes[rng.below(prefixes.size())]);
    s.append(".2");
    put_uint(s, rng.range(20000, 40000));
    s.push_back('.');
    put_uint(s, rng.range(1, 999));
}

// "118.0.6123.45": the Chrome version that several agents carry.
void put_chrome_version(std::string &s, Rng &rng) {
    put_uint(s, rng.range(118, 122));
    s.append(".0.");
    put_uint(s, rng.range(6000, 6299));
    s.push_back('.');
    put_uint(s, rng.range(60, 200));
}

// "450.0.0.31.110": the app version that in-app browsers carry, its major
// number in [oldest, newest] and its second in [10, most_minor].
void put_app_version(std::string &s, Rng &rng, std::uint32_t oldest, std::uint32_t newest,
                     std::uint32_t most_minor) {
    put_uint(s, rng.range(oldest, newest));
    s.append(".0.0.");
    put_uint(s, rng.range(10, most_minor));
    s.push_back('.');
    put_uint(s, rng.range(100, 120));
}

// An Android web view's agent up to its Chrome version; in-app browsers add
// their own tokens after it.
void put_webview_prefix(std::string &s, Rng &rng, std::string_view phone,
                        std::uint32_t oldest_android) {
    s.append("Mozilla/5.0 (Linux; Android ");
    put_uint(s, rng.range(oldest_android, 14));
    s.append("; ");
    s.append(phone);
    s.append(" Build/");
    put_build_id(s, rng);
    s.append("; wv) AppleWebKit/537.36 (KHTML, like Gecko) Version/4.0 Chrome/");
    put_chrome_version(s, rng);
}

// In-app browsers and other agents of 200 to 350 bytes, each with its own version and build
// numbers, as the agents of social apps carry.
void build_long_agents(AgentTable &t, Rng &rng, std::size_t n) {
    std::string a;
    std::vector<std::uint8_t> bot;
    for (std::size_t i = 0; i < n; ++i) {
        a.clear();
        bool is_bot = false;
        const std::string_view phone = kPhones[rng.below(kPhones.size())];
        switch (rng.below(5)) {
        case 0: // iOS app browser
            a.append("Mozilla/5.0 (iPhone; CPU iPhone OS 17_");
            put_uint(a, rng.range(0, 4));
            a.append("_");
            put_uint(a, rng.range(1, 3));
            a.append(" like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Mobile/15E148 "
                     "[FBAN/FBIOS;FBAV/");
            put_app_version(a, rng, 440, 460, 60);
            a.append(";FBBV/");
            put_uint(a, rng.range(500000000, 599999999));
            a.append(";FBDV/iPhone");
            put_uint(a, rng.range(12, 16));
            a.push_back(',');
            put_uint(a, rng.range(1, 6));
            a.append(";FBMD/iPhone;FBSN/iOS;FBSV/17.");
            put_uint(a, rng.range(0, 4));
            a.append(";FBSS/3;FBID/phone;FBLC/");
            a.append(kLocales[rng.below(kLocales.size())]);
            a.append(";FBOP/5;FBRV/");
            put_uint(a, rng.range(500000000, 599999999));
            a.append(";IABMV/1]");
            break;
        case 1: // Android app browser
            put_webview_prefix(a, rng, phone, 11);
            a.append(" Mobile Safari/537.36 Instagram ");
            put_app_version(a, rng, 300, 320, 40);
            a.append(" Android (");
            put_uint(a, rng.range(30, 34));
            a.push_back('/');
            put_uint(a, rng.range(11, 14));
            a.append("; ");
            put_uint(a, 320 + 80 * rng.below(4));
            a.append("dpi; 1080x");
            put_uint(a, rng.range(2200, 2400));
            a.append("; samsung; ");
            a.append(phone);
            a.append("; qcom; ");
            a.append(kLocales[rng.below(kLocales.size())]);
            a.append("; ");
            put_uint(a, rng.range(500000000, 599999999));
            a.push_back(')');
            break;
        case 2: // Android browser in the app of a social network
            put_webview_prefix(a, rng, phone, 10);
            a.append(" Mobile Safari/537.36 [FB_IAB/FB4A;FBAV/");
            put_app_version(a, rng, 440, 460, 60);
            a.append(";IABMV/1;FBLC/");
            a.append(kLocales[rng.below(kLocales.size())]);
            a.append(";FBDM/{density=2.625,width=1080,height=2340};]");
            break;
        case 3: // desktop with many product tokens
            a.append("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                     "Gecko) Chrome/");
            put_chrome_version(a, rng);
            a.append(" Safari/537.36 Edg/");
            put_uint(a, rng.range(118, 122));
            a.append(".0.");
            put_uint(a, rng.range(2000, 2399));
            a.push_back('.');
            put_uint(a, rng.range(10, 99));
            a.append(" (Windows NT 10.0; Win64; x64; .NET4.0C; .NET4.0E; .NET CLR 2.0.50727; "
                     ".NET CLR 3.0.30729; .NET CLR 3.5.30729; Tablet PC 2.0; Zoom 3.6.0)");
            break;
        default: // crawler posing as a phone
            is_bot = true;
            a.append("Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) AppleWebKit/537.36 "
                     "(KHTML, like Gecko) Chrome/");
            put_chrome_version(a, rng);
            a.append(" Mobile Safari/537.36 (compatible; Googlebot/2.1; "
                     "+http://www.google.com/bot.html) AdsBot-Google-Mobile-Apps/");
            put_uint(a, rng.range(1, 9));
            a.append(" (+https://developers.google.com/search/docs/crawling-indexing)");
            break;
        }
        t.storage.add(a);
        bot.push_back(is_bot);
    }
    // Views last, once the storage no longer moves; earlier ones weigh more.
    for (std::size_t i = 0; i < n; ++i)
        t.list.push_back(
            {t.storage[i], static_cast<std::uint32_t>(100000 / (i + 20)), bot[i] != 0});
}

constexpr std::string_view kSite = "https://www.example.com";

void put_words(std::string &s, Rng &rng, int words, char sep) {
    for (int i = 0; i < words; ++i) {
        if (i) s.push_back(sep);
        s.append(kWords[rng.below(kWords.size())]);
    }
}

// Referrers of 150 to 450 bytes: result pages of search engines and link wrappers of social sites
// with their tracking parameters, and the site's own pages reached from ad campaigns. `page` is a
// path of the site.
void put_long_referrer(std::string &s, Rng &rng, std::string_view page) {
    switch (rng.below(4)) {
    case 0:
        s.append("https://www.google.com/search?q=");
        put_words(s, rng, static_cast<int>(rng.range(2, 5)), '+');
        s.append("&sca_esv=");
        put_hex(s, rng.next(), 16);
        s.append("&sxsrf=ACQVn0");
        put_alnum(s, rng, 30);
        s.append("%3A");
        put_uint(s, 1709500000000 + rng.below(700000000));
        s.append("&ei=");
        put_alnum(s, rng, 22);
        s.append("&ved=0ahUKEwi");
        put_alnum(s, rng, 40);
        s.append("&uact=5&gs_lp=Egxnd3Mtd2l6LXNlcnAi");
        put_alnum(s, rng, static_cast<int>(rng.range(70, 140)));
        s.append("&sclient=gws-wiz-serp");
        break;
    case 1:
        s.append("https://l.facebook.com/l.php?u=https%3A%2F%2Fwww.example.com");
        for (char c : page) {
            switch (c) {
            case '/':
                s.append("%2F");
                break;
            case '?':
                s.append("%3F");
                break;
            case '&':
                s.append("%26");
                break;
            case '=':
                s.append("%3D");
                break;
            default:
                s.push_back(c);
            }
        }
        s.append("%3Ffbclid%3DIwAR");
        put_alnum(s, rng, 40);
        s.append("&h=AT");
        put_alnum(s, rng, static_cast<int>(rng.range(90, 150)));
        s.append("&__tn__=-UK-R&c[0]=AT");
        put_alnum(s, rng, 60);
        break;
    case 2:
        s.append("https://www.example.com");
        s.append(page);
        s.push_back(page.find('?') == std::string_view::npos ? '?' : '&');
        s.append("utm_source=google&utm_medium=cpc&utm_campaign=");
        put_words(s, rng, 3, '-');
        s.append("&utm_content=");
        put_alnum(s, rng, 12);
        s.append("&gclid=Cj0KCQiA");
        put_alnum(s, rng, static_cast<int>(rng.range(90, 150)));
        s.append("&gad_source=1");
        break;
    default:
        s.append("https://www.bing.com/search?q=");
        put_words(s, rng, static_cast<int>(rng.range(2, 5)), '+');
        s.append("&form=QBLH&sp=-1&ghc=1&lq=0&pq=");
        put_words(s, rng, 2, '+');
        s.append("&sc=10-");
        put_uint(s, rng.range(5, 40));
        s.append("&qs=n&sk=&cvid=");
        put_hex(s, rng.next(), 16);
        put_hex(s, rng.next(), 16);
        s.append("&ghsh=0&ghacc=0&ghpl=");
        break;
    }
}

constexpr std::array<std::string_view, 12> kExternalReferrers = {
    "https://www.google.com/",       "https://www.google.com/",
    "https://www.google.com/",       "https://www.google.de/",
    "https://www.bing.com/",         "https://duckduckgo.com/",
    "https://search.yahoo.com/",     "https://yandex.ru/",
    "https://www.facebook.com/",     "https://l.instagram.com/",
    "https://news.ycombinator.com/", "android-app://com.google.android.gm/"};

// ---------------------------------------------------------------------------------------------
// Resources

enum class Kind : std::uint8_t { Page, Script, Style, Image, Font, Api, Text, Probe };

struct Resource {
    std::uint32_t size; // typical body size for a 200 answer
    Kind kind;
};

struct Resources {
    StringPool paths;
    std::vector<Resource> info;
    std::vector<std::uint32_t> pages;    // indices of pages, used as internal referrers
    std::vector<std::uint32_t> writable; // indices of API calls and probes, for POST and such
    void add(std::string_view p, Kind k, std::uint32_t size) {
        if (k == Kind::Page) pages.push_back(static_cast<std::uint32_t>(paths.size()));
        if (k == Kind::Api || k == Kind::Probe)
            writable.push_back(static_cast<std::uint32_t>(paths.size()));
        paths.add(p);
        info.push_back({size, k});
    }
};

// With `short_paths`, the same site with terser URLs, as older or smaller sites have: shorter
// prefixes, fewer words in slugs, no asset hashes.
void build_resources(Resources &res, Rng &rng, std::size_t n, bool short_paths) {
    const auto pick = [short_paths](std::string_view long_form, std::string_view short_form) {
        return short_paths ? short_form : long_form;
    };
    // The handful of URLs every visit touches come first, so they get the heaviest weights.
    std::string h1, h2, h3;
    put_hex(h1, rng.next(), 8);
    put_hex(h2, rng.next(), 8);
    put_hex(h3, rng.next(), 8);
    res.add("/", Kind::Page, 38211);
    res.add(short_paths ? "/js/app.js" : "/static/js/app." + h1 + ".js", Kind::Script, 286344);
    res.add(short_paths ? "/css/main.css" : "/static/css/main." + h2 + ".css", Kind::Style, 48730);
    res.add("/favicon.ico", Kind::Image, 15086);
    res.add(short_paths ? "/js/vendor.js" : "/static/js/vendor." + h3 + ".js", Kind::Script,
            412907);
    res.add("/images/logo.svg", Kind::Image, 6254);
    res.add("/fonts/inter-var.woff2", Kind::Font, 98234);
    res.add("/api/v1/session", Kind::Api, 412);
    res.add("/robots.txt", Kind::Text, 312);
    res.add("/api/v1/cart", Kind::Api, 1290);
    res.add("/sitemap.xml", Kind::Text, 184230);
    res.add("/search", Kind::Page, 24911);

    static const Choice kinds{38, 6, 3, 30, 1, 17, 0, 5}; // indexed by Kind
    static const std::array<std::string_view, 16> probes = {
        "/wp-login.php",
        "/wp-admin/setup-config.php",
        "/xmlrpc.php",
        "/.env",
        "/.git/config",
        "/phpmyadmin/index.php",
        "/admin/config.php",
        "/cgi-bin/luci/;stok=/locale",
        "/vendor/phpunit/phpunit/src/Util/PHP/eval-stdin.php",
        "/boaform/admin/formLogin",
        "/actuator/health",
        "/.aws/credentials",
        "/server-status",
        "/owa/auth/logon.aspx",
        "/wp-content/plugins/wp-file-manager/readme.txt",
        "/HNAP1/"};
    std::string p;
    while (res.paths.size() < n) {
        p.clear();
        const auto kind = static_cast<Kind>(kinds.pick(rng));
        std::uint32_t size = 0;
        switch (kind) {
        case Kind::Page:
            switch (rng.below(6)) {
            case 0:
            case 1:
                p.append(pick("/products/", "/p/"));
                put_slug(p, rng, static_cast<int>(short_paths ? rng.range(1, 2) : rng.range(2, 4)));
                p.push_back('-');
                put_uint(p, rng.range(1000, 99999));
                break;
            case 2:
                p.append("/blog/");
                if (short_paths) {
                    put_slug(p, rng, static_cast<int>(rng.range(1, 2)));
                    break;
                }
                put_uint(p, rng.range(2016, 2024));
                p.push_back('/');
                put_uint2(p, rng.range(1, 12));
                p.push_back('/');
                put_slug(p, rng, static_cast<int>(rng.range(3, 7)));
                break;
            case 3:
                p.append("/c/");
                p.append(kCategories[rng.below(kCategories.size())]);
                p.push_back('/');
                put_slug(p, rng, static_cast<int>(rng.range(1, 2)));
                if (rng.chance(400000)) {
                    p.append("?page=");
                    put_uint(p, rng.range(2, 40));
                    if (rng.chance(500000)) p.append("&sort=price_asc");
                }
                break;
            case 4:
                p.append("/docs/");
                put_slug(p, rng, 1);
                p.push_back('/');
                put_slug(p, rng, static_cast<int>(short_paths ? 1 : rng.range(1, 4)));
                if (rng.chance(200000)) {
                    p.append("?version=");
                    put_uint(p, rng.range(1, 9));
                }
                break;
            default:
                p.append("/search?q=");
                for (int i = 0, w = static_cast<int>(rng.range(1, 3)); i < w; ++i) {
                    if (i) p.push_back('+');
                    p.append(kWords[rng.below(kWords.size())]);
                }
                if (rng.chance(300000)) {
                    p.append("&category=");
                    p.append(kCategories[rng.below(kCategories.size())]);
                }
                break;
            }
            size = rng.logu(4000, 120000);
            break;
        case Kind::Script:
            p.append(pick("/static/js/", "/js/"));
            put_slug(p, rng, 1);
            if (short_paths) {
                p.append(".js");
            } else {
                p.push_back('.');
                put_hex(p, rng.next(), 8);
                p.append(".chunk.js");
            }
            size = rng.logu(1500, 400000);
            break;
        case Kind::Style:
            p.append(pick("/static/css/", "/css/"));
            put_slug(p, rng, 1);
            if (!short_paths) {
                p.push_back('.');
                put_hex(p, rng.next(), 8);
            }
            p.append(".css");
            size = rng.logu(800, 90000);
            break;
        case Kind::Image:
            if (rng.below(3) == 0) {
                p.append(pick("/media/uploads/", "/up/"));
                if (!short_paths) {
                    put_uint(p, rng.range(2019, 2024));
                    p.push_back('/');
                    put_uint2(p, rng.range(1, 12));
                    p.push_back('/');
                }
                put_slug(p, rng, static_cast<int>(rng.range(1, 3)));
                p.append(rng.below(2) ? ".png" : ".jpg");
            } else {
                static const std::array<std::string_view, 4> dims = {"160x160", "480x480",
                                                                     "800x800", "1200x900"};
                p.append(pick("/images/products/", "/img/"));
                put_uint(p, rng.range(1000, 99999));
                p.push_back(short_paths ? '-' : '/');
                p.append(dims[rng.below(dims.size())]);
                p.append(rng.below(3) ? ".webp" : ".jpg");
            }
            size = rng.logu(2000, 900000);
            break;
        case Kind::Font:
            p.append("/fonts/");
            put_slug(p, rng, 1);
            p.append(rng.below(2) ? "-regular.woff2" : "-bold.woff2");
            size = rng.logu(18000, 140000);
            break;
        case Kind::Api: {
            static const std::array<std::string_view, 8> coll = {
                "products",        "users",     "orders", "reviews",
                "recommendations", "inventory", "events", "prices"};
            p.append("/api/v");
            put_uint(p, rng.range(1, 2));
            p.push_back('/');
            p.append(coll[rng.below(coll.size())]);
            if (rng.below(3)) {
                p.push_back('/');
                put_uint(p, rng.range(1, 999999));
            }
            if (rng.chance(350000)) {
                p.append("?limit=");
                put_uint(p, 12u << rng.below(3));
                p.append("&offset=");
                put_uint(p, 12 * rng.below(30));
            }
            size = rng.logu(60, 30000);
            break;
        }
        case Kind::Text:
            break;
        case Kind::Probe:
            p.append(probes[rng.below(probes.size())]);
            if (rng.chance(300000)) {
                p.append("?");
                put_alnum(p, rng, static_cast<int>(rng.range(3, 12)));
                p.append("=");
                put_alnum(p, rng, static_cast<int>(rng.range(4, 20)));
            }
            size = rng.logu(150, 600);
            break;
        }
        res.add(p, kind, size);
    }
}

// ---------------------------------------------------------------------------------------------
// Time

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t z, int &y, unsigned &m, unsigned &d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Relative request rate per hour of the day (UTC).
constexpr std::array<std::uint64_t, 24> kHourWeight = {
    30, 22, 18, 15, 14, 16, 22, 35, 55, 70, 80, 85, 88, 90, 92, 95, 97, 95, 90, 85, 75, 65, 52, 40};

constexpr std::int64_t kStartSeconds = 1709510400; // 2024-03-04 00:00:00 UTC
constexpr std::uint64_t kSpanSeconds = 7 * 86400;
// ---------------------------------------------------------------------------------------------
// Shapes of log

enum class AgentMix : std::uint8_t { Browsers, Apps, Long };

// Oddities of the shapes other than the default one.
constexpr std::array<std::string_view, 6> kOddMethods = {"CONNECT", "TRACE", "PROPFIND",
                                                         "get",     "MKCOL", "SEARCH"};
constexpr std::array<std::string_view, 4> kOddProtocols = {"HTTP/3.0", "HTTP/0.9", "http/1.1",
                                                           "HTTP/2"};
constexpr std::array<unsigned, 10> kOddCodes = {429, 499, 502, 504, 308, 207, 418, 444, 600, 999};
constexpr std::array<std::string_view, 5> kJunkRequests = {
    "-", "", "\\x16\\x03\\x01\\x02\\x00\\x01\\x00\\x01\\xfc\\x03\\x03", "PRI * HTTP/2.0", "GET /"};

// What differs between the shapes; everything else (time, requests, statuses, broken lines) is
// shared.  `odd` adds rare oddities real logs have: unusual methods and protocols, status codes
// outside the common set (some above 599), requests that are "-", empty or binary.
struct Shape {
    std::string_view name;
    std::uint32_t v6_ppm;     // lines from IPv6 clients, per million
    bool wide;                // clients anywhere in the address space, else the clustered pool
    std::uint32_t common_ppm; // lines in the common layout, per million, unless --common-ratio
    bool short_paths;         // terse URLs
    AgentMix agents;
    bool long_referrers;
    bool odd;
    // Measured mean line lengths of the combined and common layouts, to spread the time stamps
    // over the span.
    std::uint64_t mean_combined, mean_common;
    std::string_view about;
};

constexpr std::array<Shape, 5> kShapes = {{
    {"default", 150000, false, 0, false, AgentMix::Browsers, false, false, 250, 105,
     "combined, clustered clients, 15% IPv6, ~250 B/line"},
    {"uniform", 150000, true, 0, false, AgentMix::Apps, false, true, 177, 95,
     "combined, clients uniform over the address space, 15% IPv6, ~175 B/line"},
    {"common", 50000, false, 1000000, true, AgentMix::Browsers, false, true, 200, 92,
     "common layout only, terse URLs, clustered clients, 5% IPv6, ~90 B/line"},
    {"long", 150000, false, 0, false, AgentMix::Long, true, true, 594, 110,
     "combined, long referrers and agents, clustered clients, ~600 B/line"},
    {"ipv6", 800000, true, 0, false, AgentMix::Browsers, false, true, 261, 120,
     "combined, 80% IPv6, clients spread widely, ~260 B/line"},
}};

// ---------------------------------------------------------------------------------------------
// Command line

[[noreturn]] void usage(int code) {
    std::fputs("usage: vestrel-loggen [--shape NAME] [--seed N] [--bytes SIZE] [--common-ratio R]\n"
               "  --shape NAME      kind of log, one of the shapes below (default: default)\n"
               "  --seed N          seed of the generator (default 1)\n"
               "  --bytes SIZE      stop before the output exceeds SIZE bytes; suffixes K, M, G,\n"
               "                    T are powers of 1024 (default 1G)\n"
               "  --common-ratio R  fraction of lines in the common layout, 0..1 (default: the\n"
               "                    shape's, 1 for common, else 0)\n"
               "Writes a synthetic access log to stdout; same arguments, same bytes.\n"
               "Shapes:\n",
               code ? stderr : stdout);
    for (const Shape &s : kShapes)
        std::fprintf(code ? stderr : stdout, "  %-8s %.*s\n", std::string(s.name).c_str(),
                     static_cast<int>(s.about.size()), s.about.data());
    std::exit(code);
}

[[noreturn]] void bad(const char *what, std::string_view value) {
    std::fprintf(stderr, "vestrel-loggen: invalid %s '%.*s'\n", what,
                 static_cast<int>(value.size()), value.data());
    usage(2);
}

bool parse_u64(std::string_view s, std::uint64_t &out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    auto r = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::uint64_t parse_size(std::string_view s) {
    std::uint64_t mult = 1;
    if (!s.empty()) {
        switch (s.back()) {
        case 'k':
        case 'K':
            mult = 1ULL << 10;
            break;
        case 'm':
        case 'M':
            mult = 1ULL << 20;
            break;
        case 'g':
        case 'G':
            mult = 1ULL << 30;
            break;
        case 't':
        case 'T':
            mult = 1ULL << 40;
            break;
        default:
            break;
        }
    }
    std::uint64_t n = 0;
    if (!parse_u64(mult == 1 ? s : s.substr(0, s.size() - 1), n) || n > UINT64_MAX / mult)
        bad("size", s);
    return n * mult;
}

// Decimal fraction in [0, 1] to parts per million, without floating point.
std::uint32_t parse_ratio(std::string_view s) {
    std::string_view whole = s, frac;
    if (auto dot = s.find('.'); dot != std::string_view::npos) {
        whole = s.substr(0, dot);
        frac = s.substr(dot + 1);
    }
    if (whole.empty() && frac.empty()) bad("ratio", s);
    std::uint64_t w = 0;
    if (!whole.empty() && !parse_u64(whole, w)) bad("ratio", s);
    std::uint32_t ppm = 0, scale = 100000;
    for (char c : frac) {
        if (c < '0' || c > '9') bad("ratio", s);
        ppm += static_cast<std::uint32_t>(c - '0') * scale;
        scale /= 10;
    }
    if (w > 1 || (w == 1 && ppm > 0)) bad("ratio", s);
    return w == 1 ? 1000000 : ppm;
}

} // namespace

int main(int argc, char **argv) {
    std::uint64_t seed = 1;
    std::uint64_t limit = 1ULL << 30;
    std::uint32_t common_ppm = 0;
    bool common_given = false;
    const Shape *shape = &kShapes[0];

    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i], value;
        if (a == "-h" || a == "--help") usage(0);
        std::string_view name = a;
        bool inline_value = false;
        if (auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inline_value = true;
        }
        if (name != "--seed" && name != "--bytes" && name != "--common-ratio" &&
            name != "--shape") {
            std::fprintf(stderr, "vestrel-loggen: unknown argument '%s'\n", argv[i]);
            usage(2);
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vestrel-loggen: %s needs a value\n", argv[i]);
                usage(2);
            }
            value = argv[++i];
        }
        if (name == "--seed") {
            if (!parse_u64(value, seed)) bad("seed", value);
        } else if (name == "--bytes") {
            limit = parse_size(value);
        } else if (name == "--shape") {
            shape = nullptr;
            for (const Shape &s : kShapes)
                if (s.name == value) shape = &s;
            if (!shape) bad("shape", value);
        } else {
            common_ppm = parse_ratio(value);
            common_given = true;
        }
    }

#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    // Independent streams: the pools do not change when the line model does, and vice versa.
    Rng pool_rng(mix(seed, 1));
    Rng rng(mix(seed, 2));

    const Shape &sh = *shape;
    if (!common_given) common_ppm = sh.common_ppm;

    AgentTable agents;
    if (sh.agents == AgentMix::Long) {
        Rng agent_rng(mix(seed, 3));
        build_long_agents(agents, agent_rng, 3000);
    } else {
        add_agents(agents, kAgents.data(), kAgents.size(), 1);
        if (sh.agents == AgentMix::Apps)
            add_agents(agents, kAppAgents.data(), kAppAgents.size(), 3);
    }
    const Choice agent_choice = agent_choice_of(agents);
    // Wide clients are numbers drawn with a flat Zipf law, each standing for an address, so
    // that about as many distinct addresses occur as in the clustered pool's log.
    Clients clients;
    if (!sh.wide) build_clients(clients, pool_rng, agent_choice, 255000, 45000);
    Resources res;
    build_resources(res, pool_rng, 30000, sh.short_paths);

    const Zipf pick_v4(sh.wide ? 1000000 : clients.v4.size(), sh.wide ? 50 : 3);
    const Zipf pick_v6(sh.wide ? 1000000 : clients.v6.size(), sh.wide ? 50 : 3);
    const std::uint64_t wide_key4 = mix(seed, 4), wide_key6 = mix(seed, 6);
    const Zipf pick_resource(res.paths.size(), 2);
    const Zipf pick_page(res.pages.size(), 2);
    const Zipf pick_writable(res.writable.size(), 2);

    static const std::array<std::string_view, 7> methods = {"GET", "POST",   "HEAD", "OPTIONS",
                                                            "PUT", "DELETE", "PATCH"};
    static const Choice method_choice{8800, 600, 400, 80, 50, 40, 30};
    static const std::array<std::string_view, 3> protos = {"HTTP/1.1", "HTTP/2.0", "HTTP/1.0"};
    static const Choice proto_choice{78, 17, 5};
    static const Choice referrer_choice{35, 47, 18}; // none, internal, external
    static const Choice long_referrer_choice{5, 50, 45};

    // Status codes by resource kind; sizes for non-200 answers are chosen below.
    static const std::array<unsigned, 13> codes = {200, 304, 301, 302, 404, 500, 206,
                                                   201, 204, 400, 401, 403, 503};
    static const Choice status_page{8600, 450, 220, 300, 330, 60, 0, 0, 0, 10, 0, 10, 20};
    static const Choice status_asset{7150, 2450, 20, 0, 300, 10, 60, 0, 0, 0, 0, 5, 5};
    static const Choice status_api{8300, 100, 0, 50, 350, 120, 0, 250, 150, 250, 300, 100, 25};
    static const Choice status_probe{80, 0, 400, 50, 9200, 20, 0, 0, 0, 50, 0, 200, 0};
    static const Choice status_write{5800, 0, 0, 1600, 200, 200, 0, 900, 300, 500, 300, 150, 50};

    // Time: mean gap per hour of day so that the log spans about kSpanSeconds.
    std::uint64_t weight_sum = 0;
    for (auto w : kHourWeight)
        weight_sum += w;
    const std::uint64_t mean_bytes =
        sh.mean_combined - (sh.mean_combined - sh.mean_common) * common_ppm / 1000000;
    const std::uint64_t est_lines = std::max<std::uint64_t>(1, limit / mean_bytes);
    const std::uint64_t base_gap_us = kSpanSeconds * 1000000 / est_lines;
    std::array<std::uint64_t, 24> gap_max{};
    for (std::size_t h = 0; h < 24; ++h)
        gap_max[h] = 2 * base_gap_us * weight_sum / (24 * kHourWeight[h]) + 1;
    std::uint64_t now_us = 0;
    std::int64_t stamp_second = -1;
    std::string stamp;

    std::string out, line, host, client;
    out.reserve(1 << 20);
    line.reserve(2048);
    std::uint64_t written = 0;

    for (;;) {
        // Clock.
        now_us += rng.below64(gap_max[(now_us / 3600000000) % 24]);
        const std::int64_t sec = kStartSeconds + static_cast<std::int64_t>(now_us / 1000000);
        if (sec != stamp_second) {
            stamp_second = sec;
            int y;
            unsigned m, d;
            civil_from_days(sec / 86400, y, m, d);
            const auto tod = static_cast<unsigned>(sec % 86400);
            stamp.clear();
            stamp.push_back('[');
            put_uint2(stamp, d);
            stamp.push_back('/');
            stamp.append(kMonths[m - 1]);
            stamp.push_back('/');
            put_uint(stamp, static_cast<std::uint64_t>(y));
            stamp.push_back(':');
            put_uint2(stamp, tod / 3600);
            stamp.push_back(':');
            put_uint2(stamp, tod / 60 % 60);
            stamp.push_back(':');
            put_uint2(stamp, tod % 60);
            stamp.append(" +0000]");
        }

        // Client.
        const bool v6 = rng.chance(sh.v6_ppm);
        std::string_view addr;
        std::size_t agent;
        if (sh.wide) {
            const std::uint64_t c = v6 ? pick_v6.pick(rng) : pick_v4.pick(rng);
            Rng client_rng(mix(v6 ? wide_key6 : wide_key4, c));
            client.clear();
            put_wide_client(client, v6, client_rng);
            addr = client;
            agent = agent_choice.pick(client_rng);
        } else if (v6) {
            const std::size_t c = pick_v6.pick(rng);
            addr = clients.v6[c];
            agent = clients.v6_agent[c];
        } else {
            const std::size_t c = pick_v4.pick(rng);
            addr = clients.v4[c];
            agent = clients.v4_agent[c];
        }
        if (rng.chance(100000)) agent = agent_choice.pick(rng);
        const bool bot = agents.list[agent].bot;

        // Broken lines: a resolved host name in place of the address, or a line cut short.
        const std::uint32_t broken = rng.below(1000000);
        const bool hostname = broken < 500, truncated = broken >= 500 && broken < 1000;
        if (hostname) {
            host.clear();
            switch (rng.below(4)) {
            case 0:
                host.append("crawl-66-249-");
                put_uint(host, rng.range(64, 79));
                host.push_back('-');
                put_uint(host, rng.range(1, 254));
                host.append(".googlebot.com");
                break;
            case 1:
                put_uint(host, rng.range(1, 223));
                host.push_back('-');
                put_uint(host, rng.below(256));
                host.push_back('-');
                put_uint(host, rng.below(256));
                host.push_back('-');
                put_uint(host, rng.below(256));
                host.append(".dynamic.example.net");
                break;
            case 2:
                host.append("proxy-");
                put_uint(host, rng.range(1, 12));
                host.append(".corp.example.org");
                break;
            default:
                host.append("localhost");
                break;
            }
            addr = host;
        }

        // Request.
        const std::size_t method = method_choice.pick(rng);
        std::size_t r;
        if (method == 0 || method == 2) {
            r = pick_resource.pick(rng);
        } else {
            // Writes and preflights go to the API, or are probes (login forms and the like).
            r = res.writable[pick_writable.pick(rng)];
        }
        const std::string_view path = res.paths[r];
        const Kind kind = res.info[r].kind;

        line.clear();
        line.append(addr);
        line.append(" - - ");
        line.append(stamp);
        line.append(" \"");
        const std::size_t request_start = line.size();
        std::string_view method_text = methods[method];
        if (sh.odd && rng.chance(2000)) method_text = kOddMethods[rng.below(kOddMethods.size())];
        line.append(method_text);
        line.push_back(' ');
        line.append(path);
        // Per-request query strings make a long tail of distinct URLs.
        if (kind == Kind::Page && !sh.short_paths &&
            rng.chance(sh.long_referrers ? 450000 : 180000)) {
            line.push_back(path.find('?') == std::string_view::npos ? '?' : '&');
            switch (rng.below(4)) {
            case 0:
                line.append("utm_source=newsletter&utm_medium=email&utm_campaign=");
                put_slug(line, rng, 2);
                break;
            case 1:
                line.append("ref=");
                put_alnum(line, rng, 8);
                break;
            case 2:
                line.append("fbclid=IwAR");
                put_alnum(line, rng, 40);
                break;
            default:
                line.append("page=");
                put_uint(line, rng.range(2, 60));
                break;
            }
        } else if ((kind == Kind::Script || kind == Kind::Style) && rng.chance(80000)) {
            line.append("?v=");
            put_uint(line, rng.range(1, 40));
        }
        line.push_back(' ');
        std::string_view proto = protos[proto_choice.pick(rng)];
        if (sh.odd && rng.chance(3000)) proto = kOddProtocols[rng.below(kOddProtocols.size())];
        line.append(proto);
        line.append("\" ");
        std::size_t status_start = line.size();

        // Status and size.
        const Choice *sc = &status_page;
        if (method != 0 && method != 2 && kind != Kind::Probe)
            sc = &status_write;
        else if (kind == Kind::Script || kind == Kind::Style || kind == Kind::Image ||
                 kind == Kind::Font || kind == Kind::Text)
            sc = &status_asset;
        else if (kind == Kind::Api)
            sc = &status_api;
        else if (kind == Kind::Probe)
            sc = &status_probe;
        std::size_t status_index = sc->pick(rng);
        if (method == 3 && rng.chance(800000)) status_index = 8; // preflight: 204
        unsigned status = codes[status_index];
        if (sh.odd && rng.chance(5000)) status = kOddCodes[rng.below(kOddCodes.size())];
        put_uint(line, status);
        line.push_back(' ');

        std::uint64_t size = 0;
        bool dash = false;
        const std::uint32_t body = res.info[r].size;
        switch (status) {
        case 200:
        case 201:
            if (kind == Kind::Page || kind == Kind::Api)
                size = body - body / 8 + rng.below(body / 4 + 1); // dynamic: varies a little
            else
                size = body;
            break;
        case 206:
            size = rng.range(1, body);
            break;
        case 304:
        case 204:
            dash = rng.chance(500000);
            break;
        case 301:
        case 302:
            size = rng.chance(200000) ? 0 : rng.range(162, 580);
            break;
        case 404:
            size = rng.chance(300000) ? rng.range(4000, 19000) : rng.range(150, 560);
            break;
        default:
            size = rng.logu(100, 3200);
            break;
        }
        if (method == 2) { // HEAD: no body
            dash = rng.chance(600000);
            size = 0;
        }
        if (dash)
            line.push_back('-');
        else
            put_uint(line, size);
        std::size_t common_end = line.size();

        if (!rng.chance(common_ppm)) {
            // Referrer and user agent.
            line.append(" \"");
            // Campaign traffic: nearly every visit arrives with a referrer.
            std::size_t ref =
                (sh.long_referrers ? long_referrer_choice : referrer_choice).pick(rng);
            if (bot || kind == Kind::Probe) ref = rng.chance(970000) ? 0 : ref;
            if (ref == 0) {
                line.push_back('-');
            } else if (sh.long_referrers) {
                put_long_referrer(line, rng, res.paths[res.pages[pick_page.pick(rng)]]);
            } else if (ref == 1) {
                line.append(kSite);
                line.append(res.paths[res.pages[pick_page.pick(rng)]]);
            } else {
                line.append(kExternalReferrers[rng.below(kExternalReferrers.size())]);
            }
            line.append("\" \"");
            line.append(agents.list[agent].text);
            line.push_back('"');
        }

        if (sh.odd && rng.chance(1000)) {
            // A request that is no request: scanners, stray TLS handshakes, timeouts.
            const std::size_t junk = rng.below(kJunkRequests.size());
            line.resize(request_start);
            line.append(kJunkRequests[junk]);
            line.append("\" ");
            status_start = line.size();
            line.append(junk == 0 ? "408 " : "400 ");
            if (rng.chance(500000))
                line.push_back('0');
            else
                line.push_back('-');
            common_end = line.size();
            if (!rng.chance(common_ppm)) line.append(" \"-\" \"-\"");
        }

        if (truncated) {
            // Cut anywhere past the address, but not inside or right after the status and size,
            // where the rest would still pass for a common line.
            const std::size_t min_cut = addr.size() + 2;
            std::size_t cut;
            do
                cut = min_cut + rng.below(static_cast<std::uint32_t>(line.size() - min_cut));
            while (cut > status_start && cut <= common_end);
            line.resize(cut);
        }
        line.push_back('\n');

        if (written + line.size() > limit) break;
        written += line.size();
        out.append(line);
        if (out.size() >= (1 << 20) - 2048) {
            if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) {
                std::perror("vestrel-loggen: write");
                return 1;
            }
            out.clear();
        }
    }
    if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) {
        std::perror("vestrel-loggen: write");
        return 1;
    }
    if (std::fflush(stdout) != 0) {
        std::perror("vestrel-loggen: write");
        return 1;
    }
    return 0;
}
