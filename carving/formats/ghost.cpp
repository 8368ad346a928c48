// Ghost disk images (GHO), recognised but never carved.
#include "carving/formats/ghost.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char kGhoMagic[] = {0xFE, 0xEF, 0x00, 0x00};

}  // namespace

namespace carving::formats {

uint32_t IsGhoType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, kGhoMagic, sizeof kGhoMagic) ? EXT_TYPE_GHO : EXT_TYPE_NONE;
}

}  // namespace carving::formats
