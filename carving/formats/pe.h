// Windows executables (EXE, DLL, SYS), recognised but never carved.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsPeType(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kPeFormats[] = {
    {"exe", EXT_TYPE_EXE, IsPeType, nullptr},
    {"dll", EXT_TYPE_DLL, IsPeType, nullptr},
    {"sys", EXT_TYPE_SYS, IsPeType, nullptr},
};

}  // namespace carving::formats
