// RAR archives.
#include "carving/formats/rar.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char kRarMagic[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};

constexpr unsigned char sm_ucWinrarTail[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

}  // namespace

namespace carving::formats {

uint32_t IsRarType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, kRarMagic, sizeof kRarMagic) ? EXT_TYPE_RAR : EXT_TYPE_NONE;
}

uint64_t GetRARFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    return StreamWith(scan, 4 * kGiB, EndKind::kFile, [b](const StreamChunk& c, uint64_t& length) {
        for (size_t at = FindForward(c.p, c.nFileBytes, 0, sm_ucWinrarTail, 7); at != kNotFound;
             at = FindForward(c.p, c.nFileBytes, at + 1, sm_ucWinrarTail, 7)) {
            if (PassesZeroFill(c.p, c.nBytes, at + 7, b)) {
                length = c.u64Offset + at + 7;
                return 1;
            }
        }
        return 0;
    });
}

}  // namespace carving::formats
