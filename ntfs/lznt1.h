// LZNT1, the compression NTFS applies to a compressed file one compression unit at a time.
//
// A unit is a run of chunks, each of which decompresses to at most 4096 bytes of output and
// starts with a two-byte little-endian header: bits 0-11 the chunk's stored length less one,
// bit 15 set when the chunk is compressed; a zero header ends the unit. A stored chunk holds
// its bytes as they are. A compressed chunk is groups of a flag byte and eight tokens, flag
// bit i (low bit first) telling whether token i is a literal byte (0) or a two-byte
// back-reference (1) into the output this chunk has produced so far.
//
// The bytes come from a disk and may be hostile: every length and displacement is checked, and
// nothing is read or written outside the buffers given.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses the unit [pIn, pIn + nIn) into pOut, which holds nOutCapacity bytes (the
// unit's size). Chunk k's output starts at k x 4096, the gap after a chunk that produced less
// filled with zeros. Returns the end of the last chunk's output (what follows it is left as
// it was), or RESULT_BAD_COMPRESSED_DATA when a chunk reaches past the input, refers back
// before its own start, or would write past its 4096 bytes or the unit.
int64_t DecompressLznt1Unit(const unsigned char* pIn, size_t nIn, unsigned char* pOut,
                            size_t nOutCapacity);
