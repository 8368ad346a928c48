#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

#include "foundation/result.h"

namespace {

constexpr uint16_t kChunkLengthMask = 0x0FFF;
constexpr uint16_t kChunkCompressed = 0x8000;

// The low bits of a back-reference token are its length less 3, the high bits its
// displacement less 1. The further into the chunk, the more bits the displacement needs: 4
// for the first 16 bytes, one more each time the position doubles.
unsigned LengthBits(size_t nPosition) {
    unsigned bits = 12;
    for (size_t p = nPosition - 1; p >= 16 && bits > 4; p >>= 1) --bits;
    return bits;
}

// Decodes the tokens of one compressed chunk [p, p + nIn) into [pOut, pOut + nOutMax).
// Returns the bytes produced or RESULT_BAD_COMPRESSED_DATA.
int64_t DecompressChunk(const unsigned char* p, size_t nIn, unsigned char* pOut, size_t nOutMax) {
    size_t in = 0, out = 0;
    while (in < nIn) {
        const unsigned flags = p[in++];
        for (unsigned bit = 0; bit < 8 && in < nIn; ++bit) {
            if ((flags & (1u << bit)) == 0) {
                if (out >= nOutMax) return RESULT_BAD_COMPRESSED_DATA;
                pOut[out++] = p[in++];
                continue;
            }
            if (nIn - in < 2 || out == 0) return RESULT_BAD_COMPRESSED_DATA;
            const unsigned token = p[in] | (unsigned{p[in + 1]} << 8);
            in += 2;
            const unsigned lengthBits = LengthBits(out);
            const size_t displacement = (token >> lengthBits) + 1;
            const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
            if (displacement > out || length > nOutMax - out) return RESULT_BAD_COMPRESSED_DATA;
            // The source may overlap what this copy writes (a repeated pattern): byte by byte.
            for (size_t k = 0; k < length; ++k, ++out) pOut[out] = pOut[out - displacement];
        }
    }
    return static_cast<int64_t>(out);
}

}  // namespace

int64_t DecompressLznt1Unit(const unsigned char* pIn, size_t nIn, unsigned char* pOut,
                            size_t nOutCapacity) {
    size_t in = 0, chunkStart = 0, end = 0;
    while (nIn - in >= 2) {
        const uint16_t header = static_cast<uint16_t>(pIn[in] | (pIn[in + 1] << 8));
        if (header == 0) break;
        in += 2;
        const size_t stored = static_cast<size_t>(header & kChunkLengthMask) + 1;
        if (stored > nIn - in || chunkStart >= nOutCapacity) return RESULT_BAD_COMPRESSED_DATA;
        // A chunk that ended short of 4096 bytes is followed by zeros up to this one.
        std::memset(pOut + end, 0, chunkStart - end);
        const size_t room = std::min(kLznt1ChunkBytes, nOutCapacity - chunkStart);
        int64_t produced = static_cast<int64_t>(stored);
        if ((header & kChunkCompressed) != 0) {
            produced = DecompressChunk(pIn + in, stored, pOut + chunkStart, room);
            if (produced < 0) return produced;
        } else {
            if (stored > room) return RESULT_BAD_COMPRESSED_DATA;
            std::memcpy(pOut + chunkStart, pIn + in, stored);
        }
        in += stored;
        end = chunkStart + static_cast<size_t>(produced);
        chunkStart += kLznt1ChunkBytes;
    }
    return static_cast<int64_t>(end);
}
