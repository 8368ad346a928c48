// RAR archives.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsRarType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetRARFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kRarFormats[] = {
    {"rar", EXT_TYPE_RAR, IsRarType, GetRARFileBytesSize},
};

}  // namespace carving::formats
