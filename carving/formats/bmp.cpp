#include "carving/formats/bmp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

namespace carving::formats {

namespace {

constexpr uint64_t kFileHeader = 14;
constexpr uint32_t kCoreHeader = 12;  // OS/2 1.x: 16-bit dimensions, no compression
constexpr uint32_t kHeaderSizes[] = {kCoreHeader, 40, 52, 56, 64, 108, 124};
constexpr int64_t kMaxDimension = 1 << 16;
// Writers may pad the file after the pixels (to a word, or with a colour profile they do not
// point at exactly); more than this beyond the pixel data is not padding.
constexpr uint64_t kSlack = 4096;

constexpr uint32_t kRgb = 0;
constexpr uint32_t kBitFields = 3;
constexpr uint32_t kAlphaBitFields = 6;
constexpr uint32_t kEmbeddedProfile = 0x4D424544;  // 'MBED'

struct BmpHeader {
    uint32_t fileSize = 0, pixelOffset = 0, headerSize = 0;
    int64_t width = 0, height = 0;
    uint16_t planes = 0, bits = 0;
    uint32_t compression = kRgb, imageSize = 0;
};

BmpHeader ParseHeader(const unsigned char* p) {
    BmpHeader h;
    h.fileSize = Le32(p + 2);
    h.pixelOffset = Le32(p + 10);
    h.headerSize = Le32(p + 14);
    if (h.headerSize == kCoreHeader) {
        h.width = Le16(p + 18);
        h.height = Le16(p + 20);
        h.planes = Le16(p + 22);
        h.bits = Le16(p + 24);
        return h;
    }
    h.width = static_cast<int32_t>(Le32(p + 18));
    h.height = static_cast<int32_t>(Le32(p + 22));
    h.planes = Le16(p + 26);
    h.bits = Le16(p + 28);
    h.compression = Le32(p + 30);
    h.imageSize = Le32(p + 34);
    return h;
}

bool IsPlausible(const BmpHeader& h) {
    const uint32_t* sizesEnd = std::end(kHeaderSizes);
    if (std::find(std::begin(kHeaderSizes), sizesEnd, h.headerSize) == sizesEnd) return false;
    const uint16_t bits = h.bits;
    const bool depth =
        bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
    return depth && h.planes == 1 && h.width > 0 && h.width <= kMaxDimension && h.height != 0 &&
           std::llabs(h.height) <= kMaxDimension && h.compression <= kAlphaBitFields &&
           h.pixelOffset >= kFileHeader + h.headerSize;
}

// Where the pixel data (and a profile placed after it) ends, or 0 when the header cannot say.
uint64_t ContentEnd(const BmpHeader& h, const unsigned char* p, size_t len) {
    uint64_t end = 0;
    if (h.compression == kRgb || h.compression == kBitFields || h.compression == kAlphaBitFields) {
        const uint64_t rowBytes = (static_cast<uint64_t>(h.width) * h.bits + 31) / 32 * 4;
        end = h.pixelOffset + rowBytes * static_cast<uint64_t>(std::llabs(h.height));
    } else if (h.imageSize != 0) {
        end = static_cast<uint64_t>(h.pixelOffset) + h.imageSize;
    }
    // A version 5 header may embed a colour profile, at an offset counted from the header.
    if (end != 0 && h.headerSize == 124 && len >= kFileHeader + 124 &&
        Le32(p + kFileHeader + 56) == kEmbeddedProfile) {
        const uint64_t profile = kFileHeader + static_cast<uint64_t>(Le32(p + kFileHeader + 112)) +
                                 Le32(p + kFileHeader + 116);
        end = std::max(end, profile);
    }
    return end;
}

}  // namespace

bool IsPlausibleBmpHeader(const unsigned char* p, size_t len) {
    return p != nullptr && len >= 40 && IsPlausible(ParseHeader(p));
}

FormatLength BmpLength(CarveContext& ctx) {
    const unsigned char* p = ctx.View(0, kFileHeader + 124);
    size_t len = kFileHeader + 124;
    if (p == nullptr) {
        len = 40;
        p = ctx.View(0, len);
    }
    if (p == nullptr || p[0] != 'B' || p[1] != 'M') return FormatLength::Rejected();
    const BmpHeader h = ParseHeader(p);
    if (!IsPlausible(h)) return FormatLength::AtLeast(kFileHeader);
    const uint64_t end = ContentEnd(h, p, len);
    if (end == 0) return FormatLength::AtLeast(kFileHeader);
    uint64_t exact = 0;
    if (h.fileSize >= end && h.fileSize - end <= kSlack) exact = h.fileSize;
    // Some writers leave the size field zero; the pixels still say where the file ends.
    if (h.fileSize == 0 && h.compression != 1 && h.compression != 2) exact = end;
    if (exact != 0 && exact <= ctx.BytesToDeviceEnd()) return FormatLength::Exact(exact);
    return FormatLength::AtLeast(kFileHeader);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsBmpType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 40) return EXT_TYPE_NONE;
    if (LoadU16(p + 6) != 0 || LoadU16(p + 8) != 0) return EXT_TYPE_NONE;
    if (HasText(p, len, 0, "BA")) return LoadU32(p + 14) == 40 ? EXT_TYPE_BMP : EXT_TYPE_NONE;
    return HasText(p, len, 0, "BM") && formats::IsPlausibleBmpHeader(p, len) ? EXT_TYPE_BMP
                                                                             : EXT_TYPE_NONE;
}

uint64_t GetBMPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 6) return 0;
    return ExactOr(scan, formats::BmpLength,
                   [&] { return std::min<uint64_t>(LoadU32(p + 2), kPictureCap); });
}

}  // namespace carving::formats
