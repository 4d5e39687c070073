// Decoding ahead: one helper thread runs a compressed log's Decoder into a
// small ring of blocks while the reading thread takes the text out of them
// and does everything else. The analysis itself stays one thread; only the
// decompressor moves, so that on two cores inflating and counting overlap
// (the way `zcat file | vestrel -` overlaps them, without the pipe).
//
// Owns the helper thread, its lock and AHEAD_SLOTS blocks of AHEAD_SLOT
// bytes, all had at start_ahead and given back at stop_ahead; the helper
// allocates nothing of its own (a zstd frame's window excepted, which the
// decoder would allocate anyway).
//
// Invariants: while the helper runs, it alone touches the Decoder; the
// reading thread looks at it again only after take_ahead has returned 0 or
// -1 (the helper has then finished) or after stop_ahead. Blocks are handed
// over in order, whole, under the lock; the text is the same bytes in the
// same order as decode_some would give.
//
// Cost: one copy of the text (a block from the ring into the read buffer,
// from cache) and, per block, one lock round and at most one wake-up each
// way. Worth it only with a second core to run on: with one, the copy and
// the switches are pure loss, so callers start it only when
// usable_cpus() >= 2.
#pragma once

#include "decompress.h"

#include <cstddef>
#include <sys/types.h>

namespace vestrel {

// The ring: two blocks of 256 KiB, one filled while the other is read.
// Measured on 200 MB logs: 128 KiB blocks ran 5% slower (twice the
// wake-ups); four blocks of 256 KiB ran 1-4% faster than two but took a zstd
// run past 8 MiB plus its window (the decoder's own buffers go beyond the
// window), and two of 512 KiB alike.
inline constexpr std::size_t AHEAD_SLOT = 256 * 1024;
inline constexpr std::size_t AHEAD_SLOTS = 2;

struct Ahead;

// Starts a helper thread that decodes `d` (opened, nothing decoded yet)
// into a new ring. Returns the ring, or null with errno set when the memory
// or the thread cannot be had: the caller then decodes `d` itself, which is
// untouched.
Ahead *start_ahead(Decoder &d);

// Copies the next at most `size` (at least 1) bytes of text to `to`, waiting
// for the helper if it has nothing ready. Returns how many (at least 1), 0
// at the end of the data, or -1 with errno as decode_some set it (the text
// before it has been handed out; the Decoder's outcome says why).
ssize_t take_ahead(Ahead &a, char *to, std::size_t size);

// Stops the helper (at once if it is waiting for room; a helper blocked in a
// read of a pipe is waited for), joins it and frees the ring. Null is
// accepted. errno is kept.
void stop_ahead(Ahead *a);

} // namespace vestrel
