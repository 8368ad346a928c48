// RealMedia files (RM, RMVB).
#include "carving/formats/realmedia.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char szRmvbTail[] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};

}  // namespace

namespace carving::formats {

uint32_t IsRmvbType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, ".RMF") ? EXT_TYPE_RMVB : EXT_TYPE_NONE;
}

uint64_t GetRMVBFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return StreamWith(scan, 4 * kGiB, EndKind::kVideo, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindForward(c.p, c.nFileBytes, 0, szRmvbTail, sizeof szRmvbTail);
        if (at == kNotFound) return 0;
        length = c.u64Offset + at + sizeof szRmvbTail;
        return 1;
    });
}

}  // namespace carving::formats
