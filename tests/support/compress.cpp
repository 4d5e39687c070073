#include "compress.h"

#include <stdexcept>
#include <zlib.h>
#include <zstd.h>

namespace vestrel::test {

std::string gzip_member(const std::string &text, int level) {
    z_stream s{};
    // 16 + 15: a gzip wrapper around a 32 KiB window.
    if (deflateInit2(&s, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&s, static_cast<uLong>(text.size())) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    s.avail_in = static_cast<uInt>(text.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&s, Z_FINISH);
    deflateEnd(&s);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(s.total_out);
    out.shrink_to_fit(); // a child forked later counts the pages this holds
    return out;
}

std::string zstd_frame(const std::string &text, int window_log, bool checksum) {
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    if (window_log > 0) {
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
        ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    }
    std::string out(ZSTD_compressBound(text.size()) + 64, '\0');
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    ZSTD_inBuffer i{text.data(), text.size(), 0};
    // A streamed frame: begun before its size is known, it announces its
    // window instead.
    std::size_t rc = 0;
    if (window_log > 0) rc = ZSTD_compressStream2(c, &o, &i, ZSTD_e_continue);
    while (!ZSTD_isError(rc)) {
        rc = ZSTD_compressStream2(c, &o, &i, ZSTD_e_end);
        if (rc == 0) break;
    }
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(rc)) throw std::runtime_error(ZSTD_getErrorName(rc));
    out.resize(o.pos);
    out.shrink_to_fit();
    return out;
}

std::string gzip_runs(const std::vector<TextRun> &runs, int level) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out;
    char buf[1 << 16];
    const auto feed = [&](const std::string &piece, int flush) {
        s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(piece.data()));
        s.avail_in = static_cast<uInt>(piece.size());
        int rc;
        do {
            s.next_out = reinterpret_cast<Bytef *>(buf);
            s.avail_out = sizeof buf;
            rc = deflate(&s, flush);
            out.append(buf, sizeof buf - s.avail_out);
        } while (s.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    };
    for (const TextRun &run : runs)
        for (std::size_t i = 0; i < run.times; ++i)
            feed(run.piece, Z_NO_FLUSH);
    feed("", Z_FINISH);
    deflateEnd(&s);
    return out;
}

std::string zstd_runs(const std::vector<TextRun> &runs) {
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    std::string out;
    char buf[1 << 16];
    const auto feed = [&](const std::string &piece, ZSTD_EndDirective end) {
        ZSTD_inBuffer i{piece.data(), piece.size(), 0};
        std::size_t rc;
        do {
            ZSTD_outBuffer o{buf, sizeof buf, 0};
            rc = ZSTD_compressStream2(c, &o, &i, end);
            if (ZSTD_isError(rc)) throw std::runtime_error(ZSTD_getErrorName(rc));
            out.append(buf, o.pos);
        } while (i.pos < i.size || (end == ZSTD_e_end && rc != 0));
    };
    for (const TextRun &run : runs)
        for (std::size_t i = 0; i < run.times; ++i)
            feed(run.piece, ZSTD_e_continue);
    feed("", ZSTD_e_end);
    ZSTD_freeCCtx(c);
    return out;
}

std::string zstd_skippable(const std::string &payload, unsigned variant) {
    std::string out = {static_cast<char>(0x50 + (variant & 15)), 0x2a, 0x4d, 0x18};
    const auto n = static_cast<unsigned long>(payload.size());
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((n >> (8 * i)) & 0xff);
    return out + payload;
}

} // namespace vestrel::test
