#include "carving/formats/compound.h"

#include <cstring>
#include <vector>

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
