#include "decompress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>
// gzip is inflated by ISA-L where it is found (x86-64 and arm64, about three
// times zlib's speed here), else by zlib; VESTREL_ZLIB in the build forces
// zlib so that both stay tested.
#if defined(VESTREL_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace vestrel {

namespace {

// Names and the commands that decompress a log to standard output, indexed
// by Compression.
constexpr const char *FORMAT_NAMES[] = {"text", "gzip", "zstd", "bzip2", "xz", "lz4"};
constexpr const char *DECOMPRESS_COMMANDS[] = {"cat", "gzip -dc", "zstd -dc --long=31",
                                               "bzip2 -dc", "xz -dc", "lz4 -dc"};
static_assert(std::size(FORMAT_NAMES) == static_cast<std::size_t>(Compression::LZ4) + 1);
static_assert(std::size(DECOMPRESS_COMMANDS) == std::size(FORMAT_NAMES));

const char *format_name(Compression c) {
    return FORMAT_NAMES[static_cast<std::size_t>(c)];
}

bool starts_with(const unsigned char *bytes, std::size_t size, const unsigned char *magic,
                 std::size_t length) {
    return size >= length && std::memcmp(bytes, magic, length) == 0;
}

int wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) == -1)
        if (errno != EINTR) return -1;
    return 0;
}

// Stops the decoder on bad data: returns -1 with errno EBADMSG.
ssize_t fail(Decoder &d, DecodeError error, const char *detail = nullptr) {
    d.outcome.error = error;
    d.outcome.detail = detail;
    errno = EBADMSG;
    return -1;
}

// Moves the undecoded bytes to the front and reads after them. Returns the
// count read (0 at the end of input, then in_eof is set) or -1 with errno.
ssize_t refill(Decoder &d) {
    const std::size_t rest = d.in_end - d.in_at;
    if (rest > 0 && d.in_at > 0) std::memmove(d.in, d.in + d.in_at, rest);
    d.in_at = 0;
    d.in_end = rest;
    const ssize_t n = read_input(d.fd, d.in + rest, DECODE_INPUT - rest);
    if (n == 0) d.in_eof = true;
    if (n > 0) d.in_end += static_cast<std::size_t>(n);
    return n;
}

// ---------------------------------------------------------------------------
// gzip

#if defined(VESTREL_HAVE_ISAL)
using InflateState = inflate_state;

std::uint32_t load_le32(const unsigned char *p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void start_inflate(InflateState &s) {
    isal_inflate_reset(&s);
    s.crc_flag = ISAL_GZIP; // parse the header, check CRC and length
}

int new_inflate(Decoder &d) {
    auto *s = static_cast<InflateState *>(std::malloc(sizeof(InflateState)));
    if (s == nullptr) return -1;
    isal_inflate_init(s);
    s->crc_flag = ISAL_GZIP;
    d.inflate = s;
    return 0;
}

void free_inflate(Decoder &d) {
    std::free(d.inflate);
}

// One inflate call over the undecoded input into to[0, size). Returns the
// bytes written or -1 (bad data, the outcome set); clears member_open at the
// member's end.
ssize_t inflate_step(Decoder &d, char *to, std::size_t size) {
    auto &s = *static_cast<InflateState *>(d.inflate);
    const std::size_t avail = d.in_end - d.in_at;
    s.next_in = d.in + d.in_at;
    s.avail_in = static_cast<std::uint32_t>(avail);
    s.next_out = reinterpret_cast<std::uint8_t *>(to);
    s.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
    const std::uint32_t out_before = s.avail_out;
    const int rc = isal_inflate(&s);
    const std::size_t consumed = avail - s.avail_in;
    d.in_at += consumed;
    switch (rc) {
    case ISAL_DECOMP_OK:
    case ISAL_END_INPUT:
    case ISAL_OUT_OVERFLOW:
        break;
    case ISAL_INCORRECT_CHECKSUM:
        // One code for both trailer checks: the trailer is the last 8 bytes
        // taken, CRC then length; when they came in pieces ISA-L kept them
        // in its own buffer and the CRC is named.
        if (consumed >= 8 && load_le32(d.in + d.in_at - 8) == s.crc)
            return fail(d, DecodeError::LENGTH);
        return fail(d, DecodeError::CHECKSUM);
    case ISAL_INVALID_WRAPPER:
        return fail(d, DecodeError::CORRUPT, "invalid header");
    case ISAL_UNSUPPORTED_METHOD:
        return fail(d, DecodeError::CORRUPT, "unknown compression method");
    case ISAL_INVALID_LOOKBACK:
        return fail(d, DecodeError::CORRUPT, "invalid distance");
    default:
        return fail(d, DecodeError::CORRUPT, "invalid deflate data");
    }
    if (s.block_state == ISAL_BLOCK_FINISH) d.member_open = false;
    return static_cast<ssize_t>(out_before - s.avail_out);
}
#else
using InflateState = z_stream;

void start_inflate(InflateState &s) {
    inflateReset(&s);
}

int new_inflate(Decoder &d) {
    auto *s = static_cast<InflateState *>(std::calloc(1, sizeof(InflateState)));
    if (s == nullptr) return -1;
    // 16 + 15: a gzip wrapper (header parsed, CRC and length checked) around
    // a window of up to 2^15 bytes.
    if (inflateInit2(s, 16 + MAX_WBITS) != Z_OK) {
        std::free(s);
        return -1;
    }
    d.inflate = s;
    return 0;
}

void free_inflate(Decoder &d) {
    if (d.inflate == nullptr) return;
    inflateEnd(static_cast<InflateState *>(d.inflate));
    std::free(d.inflate);
}

ssize_t inflate_step(Decoder &d, char *to, std::size_t size) {
    auto &s = *static_cast<InflateState *>(d.inflate);
    const std::size_t avail = d.in_end - d.in_at;
    s.next_in = d.in + d.in_at;
    s.avail_in = static_cast<uInt>(avail);
    s.next_out = reinterpret_cast<Bytef *>(to);
    s.avail_out = static_cast<uInt>(std::min<std::size_t>(size, UINT32_MAX));
    const uInt out_before = s.avail_out;
    const int rc = inflate(&s, Z_NO_FLUSH);
    d.in_at += avail - s.avail_in;
    switch (rc) {
    case Z_STREAM_END:
        d.member_open = false;
        break;
    case Z_OK:
    case Z_BUF_ERROR: // no progress possible: more input needed
        break;
    case Z_MEM_ERROR:
        errno = ENOMEM;
        return -1;
    case Z_DATA_ERROR:
        if (s.msg != nullptr && std::strcmp(s.msg, "incorrect data check") == 0)
            return fail(d, DecodeError::CHECKSUM);
        if (s.msg != nullptr && std::strcmp(s.msg, "incorrect length check") == 0)
            return fail(d, DecodeError::LENGTH);
        return fail(d, DecodeError::CORRUPT, s.msg);
    default:
        return fail(d, DecodeError::CORRUPT, s.msg);
    }
    return static_cast<ssize_t>(out_before - s.avail_out);
}
#endif

// Between members: looks at what follows the member that ended. Returns 1
// when another member starts, 0 at the end of the data (the bytes left, if
// any, ignored as `gzip -d` ignores them), -1 with errno set.
int next_member(Decoder &d) {
    bool zeros = false; // a run of zero bytes: only the end of input may follow
    for (;;) {
        const std::size_t avail = d.in_end - d.in_at;
        const unsigned char *p = d.in + d.in_at;
        if (avail == 0 || (avail < 2 && p[0] == 0x1f && !zeros)) {
            if (d.in_eof) break;
            if (refill(d) < 0) return -1;
            continue;
        }
        if (!zeros && p[0] == 0x1f && p[1] == 0x8b) {
            start_inflate(*static_cast<InflateState *>(d.inflate));
            d.member_open = true;
            return 1;
        }
        if (p[0] != 0) break;
        zeros = true;
        const auto *nonzero = std::find_if(p, p + avail, [](unsigned char c) { return c != 0; });
        d.in_at += static_cast<std::size_t>(nonzero - p);
        if (d.in_at < d.in_end) break;
    }
    // Anything but zeros to the end is trailing garbage: gzip -d warns and
    // reads no further.
    d.outcome.trailing_garbage = d.in_at < d.in_end;
    d.done = true;
    return 0;
}

ssize_t decode_gzip(Decoder &d, char *to, std::size_t size) {
    for (;;) {
        if (!d.member_open) {
            const int next = next_member(d);
            if (next <= 0) return next;
        }
        if (d.in_at == d.in_end && !d.in_eof && refill(d) < 0) return -1;
        const std::size_t in_before = d.in_at;
        const ssize_t n = inflate_step(d, to, size);
        if (n != 0) return n;
        if (!d.member_open) continue;
        if (d.in_at == d.in_end) {
            if (d.in_eof) return fail(d, DecodeError::TRUNCATED);
        } else if (d.in_at == in_before) {
            return fail(d, DecodeError::CORRUPT, "no progress"); // never seen; no endless loop
        }
    }
}

// ---------------------------------------------------------------------------
// zstd

ssize_t decode_zstd(Decoder &d, char *to, std::size_t size) {
    for (;;) {
        if (d.in_at == d.in_end && !d.in_eof && refill(d) < 0) return -1;
        ZSTD_inBuffer in{d.in + d.in_at, d.in_end - d.in_at, 0};
        ZSTD_outBuffer out{to, size, 0};
        const std::size_t rc = ZSTD_decompressStream(d.zstd, &out, &in);
        d.in_at += in.pos;
        if (ZSTD_isError(rc)) {
            switch (ZSTD_getErrorCode(rc)) {
            case ZSTD_error_frameParameter_windowTooLarge:
                return fail(d, DecodeError::WINDOW_TOO_LARGE);
            case ZSTD_error_checksum_wrong:
                return fail(d, DecodeError::CHECKSUM);
            case ZSTD_error_memory_allocation:
                errno = ENOMEM;
                return -1;
            default:
                return fail(d, DecodeError::CORRUPT, ZSTD_getErrorName(rc));
            }
        }
        // A call that takes and gives nothing leaves the frame where it was
        // (at the end of one, it would announce the next frame's header).
        if (in.pos > 0 || out.pos > 0) d.frame_done = rc == 0;
        if (out.pos > 0) return static_cast<ssize_t>(out.pos);
        if (d.in_at == d.in_end && d.in_eof) {
            if (!d.frame_done) return fail(d, DecodeError::TRUNCATED);
            d.done = true;
            return 0;
        }
    }
}

} // namespace

ssize_t read_input(int fd, void *to, std::size_t size) {
    for (;;) {
        const ssize_t n = read(fd, to, size);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable(fd) == 0) continue;
        return -1;
    }
}

Compression detect_compression(const unsigned char *bytes, std::size_t size) {
    static constexpr unsigned char GZIP[] = {0x1f, 0x8b, 0x08};
    static constexpr unsigned char ZSTD[] = {0x28, 0xb5, 0x2f, 0xfd};
    static constexpr unsigned char XZ[] = {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00};
    static constexpr unsigned char LZ4[] = {0x04, 0x22, 0x4d, 0x18};
    static constexpr unsigned char BZIP2[] = {'B', 'Z', 'h'};
    static_assert(sizeof XZ == MAGIC_BYTES);
    if (starts_with(bytes, size, GZIP, sizeof GZIP)) return Compression::GZIP;
    if (starts_with(bytes, size, ZSTD, sizeof ZSTD)) return Compression::ZSTD;
    // A skippable frame (magic 0x184D2A50 to 0x184D2A5F) may open a zstd file.
    if (size >= 4 && (bytes[0] & 0xf0) == 0x50 && bytes[1] == 0x2a && bytes[2] == 0x4d &&
        bytes[3] == 0x18)
        return Compression::ZSTD;
    if (starts_with(bytes, size, XZ, sizeof XZ)) return Compression::XZ;
    if (starts_with(bytes, size, LZ4, sizeof LZ4)) return Compression::LZ4;
    if (starts_with(bytes, size, BZIP2, sizeof BZIP2) && size > 3 && bytes[3] >= '1' &&
        bytes[3] <= '9')
        return Compression::BZIP2;
    return Compression::NONE;
}

int open_decoder(Decoder &d, int fd, Compression format, const unsigned char *first,
                 std::size_t size) {
    d = Decoder{};
    d.outcome.format = format;
    if (format != Compression::GZIP && format != Compression::ZSTD)
        return static_cast<int>(fail(d, DecodeError::NOT_SUPPORTED));
    d.fd = fd;
    d.in = static_cast<unsigned char *>(std::malloc(DECODE_INPUT));
    bool ready = d.in != nullptr;
    if (ready && format == Compression::GZIP) {
        ready = new_inflate(d) == 0;
        d.member_open = true;
    }
    if (ready && format == Compression::ZSTD) {
        d.zstd = ZSTD_createDCtx();
        ready = d.zstd != nullptr &&
                !ZSTD_isError(ZSTD_DCtx_setParameter(d.zstd, ZSTD_d_windowLogMax,
                                                     ZSTD_WINDOW_LOG_LIMIT));
        d.frame_done = false;
    }
    if (!ready) {
        close_decoder(d);
        errno = ENOMEM;
        return -1;
    }
    size = std::min(size, DECODE_INPUT);
    std::memcpy(d.in, first, size);
    d.in_end = size;
    return 0;
}

ssize_t decode_some(Decoder &d, char *to, std::size_t size) {
    if (d.outcome.error != DecodeError::NONE) {
        errno = EBADMSG;
        return -1;
    }
    if (d.done) return 0;
    return d.outcome.format == Compression::GZIP ? decode_gzip(d, to, size)
                                                 : decode_zstd(d, to, size);
}

void close_decoder(Decoder &d) {
    const int saved = errno;
    free_inflate(d);
    ZSTD_freeDCtx(d.zstd);
    std::free(d.in);
    d = Decoder{};
    errno = saved;
}

char *describe_decode_failure(const DecodeOutcome &outcome, const char *path, char *out,
                              std::size_t size) {
    const char *name = format_name(outcome.format);
    const char *command = DECOMPRESS_COMMANDS[static_cast<std::size_t>(outcome.format)];
    // The command is shown on the log as typed; standard input is read by
    // the command instead, in front of the pipe.
    const bool piped = path == nullptr || std::strcmp(path, "-") == 0;
    char how[512];
    std::snprintf(how, sizeof how, "%s%s%s | vestrel -", command, piped ? "" : " ",
                  piped ? "" : path);
    switch (outcome.error) {
    case DecodeError::TRUNCATED:
        std::snprintf(out, size, "%s data is truncated", name);
        break;
    case DecodeError::CORRUPT:
        std::snprintf(out, size, "%s data is corrupt (%s)", name,
                      outcome.detail != nullptr ? outcome.detail : "invalid data");
        break;
    case DecodeError::CHECKSUM:
        std::snprintf(out, size, "%s data does not match its %s", name,
                      outcome.format == Compression::GZIP ? "CRC" : "checksum");
        break;
    case DecodeError::LENGTH:
        std::snprintf(out, size, "%s data does not match its stored length", name);
        break;
    case DecodeError::WINDOW_TOO_LARGE:
        std::snprintf(out, size,
                      "%s frame needs a window larger than %zu MiB; decompress it first: %s",
                      name, ZSTD_WINDOW_LIMIT >> 20, how);
        break;
    case DecodeError::NOT_SUPPORTED:
        std::snprintf(out, size, "%s-compressed data is not read directly; decompress it first: %s",
                      name, how);
        break;
    case DecodeError::NONE:
        std::snprintf(out, size, "%s data read without error", name);
        break;
    }
    return out;
}

} // namespace vestrel
