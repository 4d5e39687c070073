// The reader: turns a descriptor into lines, split exactly where getline
// would split them (after each newline; a last line without one).
//
// It owns one read buffer of `block` bytes (READ_BLOCK in a run) plus
// READ_PADDING, the newline index of INDEX_WINDOW offsets and, for a
// compressed log, one Decoder (run ahead in a helper thread where a second
// CPU is usable: ahead.h); nothing else, and nothing grows: a line longer
// than the block streams through the bounded stand-in of longline.h. A line
// it hands out is a view into the buffer, valid until the next call; its
// text ends at its first NUL byte.
//
// A log whose first bytes are gzip or zstd data is decompressed as it is
// read (decompress.h): its text goes into the same buffer as a plain log's,
// and everything after the read is the same. What the first bytes are is
// decided once, on the first read (at most DECODE_INPUT bytes, so that a
// decoder can take all of them), from what that read brought; nothing is
// read twice and the descriptor is never seeked, so pipes work too. The
// plain path pays one predictable branch per read for this.
//
// Cost per line: one offset from the newline index, which finds every
// newline and NUL byte of a read in one vector pass; per read, one system
// call (or, for compressed logs, one decoder call into the buffer) and, for
// the partial line at the end of the buffer, one move.
#pragma once

#include "ahead.h"
#include "compat.h"
#include "decompress.h"
#include "longline.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vestrel {

// The read size and the size of the only buffer. Measured on a 1 GB log:
// 1 MiB reads ran 3.5% faster than 128 KiB ones (fewer system calls and
// page-cache batches) for 0.9 MiB more resident memory; the whole process
// stays near 6 MiB.
inline constexpr std::size_t READ_BLOCK = 1024 * 1024;

// The limit on the block a caller asks for: the newline index keeps 32-bit
// offsets.
inline constexpr std::size_t MAX_READ_BLOCK = std::size_t{1} << 30;

// Room for offsets that index_newlines needs beyond one per byte scanned.
inline constexpr std::size_t NEWLINE_INDEX_SLACK = 1;

// Bytes past `to` that index_newlines may load (and ignore).
inline constexpr std::size_t NEWLINE_INDEX_OVERREAD = 63;

// Bytes after the read buffer that the scans may load (and ignore), so that
// a field near the end of the buffer is still scanned 16 bytes at a time and
// the newline index reads whole 64-byte chunks.
inline constexpr std::size_t READ_PADDING = 64;
static_assert(READ_PADDING >= NEWLINE_INDEX_OVERREAD);

// How far the newline index runs ahead of the lines; its offsets take four
// bytes for each byte of this in the worst case (a log of empty lines).
// Measured: 16 KiB, 64 KiB and 256 KiB ran alike.
inline constexpr std::size_t INDEX_WINDOW = 16 * 1024;

// Writes to `out` the offset from `buf` of every newline in buf[from, to), in
// order, and returns how many there are; when that range holds a NUL byte,
// sets *nul_end to the offset just past the last one (else leaves it). `out`
// has room for to - from + NEWLINE_INDEX_SLACK offsets, and buf[to,
// to + NEWLINE_INDEX_OVERREAD) may be loaded. `level` is at most
// cpu_vector_level(); every level gives the same result. Offsets are 32-bit:
// `to` is at most 2^32 - 1.
// PERF: one pass over a read that finds every newline, instead of a memchr
// call per line; each line's end is then one load away.
std::size_t index_newlines(VectorLevel level, const char *buf, std::size_t from, std::size_t to,
                           std::uint32_t *out, std::size_t *nul_end);

// The text of a line ends at its first NUL byte.
inline std::string_view cut_at_nul(std::string_view line) {
    const void *nul = std::memchr(line.data(), '\0', line.size());
    return nul == nullptr ? line
                          : line.substr(0, static_cast<std::size_t>(static_cast<const char *>(nul) -
                                                                    line.data()));
}

// One line as next_line hands it out: its text (newline included when there
// is one, cut at the first NUL byte) and how many bytes from text.data() may
// be loaded (at least text.size(); more inside the read buffer).
struct LineView {
    std::string_view text;
    std::size_t readable = 0;
};

// Where a read's bytes come from: not known before the first read; the
// descriptor (PLAIN); the first bytes kept from the first read of a block
// too small to hold MAGIC_BYTES, then the descriptor (KEPT); a decoder.
enum class Source : std::uint8_t { UNKNOWN, PLAIN, KEPT, DECODER };

// Whether a compressed log is decoded ahead in a helper thread (ahead.h):
// where a second CPU is usable (the usual run), never, or always (tests).
enum class DecodeAhead : std::uint8_t { IF_TWO_CPUS, NEVER, ALWAYS };

// The state of one pass over a descriptor. buf[0, end) holds unread bytes:
// the lines not yet handed out, then at most one partial line. buf[0,
// indexed) has been through the newline index: the offsets of its newlines
// past `line` are newlines[next, count), and buf[0, nul_end) holds each of
// its NUL bytes (0: none), so lines that start at or past nul_end skip the
// per-line NUL check.
struct Reader {
    int fd = -1;
    VectorLevel vector = VectorLevel::PORTABLE;
    std::size_t block = 0;
    char *buf = nullptr;
    std::uint32_t *newlines = nullptr;
    const char *line = nullptr;
    std::size_t end = 0;
    std::size_t indexed = 0;
    std::size_t nul_end = 0;
    std::size_t count = 0;
    std::size_t next = 0;
    // The line that outgrew the block: its stand-in so far, and whether its
    // text still needs bytes (no NUL byte yet, fields outstanding).
    LongLine overflow;
    bool overflow_active = false;
    bool overflow_wants_text = false;
    // Set once read() has returned 0: a terminal or pipe is not read again.
    bool at_end = false;
    Source source = Source::UNKNOWN;
    // KEPT: first bytes read but not yet handed out, kept[kept_at, kept_end).
    unsigned char kept[MAGIC_BYTES] = {};
    std::uint8_t kept_at = 0;
    std::uint8_t kept_end = 0;
    // DECODER: the decoder; its outcome also tells a pass over a plain log
    // that it was one (format NONE). While `ahead` runs it, the helper
    // thread owns it (ahead.h).
    Decoder decoder;
    DecodeAhead decode_ahead = DecodeAhead::IF_TWO_CPUS;
    Ahead *ahead = nullptr;
};

// Readies `reader` to read `fd` to its end in reads of at most `block` bytes
// (taken as 1 to MAX_READ_BLOCK; tests pass a few bytes to send most lines
// through the bounded path), with scans of `level` (at most
// cpu_vector_level()). Returns 0, or -1 with errno ENOMEM when the buffers
// cannot be had (nothing is then held). `fd` stays the caller's.
int open_reader(Reader &reader, int fd, VectorLevel level, std::size_t block = READ_BLOCK);

// The slow half of next_line: a new window of the index, a new read, the
// long-line path, the last line.
int next_line_refill(Reader &reader, LineView &out);

// Hands out the next line in `out`. Returns 1 for a line, 0 at the end of
// input, -1 with errno set when reading failed (the lines before it have
// been handed out): EBADMSG when compressed data is bad or its format is not
// read here, reader.decoder.outcome then saying why. A non-blocking
// descriptor that has nothing yet is waited for, and an interrupted read is
// retried.
inline int next_line(Reader &reader, LineView &out) {
    if (reader.next == reader.count) [[unlikely]]
        return next_line_refill(reader, out);
    // PERF: the usual line is this: one offset, no scan.
    const char *nl = reader.buf + reader.newlines[reader.next++];
    const char *line = reader.line;
    const std::string_view text(line, static_cast<std::size_t>(nl + 1 - line));
    out.text = line < reader.buf + reader.nul_end ? cut_at_nul(text) : text;
    out.readable = static_cast<std::size_t>(reader.buf + reader.block + READ_PADDING - line);
    reader.line = nl + 1;
    return 1;
}

// Releases the buffers and the decoder, after stopping its helper thread;
// `reader` may be opened again. errno is kept.
void close_reader(Reader &reader);

} // namespace vestrel
