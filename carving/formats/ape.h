// Monkey's Audio (APE) files.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsApeType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetAPEFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kApeFormats[] = {
    {"ape", EXT_TYPE_APE, IsApeType, GetAPEFileBytesSize},
};

}  // namespace carving::formats
