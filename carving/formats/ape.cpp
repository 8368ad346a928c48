// Monkey's Audio (APE) files.
#include "carving/formats/ape.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char sz_ApeTail[] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};

}  // namespace

namespace carving::formats {

uint32_t IsApeType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, "MAC ") ? EXT_TYPE_APE : EXT_TYPE_NONE;
}

uint64_t GetAPEFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return StreamWith(scan, 2 * kGiB, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t header = FindForward(c.p, c.nFileBytes, 0, sz_ApeTail, sizeof sz_ApeTail);
        if (header == kNotFound) return 0;
        const size_t footer = FindForward(c.p, c.nFileBytes, header + sizeof sz_ApeTail, sz_ApeTail,
                                          sizeof sz_ApeTail);
        length = footer == kNotFound ? c.u64Offset + c.nFileBytes : c.u64Offset + footer + 32;
        return 1;
    });
}

}  // namespace carving::formats
