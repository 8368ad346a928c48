#include "carving/formats/tiff.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

namespace carving::formats {

namespace {

constexpr uint64_t kHeaderBytes = 8;
constexpr size_t kEntryBytes = 12;
// Real directories hold tens of entries and files a few tens of directories; the caps keep a
// walk over noise short and a directory loop finite.
constexpr uint16_t kMaxEntries = 4096;
constexpr size_t kMaxDirectories = 256;
constexpr uint32_t kMaxArrayValues = 1u << 22;

constexpr uint16_t kStripOffsets = 0x0111;
constexpr uint16_t kStripByteCounts = 0x0117;
constexpr uint16_t kTileOffsets = 0x0144;
constexpr uint16_t kTileByteCounts = 0x0145;
constexpr uint16_t kSubIfds = 0x014A;
constexpr uint16_t kJpegOffset = 0x0201;
constexpr uint16_t kJpegLength = 0x0202;
constexpr uint16_t kExifIfd = 0x8769;
constexpr uint16_t kGpsIfd = 0x8825;
constexpr uint16_t kInteropIfd = 0xA005;

uint64_t TypeBytes(uint16_t type) {
    switch (type) {
        case 1:
        case 2:
        case 6:
        case 7:
            return 1;  // byte, ASCII, signed byte, undefined
        case 3:
        case 8:
            return 2;  // short, signed short
        case 4:
        case 9:
        case 11:
        case 13:
            return 4;  // long, signed long, float, IFD
        case 5:
        case 10:
        case 12:
            return 8;  // rationals, double
        default:
            return 0;
    }
}

struct Entry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint32_t value = 0;        // the value itself, or its offset when out of line
    const unsigned char* raw;  // the entry's 12 bytes, for values held inline
};

class TiffWalk {
public:
    TiffWalk(CarveContext& ctx, bool littleEndian) : ctx_(ctx), le_(littleEndian) {}

    FormatLength Run(uint32_t firstIfd) {
        pending_.push_back(firstIfd);
        bool first = true;
        while (!pending_.empty() && visited_.size() < kMaxDirectories) {
            const uint64_t ifd = pending_.back();
            pending_.pop_back();
            if (std::find(visited_.begin(), visited_.end(), ifd) != visited_.end()) continue;
            visited_.push_back(ifd);
            if (!Directory(ifd)) {
                if (first) return FormatLength::Rejected();
                complete_ = false;
            }
            first = false;
        }
        complete_ = complete_ && pending_.empty();
        // Values start on word boundaries, so a writer pads an odd-length last value by a byte.
        const uint64_t end = end_ + (end_ & 1);
        const uint64_t device = ctx_.BytesToDeviceEnd();
        if (!complete_ || end > device) return FormatLength::AtLeast(std::min(end, device));
        return FormatLength::Exact(end);
    }

private:
    uint16_t U16(const unsigned char* p) const { return le_ ? Le16(p) : Be16(p); }
    uint32_t U32(const unsigned char* p) const { return le_ ? Le32(p) : Be32(p); }
    void Reach(uint64_t offset, uint64_t bytes) { end_ = std::max(end_, offset + bytes); }

    bool Directory(uint64_t ifd) {
        const unsigned char* c = ctx_.View(ifd, 2);
        if (ifd < kHeaderBytes || c == nullptr) return false;
        const uint16_t n = U16(c);
        if (n == 0 || n > kMaxEntries) return false;
        const size_t bytes = 2 + kEntryBytes * n + 4;
        std::vector<unsigned char> dir(bytes);
        if (!ctx_.ReadAt(ifd, bytes, dir.data())) return false;
        Reach(ifd, bytes);
        std::vector<Entry> entries;
        entries.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* e = dir.data() + 2 + kEntryBytes * i;
            entries.push_back({U16(e), U16(e + 2), U32(e + 4), U32(e + 8), e});
            OutOfLine(entries.back());
        }
        for (const Entry& e : entries) Links(e);
        Pairs(entries, kStripOffsets, kStripByteCounts);
        Pairs(entries, kTileOffsets, kTileByteCounts);
        Pairs(entries, kJpegOffset, kJpegLength);
        const uint32_t next = U32(dir.data() + 2 + kEntryBytes * n);
        if (next != 0) pending_.push_back(next);
        return true;
    }

    void OutOfLine(const Entry& e) {
        const uint64_t bytes = static_cast<uint64_t>(e.count) * TypeBytes(e.type);
        if (bytes > 4) Reach(e.value, bytes);
    }

    // Value i of a short or long array, inline or out of line; false when unreadable.
    bool ArrayValue(const Entry& e, uint32_t i, uint64_t& out) {
        const uint64_t size = TypeBytes(e.type);
        if ((e.type != 3 && e.type != 4 && e.type != 13) || i >= e.count) return false;
        const unsigned char* p = nullptr;
        if (size * e.count <= 4) {
            p = e.raw + 8 + size * i;
        } else {
            p = ctx_.View(static_cast<uint64_t>(e.value) + size * i, static_cast<size_t>(size));
            if (p == nullptr) return false;
        }
        out = size == 2 ? U16(p) : U32(p);
        return true;
    }

    void Links(const Entry& e) {
        if (e.tag != kSubIfds && e.tag != kExifIfd && e.tag != kGpsIfd && e.tag != kInteropIfd) {
            return;
        }
        const uint32_t n = std::min<uint32_t>(e.count, kMaxDirectories);
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t ifd = 0;
            if (!ArrayValue(e, i, ifd)) {
                complete_ = false;
                return;
            }
            pending_.push_back(ifd);
        }
    }

    const Entry* Find(const std::vector<Entry>& entries, uint16_t tag) const {
        for (const Entry& e : entries) {
            if (e.tag == tag) return &e;
        }
        return nullptr;
    }

    // Offsets with their byte counts: each pair reaches offset + count.
    void Pairs(const std::vector<Entry>& entries, uint16_t offsetsTag, uint16_t countsTag) {
        const Entry* offsets = Find(entries, offsetsTag);
        if (offsets == nullptr) return;
        const Entry* counts = Find(entries, countsTag);
        if (counts == nullptr || counts->count != offsets->count ||
            offsets->count > kMaxArrayValues) {
            complete_ = false;
            return;
        }
        for (uint32_t i = 0; i < offsets->count; ++i) {
            uint64_t at = 0;
            uint64_t bytes = 0;
            if (!ArrayValue(*offsets, i, at) || !ArrayValue(*counts, i, bytes)) {
                complete_ = false;
                return;
            }
            Reach(at, bytes);
        }
    }

    CarveContext& ctx_;
    const bool le_;
    uint64_t end_ = kHeaderBytes;
    bool complete_ = true;
    std::vector<uint64_t> pending_;
    std::vector<uint64_t> visited_;
};

}  // namespace

TiffMagic TiffMagicOf(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 4) return TiffMagic::kNone;
    const bool intel = p[0] == 'I' && p[1] == 'I';
    const bool motorola = p[0] == 'M' && p[1] == 'M';
    if ((intel && p[2] == 0x2A && p[3] == 0) || (motorola && p[2] == 0 && p[3] == 0x2A)) {
        return TiffMagic::kClassic;
    }
    if ((intel && p[2] == 'R' && (p[3] == 'O' || p[3] == 'S')) ||
        (motorola && p[2] == 'O' && p[3] == 'R')) {
        return TiffMagic::kOlympus;
    }
    if (intel && p[2] == 'U' && p[3] == 0) return TiffMagic::kPanasonic;
    return TiffMagic::kNone;
}

FormatLength TiffLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, kHeaderBytes);
    if (head == nullptr || TiffMagicOf(head, kHeaderBytes) == TiffMagic::kNone) {
        return FormatLength::Rejected();
    }
    const bool le = head[0] == 'I';
    const uint32_t first = le ? Le32(head + 4) : Be32(head + 4);
    return TiffWalk(ctx, le).Run(first);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

// The camera maker named by the Make tag of the first directory, read from the buffer or,
// when the text lies past it, through the judge's reader; empty when neither holds it.
std::string TiffMake(CarveScan& scan, const unsigned char* p, size_t len,
                     const unsigned char* entry, bool le) {
    const uint32_t count = le ? LoadU32(entry + 4) : LoadBE32(entry + 4);
    const size_t n = std::min<size_t>(count, 16);
    if (count <= 4) return std::string(reinterpret_cast<const char*>(entry + 8), n);
    const uint32_t at = le ? LoadU32(entry + 8) : LoadBE32(entry + 8);
    if (at <= len && n <= len - at) return std::string(reinterpret_cast<const char*>(p + at), n);
    char text[16];
    if (scan.m_pDiskReader == nullptr || !ReadBytesFrom(scan, scan.m_u64CurrentSector, at, n,
                                                        reinterpret_cast<unsigned char*>(text))) {
        return {};
    }
    return std::string(text, n);
}

bool MakeIs(const std::string& make, const char* name) {
    return strncasecmp(make.c_str(), name, std::strlen(name)) == 0;
}

// The raw format a classic TIFF header leads, from the first directory's DNG version and
// Make tags; TIF for any other TIFF, NONE when a directory inside the buffer is implausible.
uint32_t TiffKind(CarveScan& scan, const unsigned char* p, size_t len, bool le) {
    const uint32_t ifd = le ? LoadU32(p + 4) : LoadBE32(p + 4);
    if (ifd < 8) return EXT_TYPE_NONE;
    if (ifd > len || len - ifd < 2) return EXT_TYPE_TIF;  // a directory at the end of the file
    const size_t count = le ? LoadU16(p + ifd) : LoadBE16(p + ifd);
    if (count == 0 || count > 1024) return EXT_TYPE_NONE;
    std::string make;
    for (size_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= len; ++i) {
        const unsigned char* e = p + ifd + 2 + 12 * i;
        const uint16_t tag = le ? LoadU16(e) : LoadBE16(e);
        const uint16_t type = le ? LoadU16(e + 2) : LoadBE16(e + 2);
        if (tag == 0xC612) return EXT_TYPE_DNG;
        if (tag == 0x010F && type == 2) make = TiffMake(scan, p, len, e, le);
    }
    if (MakeIs(make, "Canon") && HasText(p, len, 8, "CR")) return EXT_TYPE_CR2;
    if (MakeIs(make, "NIKON")) return EXT_TYPE_NEF;
    if (MakeIs(make, "SONY")) return EXT_TYPE_ARW;
    if (MakeIs(make, "PENTAX") || MakeIs(make, "RICOH")) return EXT_TYPE_PEF;
    return EXT_TYPE_TIF;
}

}  // namespace

namespace carving::formats {

uint32_t IsTifType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    switch (formats::TiffMagicOf(p, len)) {
        case formats::TiffMagic::kOlympus:
            return EXT_TYPE_ORF;
        case formats::TiffMagic::kPanasonic:
            return EXT_TYPE_RW2;
        case formats::TiffMagic::kClassic:
            return len < 8 ? EXT_TYPE_TIF : TiffKind(scan, p, len, p[0] == 'I');
        default:
            return EXT_TYPE_NONE;
    }
}

uint64_t GetTIFFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::TiffLength, kPictureCap);
}

}  // namespace carving::formats
