#include "carving/formats/jpeg.h"

#include <cstring>

namespace carving::formats {

namespace {

constexpr unsigned char kMarkerPrefix = 0xFF;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;
// A photo with more segments than this is not a photo: the walk stops rather than spin.
constexpr int kMaxSegments = 1 << 20;
// Fill bytes may pad a marker; a long run of them is noise, not padding.
constexpr int kMaxFillBytes = 64;
// A photo is far smaller; a scan that runs this far is over zeros or noise after a photo
// whose end was overwritten, and reading on would cost a read of the whole device.
constexpr uint64_t kMaxJpegBytes = 256ull << 20;

bool IsRestartMarker(unsigned char m) {
    return m >= 0xD0 && m <= 0xD7;
}

// Markers that carry a two-byte length after them. Start-of-frame C8 and the extension
// markers F0-FD are reserved but carry lengths where they are used at all.
bool HasSegmentLength(unsigned char m) {
    return m >= 0xC0 && m <= 0xFE && !IsRestartMarker(m) && m != 0xD8 && m != kEndOfImage;
}

// Markers that may follow entropy-coded data: another table, another scan, the end, or the
// segments a progressive or hierarchical encoder puts between scans.
bool MayFollowScan(unsigned char m) {
    return m == kEndOfImage || (HasSegmentLength(m) && m != 0xC8 && (m < 0xF0 || m == 0xFE));
}

// Offset of the first marker in the entropy-coded data that starts at `from` (stuffed zero
// bytes, restart markers and fill bytes belong to the data), or `found` false at the device's
// end or a read error.
uint64_t EndOfEntropyData(CarveContext& ctx, uint64_t from, bool& found) {
    found = false;
    uint64_t pos = from;
    while (pos < kMaxJpegBytes) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(pos, &n);
        if (p == nullptr || n < 2) return pos;
        size_t i = 0;
        while (i + 1 < n) {
            const void* hit = std::memchr(p + i, kMarkerPrefix, n - 1 - i);
            if (hit == nullptr) {
                i = n - 1;
                break;
            }
            i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - p);
            const unsigned char next = p[i + 1];
            if (next == 0x00 || IsRestartMarker(next)) {
                i += 2;
            } else if (next == kMarkerPrefix) {
                i += 1;
            } else {
                found = true;
                return pos + i;
            }
        }
        pos += i;  // the byte at i is looked at again with the one after it
    }
    return pos;
}

// Moves pos over fill bytes to the 0xFF that precedes a marker; false when none is there.
bool SkipFill(CarveContext& ctx, uint64_t& pos) {
    for (int i = 0; i < kMaxFillBytes; ++i) {
        const unsigned char* p = ctx.View(pos, 2);
        if (p == nullptr || p[0] != kMarkerPrefix) return false;
        if (p[1] != kMarkerPrefix) return true;
        ++pos;
    }
    return false;
}

}  // namespace

bool IsJpegFirstSegmentMarker(unsigned char m) {
    const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    return (m >= 0xE0 && m <= 0xEF) || frame || m == 0xDB || m == 0xC4 || m == 0xFE || m == 0xDD;
}

FormatLength JpegLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, 10);
    if (head == nullptr || head[0] != kMarkerPrefix || head[1] != 0xD8) {
        return FormatLength::Rejected();
    }
    if (head[2] != kMarkerPrefix || !IsJpegFirstSegmentMarker(head[3]) || Be16(head + 4) < 2) {
        // A JFIF or Exif identifier has always been enough to carve by the end marker alone.
        const bool tagged =
            std::memcmp(head + 6, "JFIF", 4) == 0 || std::memcmp(head + 6, "Exif", 4) == 0;
        return tagged ? FormatLength::AtLeast(2) : FormatLength::Rejected();
    }
    uint64_t pos = 2;
    for (int segment = 0; segment < kMaxSegments && pos < kMaxJpegBytes; ++segment) {
        if (!SkipFill(ctx, pos)) return FormatLength::AtLeast(pos);
        const unsigned char* p = ctx.View(pos, 4);
        if (p == nullptr) {
            p = ctx.View(pos, 2);
            if (p != nullptr && p[1] == kEndOfImage) return FormatLength::Exact(pos + 2);
            return FormatLength::AtLeast(pos);
        }
        const unsigned char marker = p[1];
        if (marker == kEndOfImage) return FormatLength::Exact(pos + 2);
        if (IsRestartMarker(marker)) {  // stray, between scans
            pos += 2;
            continue;
        }
        const uint16_t length = Be16(p + 2);
        if (!HasSegmentLength(marker) || length < 2) return FormatLength::AtLeast(pos);
        pos += 2 + static_cast<uint64_t>(length);
        if (marker != kStartOfScan) continue;
        bool found = false;
        pos = EndOfEntropyData(ctx, pos, found);
        if (!found) return FormatLength::AtLeast(pos);
        const unsigned char* m = ctx.View(pos, 2);
        if (m == nullptr || !MayFollowScan(m[1])) return FormatLength::AtLeast(pos);
    }
    return FormatLength::AtLeast(pos);
}

}  // namespace carving::formats
