// TrueType fonts.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsTtfType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetTTFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kTtfFormats[] = {
    {"ttf", EXT_TYPE_TTF, IsTtfType, GetTTFFileBytesSize},
};

}  // namespace carving::formats
