// Synthetic music mobile application files (MMF).
#include "carving/formats/mmf.h"

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace carving::formats {

uint32_t IsMmfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, "MMMD") ? EXT_TYPE_MMF : EXT_TYPE_NONE;
}

}  // namespace carving::formats
