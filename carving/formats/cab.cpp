// Cabinet archives (CAB).
#include "carving/formats/cab.h"

#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace carving::formats {

uint32_t IsCabType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 36 && HasText(p, len, 0, "MSCF") ? EXT_TYPE_CAB : EXT_TYPE_NONE;
}

uint64_t GetCABFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 36) return static_cast<uint64_t>(ContextBytesPerSector(scan));
    return std::min<uint64_t>(LoadU32(p + 8), kGiB);
}

}  // namespace carving::formats
