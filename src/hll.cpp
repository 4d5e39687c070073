#include "hll.h"

#include "compat.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vestrel {

namespace {

inline std::uint32_t load_le32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

constexpr bool valid_precision(unsigned precision) {
    return precision >= 4 && precision <= 20;
}

} // namespace

std::uint32_t murmur3_32(const void *bytes, std::int32_t length, std::uint32_t seed) {
    constexpr std::uint32_t c1 = 0xcc9e2d51;
    constexpr std::uint32_t c2 = 0x1b873593;
    const auto *data = static_cast<const unsigned char *>(bytes);
    const std::int32_t blocks = length / 4;
    std::uint32_t h = seed;
    for (std::int32_t i = 0; i < blocks; ++i) {
        std::uint32_t k = load_le32(data + 4 * i);
        k *= c1;
        k = std::rotl(k, 15);
        k *= c2;
        h ^= k;
        h = std::rotl(h, 13);
        h = h * 5 + 0xe6546b64;
    }
    const unsigned char *tail = data + 4 * blocks;
    std::uint32_t k = 0;
    switch (length & 3) {
    case 3:
        k ^= static_cast<std::uint32_t>(tail[2]) << 16;
        [[fallthrough]];
    case 2:
        k ^= static_cast<std::uint32_t>(tail[1]) << 8;
        [[fallthrough]];
    case 1:
        k ^= tail[0];
        k *= c1;
        k = std::rotl(k, 15);
        k *= c2;
        h ^= k;
    }
    return murmur3_finish(h, length);
}

int create(HllStorage &sketch, std::uint8_t precision) {
    if (!valid_precision(precision)) {
        errno = ERANGE;
        return -1;
    }
    const std::uint64_t size = std::uint64_t{1} << precision;
    auto *registers = static_cast<std::uint8_t *>(std::calloc(size, 1));
    if (registers == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    // PERF: the estimate reads every register and a large log writes all
    // over them, so their pages come in at once instead of a fault each
    // (512 per 2 MiB of sketches).
    prefault(registers, size);
    sketch.precision = precision;
    sketch.size = size;
    sketch.registers = registers;
    return 0;
}

void release(HllStorage &sketch) {
    std::free(sketch.registers);
    sketch.registers = nullptr;
}

void insert(HllStorage &sketch, const void *bytes, std::int32_t length) {
    insert_hash(sketch, murmur3_32(bytes, length, VISITOR_HASH_SEED));
}

double estimate(const HllStorage &sketch) {
    const double m = static_cast<double>(sketch.size);
    double alpha;
    switch (sketch.precision) {
    case 4:
        alpha = 0.673;
        break;
    case 5:
        alpha = 0.697;
        break;
    case 6:
        alpha = 0.709;
        break;
    default:
        alpha = 0.7213 / (1.0 + 1.079 / m);
    }
    // 2^-r is exact in a double for every byte value, so registers loaded
    // above the insert cap still give a well-defined sum.
    static const auto inverse_powers = [] {
        std::array<double, 256> t{};
        for (int r = 0; r < 256; ++r)
            t[r] = std::ldexp(1.0, -r);
        return t;
    }();
    // PERF: the registers are counted by value (four tables, so that equal
    // neighbours do not wait on each other) and the sum taken over the 256
    // values, instead of a chain of a million dependent additions (5 ms a
    // run). Where every partial sum is a multiple of 2^-top no larger than
    // m, and m * 2^top fits the 53 bits of a double, every sum in any order
    // is exact, so the result is the one the register-by-register sum gives;
    // otherwise (registers loaded far above the insert cap) that sum is
    // taken.
    std::array<std::array<std::uint64_t, 256>, 4> counts{};
    std::uint64_t i = 0;
    for (; i + 4 <= sketch.size; i += 4)
        for (unsigned k = 0; k < 4; ++k)
            ++counts[k][sketch.registers[i + k]];
    for (; i < sketch.size; ++i)
        ++counts[0][sketch.registers[i]];
    std::array<std::uint64_t, 256> by_value{};
    unsigned top = 0;
    for (unsigned r = 0; r < 256; ++r) {
        by_value[r] = counts[0][r] + counts[1][r] + counts[2][r] + counts[3][r];
        if (by_value[r] != 0) top = r;
    }
    const std::uint64_t zeros = by_value[0];
    double sum = 0.0;
    if (sketch.precision + top <= 53) {
        for (unsigned r = 0; r <= top; ++r)
            sum += static_cast<double>(by_value[r]) * inverse_powers[r];
    } else {
        for (std::uint64_t j = 0; j < sketch.size; ++j)
            sum += inverse_powers[sketch.registers[j]];
    }
    const double e = alpha * m * m / sum;
    if (e <= 2.5 * m) return zeros > 0 ? m * std::log(m / static_cast<double>(zeros)) : e;
    constexpr double two32 = 4294967296.0;
    if (e > two32 / 30.0) {
        const double rest = std::fmax(1.0 - e / two32, 1.0 / two32);
        return -two32 * std::log(rest);
    }
    return e;
}

int merge_from(HllStorage &sketch, const HllStorage &other) {
    if (sketch.precision != other.precision) {
        errno = EINVAL;
        return -1;
    }
    for (std::uint64_t i = 0; i < sketch.size; ++i)
        if (other.registers[i] > sketch.registers[i]) sketch.registers[i] = other.registers[i];
    return 0;
}

int load_registers(HllStorage &sketch, const std::uint8_t *bytes, std::uint64_t size) {
    if (size == 0 || (size & 1) != 0 || !std::has_single_bit(size)) {
        errno = EINVAL;
        return -1;
    }
    const unsigned precision = static_cast<unsigned>(std::countr_zero(size));
    if (!valid_precision(precision)) {
        errno = ERANGE;
        return -1;
    }
    auto *registers = static_cast<std::uint8_t *>(std::malloc(size));
    if (registers == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(registers, bytes, size);
    sketch.precision = static_cast<std::uint8_t>(precision);
    sketch.size = size;
    sketch.registers = registers;
    return 0;
}

std::uint32_t register_digest(const HllStorage &sketch) {
    return murmur3_32(sketch.registers,
                      static_cast<std::int32_t>(static_cast<std::uint32_t>(sketch.size)), 0);
}

} // namespace vestrel
