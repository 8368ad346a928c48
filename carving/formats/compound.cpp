#include "carving/formats/compound.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

namespace carving::formats {

namespace {

constexpr unsigned char kMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderBytes = 512;
constexpr size_t kHeaderTableEntries = 109;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
// 2^22 table sectors of 512 bytes map 2^29 sectors: 256 GiB, past any document.
constexpr uint32_t kMaxTableSectors = uint32_t{1} << 22;

struct Geometry {
    uint64_t sectorBytes = 0;
    uint32_t entriesPerSector = 0;
};

uint64_t SectorOffset(const Geometry& g, uint32_t sector) {
    return (uint64_t{sector} + 1) * g.sectorBytes;
}

// The allocation-table sectors in order: the header's list, then the extension chain's.
bool ListTableSectors(CarveContext& ctx, const Geometry& g, const unsigned char* header,
                      std::vector<uint32_t>* pSectors) {
    const uint32_t count = Le32(header + 44);
    if (count == 0 || count > kMaxTableSectors) return false;
    // A writer adds a table sector only once the previous ones are full.
    if (uint64_t{count - 1} * g.entriesPerSector * g.sectorBytes > ctx.BytesToDeviceEnd()) {
        return false;
    }
    pSectors->reserve(count);
    for (size_t i = 0; i < kHeaderTableEntries && pSectors->size() < count; ++i) {
        pSectors->push_back(Le32(header + 76 + 4 * i));
    }
    uint32_t next = Le32(header + 68);
    const uint32_t chainLength = Le32(header + 72);
    const uint32_t perExtension = g.entriesPerSector - 1;  // the last entry links onwards
    for (uint32_t link = 0; pSectors->size() < count; ++link) {
        if (link >= chainLength || next >= kMaxRegularSector) return false;
        const unsigned char* ext = ctx.View(SectorOffset(g, next), g.sectorBytes);
        if (ext == nullptr) return false;
        for (uint32_t i = 0; i < perExtension && pSectors->size() < count; ++i) {
            pSectors->push_back(Le32(ext + 4 * i));
        }
        next = Le32(ext + 4 * perExtension);
    }
    for (const uint32_t s : *pSectors) {
        if (s >= kMaxRegularSector) return false;
    }
    return true;
}

// Index of the last non-free entry in one table sector, or -1.
int64_t LastUsedEntry(const unsigned char* table, uint32_t entries) {
    for (uint32_t i = entries; i-- > 0;) {
        if (Le32(table + 4 * i) != kFreeSector) return i;
    }
    return -1;
}

}  // namespace

FormatLength CompoundLength(CarveContext& ctx) {
    const unsigned char* view = ctx.View(0, kHeaderBytes);
    if (view == nullptr || std::memcmp(view, kMagic, sizeof kMagic) != 0) {
        return FormatLength::Rejected();
    }
    unsigned char header[kHeaderBytes];
    std::memcpy(header, view, kHeaderBytes);
    const uint16_t shift = Le16(header + 30);
    // Only the sector shift matters to the walk; a byte-order mark other than FFFE is left
    // to the table to prove or refute.
    if (shift != 9 && shift != 12) return FormatLength::Rejected();
    Geometry g;
    g.sectorBytes = uint64_t{1} << shift;
    g.entriesPerSector = static_cast<uint32_t>(g.sectorBytes / 4);
    std::vector<uint32_t> tableSectors;
    if (!ListTableSectors(ctx, g, header, &tableSectors))
        return FormatLength::AtLeast(g.sectorBytes);
    // Later table sectors map later file sectors, so the first one from the end that marks
    // anything used holds the file's last sector.
    for (size_t k = tableSectors.size(); k-- > 0;) {
        const unsigned char* table = ctx.View(SectorOffset(g, tableSectors[k]), g.sectorBytes);
        if (table == nullptr) return FormatLength::AtLeast(g.sectorBytes);
        const int64_t last = LastUsedEntry(table, g.entriesPerSector);
        if (last < 0) continue;
        const uint64_t lastSector = uint64_t{k} * g.entriesPerSector + static_cast<uint64_t>(last);
        // The table marks its own sectors used; one lying past the end it gives is no table.
        for (const uint32_t s : tableSectors) {
            if (s > lastSector) return FormatLength::AtLeast(g.sectorBytes);
        }
        const uint64_t bytes = (lastSector + 2) * g.sectorBytes;
        if (bytes > ctx.BytesToDeviceEnd()) return FormatLength::AtLeast(g.sectorBytes);
        return FormatLength::Exact(bytes);
    }
    return FormatLength::AtLeast(g.sectorBytes);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kCompoundMagic4[] = {0xD0, 0xCF, 0x11, 0xE0};

constexpr unsigned char kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

constexpr unsigned char ucDocTailHead[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};

constexpr unsigned char ucDocTail[] = {'M', 'i', 'c', 'r', 'o',  's',  'o',  'f', 't',
                                       ' ', 'O', 'f', 'f', 'i',  'c',  'e',  ' ', 'W',
                                       'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};

constexpr size_t kDirEntryBytes = 128;

constexpr size_t kHeaderDifatEntries = 109;

// Compound-file sectors are 1 << shift bytes and sector s starts (s + 1) sectors into the
// file, the header taking the first. Only 512 and 4096 are valid sizes.
size_t CompoundSectorSize(const unsigned char* header, size_t len) {
    if (len >= 32) {
        const uint16_t shift = LoadU16(header + 30);
        if (shift == 12) return 4096;
    }
    return 512;
}

// Reads compound-file sector s of the file whose header is at the scan's current sector.
bool ReadCompoundSector(CarveScan& scan, uint64_t s, size_t sectorSize,
                        std::vector<unsigned char>& out) {
    out.resize(sectorSize);
    return ReadBytesFrom(scan, scan.m_u64CurrentSector, (s + 1) * sectorSize, sectorSize,
                         out.data());
}

bool ClassIdIs(const unsigned char* id, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return LoadU32(id) == a && LoadU32(id + 4) == b && LoadU32(id + 8) == c &&
           LoadU32(id + 12) == d;
}

// Compares a little-endian UTF-16 name with ASCII text, ignoring case.
bool WideNameBeginsWith(const unsigned char* name, size_t nameBytes, const char* text) {
    const size_t n = std::strlen(text);
    if (2 * n > nameBytes) return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned lo = name[2 * i];
        if (name[2 * i + 1] != 0 || std::tolower(lo) != std::tolower(text[i])) return false;
    }
    return true;
}

uint32_t TypeFromDirectory(const std::vector<unsigned char>& dir) {
    const unsigned char* id = dir.data() + 80;
    if (ClassIdIs(id, 0x00020906, 0, 0x000000C0, 0x46000000)) return EXT_TYPE_DOC;
    if (ClassIdIs(id, 0x00020810, 0, 0x000000C0, 0x46000000) ||
        ClassIdIs(id, 0x00020820, 0, 0x000000C0, 0x46000000)) {
        return EXT_TYPE_XLS;
    }
    if (ClassIdIs(id, 0x64818D10, 0x11CF4F9B, 0xAA00EA86, 0xE829B900)) return EXT_TYPE_PPT;
    bool contents = false;
    bool flashPage = false;
    for (size_t at = 0; at + kDirEntryBytes <= dir.size(); at += kDirEntryBytes) {
        const unsigned char* name = dir.data() + at;
        if (WideNameBeginsWith(name, 64, "WordDocument")) return EXT_TYPE_DOC;
        if (WideNameBeginsWith(name, 64, "Workbook")) return EXT_TYPE_XLS;
        // Excel 5 and 95 named their stream "Book"; the name's length (terminator included)
        // keeps "Bookmarks" and the like out.
        if (WideNameBeginsWith(name, 64, "Book") && LoadU16(name + 64) == 10) return EXT_TYPE_XLS;
        if (WideNameBeginsWith(name, 64, "PowerPoint Document")) return EXT_TYPE_PPT;
        contents =
            contents || (WideNameBeginsWith(name, 64, "Contents") && LoadU16(name + 64) == 18);
        flashPage = flashPage || WideNameBeginsWith(name, 64, "Page ") ||
                    WideNameBeginsWith(name, 64, "Symbol ");
    }
    // Flash authoring files keep their document in "Contents" beside "Page n"/"Symbol n".
    return contents && flashPage ? EXT_TYPE_FLA : EXT_TYPE_OLE;
}

}  // namespace

namespace carving::formats {

uint32_t IsFlaType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    // Every compound document reaches this row first, so it is typed here by what its
    // directory holds: Word, Excel, PowerPoint, a Flash authoring file or another OLE file.
    static constexpr unsigned char kMagicRest[] = {0xA1, 0xB1, 0x1A, 0xE1};
    if (len < 16 || !Has(p, len, 0, kCompoundMagic4, 4) || !Has(p, len, 4, kMagicRest, 4)) {
        return EXT_TYPE_NONE;
    }
    return GetOffice2003Type(scan, p, len);
}

uint64_t GetFLAFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    // A Flash authoring file is a compound document, measured as every other one is.
    return GetOFFICE2003FileBytesSize(scan, p, len);
}

uint32_t IsOffice2003Type(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (len < 8 || !Has(p, len, 0, kCompoundMagic, sizeof kCompoundMagic)) return EXT_TYPE_NONE;
    return GetOffice2003Type(scan, p, len);
}

uint32_t GetOffice2003Type(carving::CarveScan& scan, const unsigned char* pHeader, size_t len) {
    if (pHeader == nullptr) return EXT_TYPE_OLE;
    // Typed from a few bytes, the rest of the header comes from the device.
    unsigned char header[kHeaderBytes];
    if (len < kHeaderBytes &&
        ReadBytesFrom(scan, scan.m_u64CurrentSector, 0, kHeaderBytes, header) &&
        std::memcmp(header, pHeader, len) == 0) {
        pHeader = header;
        len = kHeaderBytes;
    }
    const size_t sectorSize = CompoundSectorSize(pHeader, len);
    std::vector<unsigned char> sector;
    if (!ReadCompoundSector(scan, 0, sectorSize, sector)) return EXT_TYPE_OLE;
    if (LoadU16(&sector[0]) == 0x0809 && LoadU16(&sector[2]) == 0x0010 &&
        LoadU16(&sector[4]) == 0x0600) {
        return EXT_TYPE_XLS;
    }
    if (LoadU16(&sector[0]) == 0xA5EC) return EXT_TYPE_DOC;
    if (len < 52) return EXT_TYPE_OLE;  // the header is cut before its directory pointer
    if (!ReadCompoundSector(scan, LoadU32(pHeader + 48), sectorSize, sector)) return EXT_TYPE_OLE;
    return TypeFromDirectory(sector);
}

uint64_t GetOFFICE2003FileBytesSizeByFileHead(carving::CarveScan& scan,
                                              const unsigned char* pHeader, size_t len) {
    if (pHeader == nullptr || len < 76) return 0;
    const uint16_t shift = LoadU16(pHeader + 30);
    if (shift != 9 && shift != 12) return 0;
    const uint64_t sectorSize = uint64_t{1} << shift;
    const uint32_t perSector = static_cast<uint32_t>(sectorSize / 4);  // allocation entries
    const uint32_t limit = (0xFFFFFFFAu >> (shift - 2)) + 1;
    const uint32_t fatSectors = LoadU32(pHeader + 44);
    const uint32_t miniSectors = LoadU32(pHeader + 64);
    const uint32_t extSectors = LoadU32(pHeader + 72);
    if (fatSectors > limit || miniSectors > limit || extSectors > limit / (perSector - 1) + 1) {
        return 0;
    }
    if (fatSectors == 0) return 0;

    // The last allocation sector: listed in the header, or in the last extension sector.
    uint32_t last = 0;
    std::vector<unsigned char> sector;
    if (extSectors == 0) {
        if (fatSectors > kHeaderDifatEntries || 76 + 4 * size_t{fatSectors} > len) return 0;
        last = LoadU32(pHeader + 76 + 4 * (fatSectors - 1));
    } else {
        if (fatSectors < kHeaderDifatEntries) return 0;
        uint32_t next = LoadU32(pHeader + 68);
        bool found = false;
        for (uint32_t i = 1; i <= extSectors; ++i) {
            if (next >= 0xFFFFFFFC || !ReadCompoundSector(scan, next, sectorSize, sector)) break;
            if (i == extSectors) {
                const uint32_t r = (fatSectors - kHeaderDifatEntries) % (perSector - 1);
                last = LoadU32(&sector[4 * (r == 0 ? perSector - 2 : r - 1)]);
                found = true;
                break;
            }
            next = LoadU32(&sector[4 * (perSector - 1)]);
        }
        if (!found) return 0;
    }

    const uint64_t covered = uint64_t{perSector} * fatSectors + 1;  // sectors + the header
    if (!ReadCompoundSector(scan, last, sectorSize, sector)) {
        return std::min<uint64_t>(covered * sectorSize, kCompoundCap);
    }
    uint64_t freeTail = 0;
    for (uint32_t i = perSector; i-- > 0 && LoadU32(&sector[4 * i]) == kFreeSector;) ++freeTail;
    return std::min<uint64_t>((covered - freeTail) * sectorSize, kCompoundCap);
}

// The allocation table as the header alone reads it, then the closing stream's name.
static uint64_t CompoundBytesByOldRules(CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t fromHeader = GetOFFICE2003FileBytesSizeByFileHead(scan, p, len);
    if (fromHeader != 0) return fromHeader;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    return StreamWith(
        scan, kCompoundCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t& length) {
            if (FindForward(c.p, c.nFileBytes, 0, ucDocTailHead, sizeof ucDocTailHead) ==
                kNotFound) {
                return 0;
            }
            const size_t tail = FindForward(c.p, c.nFileBytes, 0, ucDocTail, sizeof ucDocTail);
            if (tail == kNotFound) return 0;
            length = c.u64Offset + (tail + sizeof ucDocTail + b - 1) / b * b;
            return 1;
        });
}

uint64_t GetOFFICE2003FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::CompoundLength,
                   [&] { return CompoundBytesByOldRules(scan, p, len); });
}

}  // namespace carving::formats
