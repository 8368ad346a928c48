// Flash movies (SWF), plain or compressed.
#include "carving/formats/swf.h"

#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace carving::formats {

uint32_t IsSwfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 8) return EXT_TYPE_NONE;
    const unsigned version = p[3];
    if (HasText(p, len, 0, "CWS") && version >= 6 && version <= 15) return EXT_TYPE_SWF;
    if (HasText(p, len, 0, "FWS") && version < 6) return EXT_TYPE_SWF;
    return EXT_TYPE_NONE;
}

uint64_t GetSWFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 8 || p[0] != 'F') return b;
    return std::min<uint64_t>(LoadU32(p + 4), 256 * kMiB);
}

}  // namespace carving::formats
