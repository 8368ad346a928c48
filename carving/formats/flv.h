// Flash video: a 9-byte header, then tags, each followed by a back-pointer holding the tag's
// own size. The back-pointers let the end be found without trusting any one size field.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of the last tag whose back-pointer matches, once at least one does;
// AtLeast when no tag checks out; Rejected without a valid header and a zero first
// back-pointer.
FormatLength FlvLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsFlvType(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kFlvFormats[] = {
    {"flv", EXT_TYPE_FLV, IsFlvType, CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

}  // namespace carving::formats
