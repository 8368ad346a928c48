// MXF files, recognised by their header partition key.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMxfType(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMxfFormats[] = {
    {"mxf", EXT_TYPE_MXF, IsMxfType, CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

}  // namespace carving::formats
