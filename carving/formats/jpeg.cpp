#include "carving/formats/jpeg.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

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

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char szJpgTail[] = {0xFF, 0xD9};

// The first segment of a JPEG after its start-of-image marker has the length its kind needs:
// a quantisation or Huffman table with valid class and destination, a frame header sized for
// its components, a restart interval of two bytes.
bool IsPlausibleFirstSegment(const unsigned char* p, size_t len) {
    const unsigned char marker = p[3];
    const size_t length = LoadBE16(p + 4);
    const bool tableId = (p[6] & 0xEC) == 0;  // class 0-1 and destination 0-3
    if (marker == 0xDB) return length >= 67 && length <= 2 + 4 * 129 && tableId;
    if (marker == 0xC4) return length >= 2 + 17 && tableId;
    if (marker == 0xDD) return length == 4;
    if (marker >= 0xC0 && marker <= 0xCF) {
        const unsigned components = len > 9 ? p[9] : 0;
        return p[6] >= 2 && p[6] <= 16 && components >= 1 && components <= 4 &&
               length == 8 + 3 * components;
    }
    return length >= 2;
}

bool IsPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

bool IsText(const unsigned char* p, size_t len, size_t n) {
    return len >= n && std::all_of(p, p + n, IsPrintable);
}

// Two to 47 printable characters and a zero byte ("http://ns.adobe.com/xmp/extension/" is 34).
bool HasIdentifier(const unsigned char* p, size_t len) {
    const size_t limit = std::min<size_t>(len, 48);
    for (size_t i = 0; i < limit; ++i) {
        if (p[i] == 0) return i >= 2;
        if (!IsPrintable(p[i])) return false;
    }
    return false;
}

// The marker after the first segment, where the buffer holds it: another segment or fill.
bool IsJpegSecondMarker(const unsigned char* p) {
    const unsigned char m = p[1];
    return p[0] == 0xFF && m >= 0xC0 && !(m >= 0xD0 && m <= 0xD9);
}

}  // namespace

namespace carving::formats {

uint32_t IsJpgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0};
    static const unsigned char kExif[] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    if (Has(p, len, 0, kJfif, 4) && HasText(p, len, 6, "JFIF")) return EXT_TYPE_JPG;
    if (Has(p, len, 0, kExif, 4) && HasText(p, len, 6, "Exif")) return EXT_TYPE_JPG;
    // Any other JPEG: a first segment of a kind and length that fit, and the marker after it.
    if (p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) return EXT_TYPE_NONE;
    if (!formats::IsJpegFirstSegmentMarker(p[3]) || !IsPlausibleFirstSegment(p, len)) {
        return EXT_TYPE_NONE;
    }
    const size_t next = 4 + static_cast<size_t>(LoadBE16(p + 4));
    if (next + 2 <= len) return IsJpegSecondMarker(p + next) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    // A segment longer than the buffer: an application segment opens with its identifier
    // ("Exif", "ICC_PROFILE", "http://ns.adobe.com/xap/1.0/"...) ended by a zero byte, a
    // comment with text.
    if (p[3] >= 0xE0 && p[3] <= 0xEF) {
        return HasIdentifier(p + 6, len - 6) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    }
    if (p[3] == 0xFE) return IsText(p + 6, len - 6, 8) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    return EXT_TYPE_JPG;
}

int GetJPGFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    // An end-of-image marker followed by more data (a thumbnail's, inside the Exif block) is
    // passed over rather than taken as the buffer having no tail, so that a small photo whose
    // thumbnail and end share a chunk is still cut at its own end.
    return FindZeroFilledTail(scan, pBuf, nLen, szJpgTail, sizeof szJpgTail, uOffset);
}

// The end-marker rule, for a JPEG whose structure gave no exact end.
static uint64_t JpegTailBytes(CarveScan& scan, const unsigned char* p, size_t len) {
    size_t offset = 0;
    if (GetJPGFileTailOffset(scan, p, len, offset)) return offset;
    // Every chunk's usable end marker becomes the candidate, so that an embedded thumbnail's
    // end is replaced by the photo's own; markers past the start of another file are not
    // this photo's and are not looked at.
    uint64_t candidate = 0;
    uint64_t length =
        StreamWith(scan, kPictureCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
            size_t at = 0;
            if (GetJPGFileTailOffset(scan, c.p, c.nFileBytes, at)) {
                candidate = c.u64Offset + at;
            }
            return 0;
        });
    if (candidate != 0 && candidate < length) length = candidate;
    return length;
}

uint64_t GetJPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::JpegLength, [&] { return JpegTailBytes(scan, p, len); });
}

}  // namespace carving::formats
