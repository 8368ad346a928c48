// Windows Media (ASF) files: WMV, WMA and ASF.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsAsfType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetASFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kAsfFormats[] = {
    {"wmv", EXT_TYPE_WMV, IsAsfType, GetASFFileBytesSize},
    {"asf", EXT_TYPE_WMV, IsAsfType, GetASFFileBytesSize},
    {"wma", EXT_TYPE_WMV, IsAsfType, GetASFFileBytesSize},
};

}  // namespace carving::formats
