// Cabinet archives (CAB).
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsCabType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetCABFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kCabFormats[] = {
    {"cab", EXT_TYPE_CAB, IsCabType, GetCABFileBytesSize},
};

}  // namespace carving::formats
