// Compressed logs: which compression a log's first bytes announce, and the
// gzip and zstd decoders that turn the descriptor's bytes into log text as it
// is read.
//
// A Decoder owns its input buffer of DECODE_INPUT bytes and one decoder
// state, allocated once when it is opened and released by close_decoder:
// for gzip ISA-L's inflate state (about 87 KiB, no other memory) or, in a
// build without ISA-L, zlib's (about 40 KiB with its window); for zstd a
// decompression context whose window the frame sets, at most
// ZSTD_WINDOW_LIMIT. Nothing grows with the log: a decompression bomb is a
// long log, read in constant memory and linear time.
//
// Invariants: in[in_at, in_end) holds compressed bytes read but not yet
// decoded; the descriptor is read only when that range is empty (or holds
// less than a gzip magic after a member). Once `outcome.error` is set the
// decoder hands out nothing more.
//
// Cost: per call of decode_some, one decoder call per DECODE_INPUT bytes of
// input and at most one read; the text goes straight into the caller's
// buffer, never through a buffer of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct ZSTD_DCtx_s;

namespace vestrel {

// What a log's first bytes say it is. NONE is text (anything unrecognised).
enum class Compression : std::uint8_t { NONE, GZIP, ZSTD, BZIP2, XZ, LZ4 };

// How many first bytes detect_compression looks at (the xz magic's length).
inline constexpr std::size_t MAGIC_BYTES = 6;

// The read size of compressed input. At a compression ratio of 6, one read
// feeds about six 1 MiB text blocks.
inline constexpr std::size_t DECODE_INPUT = 128 * 1024;

// The largest zstd window accepted: 2^27 bytes (128 MiB), the zstd tool's
// own default limit. A frame that asks for more is refused, with the command
// that reads it.
inline constexpr int ZSTD_WINDOW_LOG_LIMIT = 27;
inline constexpr std::size_t ZSTD_WINDOW_LIMIT = std::size_t{1} << ZSTD_WINDOW_LOG_LIMIT;

// Why decoding stopped before the end of the data. The text for each is
// made by describe_decode_failure.
enum class DecodeError : std::uint8_t {
    NONE,
    TRUNCATED,        // the data ends inside a gzip member or a zstd frame
    CORRUPT,          // not valid data (`detail` says what the library found)
    CHECKSUM,         // the text does not match the stored CRC or checksum
    LENGTH,           // gzip: the text's length does not match the stored one
    WINDOW_TOO_LARGE, // zstd: the frame needs more than ZSTD_WINDOW_LIMIT
    NOT_SUPPORTED,    // bzip2, xz, lz4: refused, with the command to use
};

// What a pass learnt about its input besides the lines.
struct DecodeOutcome {
    Compression format = Compression::NONE;
    DecodeError error = DecodeError::NONE;
    // The library's own words for a CORRUPT error (static text), or null.
    const char *detail = nullptr;
    // gzip: bytes after the last member that are neither a member nor only
    // zeros were left unread, as `gzip -d` leaves them (with a warning).
    bool trailing_garbage = false;
};

struct Decoder {
    int fd = -1;
    unsigned char *in = nullptr;
    std::size_t in_at = 0;
    std::size_t in_end = 0;
    bool in_eof = false;
    // gzip: the inflate state (ISA-L's inflate_state or zlib's z_stream),
    // and whether a member has started and not yet ended.
    void *inflate = nullptr;
    bool member_open = false;
    // zstd: the context, and whether its last call ended a frame (the only
    // place where the data may end).
    ZSTD_DCtx_s *zstd = nullptr;
    bool frame_done = true;
    // Set once the data has ended cleanly: later calls return 0.
    bool done = false;
    DecodeOutcome outcome;
};

// The compression that `bytes[0, size)`, the first bytes of a log, announce:
// gzip (1f 8b 08), zstd (28 b5 2f fd, or a skippable frame 5x 2a 4d 18),
// bzip2 ("BZh" and a digit 1-9), xz (fd 37 7a 58 5a 00), lz4 (04 22 4d 18);
// NONE for anything else, a shorter prefix of these included. Looks at most
// at MAGIC_BYTES bytes.
Compression detect_compression(const unsigned char *bytes, std::size_t size);

// Readies `d` to decode `fd` as `format` (GZIP or ZSTD), starting with the
// `size` bytes at `first` already read from it (at most DECODE_INPUT: more
// would be lost).
// Returns 0, or -1 with errno ENOMEM (nothing then held) or, for a format
// that is not decoded here, EBADMSG with outcome.error NOT_SUPPORTED. `fd`
// stays the caller's; outcome.format is `format` either way.
int open_decoder(Decoder &d, int fd, Compression format, const unsigned char *first,
                 std::size_t size);

// Writes the next at most `size` (at least 1) bytes of text to `to`. Returns
// how many (at least 1), 0 at the end of the data, or -1 with errno set: the
// read's error, ENOMEM, or EBADMSG with outcome.error saying what was wrong
// with the data (the text before it has been handed out). Interrupted reads
// are retried and a non-blocking descriptor is waited for.
ssize_t decode_some(Decoder &d, char *to, std::size_t size);

// Releases the buffers and the state; `d` may be opened again. errno is kept.
void close_decoder(Decoder &d);

// Writes to `out` (`size` bytes, at least 1, always NUL-terminated) why the
// data could not be read, for "Can't read log file: ...": the cause and, for
// a refused format or window, the command that reads the log `path` instead.
// Returns `out`.
char *describe_decode_failure(const DecodeOutcome &outcome, const char *path, char *out,
                              std::size_t size);

// The one raw read of a log: at most `size` bytes into `to`. Returns the
// count, 0 at the end of input, or -1 with errno set. Interrupted reads are
// retried, and a non-blocking descriptor that is momentarily empty is
// waited for (it is not at its end).
ssize_t read_input(int fd, void *to, std::size_t size);

} // namespace vestrel
