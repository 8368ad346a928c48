#include "carving/formats/gif.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr unsigned char kExtension = 0x21;
constexpr unsigned char kImage = 0x2C;
constexpr unsigned char kTrailer = 0x3B;
constexpr uint64_t kHeaderAndScreen = 13;
constexpr uint64_t kImageDescriptor = 10;
// Sub-blocks carry at most 255 bytes: this many covers any GIF a device can hold, and ends a
// walk that wandered into noise.
constexpr uint64_t kMaxSubBlocks = uint64_t{1} << 28;
// Animations beyond this are rare; a walk this long is over noise.
constexpr uint64_t kMaxGifBytes = 256ull << 20;

uint64_t ColourTableBytes(unsigned char packed) {
    return (packed & 0x80) != 0 ? 3 * (uint64_t{2} << (packed & 7)) : 0;
}

// Walks the sub-blocks starting at pos up to their zero-length terminator; pos ends after it.
bool SkipSubBlocks(CarveContext& ctx, uint64_t& pos, uint64_t& budget) {
    while (budget-- != 0 && pos < kMaxGifBytes) {
        const unsigned char* size = ctx.View(pos, 1);
        if (size == nullptr) return false;
        pos += 1 + static_cast<uint64_t>(*size);
        if (*size == 0) return true;
    }
    return false;
}

}  // namespace

FormatLength GifLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, kHeaderAndScreen);
    if (head == nullptr || std::memcmp(head, "GIF", 3) != 0) return FormatLength::Rejected();
    uint64_t pos = kHeaderAndScreen + ColourTableBytes(head[10]);
    uint64_t budget = kMaxSubBlocks;
    for (;;) {
        const unsigned char* block = ctx.View(pos, 1);
        if (block == nullptr) return FormatLength::AtLeast(pos);
        const uint64_t start = pos;
        if (*block == kTrailer) return FormatLength::Exact(pos + 1);
        if (*block == kExtension) {
            pos += 2;  // introducer and label
        } else if (*block == kImage) {
            const unsigned char* d = ctx.View(pos, kImageDescriptor);
            if (d == nullptr) return FormatLength::AtLeast(pos);
            pos += kImageDescriptor + ColourTableBytes(d[9]);
            // The LZW code size: 2 to 8 from every encoder, 12 the most a decoder takes.
            const unsigned char* code = ctx.View(pos, 1);
            if (code == nullptr || *code < 1 || *code > 12) return FormatLength::AtLeast(start);
            pos += 1;
        } else {
            return FormatLength::AtLeast(pos);
        }
        if (!SkipSubBlocks(ctx, pos, budget)) return FormatLength::AtLeast(start);
    }
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char szGifTail[] = {0x00, 0x3B};

}  // namespace

namespace carving::formats {

uint32_t IsGifType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 8) return EXT_TYPE_NONE;
    const bool digits = p[3] >= '0' && p[3] <= '9' && p[4] >= '0' && p[4] <= '9';
    const bool letter = p[5] >= 'a' && p[5] <= 'z';
    return HasText(p, len, 0, "GIF") && digits && letter ? EXT_TYPE_GIF : EXT_TYPE_NONE;
}

int GetGIFFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    return FindZeroFilledTail(scan, pBuf, nLen, szGifTail, sizeof szGifTail, uOffset);
}

uint64_t GetGIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::GifLength,
                   [&] { return TailPictureBytes(scan, p, len, GetGIFFileTailOffset); });
}

}  // namespace carving::formats
