#include "carving/formats/png.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;
// Enough for a 2 GiB image cut into small data chunks; a walk past it is over noise.
constexpr uint32_t kMaxChunks = 1u << 22;
// Larger images exist but are rare; checking a chunk this long read from noise would cost
// gigabytes of reading.
constexpr uint64_t kMaxPngBytes = 256ull << 20;

bool IsLetter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsChunkType(const unsigned char* t) {
    return IsLetter(t[0]) && IsLetter(t[1]) && IsLetter(t[2]) && IsLetter(t[3]);
}

// CRC-32 of `length` bytes at offset, read window by window; false at a read error.
bool CrcOf(CarveContext& ctx, uint64_t offset, uint64_t length, uLong& crc) {
    while (length != 0) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(offset, &n);
        if (p == nullptr) return false;
        const size_t part = static_cast<size_t>(std::min<uint64_t>(n, length));
        crc = crc32(crc, p, static_cast<uInt>(part));
        offset += part;
        length -= part;
    }
    return true;
}

// The chunk at pos is whole and its CRC matches; `next` is the offset after it.
bool ReadChunk(CarveContext& ctx, uint64_t pos, unsigned char type[4], uint64_t& next) {
    const unsigned char* h = ctx.View(pos, 8);
    if (h == nullptr) return false;
    const uint32_t length = Be32(h);
    std::memcpy(type, h + 4, 4);
    if (length > kMaxChunkLength || !IsChunkType(type) || pos + length > kMaxPngBytes) return false;
    uLong crc = crc32(0L, type, 4);
    if (!CrcOf(ctx, pos + 8, length, crc)) return false;
    const unsigned char* stored = ctx.View(pos + 8 + length, 4);
    if (stored == nullptr || Be32(stored) != static_cast<uint32_t>(crc)) return false;
    next = pos + 12 + length;
    return true;
}

}  // namespace

FormatLength PngLength(CarveContext& ctx) {
    const unsigned char* sig = ctx.View(0, sizeof kSignature);
    if (sig == nullptr || std::memcmp(sig, kSignature, sizeof kSignature) != 0) {
        return FormatLength::Rejected();
    }
    uint64_t pos = sizeof kSignature;
    unsigned char type[4];
    for (uint32_t i = 0; i < kMaxChunks; ++i) {
        uint64_t next = 0;
        if (!ReadChunk(ctx, pos, type, next)) return FormatLength::AtLeast(pos);
        if (i == 0 && std::memcmp(type, "IHDR", 4) != 0) return FormatLength::AtLeast(pos);
        if (std::memcmp(type, "IEND", 4) == 0) return FormatLength::Exact(next);
        pos = next;
    }
    return FormatLength::AtLeast(pos);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char szPngTail[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

}  // namespace

namespace carving::formats {

uint32_t IsPngType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return len >= 8 && Has(p, len, 0, kPng, 8) ? EXT_TYPE_PNG : EXT_TYPE_NONE;
}

int GetPNGFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    return FindZeroFilledTail(scan, pBuf, nLen, szPngTail, sizeof szPngTail, uOffset);
}

uint64_t GetPNGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::PngLength,
                   [&] { return TailPictureBytes(scan, p, len, GetPNGFileTailOffset); });
}

}  // namespace carving::formats
