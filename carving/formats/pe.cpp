// Windows executables (EXE, DLL, SYS), recognised but never carved.
#include "carving/formats/pe.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace {

constexpr size_t kPeHeaderLimit = 488;

}  // namespace

namespace carving::formats {

uint32_t IsPeType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 512 || !HasText(p, len, 0, "MZ")) return EXT_TYPE_NONE;
    const uint32_t header = LoadU32(p + 60);
    if (header > kPeHeaderLimit) return EXT_TYPE_NONE;
    static const unsigned char kPe[] = {'P', 'E', 0, 0};
    if (!Has(p, len, header, kPe, 4)) return EXT_TYPE_NONE;
    const uint16_t characteristics = LoadU16(p + header + 22);
    if ((characteristics & 0x0002) == 0) return EXT_TYPE_NONE;
    if (characteristics & 0x1000) return EXT_TYPE_SYS;
    if (characteristics & 0x2000) return EXT_TYPE_DLL;
    return EXT_TYPE_EXE;
}

}  // namespace carving::formats
