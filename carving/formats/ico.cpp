// Windows icons (ICO).
#include "carving/formats/ico.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace carving::formats {

uint32_t IsIcoType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kIco[] = {0x00, 0x00, 0x01, 0x00};
    if (len < 16 || !Has(p, len, 0, kIco, 4)) return EXT_TYPE_NONE;
    const size_t count = LoadU16(p + 4);
    if (count == 0 || 6 + 16 * count > len) return EXT_TYPE_NONE;
    // The images follow the directory back to back, in directory order.
    uint64_t expected = 6 + 16 * count;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* entry = p + 6 + 16 * i;
        if (entry[3] != 0 || LoadU32(entry + 12) != expected) return EXT_TYPE_NONE;
        expected = static_cast<uint64_t>(LoadU32(entry + 12)) + LoadU32(entry + 8);
    }
    return EXT_TYPE_ICO;
}

uint64_t GetICOFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 6) return b;
    const size_t count = LoadU16(p + 4);
    if (count == 0) return b;
    const size_t last = 6 + 16 * (count - 1);
    const unsigned char* dir = LeadingFileBytes(scan, p, len, last + 16);
    if (dir == nullptr) {
        DebugLog("ico directory of %zu entries unreadable\n", count);
        return b;
    }
    return static_cast<uint64_t>(LoadU32(dir + last + 12)) + LoadU32(dir + last + 8);
}

}  // namespace carving::formats
