#include "read.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
// The wider kernels of index_newlines are compiled for their own instruction
// sets and only run when cpu_vector_level() says the CPU has them; a
// VESTREL_PORTABLE build has only the plain loop.
#if defined(__x86_64__) && defined(__SSE2__) && !defined(VESTREL_PORTABLE)
#define VESTREL_X86_WIDE 1
#include <immintrin.h>
#endif

namespace vestrel {

namespace {

#if defined(VESTREL_X86_WIDE)
// Mask of the first n of a chunk's 64 bytes.
inline std::uint64_t first_bytes(std::size_t n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Records one 64-byte chunk at offset `base`: bit i of `newlines` and `nuls`
// says what byte base + i is. Returns the new count of offsets in `out`.
inline std::size_t record_chunk(std::uint64_t newlines, std::uint64_t nuls, std::size_t base,
                                std::uint32_t *out, std::size_t count, std::size_t *nul_end) {
    if (nuls != 0) *nul_end = base + 64 - static_cast<std::size_t>(std::countl_zero(nuls));
    // PERF: about half the chunks of a usual log hold a newline, so a branch
    // on it was mispredicted half the time (8% of the run). The first offset
    // is written either way (one slot of slack) and counted only if it is
    // one; the top bit keeps the compiler from branching on a zero mask.
    const std::uint64_t top = std::uint64_t{1} << 63;
    out[count] = static_cast<std::uint32_t>(
        base + static_cast<std::size_t>(std::countr_zero(newlines | top)));
    count += newlines != 0;
    newlines &= newlines - 1;
    while (newlines != 0) { // lines shorter than a chunk
        out[count++] =
            static_cast<std::uint32_t>(base + static_cast<std::size_t>(std::countr_zero(newlines)));
        newlines &= newlines - 1;
    }
    return count;
}

std::size_t index_newlines_sse2(const char *buf, std::size_t from, std::size_t to,
                                std::uint32_t *out, std::size_t *nul_end) {
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    std::size_t count = 0;
    for (std::size_t i = from; i < to; i += 64) {
        std::uint64_t newlines = 0;
        std::uint64_t nuls = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + i + 16 * k));
            const auto bits = [](__m128i m) {
                return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(m))};
            };
            newlines |= bits(_mm_cmpeq_epi8(x, newline)) << (16 * k);
            nuls |= bits(_mm_cmpeq_epi8(x, zero)) << (16 * k);
        }
        const std::uint64_t live = first_bytes(to - i);
        count = record_chunk(newlines & live, nuls & live, i, out, count, nul_end);
    }
    return count;
}

// Bit i set where byte i of the 64 in `low` and `high` equals `byte`'s.
__attribute__((target("avx2"))) inline std::uint64_t equal_bytes(__m256i low, __m256i high,
                                                                 __m256i byte) {
    const auto mask = [](int bits) { return std::uint64_t{static_cast<std::uint32_t>(bits)}; };
    return mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, byte))) |
           mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, byte))) << 32;
}

__attribute__((target("avx2"))) std::size_t index_newlines_avx2(const char *buf, std::size_t from,
                                                                std::size_t to, std::uint32_t *out,
                                                                std::size_t *nul_end) {
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    std::size_t count = 0;
    for (std::size_t i = from; i < to; i += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(buf + i));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(buf + i + 32));
        const std::uint64_t live = first_bytes(to - i);
        count = record_chunk(equal_bytes(low, high, newline) & live,
                             equal_bytes(low, high, zero) & live, i, out, count, nul_end);
    }
    return count;
}

__attribute__((target("avx512f,avx512bw"))) std::size_t
index_newlines_avx512(const char *buf, std::size_t from, std::size_t to, std::uint32_t *out,
                      std::size_t *nul_end) {
    const __m512i newline = _mm512_set1_epi8('\n');
    std::size_t count = 0;
    for (std::size_t i = from; i < to; i += 64) {
        const __m512i c = _mm512_loadu_si512(buf + i);
        const std::uint64_t live = first_bytes(to - i);
        count = record_chunk(_mm512_cmpeq_epi8_mask(c, newline) & live,
                             _mm512_testn_epi8_mask(c, c) & live, i, out, count, nul_end);
    }
    return count;
}
#endif

// The C library's memchr and memrchr have their own vector forms on most
// machines.
std::size_t index_newlines_portable(const char *buf, std::size_t from, std::size_t to,
                                    std::uint32_t *out, std::size_t *nul_end) {
    std::size_t count = 0;
    const char *p = buf + from;
    const char *const end = buf + to;
    while (const void *hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        const char *newline = static_cast<const char *>(hit);
        out[count++] = static_cast<std::uint32_t>(newline - buf);
        p = newline + 1;
    }
    if (const void *nul = memrchr(buf + from, '\0', to - from))
        *nul_end = static_cast<std::size_t>(static_cast<const char *>(nul) - buf) + 1;
    return count;
}

} // namespace

std::size_t index_newlines(VectorLevel level, const char *buf, std::size_t from, std::size_t to,
                           std::uint32_t *out, std::size_t *nul_end) {
    switch (level) {
#if defined(VESTREL_X86_WIDE)
    case VectorLevel::AVX512:
        return index_newlines_avx512(buf, from, to, out, nul_end);
    case VectorLevel::AVX2:
        return index_newlines_avx2(buf, from, to, out, nul_end);
    case VectorLevel::SSE2:
        return index_newlines_sse2(buf, from, to, out, nul_end);
#endif
    default:
        return index_newlines_portable(buf, from, to, out, nul_end);
    }
}

namespace {

// A compressed log's next text: from the helper thread's blocks, or, without
// a thread (none wanted, or none to be had), from the decoder run here,
// between the lines. The text is the same either way.
ssize_t read_decoded(Reader &r, char *to, std::size_t size) {
    return r.ahead != nullptr ? take_ahead(*r.ahead, to, size) : decode_some(r.decoder, to, size);
}

// The first read decides where the bytes come from: it reads until it has
// MAGIC_BYTES bytes (or the input ends) into the buffer or, when the block is
// smaller than that, into reader.kept, and looks at them. Text stays where
// it was read; compressed data is handed to a decoder, which then fills the
// buffer with its text. It reads at most DECODE_INPUT bytes, all of which a
// decoder can take.
ssize_t read_first(Reader &r, char *to, std::size_t size) {
    const bool into_buffer = size >= MAGIC_BYTES;
    unsigned char *into = into_buffer ? reinterpret_cast<unsigned char *>(to) : r.kept;
    const std::size_t room = into_buffer ? std::min(size, DECODE_INPUT) : MAGIC_BYTES;
    std::size_t got = 0;
    while (got < MAGIC_BYTES) {
        const ssize_t n = read_input(r.fd, into + got, room - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got == 0) {
        r.source = Source::PLAIN;
        return 0;
    }
    const Compression format = detect_compression(into, got);
    if (format != Compression::NONE) {
        if (open_decoder(r.decoder, r.fd, format, into, got) == -1) return -1;
        r.source = Source::DECODER;
        if (r.decode_ahead == DecodeAhead::ALWAYS ||
            (r.decode_ahead == DecodeAhead::IF_TWO_CPUS && usable_cpus() >= 2))
            r.ahead = start_ahead(r.decoder);
        return read_decoded(r, to, size);
    }
    if (into_buffer) {
        r.source = Source::PLAIN;
        return static_cast<ssize_t>(got);
    }
    r.source = Source::KEPT;
    r.kept_at = 0;
    r.kept_end = static_cast<std::uint8_t>(got);
    return 0;
}

// Every read but a plain log's after its first.
ssize_t read_other(Reader &r, char *to, std::size_t size) {
    switch (r.source) {
    case Source::UNKNOWN: {
        const ssize_t n = read_first(r, to, size);
        if (r.source != Source::KEPT) return n;
        [[fallthrough]];
    }
    case Source::KEPT: {
        const std::size_t n = std::min<std::size_t>(size, r.kept_end - r.kept_at);
        std::memcpy(to, r.kept + r.kept_at, n);
        r.kept_at = static_cast<std::uint8_t>(r.kept_at + n);
        if (r.kept_at == r.kept_end) r.source = Source::PLAIN;
        return static_cast<ssize_t>(n); // at least 1: KEPT holds a byte or more
    }
    case Source::DECODER:
        return read_decoded(r, to, size);
    case Source::PLAIN:
        break;
    }
    return read_input(r.fd, to, size);
}

// Reads at most `size` bytes of text into `to`: the count, 0 at the end of
// input, or -1 with errno set.
inline ssize_t read_some(Reader &r, char *to, std::size_t size) {
    if (r.source == Source::PLAIN) [[likely]]
        return read_input(r.fd, to, size);
    return read_other(r, to, size);
}

// Feeds the long line the next `size` bytes of the buffer while its text
// still wants them.
void overflow_feed(Reader &r, std::size_t size) {
    if (!r.overflow_wants_text) return;
    const std::string_view text = cut_at_nul(std::string_view(r.buf, size));
    long_line_feed(r.overflow, text.data(), text.size());
    r.overflow_wants_text = text.size() == size && !long_line_done(r.overflow);
}

int hand_out(LineView &out, std::string_view text) {
    out.text = text;
    out.readable = text.size();
    return 1;
}

} // namespace

int open_reader(Reader &reader, int fd, VectorLevel level, std::size_t block) {
    block = std::clamp<std::size_t>(block, 1, MAX_READ_BLOCK);
    // Zeroed, so that every byte the scans may load is defined.
    char *buf = static_cast<char *>(std::calloc(1, block + READ_PADDING));
    auto *newlines = static_cast<std::uint32_t *>(
        std::malloc((INDEX_WINDOW + NEWLINE_INDEX_SLACK) * sizeof(std::uint32_t)));
    if (buf == nullptr || newlines == nullptr) {
        std::free(buf);
        std::free(newlines);
        errno = ENOMEM;
        return -1;
    }
    // PERF: the buffer's pages at once rather than a fault per page (only
    // as far as the usual block: a larger one is a test's).
    prefault(buf, std::min(block, READ_BLOCK) + READ_PADDING);
    reader = Reader{};
    reader.fd = fd;
    reader.vector = level;
    reader.block = block;
    reader.buf = buf;
    reader.newlines = newlines;
    reader.line = buf;
    return 0;
}

int next_line_refill(Reader &r, LineView &out) {
    for (;;) {
        if (r.next < r.count) return next_line(r, out);
        // The index runs a window ahead of the lines, so that its offsets
        // stay in a small array whatever the lines look like.
        if (r.indexed < r.end) {
            const std::size_t to = std::min(r.indexed + INDEX_WINDOW, r.end);
            r.count = index_newlines(r.vector, r.buf, r.indexed, to, r.newlines, &r.nul_end);
            r.next = 0;
            r.indexed = to;
            continue;
        }
        if (r.at_end) return 0;
        // Whatever is left after the last newline is the start of a line.
        const std::size_t done = static_cast<std::size_t>(r.line - r.buf);
        const std::size_t rest = r.end - done;
        if (done > 0 && rest > 0) std::memmove(r.buf, r.line, rest);
        r.end = r.indexed = rest;
        r.nul_end = r.nul_end > done ? r.nul_end - done : 0;
        r.count = r.next = 0;
        r.line = r.buf;
        if (r.end == r.block) {
            // Rare path: no newline in a whole block. Every later byte of
            // the line goes straight from the reads to its stand-in: the
            // buffer never grows.
            if (!r.overflow_active) {
                long_line_start(r.overflow);
                r.overflow_active = true;
                r.overflow_wants_text = true;
            }
            overflow_feed(r, r.end);
            r.end = r.indexed = r.nul_end = 0;
        }
        const ssize_t n = read_some(r, r.buf + r.end, r.block - r.end);
        if (n < 0) return -1;
        if (n == 0) {
            r.at_end = true;
            if (r.overflow_active) {
                overflow_feed(r, r.end);
                r.overflow_active = false;
                r.end = r.indexed = 0;
                return hand_out(out, long_line_text(r.overflow));
            }
            if (r.end == 0) return 0;
            const std::size_t last = r.end;
            r.end = r.indexed = 0;
            return hand_out(out, cut_at_nul(std::string_view(r.buf, last)));
        }
        r.end += static_cast<std::size_t>(n);
        if (r.overflow_active) {
            const auto *nl = static_cast<const char *>(
                std::memchr(r.buf + r.indexed, '\n', r.end - r.indexed));
            const char *piece_end = nl == nullptr ? r.buf + r.end : nl + 1;
            overflow_feed(r, static_cast<std::size_t>(piece_end - r.buf));
            if (nl == nullptr) {
                r.end = r.indexed = r.nul_end = 0;
                continue;
            }
            r.overflow_active = false;
            r.line = piece_end;
            r.indexed = static_cast<std::size_t>(piece_end - r.buf);
            return hand_out(out, long_line_text(r.overflow));
        }
    }
}

void close_reader(Reader &reader) {
    const int saved = errno;
    stop_ahead(reader.ahead);
    close_decoder(reader.decoder);
    std::free(reader.newlines);
    std::free(reader.buf);
    reader = Reader{};
    errno = saved;
}

} // namespace vestrel
