#include "carving/formats/bzip2.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr unsigned char kBlockMagic[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr unsigned char kEndMagic[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
constexpr size_t kStreamHeadBytes = 10;

enum class StreamEnd { kComplete, kBroken, kDeviceEnd };

// One stream through libbz2, its output thrown away: only where it ends matters.
StreamEnd DecompressStream(CarveContext& ctx, uint64_t u64Start, std::vector<char>& out,
                           uint64_t* pEnd) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return StreamEnd::kBroken;
    StreamEnd result = StreamEnd::kDeviceEnd;
    uint64_t offset = u64Start;
    for (bool more = true; more;) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(offset, &n);
        if (p == nullptr || n == 0) break;
        stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(p));
        stream.avail_in = static_cast<unsigned int>(n);
        while (stream.avail_in != 0) {
            stream.next_out = out.data();
            stream.avail_out = static_cast<unsigned int>(out.size());
            const int rc = BZ2_bzDecompress(&stream);
            if (rc == BZ_STREAM_END) {
                *pEnd = offset + (n - stream.avail_in);
                result = StreamEnd::kComplete;
                more = false;
                break;
            }
            if (rc != BZ_OK) {
                result = StreamEnd::kBroken;
                more = false;
                break;
            }
        }
        offset += n;
    }
    BZ2_bzDecompressEnd(&stream);
    return result;
}

// Blocks and the stream's end are not byte-aligned: each opens with a 48-bit magic at any bit
// offset, followed by a 32-bit CRC. Finding them lets the stream's end be fixed far faster than
// decompressing: the end marker's CRC must equal the CRCs of the blocks before it combined.
constexpr uint64_t kBlockMagic48 = 0x314159265359;
constexpr uint64_t kEndMagic48 = 0x177245385090;
constexpr uint64_t kMagicMask = (uint64_t{1} << 48) - 1;
constexpr size_t kMarkerBytes = 14;  // the magic and CRC at the worst bit offset, rounded up

struct Marker {
    uint64_t bit;  // offset of the magic's first bit in the file
    bool end;
    uint32_t crc;
};

// Markers starting in bytes [0, limit) of p, which holds n >= limit + kMarkerBytes bytes.
void FindMarkers(const unsigned char* p, size_t n, size_t limit, uint64_t u64Offset,
                 std::vector<Marker>& out) {
    for (const uint64_t magic : {kBlockMagic48, kEndMagic48}) {
        for (unsigned shift = 0; shift < 8; ++shift) {
            // A magic starting at bit `shift` of byte i fills byte i + 1 with this value.
            const int key = static_cast<int>((magic >> (32 + shift)) & 0xFF);
            for (size_t i = 0; i < limit;) {
                const void* hit = std::memchr(p + i + 1, key, limit - i);
                if (hit == nullptr) break;
                const size_t at =
                    static_cast<size_t>(static_cast<const unsigned char*>(hit) - p) - 1;
                if (at + kMarkerBytes <= n &&
                    ((Be64(p + at) >> (16 - shift)) & kMagicMask) == magic) {
                    const uint32_t crc = static_cast<uint32_t>(Be64(p + at + 6) >> (32 - shift));
                    out.push_back({(u64Offset + at) * 8 + shift, magic == kEndMagic48, crc});
                }
                i = at + 1;
            }
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Marker& a, const Marker& b) { return a.bit < b.bit; });
}

enum class ScanEnd { kComplete, kCrcMismatch, kGap, kDeviceEnd };

// Walks the markers of the stream at u64Start. kGap when no marker comes within the largest
// distance a block of the stream's size can span.
ScanEnd ScanStream(CarveContext& ctx, uint64_t u64Start, uint64_t* pEnd) {
    const unsigned char* head = ctx.View(u64Start, 4);
    if (head == nullptr) return ScanEnd::kDeviceEnd;
    // A block holds at most level x 100 000 bytes; incompressible ones grow by about 1 %.
    const uint64_t maxGapBits = (uint64_t(head[3] - '0') * 125000 + 1024) * 8;
    uint64_t lastBit = (u64Start + 4) * 8;
    uint32_t combined = 0;
    std::vector<Marker> markers;
    for (uint64_t offset = u64Start + 4;;) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(offset, &n);
        if (p == nullptr) return ScanEnd::kDeviceEnd;
        const bool last = offset + n >= ctx.BytesToDeviceEnd();
        const size_t limit = n > kMarkerBytes + 2 ? n - kMarkerBytes - 2 : 0;
        const size_t scanned = last ? (n >= kMarkerBytes ? n - kMarkerBytes + 1 : 0) : limit;
        markers.clear();
        FindMarkers(p, n, scanned, offset, markers);
        for (const Marker& m : markers) {
            if (m.bit - lastBit > maxGapBits) return ScanEnd::kGap;
            if (m.end) {
                if (m.crc != combined) return ScanEnd::kCrcMismatch;
                *pEnd = (m.bit + 80 + 7) / 8;  // magic, CRC, then padding to a whole byte
                return ScanEnd::kComplete;
            }
            combined = ((combined << 1) | (combined >> 31)) ^ m.crc;
            lastBit = m.bit;
        }
        if (last || limit == 0) return ScanEnd::kDeviceEnd;
        if ((offset + limit) * 8 - lastBit > maxGapBits) return ScanEnd::kGap;
        offset += limit;
    }
}

// The end of the stream at u64Start: from its markers, or by decompressing it when they
// disagree (a magic that chance put inside compressed data).
StreamEnd MeasureStream(CarveContext& ctx, uint64_t u64Start, std::vector<char>& out,
                        uint64_t* pEnd) {
    switch (ScanStream(ctx, u64Start, pEnd)) {
        case ScanEnd::kComplete:
            return StreamEnd::kComplete;
        case ScanEnd::kDeviceEnd:
            return StreamEnd::kDeviceEnd;
        case ScanEnd::kGap:
            return StreamEnd::kBroken;
        case ScanEnd::kCrcMismatch:
            break;
    }
    return DecompressStream(ctx, u64Start, out, pEnd);
}

bool StartsStream(CarveContext& ctx, uint64_t u64Offset) {
    const unsigned char* p = ctx.View(u64Offset, kStreamHeadBytes);
    return p != nullptr && LooksLikeBzip2(p, kStreamHeadBytes);
}

}  // namespace

bool LooksLikeBzip2(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kStreamHeadBytes) return false;
    if (p[0] != 'B' || p[1] != 'Z' || p[2] != 'h' || p[3] < '1' || p[3] > '9') return false;
    return std::memcmp(p + 4, kBlockMagic, 6) == 0 || std::memcmp(p + 4, kEndMagic, 6) == 0;
}

FormatLength Bzip2Length(CarveContext& ctx) {
    if (!StartsStream(ctx, 0)) return FormatLength::Rejected();
    std::vector<char> out(64 * 1024);
    uint64_t end = 0;
    switch (MeasureStream(ctx, 0, out, &end)) {
        case StreamEnd::kBroken:
            return FormatLength::Rejected();
        case StreamEnd::kDeviceEnd:
            return FormatLength::AtLeast(ctx.BytesRead());
        case StreamEnd::kComplete:
            break;
    }
    // Parallel compressors write one stream per chunk; together they are one file.
    while (StartsStream(ctx, end)) {
        uint64_t next = 0;
        if (MeasureStream(ctx, end, out, &next) != StreamEnd::kComplete) break;
        end = next;
    }
    return FormatLength::Exact(end);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsBz2Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::LooksLikeBzip2(p, len) ? EXT_TYPE_BZ2 : EXT_TYPE_NONE;
}

uint64_t GetBZ2FileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::Bzip2Length, 4 * kGiB);
}

}  // namespace carving::formats
