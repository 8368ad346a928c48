// Flash movies (SWF), plain or compressed.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsSwfType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetSWFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kSwfFormats[] = {
    {"swf", EXT_TYPE_SWF, IsSwfType, GetSWFFileBytesSize},
};

}  // namespace carving::formats
