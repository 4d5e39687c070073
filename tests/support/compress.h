// Compressed forms of test logs, made in the test with zlib and libzstd, so
// that no fixture has to be committed in binary form: gzip members, zstd
// frames (with the window and checksum a case needs) and skippable frames.
// Each returns the bytes of one member or frame; logs of several are their
// concatenation, as `cat a.gz b.gz` makes them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vestrel::test {

// One gzip member holding `text`, at zlib level `level` (0: stored blocks).
std::string gzip_member(const std::string &text, int level = 6);

// One zstd frame holding `text`. `window_log` > 0 sets the window (and the
// frame then leaves out the content size, so the window is what it
// announces, as a stream compressed from a pipe does); `checksum` adds the
// content checksum.
std::string zstd_frame(const std::string &text, int window_log = 0, bool checksum = true);

// A long text given as pieces, each repeated `times` times, so that a test
// can compress hundreds of MB without holding them (the memory a child
// process is measured with includes what this process holds at the fork).
struct TextRun {
    std::string piece;
    std::size_t times = 1;
};

// One gzip member, or one zstd frame (content size unknown, the window of
// the level), holding the runs' text in order.
std::string gzip_runs(const std::vector<TextRun> &runs, int level = 6);
std::string zstd_runs(const std::vector<TextRun> &runs);

// A zstd skippable frame (magic 0x184D2A50 + `variant`, 0 to 15) carrying
// `payload`, which decoders step over.
std::string zstd_skippable(const std::string &payload, unsigned variant = 0);

} // namespace vestrel::test
