// TrueType fonts.
#include "carving/formats/ttf.h"

#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace {

constexpr unsigned char kTtfVersion[] = {0x00, 0x01, 0x00, 0x00};

}  // namespace

namespace carving::formats {

uint32_t IsTtfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 0, kTtfVersion, 4)) return EXT_TYPE_NONE;
    const size_t tables = LoadBE16(p + 4);
    if (tables == 0 || LoadU16(p + 6) == 0 || LoadU16(p + 8) == 0 || LoadU16(p + 10) == 0) {
        return EXT_TYPE_NONE;
    }
    if (16 * tables + 16 > len) return EXT_TYPE_NONE;
    // A font's first table after the directory may hold anything (DejaVu's is FFTM, whose
    // version reads 00 00 00 01), so the directory itself is what is checked: every record
    // names its table with four printable characters and points past the directory.
    const size_t directoryEnd = 12 + 16 * tables;
    for (size_t i = 0; i < tables; ++i) {
        const unsigned char* record = p + 12 + 16 * i;
        for (size_t c = 0; c < 4; ++c) {
            if (record[c] < 0x20 || record[c] > 0x7E) return EXT_TYPE_NONE;
        }
        if (LoadBE32(record + 8) < directoryEnd) return EXT_TYPE_NONE;
    }
    return EXT_TYPE_TTF;
}

uint64_t GetTTFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 6) return b;
    const size_t count = LoadBE16(p + 4);
    if (count == 0) return 0;
    const unsigned char* dir = LeadingFileBytes(scan, p, len, 12 + 16 * count);
    if (dir == nullptr) {
        DebugLog("ttf table directory of %zu tables unreadable\n", count);
        return b;
    }
    uint64_t end = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* record = dir + 12 + 16 * i;
        end = std::max<uint64_t>(
            end, static_cast<uint64_t>(LoadBE32(record + 8)) + LoadBE32(record + 12));
    }
    // Every table is padded to a 4-byte boundary and the lengths leave the padding out, so
    // the file ends at the last table's end rounded up.
    return (end + 3) / 4 * 4;
}

}  // namespace carving::formats
