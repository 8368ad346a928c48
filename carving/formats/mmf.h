// Synthetic music mobile application files (MMF).
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMmfType(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMmfFormats[] = {
    {"mmf", EXT_TYPE_MMF, IsMmfType, CFileTypeJudge::GetDefaultAudioFileBytesSize},
};

}  // namespace carving::formats
