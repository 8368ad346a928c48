// Ghost disk images (GHO), recognised but never carved.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsGhoType(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kGhostFormats[] = {
    {"gho", EXT_TYPE_GHO, IsGhoType, nullptr},
};

}  // namespace carving::formats
