#include "hll.h"
#include "support/process.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vestrel {
namespace {

struct Sketch {
    HllStorage s;
    explicit Sketch(std::uint8_t precision) { EXPECT_EQ(create(s, precision), 0); }
    ~Sketch() { release(s); }
};

TEST(Murmur3, PublishedVectors) {
    EXPECT_EQ(murmur3_32("abc", 3, VISITOR_HASH_SEED), 0x67AAA3F8u);
    // Values of the published MurmurHash3_x86_32.
    EXPECT_EQ(murmur3_32("", 0, 0), 0u);
    EXPECT_EQ(murmur3_32("", 0, 1), 0x514E28B7u);
    EXPECT_EQ(murmur3_32("", 0, 0xffffffff), 0x81F16F39u);
    EXPECT_EQ(murmur3_32("\xff\xff\xff\xff", 4, 0), 0x76293B50u);
    EXPECT_EQ(murmur3_32("!Ce\x87", 4, 0), 0xF55B516Bu);
    EXPECT_EQ(murmur3_32("!Ce", 3, 0), 0x7E4A8634u);
    EXPECT_EQ(murmur3_32("!C", 2, 0), 0xA0F7B07Au);
    EXPECT_EQ(murmur3_32("!", 1, 0), 0x72661CF4u);
    EXPECT_EQ(murmur3_32("Hello, world!", 13, 1234), 0xFAF6CDB3u);
    EXPECT_EQ(murmur3_32("The quick brown fox jumps over the lazy dog", 43, 0x9747b28c),
              0x2FA826CDu);
    // Unaligned input hashes the same as aligned.
    alignas(4) char buffer[8] = {0, 'a', 'b', 'c', 'd', 'e', 0, 0};
    EXPECT_EQ(murmur3_32(buffer + 1, 5, 7), murmur3_32("abcde", 5, 7));
}

TEST(Murmur3, ShortFormHashesAsTheLoop) {
    // Every length the short and medium forms take, from every offset, with
    // bytes past the text that their loads see and must not count.
    std::mt19937 rng(0x5eed0101);
    char buffer[8 + MURMUR_MEDIUM_LOAD];
    for (int round = 0; round < 2000; ++round) {
        for (char &c : buffer)
            c = static_cast<char>(rng());
        const std::size_t at = rng() % 8;
        const std::uint32_t seed =
            round % 2 == 0 ? VISITOR_HASH_SEED : static_cast<std::uint32_t>(rng());
        for (std::int32_t n = 0; n <= MURMUR_SHORT_MAX; ++n)
            ASSERT_EQ(murmur3_32_short(buffer + at, n, seed), murmur3_32(buffer + at, n, seed))
                << "length " << n;
        for (std::int32_t n = 0; n <= MURMUR_MEDIUM_MAX; ++n)
            ASSERT_EQ(murmur3_32_upto<MURMUR_MEDIUM_MAX>(buffer + at, n, seed),
                      murmur3_32(buffer + at, n, seed))
                << "length " << n;
    }
}

TEST(Hll, IndexAndRank) {
    Sketch k(20);
    insert(k.s, "abc", 3); // hash 0x67AAA3F8: index 0x67AAA, rank 4
    EXPECT_EQ(k.s.registers[0x67AAA], 4);
    insert_hash(k.s, 0x12345004); // rank 3 does not lower the register
    insert_hash(k.s, 0x12345000); // low 12 bits zero: the cap, 13
    EXPECT_EQ(k.s.registers[0x12345], 13);
    insert_hash(k.s, 0x12345004);
    EXPECT_EQ(k.s.registers[0x12345], 13);

    Sketch small(4);
    insert_hash(small.s, 0xF0000000); // low 28 bits zero: 33 - 4
    EXPECT_EQ(small.s.registers[0xF], 29);
}

TEST(Hll, CreatePrecisionRange) {
    HllStorage s;
    errno = 0;
    EXPECT_EQ(create(s, 3), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(s.registers, nullptr);
    EXPECT_EQ(create(s, 21), -1);
    EXPECT_EQ(errno, ERANGE);
    for (std::uint8_t p : {4, 20}) {
        ASSERT_EQ(create(s, p), 0);
        EXPECT_EQ(s.size, std::uint64_t{1} << p);
        EXPECT_NE(s.registers, nullptr);
        release(s);
        EXPECT_EQ(s.registers, nullptr);
        release(s); // safe twice
    }
}

// The registers cannot be had: -1 with ENOMEM and a sketch without them,
// never 0 with registers absent. A child caps its address space just above
// what it has, so that the 1 MiB allocation fails.
TEST(Hll, CreateFailsWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any cap leaves";
#endif
#endif
    if (const std::string name = test::emulator(); !name.empty())
        GTEST_SKIP() << "an address-space cap cannot be set for the program alone: it runs under "
                     << name << ", which maps its own memory in the same process";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Earlier tests in this process freed sketches: a megabyte free in
        // the heap would serve the allocation without new memory. Give the
        // heap's free top back and send large blocks to mmap again, as in a
        // fresh process.
#if defined(__GLIBC__)
        malloc_trim(0);
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
        long pages = 0;
        if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        if (pages == 0) _exit(2);
        const rlim_t cap =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256 << 10);
        const rlimit limit{cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        HllStorage s;
        errno = 0;
        const int rc = create(s, 20);
        _exit(rc == -1 && errno == ENOMEM && s.registers == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "the child could not cap its address space";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Hll, LoadRegistersSizes) {
    const std::vector<std::uint8_t> bytes(1 << 20, 1);
    struct Case {
        std::uint64_t size;
        int error; // 0: accepted
        int precision;
    } cases[] = {{16, 0, 4},     {1 << 20, 0, 20}, {0, EINVAL, 0},
                 {1, EINVAL, 0}, {6, EINVAL, 0},   {24, EINVAL, 0},
                 {2, ERANGE, 0}, {8, ERANGE, 0},   {1 << 21, ERANGE, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        HllStorage s;
        errno = 0;
        const int rc = load_registers(s, bytes.data(), c.size);
        if (c.error == 0) {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(s.precision, c.precision);
            EXPECT_EQ(s.size, c.size);
            EXPECT_EQ(s.registers[c.size - 1], 1);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, c.error);
            EXPECT_EQ(s.registers, nullptr);
        }
        release(s);
    }
}

TEST(Hll, MergeTakesRegisterMaximum) {
    Sketch a(20), b(20), c(19);
    insert_hash(a.s, 0x12345004);
    insert_hash(b.s, 0x12345000);
    insert_hash(b.s, 0x00001002);
    const std::uint32_t before = register_digest(a.s);
    errno = 0;
    EXPECT_EQ(merge_from(a.s, c.s), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(register_digest(a.s), before);
    EXPECT_EQ(merge_from(a.s, b.s), 0);
    EXPECT_EQ(a.s.registers[0x12345], 13);
    EXPECT_EQ(a.s.registers[0x00001], 2);
    EXPECT_EQ(register_digest(a.s), register_digest(b.s));
}

TEST(Hll, EstimateSmallCounts) {
    Sketch k(20);
    EXPECT_EQ(estimate(k.s), 0.0);
    for (int i = 0; i < 1000; ++i)
        insert(k.s, "192.0.2.7", 9);
    const double m = 1048576.0;
    EXPECT_DOUBLE_EQ(estimate(k.s), m * std::log(m / (m - 1)));
    EXPECT_EQ(static_cast<std::uint64_t>(estimate(k.s)), 1u);
}

// Error at growing cardinalities stays within a few standard errors
// (1.04 / sqrt(2^20) ~ 0.1%), and within 1% at a million distinct addresses.
TEST(Hll, EstimateAccuracy) {
    Sketch k(20);
    char text[32];
    std::uint64_t inserted = 0;
    for (std::uint64_t target : {1000u, 10000u, 100000u, 1000000u}) {
        for (; inserted < target; ++inserted) {
            const int n = std::snprintf(
                text, sizeof text, "10.%u.%u.%u", static_cast<unsigned>(inserted >> 16 & 255),
                static_cast<unsigned>(inserted >> 8 & 255), static_cast<unsigned>(inserted & 255));
            insert(k.s, text, n);
        }
        const double error = std::fabs(estimate(k.s) - static_cast<double>(target)) / target;
        SCOPED_TRACE(target);
        EXPECT_LT(error, 0.01);
    }
}

TEST(Hll, EstimateStaysFiniteForAnyRegisters) {
    // All registers at the cap: the raw estimate is far above 2^32, where the
    // large-range correction has no finite value.
    std::vector<std::uint8_t> bytes(1 << 20, 13);
    HllStorage s;
    ASSERT_EQ(load_registers(s, bytes.data(), bytes.size()), 0);
    const double capped = estimate(s);
    EXPECT_TRUE(std::isfinite(capped));
    EXPECT_NEAR(capped, 4294967296.0 * std::log(4294967296.0), 1.0);
    release(s);
    // Values above the insert cap, only reachable by loading, stay defined.
    for (std::uint8_t value : {31, 64, 255}) {
        std::vector<std::uint8_t> high(16, value);
        ASSERT_EQ(load_registers(s, high.data(), high.size()), 0);
        EXPECT_TRUE(std::isfinite(estimate(s)));
        EXPECT_GE(estimate(s), capped - 1.0);
        release(s);
    }
}

// The sum of 2^-register is taken by value where that is exact; it must
// equal, bit for bit, the register-by-register sum in every case, including
// registers far enough above the insert cap to need that sum. The estimate
// is a pure function of the sum and the zero count, so the sum is what
// differs if anything does.
TEST(Hll, EstimateEqualsTheSumRegisterByRegister) {
    std::mt19937_64 rng(7);
    for (unsigned precision : {4u, 14u, 20u}) {
        for (unsigned top : {0u, 13u, 33u, 34u, 49u, 200u}) {
            SCOPED_TRACE(testing::Message() << precision << " " << top);
            std::vector<std::uint8_t> bytes(std::size_t{1} << precision);
            for (std::uint8_t &b : bytes)
                b = static_cast<std::uint8_t>(rng() % (top + 1));
            bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(top);
            HllStorage s;
            ASSERT_EQ(load_registers(s, bytes.data(), bytes.size()), 0);
            double sum = 0.0;
            std::uint64_t zeros = 0;
            for (std::uint8_t b : bytes) {
                sum += std::ldexp(1.0, -b);
                zeros += b == 0;
            }
            const double m = static_cast<double>(bytes.size());
            const double alpha = precision == 4 ? 0.673 : 0.7213 / (1.0 + 1.079 / m);
            const double e = alpha * m * m / sum;
            if (e <= 2.5 * m && zeros > 0)
                EXPECT_EQ(estimate(s), m * std::log(m / static_cast<double>(zeros)));
            else if (e <= 4294967296.0 / 30.0)
                EXPECT_EQ(estimate(s), e);
            release(s);
        }
    }
}

} // namespace
} // namespace vestrel
