// Sketches loaded from arbitrary bytes: load_registers' size checks, the
// estimate on any register values, merge and the digest.
//
// Input: two 3-byte little-endian sizes (masked to 22 bits), then the
// register bytes, repeated as often as the sizes need.
#include "common.h"
#include "hll.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace vestrel;

namespace {

// 2^32 * ln(2^32): no estimate may pass it (hll.h), with room for rounding.
constexpr double ESTIMATE_CEILING = 4294967296.0 * 22.18070977791825 * (1.0 + 1e-12);

std::uint64_t read_size(const std::uint8_t *p) {
    return (std::uint64_t{p[0]} | std::uint64_t{p[1]} << 8 | std::uint64_t{p[2]} << 16) &
           ((std::uint64_t{1} << 22) - 1);
}

// Loads `size` bytes cycled from `pool`; checks the outcome against the
// documented acceptance. Returns whether the sketch holds registers.
bool load(HllStorage &sketch, const std::vector<std::uint8_t> &pool, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(size);
    if (!pool.empty() && size > 0) {
        const std::uint64_t first = std::min<std::uint64_t>(pool.size(), size);
        std::memcpy(bytes.data(), pool.data(), first);
        // Doubling copies: the pool repeated, cheaply under the sanitizers.
        for (std::uint64_t filled = first; filled < size;) {
            const std::uint64_t n = std::min(filled, size - filled);
            std::memcpy(bytes.data() + filled, bytes.data(), n);
            filled += n;
        }
    }
    const bool power = size != 0 && std::has_single_bit(size);
    const bool in_range = power && size >= 16 && size <= (std::uint64_t{1} << 20);
    errno = 0;
    const int status = load_registers(sketch, bytes.data(), size);
    if (!in_range) {
        FUZZ_CHECK(status == -1);
        FUZZ_CHECK(errno == (power && size > 1 ? ERANGE : EINVAL));
        FUZZ_CHECK(sketch.registers == nullptr);
        return false;
    }
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(sketch.registers != nullptr && sketch.size == size);
    FUZZ_CHECK((std::uint64_t{1} << sketch.precision) == size);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), sketch.registers));
    return true;
}

double checked_estimate(const HllStorage &sketch) {
    const double e = estimate(sketch);
    if (!std::isfinite(e) || e < 0.0 || e > ESTIMATE_CEILING) __builtin_trap();
    const bool untouched = std::all_of(sketch.registers, sketch.registers + sketch.size,
                                       [](std::uint8_t r) { return r == 0; });
    if (untouched)
        FUZZ_CHECK(e == 0.0);
    else
        FUZZ_CHECK(e > 0.0);
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 6) return 0;
    const std::uint64_t size_a = read_size(data);
    const std::uint64_t size_b = read_size(data + 3);
    const std::vector<std::uint8_t> pool(data + 6, data + size);

    HllStorage a;
    HllStorage b;
    const bool have_a = load(a, pool, size_a);
    // The second sketch reads the pool backwards so the two differ.
    const std::vector<std::uint8_t> reversed(pool.rbegin(), pool.rend());
    const bool have_b = load(b, reversed, size_b);

    if (have_a) checked_estimate(a);
    if (have_b) checked_estimate(b);
    if (have_a && have_b) {
        const std::uint32_t digest_a = register_digest(a);
        const std::vector<std::uint8_t> old_a(a.registers, a.registers + a.size);
        errno = 0;
        const int status = merge_from(a, b);
        if (a.precision != b.precision) {
            FUZZ_CHECK(status == -1 && errno == EINVAL);
            FUZZ_CHECK(register_digest(a) == digest_a);
        } else {
            FUZZ_CHECK(status == 0);
            for (std::uint64_t i = 0; i < a.size; ++i)
                if (a.registers[i] != std::max(old_a[i], b.registers[i])) __builtin_trap();
            checked_estimate(a);
            // Merging is idempotent and commutative. (Checked on the smaller
            // sketches only: each pass over 2^20 registers costs a few ms
            // under the sanitizers, and the code is the same for every size.)
            if (a.size <= 4096) {
                const std::uint32_t merged = register_digest(a);
                FUZZ_CHECK(merge_from(a, b) == 0 && register_digest(a) == merged);
                FUZZ_CHECK(merge_from(b, a) == 0 && register_digest(b) == merged);
            }
        }
    }
    // The digest is murmur3_32 of the registers with seed 0.
    if (have_a)
        FUZZ_CHECK(register_digest(a) ==
                   murmur3_32(a.registers, static_cast<std::int32_t>(a.size), 0));
    release(a);
    release(b);
    FUZZ_CHECK(a.registers == nullptr && b.registers == nullptr);
    release(a); // safe on a sketch without registers
    return 0;
}
