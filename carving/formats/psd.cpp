#include "carving/formats/psd.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr uint64_t kHeaderBytes = 26;
constexpr uint16_t kRaw = 0;
constexpr uint16_t kRunLength = 1;

struct PsdHeader {
    bool large = false;  // PSB: 8-byte layer section length, 4-byte run-length counts
    uint64_t channels = 0, height = 0, width = 0, depth = 0;
};

bool ParseHeader(const unsigned char* p, PsdHeader& h) {
    const uint16_t version = Be16(p + 4);
    h.large = version == 2;
    h.channels = Be16(p + 12);
    h.height = Be32(p + 14);
    h.width = Be32(p + 18);
    h.depth = Be16(p + 22);
    const uint64_t maxSide = h.large ? 300000 : 30000;
    static const unsigned char kReserved[6] = {};
    return (version == 1 || version == 2) && std::memcmp(p + 6, kReserved, 6) == 0 &&
           h.channels >= 1 && h.channels <= 56 && h.height >= 1 && h.height <= maxSide &&
           h.width >= 1 && h.width <= maxSide &&
           (h.depth == 1 || h.depth == 8 || h.depth == 16 || h.depth == 32);
}

// Skips one length-prefixed section at pos; false when its length cannot be read.
bool SkipSection(CarveContext& ctx, uint64_t& pos, size_t lengthBytes) {
    const unsigned char* p = ctx.View(pos, lengthBytes);
    if (p == nullptr) return false;
    pos += lengthBytes + (lengthBytes == 8 ? Be64(p) : Be32(p));
    return pos < (uint64_t{1} << 62);
}

// Sum of the run-length byte-count table at pos, read window by window.
bool SumRunLengths(CarveContext& ctx, uint64_t pos, uint64_t entries, size_t entryBytes,
                   uint64_t& sum) {
    sum = 0;
    while (entries != 0) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(pos, &n);
        if (p == nullptr || n < entryBytes) return false;
        const uint64_t fit = std::min<uint64_t>(entries, n / entryBytes);
        for (uint64_t i = 0; i < fit; ++i) {
            sum += entryBytes == 2 ? Be16(p + 2 * i) : Be32(p + 4 * i);
        }
        entries -= fit;
        pos += fit * entryBytes;
    }
    return true;
}

}  // namespace

bool IsPlausiblePsdHeader(const unsigned char* p, size_t len) {
    PsdHeader h;
    return p != nullptr && len >= kHeaderBytes && std::memcmp(p, "8BPS", 4) == 0 &&
           ParseHeader(p, h);
}

FormatLength PsdLength(CarveContext& ctx) {
    const unsigned char* p = ctx.View(0, kHeaderBytes);
    if (p == nullptr || std::memcmp(p, "8BPS", 4) != 0) return FormatLength::Rejected();
    PsdHeader h;
    if (!ParseHeader(p, h)) return FormatLength::AtLeast(kHeaderBytes);
    uint64_t pos = kHeaderBytes;
    if (!SkipSection(ctx, pos, 4) || !SkipSection(ctx, pos, 4) ||
        !SkipSection(ctx, pos, h.large ? 8 : 4)) {
        return FormatLength::AtLeast(pos);
    }
    const unsigned char* c = ctx.View(pos, 2);
    if (c == nullptr) return FormatLength::AtLeast(pos);
    const uint16_t compression = Be16(c);
    pos += 2;
    const uint64_t rows = h.channels * h.height;
    uint64_t end = 0;
    if (compression == kRaw) {
        end = pos + rows * ((h.width * h.depth + 7) / 8);
    } else if (compression == kRunLength) {
        const size_t entryBytes = h.large ? 4 : 2;
        uint64_t data = 0;
        if (!SumRunLengths(ctx, pos, rows, entryBytes, data)) return FormatLength::AtLeast(pos);
        end = pos + rows * entryBytes + data;
    } else {
        return FormatLength::AtLeast(pos);  // zip-compressed: no length without inflating
    }
    return end <= ctx.BytesToDeviceEnd() ? FormatLength::Exact(end) : FormatLength::AtLeast(pos);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsPsdType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 40 && HasText(p, len, 0, "8BPS") ? EXT_TYPE_PSD : EXT_TYPE_NONE;
}

uint64_t GetPSDFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    // A header the first sector already shows to be wrong is not worth a walk.
    if (!formats::IsPlausiblePsdHeader(p, len)) {
        return StreamToNextFile(scan, kPictureCap, EndKind::kFile);
    }
    return ExactOrToNextFile(scan, formats::PsdLength, kPictureCap);
}

}  // namespace carving::formats
