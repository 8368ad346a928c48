// MPEG transport streams, plain (188-byte packets) and with four-byte time codes (MTS).
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsTsType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsMtsType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetTSFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kTsFormats[] = {
    {"ts", EXT_TYPE_TS, IsTsType, GetTSFileBytesSize},
};

inline constexpr FormatRow kMtsFormats[] = {
    {"mts", EXT_TYPE_MTS, IsMtsType, CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

}  // namespace carving::formats
