// 7-Zip archives.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t Is7zType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t Get7ZFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kSevenZipFormats[] = {
    {"7z", EXT_TYPE_7Z, Is7zType, Get7ZFileBytesSize},
};

}  // namespace carving::formats
