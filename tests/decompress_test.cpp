// The compression detector, the decoders on their own (text handed out in
// pieces of every size down to one byte) and the failure texts. Whole logs
// through the program are in cli_test, through the reader at every block
// size in read_test.
#include "decompress.h"
#include "support/compress.h"
#include "support/process.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace vestrel {
namespace {

Compression detect(const std::string &bytes) {
    return detect_compression(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

TEST(Decompress, DetectsByTheFirstBytes) {
    const struct {
        std::string bytes;
        Compression want;
    } cases[] = {
        {"", Compression::NONE},
        {"1.2.3.4 - - [", Compression::NONE},
        {"\x1f\x8b\x08", Compression::GZIP},
        {"\x1f\x8b", Compression::NONE},        // a prefix is text
        {"\x1f\x8b\x07\0\0", Compression::NONE}, // not deflate
        {"\x28\xb5\x2f\xfd", Compression::ZSTD},
        {"\x28\xb5\x2f", Compression::NONE},
        {"\x50\x2a\x4d\x18", Compression::ZSTD}, // skippable frames, first and last magic
        {"\x5f\x2a\x4d\x18", Compression::ZSTD},
        {"\x60\x2a\x4d\x18", Compression::NONE},
        {"BZh9", Compression::BZIP2},
        {"BZh1", Compression::BZIP2},
        {"BZh0", Compression::NONE},
        {"BZh", Compression::NONE},
        {std::string("\xfd\x37\x7a\x58\x5a\x00", 6), Compression::XZ},
        {"\xfd\x37\x7a\x58\x5a", Compression::NONE},
        {"\x04\x22\x4d\x18", Compression::LZ4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(detect(c.bytes), c.want) << c.bytes.size() << " bytes";
}

// Decodes `stored` read from a file in output pieces of `piece` bytes.
// Returns the text up to the end or the first failure; *outcome says which.
std::string decode_all(const std::string &stored, std::size_t piece, DecodeOutcome *outcome) {
    test::TempDir dir;
    test::write_file(dir.file("in"), stored);
    const int fd = open(dir.file("in").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    const std::size_t first = std::min(stored.size(), std::size_t{7});
    unsigned char head[7];
    EXPECT_EQ(read(fd, head, first), static_cast<ssize_t>(first));
    Decoder d;
    std::string text;
    if (open_decoder(d, fd, detect(stored), head, first) == 0) {
        std::string buf(piece, '\0');
        ssize_t n;
        while ((n = decode_some(d, buf.data(), piece)) > 0) {
            EXPECT_LE(static_cast<std::size_t>(n), piece);
            text.append(buf.data(), static_cast<std::size_t>(n));
        }
        if (n < 0) EXPECT_EQ(errno, EBADMSG);
        EXPECT_EQ(decode_some(d, buf.data(), piece), n); // an end or a failure stays
    }
    *outcome = d.outcome;
    close_decoder(d);
    close(fd);
    return text;
}

TEST(Decompress, HandsOutTheTextInPiecesOfAnySize) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "192.0.2." + std::to_string(i % 250) + " - - [10/Oct/2000:13:55:36 -0700] \"GET /" +
                std::to_string(i * 7919) + " HTTP/1.1\" 200 " + std::to_string(i) + "\n";
    const std::string half = text.substr(0, text.size() / 2), rest = text.substr(half.size());
    const struct {
        const char *name;
        std::string stored;
    } forms[] = {
        {"gzip", test::gzip_member(text)},
        {"gzip, members and zeros after",
         test::gzip_member(half) + test::gzip_member("") + test::gzip_member(rest) +
             std::string(3, '\0')},
        {"zstd", test::zstd_frame(text)},
        {"zstd frames", test::zstd_skippable("a") + test::zstd_frame(half, 20) +
                            test::zstd_frame(rest, 0, false)},
    };
    for (const auto &form : forms)
        for (std::size_t piece : {1, 2, 3, 4096, 1 << 20}) {
            SCOPED_TRACE(std::string(form.name) + ", pieces of " + std::to_string(piece));
            DecodeOutcome outcome;
            EXPECT_EQ(decode_all(form.stored, piece, &outcome), text);
            EXPECT_EQ(outcome.error, DecodeError::NONE);
            EXPECT_FALSE(outcome.trailing_garbage);
        }
}

TEST(Decompress, StopsAtBadData) {
    const std::string text(100000, 'x');
    const std::string gz = test::gzip_member(text);
    std::string bad_crc = gz;
    bad_crc[gz.size() - 5] ^= 0x10;
    const struct {
        const char *name;
        std::string stored;
        DecodeError error;
        bool garbage;
        std::size_t text_at_least;
    } cases[] = {
        {"gzip truncated", gz.substr(0, gz.size() - 1), DecodeError::TRUNCATED, false, 0},
        {"gzip bad CRC", bad_crc, DecodeError::CHECKSUM, false, 0},
        {"gzip then garbage", gz + "x", DecodeError::NONE, true, text.size()},
        {"gzip then a lone 1f", gz + "\x1f", DecodeError::NONE, true, text.size()},
        {"zstd truncated", test::zstd_frame(text).substr(0, 20), DecodeError::TRUNCATED, false, 0},
        {"zstd window", test::zstd_frame(text, 28), DecodeError::WINDOW_TOO_LARGE, false, 0},
        {"bzip2", "BZh9rest", DecodeError::NOT_SUPPORTED, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DecodeOutcome outcome;
        const std::string got = decode_all(c.stored, 4096, &outcome);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.trailing_garbage, c.garbage);
        EXPECT_GE(got.size(), c.text_at_least);
        EXPECT_EQ(got, text.substr(0, got.size())); // never text that is not there
    }
}

TEST(Decompress, FailureTexts) {
    char out[512];
    const struct {
        DecodeOutcome outcome;
        const char *path;
        const char *want;
    } cases[] = {
        {{Compression::GZIP, DecodeError::TRUNCATED}, "a.gz", "gzip data is truncated"},
        {{Compression::GZIP, DecodeError::CORRUPT, "invalid header"},
         "a.gz",
         "gzip data is corrupt (invalid header)"},
        {{Compression::GZIP, DecodeError::CHECKSUM}, "a.gz", "gzip data does not match its CRC"},
        {{Compression::GZIP, DecodeError::LENGTH},
         "a.gz",
         "gzip data does not match its stored length"},
        {{Compression::ZSTD, DecodeError::CHECKSUM}, "-", "zstd data does not match its checksum"},
        {{Compression::ZSTD, DecodeError::WINDOW_TOO_LARGE},
         "logs/a.zst",
         "zstd frame needs a window larger than 128 MiB; decompress it first: "
         "zstd -dc --long=31 logs/a.zst | vestrel -"},
        {{Compression::XZ, DecodeError::NOT_SUPPORTED},
         "-",
         "xz-compressed data is not read directly; decompress it first: xz -dc | vestrel -"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(describe_decode_failure(c.outcome, c.path, out, sizeof out), c.want);
    // Cut to the room given, and terminated.
    describe_decode_failure(cases[0].outcome, "a.gz", out, 5);
    EXPECT_STREQ(out, "gzip");
}

} // namespace
} // namespace vestrel
