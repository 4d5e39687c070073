// Compressed forms of test logs, made in the test with zlib and libzstd, so
// that no fixture has to be committed in binary form: gzip members, zstd
// frames (with the window and checksum a case needs) and skippable frames.
// Each returns the bytes of one member or frame; logs of several are their
// concatenation, as `cat a.gz b.gz` makes them.
#pragma once

#include <string>

namespace vestrel::test {

// One gzip member holding `text`, at zlib level `level` (0: stored blocks).
std::string gzip_member(const std::string &text, int level = 6);

// One zstd frame holding `text`. `window_log` > 0 sets the window (and the
// frame then leaves out the content size, so the window is what it
// announces, as a stream compressed from a pipe does); `checksum` adds the
// content checksum.
std::string zstd_frame(const std::string &text, int window_log = 0, bool checksum = true);

// A zstd skippable frame (magic 0x184D2A50 + `variant`, 0 to 15) carrying
// `payload`, which decoders step over.
std::string zstd_skippable(const std::string &payload, unsigned variant = 0);

} // namespace vestrel::test
