// RealMedia files (RM, RMVB).
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsRmvbType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetRMVBFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kRealMediaFormats[] = {
    {"rmvb", EXT_TYPE_RMVB, IsRmvbType, GetRMVBFileBytesSize},
    {"rm", EXT_TYPE_RMVB, IsRmvbType, GetRMVBFileBytesSize},
};

}  // namespace carving::formats
