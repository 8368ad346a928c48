#include "carving/formats/zip.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

namespace carving::formats {

namespace {

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kZip64EndSig = 0x06064B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;
constexpr uint32_t kDigitalSignatureSig = 0x05054B50;
constexpr uint32_t kArchiveExtraSig = 0x08064B50;
constexpr size_t kLocalBytes = 30;
constexpr size_t kCentralBytes = 46;
constexpr size_t kEndBytes = 22;
constexpr size_t kZip64LocatorBytes = 20;
constexpr uint64_t kMaxEntries = uint64_t{1} << 24;
constexpr uint32_t kSizesFollowData = 1u << 3;
constexpr uint64_t kNoZip64Scan = uint64_t{4} << 30;

// A walk position and what a record at it says.
struct Cursor {
    CarveContext& ctx;
    uint64_t at = 0;

    bool Signature(uint32_t* pSig) {
        const unsigned char* p = ctx.View(at, 4);
        if (p == nullptr) return false;
        *pSig = Le32(p);
        return true;
    }
};

// The sizes a local header gives, taken from its Zip64 extra field when they overflow.
bool LocalCompressedSize(CarveContext& ctx, uint64_t at, const unsigned char* header,
                         uint64_t* pSize) {
    const uint32_t size32 = Le32(header + 18);
    const uint32_t plain32 = Le32(header + 22);
    const size_t nameBytes = Le16(header + 26);
    const size_t extraBytes = Le16(header + 28);
    if (size32 != 0xFFFFFFFF && plain32 != 0xFFFFFFFF) {
        *pSize = size32;
        return true;
    }
    const unsigned char* extra = ctx.View(at + kLocalBytes + nameBytes, extraBytes);
    if (extra == nullptr) return false;
    for (size_t i = 0; i + 4 <= extraBytes;) {
        const uint16_t id = Le16(extra + i);
        const size_t n = Le16(extra + i + 2);
        if (n > extraBytes - i - 4) return false;
        // In a local header the field holds both sizes, uncompressed first.
        if (id == 0x0001 && n >= 16) {
            *pSize = Le64(extra + i + 4 + 8);
            return true;
        }
        i += 4 + n;
    }
    return false;
}

// Where the data descriptor after data starting at dataStart ends: the descriptor whose
// compressed size equals the distance from dataStart, with its signature (16 or 24 bytes),
// or without it just before the next local or central header (12 or 20 bytes).
class DescriptorFinder {
public:
    DescriptorFinder(CarveContext& ctx, uint64_t dataStart, uint64_t limit)
        : m_ctx(ctx), m_dataStart(dataStart), m_limit(limit) {}

    bool Find(uint64_t* pEnd) {
        uint64_t offset = m_dataStart;
        while (offset < m_limit) {
            size_t n = 0;
            const unsigned char* p = m_ctx.ViewSome(offset, &n);
            if (p == nullptr || n < 4) return false;
            m_window.assign(p, p + n);
            const size_t stop = n - 3;  // a signature's last possible start in this window
            for (size_t i = 0; i < stop; ++i) {
                const void* hit = std::memchr(m_window.data() + i, 'P', stop - i);
                if (hit == nullptr) break;
                i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - m_window.data());
                if (m_window[i + 1] == 'K' && Matches(offset + i, Le32(&m_window[i]), pEnd)) {
                    return true;
                }
            }
            if (n <= 3) return false;
            offset += n - 3;
        }
        return false;
    }

private:
    bool Matches(uint64_t at, uint32_t sig, uint64_t* pEnd) {
        if (sig == kDescriptorSig) {
            unsigned char d[24];
            if (!m_ctx.ReadAt(at, sizeof d, d) && !m_ctx.ReadAt(at, 16, d)) return false;
            const uint64_t dataBytes = at - m_dataStart;
            if (Le32(d + 8) == dataBytes) return Done(at + 16, pEnd);
            if (m_ctx.ReadAt(at, sizeof d, d) && Le64(d + 8) == dataBytes) {
                return Done(at + 24, pEnd);
            }
            return false;
        }
        if (sig != kLocalSig && sig != kCentralSig) return false;
        unsigned char d[20];
        if (at >= m_dataStart + 12 && m_ctx.ReadAt(at - 12, 12, d) &&
            Le32(d + 4) == at - 12 - m_dataStart) {
            return Done(at, pEnd);
        }
        if (at >= m_dataStart + 20 && m_ctx.ReadAt(at - 20, 20, d) &&
            Le64(d + 4) == at - 20 - m_dataStart) {
            return Done(at, pEnd);
        }
        return false;
    }
    static bool Done(uint64_t end, uint64_t* pEnd) {
        *pEnd = end;
        return true;
    }

    CarveContext& m_ctx;
    uint64_t m_dataStart;
    uint64_t m_limit;
    std::vector<unsigned char> m_window;
};

// Steps over one local entry at cursor.at; false when it cannot be crossed.
bool SkipLocalEntry(Cursor& cur) {
    const unsigned char* header = cur.ctx.View(cur.at, kLocalBytes);
    if (header == nullptr) return false;
    const uint32_t flags = Le16(header + 6);
    const uint16_t version = Le16(header + 4);
    const uint64_t dataStart = cur.at + kLocalBytes + Le16(header + 26) + Le16(header + 28);
    if (flags & kSizesFollowData) {
        // Zip64 entries may run past 4 GiB; others cannot, which bounds a futile search.
        const uint64_t reach = version >= 45 ? cur.ctx.BytesToDeviceEnd() : kNoZip64Scan;
        const uint64_t limit = std::min(cur.ctx.BytesToDeviceEnd(), dataStart + reach);
        return DescriptorFinder(cur.ctx, dataStart, limit).Find(&cur.at);
    }
    uint64_t size = 0;
    if (!LocalCompressedSize(cur.ctx, cur.at, header, &size)) return false;
    const uint64_t next = dataStart + size;
    if (next > cur.ctx.BytesToDeviceEnd()) return false;
    cur.at = next;
    return true;
}

// What the end records say about the central directory.
struct DirectoryClaim {
    uint64_t offset = 0;
    uint64_t bytes = 0;
    uint64_t entries = 0;
};

// Reads the Zip64 end record the locator at `locator` points to; it must lie at `expected`.
bool ReadZip64End(CarveContext& ctx, uint64_t locator, uint64_t expected, DirectoryClaim* claim) {
    const unsigned char* loc = ctx.View(locator, kZip64LocatorBytes);
    if (loc == nullptr || Le32(loc) != kZip64LocatorSig || Le64(loc + 8) != expected) return false;
    const unsigned char* rec = ctx.View(expected, 56);
    if (rec == nullptr || Le32(rec) != kZip64EndSig) return false;
    claim->entries = Le64(rec + 32);
    claim->bytes = Le64(rec + 40);
    claim->offset = Le64(rec + 48);
    return true;
}

FormatLength WalkCentralDirectory(Cursor& cur) {
    const uint64_t start = cur.at;
    uint64_t entries = 0;
    uint32_t sig = 0;
    while (cur.Signature(&sig) && sig == kCentralSig) {
        const unsigned char* h = cur.ctx.View(cur.at, kCentralBytes);
        if (h == nullptr || ++entries > kMaxEntries) return FormatLength::AtLeast(cur.at);
        cur.at += kCentralBytes + Le16(h + 28) + Le16(h + 30) + Le16(h + 32);
    }
    const uint64_t entriesEnd = cur.at;
    if (cur.Signature(&sig) && sig == kDigitalSignatureSig) {
        const unsigned char* h = cur.ctx.View(cur.at, 6);
        if (h == nullptr) return FormatLength::AtLeast(cur.at);
        cur.at += 6 + Le16(h + 4);
    }
    const uint64_t directoryEnd = cur.at;
    DirectoryClaim claim;
    bool zip64 = false;
    if (cur.Signature(&sig) && sig == kZip64EndSig) {
        const unsigned char* h = cur.ctx.View(cur.at, 12);
        if (h == nullptr || Le64(h + 4) > (uint64_t{1} << 32)) return FormatLength::AtLeast(cur.at);
        const uint64_t record = cur.at;
        const uint64_t locator = record + 12 + Le64(h + 4);
        if (!ReadZip64End(cur.ctx, locator, record, &claim)) return FormatLength::AtLeast(record);
        cur.at = locator + kZip64LocatorBytes;
        zip64 = true;
    }
    const unsigned char* end = cur.ctx.View(cur.at, kEndBytes);
    if (end == nullptr || Le32(end) != kEndSig) return FormatLength::AtLeast(cur.at);
    const uint64_t pastEnd = cur.at + kEndBytes + Le16(end + 20);
    // Fields a Zip64 archive leaves saturated are taken from its Zip64 record.
    if (!zip64 || Le32(end + 16) != 0xFFFFFFFF) claim.offset = Le32(end + 16);
    if (!zip64 || Le32(end + 12) != 0xFFFFFFFF) claim.bytes = Le32(end + 12);
    if (!zip64 || Le16(end + 10) != 0xFFFF) claim.entries = Le16(end + 10);
    const bool sizeAgrees =
        claim.bytes == entriesEnd - start || claim.bytes == directoryEnd - start;
    if (claim.offset != start || !sizeAgrees || claim.entries != entries ||
        pastEnd > cur.ctx.BytesToDeviceEnd()) {
        return FormatLength::AtLeast(cur.at);
    }
    return FormatLength::Exact(pastEnd);
}

}  // namespace

FormatLength ZipLength(CarveContext& ctx) {
    Cursor cur{ctx};
    uint32_t sig = 0;
    if (!cur.Signature(&sig) || sig != kLocalSig) return FormatLength::AtLeast(0);
    for (uint64_t entries = 0; cur.Signature(&sig); ++entries) {
        if (entries > kMaxEntries) return FormatLength::AtLeast(cur.at);
        if (sig == kLocalSig) {
            if (!SkipLocalEntry(cur)) return FormatLength::AtLeast(cur.at);
        } else if (sig == kArchiveExtraSig) {
            const unsigned char* h = ctx.View(cur.at, 8);
            if (h == nullptr) return FormatLength::AtLeast(cur.at);
            cur.at += 8 + uint64_t{Le32(h + 4)};
        } else {
            return WalkCentralDirectory(cur);
        }
    }
    return FormatLength::AtLeast(cur.at);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kZipLocal[] = {0x50, 0x4B, 0x03, 0x04};

constexpr unsigned char kZipEnd[] = {0x50, 0x4B, 0x05, 0x06};

constexpr size_t kZipEndBytes = 22;

// Offset just past the end-of-central-directory record at `at`, with the archive comment it
// announces when the comment is wholly inside the bytes held.
size_t PastZipEnd(const unsigned char* p, size_t len, size_t at) {
    const size_t fixedEnd = at + kZipEndBytes;
    if (fixedEnd > len) return fixedEnd;
    const size_t comment = LoadU16(p + at + 20);
    return comment <= len - fixedEnd ? fixedEnd + comment : fixedEnd;
}

constexpr unsigned char kZipCentral[] = {0x50, 0x4B, 0x01, 0x02};

// The name of a ZIP entry says which Office application wrote the container.
uint32_t TypeFromEntryName(const unsigned char* window, size_t len, size_t name) {
    auto begins = [&](const char* text, size_t need) {
        return name <= len && len - name >= need &&
               strncasecmp(reinterpret_cast<const char*>(window + name), text, std::strlen(text)) ==
                   0;
    };
    if (begins("word", 5)) return EXT_TYPE_DOCX;
    if (begins("ppt", 4)) return EXT_TYPE_PPTX;
    if (begins("xl", 3)) return EXT_TYPE_XLSX;
    return EXT_TYPE_NONE;
}

uint32_t TypeFromZipWindow(const unsigned char* window, size_t len) {
    const size_t end = FindForward(window, len, 0, kZipEnd, 4);
    const size_t limit = end == kNotFound ? len : end;
    size_t local = 0;
    size_t central = 0;
    bool localLeft = true;
    bool centralLeft = true;
    while (localLeft || centralLeft) {
        if (localLeft) {
            const size_t at = FindForward(window, limit, local, kZipLocal, 4);
            localLeft = at != kNotFound;
            if (localLeft) {
                const uint32_t type = TypeFromEntryName(window, len, at + 30);
                if (type != EXT_TYPE_NONE) return type;
                local = at + 1;
            }
        }
        if (centralLeft) {
            const size_t at = FindForward(window, limit, central, kZipCentral, 4);
            centralLeft = at != kNotFound;
            if (centralLeft) {
                const uint32_t type = TypeFromEntryName(window, len, at + 46);
                if (type != EXT_TYPE_NONE) return type;
                central = at + 1;
            }
        }
    }
    return EXT_TYPE_NONE;
}

}  // namespace

namespace carving {

uint64_t ZipContainerBytes(CarveScan& scan, const unsigned char* pFirst, size_t len,
                           uint64_t u64Cap) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    // A small archive ends inside its first sector.
    const size_t firstBytes = std::min(len, b);
    const size_t endInFirst = FindBackward(pFirst, firstBytes, kZipEnd, sizeof kZipEnd);
    if (endInFirst != kNotFound && endInFirst + kZipEndBytes <= firstBytes) {
        return PastZipEnd(pFirst, firstBytes, endInFirst);
    }
    return StreamWith(scan, u64Cap, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindBackward(c.p, c.nFileBytes, kZipEnd, sizeof kZipEnd);
        if (at == kNotFound) return 0;
        length = c.u64Offset + PastZipEnd(c.p, c.nBytes, at);
        return 1;
    });
}

}  // namespace carving

namespace carving::formats {

uint32_t IsZipType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 48 && Has(p, len, 0, kZipLocal, 4) ? EXT_TYPE_ZIP : EXT_TYPE_NONE;
}

uint64_t GetZIPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::ZipLength,
                   [&] { return ZipContainerBytes(scan, p, len, 4 * kGiB); });
}

uint32_t IsOffice2007Type(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 31) return EXT_TYPE_NONE;
    if (!Has(p, len, 0, kZipLocal, 4) && !HasText(p, len, 31, "[Content_Types].xml")) {
        return EXT_TYPE_NONE;
    }
    return GetOffice2007Type(scan, p, len);
}

uint32_t GetOffice2007Type(carving::CarveScan& scan, const unsigned char*, size_t) {
    constexpr int kPasses = 5;
    constexpr int kSectorsPerPass = 4;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    ISectorReader* reader = scan.m_pDiskReader;
    if (reader == nullptr) return EXT_TYPE_NONE;
    std::vector<unsigned char> window;
    try {
        window.assign(kSectorsPerPass * b + 4, 0);
    } catch (...) {
        return EXT_TYPE_NONE;
    }
    const uint64_t limit = reader->SectorLimit(static_cast<int>(b));
    for (int pass = 0; pass < kPasses; ++pass) {
        const uint64_t start =
            scan.m_u64CurrentSector + kSectorsPerPass * static_cast<uint64_t>(pass);
        if (start >= limit) break;
        // A container near the end of the device is typed from the sectors that exist.
        const int want = static_cast<int>(std::min<uint64_t>(kSectorsPerPass, limit - start));
        unsigned int got = 0;
        const int rc =
            reader->ReadSectors(window.data() + 4, want, start, static_cast<int>(b), &got);
        if (rc == 0) got = static_cast<unsigned int>(want);
        if ((rc != 0 && rc != RESULT_SHORT_READ) || got == 0) break;
        const size_t used = 4 + got * b;
        const uint32_t type = TypeFromZipWindow(window.data(), used);
        if (type != EXT_TYPE_NONE) return type;
        if (got < static_cast<unsigned int>(kSectorsPerPass)) break;
        // The carry keeps a signature split across two passes whole.
        std::memcpy(window.data(), window.data() + used - 4, 4);
    }
    return EXT_TYPE_NONE;
}

uint64_t GetOFFICE2007FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::ZipLength,
                   [&] { return ZipContainerBytes(scan, p, len, kCompoundCap); });
}

}  // namespace carving::formats
