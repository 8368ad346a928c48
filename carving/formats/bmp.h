// BMP length from its file header checked against its pixel data.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// The header's plausibility as a Windows or OS/2 bitmap, from its first len bytes (at least
// 40): the header size, pixel offset, planes, bit depth and dimensions.
bool IsPlausibleBmpHeader(const unsigned char* p, size_t len);

// Exact at the file size field when the pixel offset plus the pixel data (row-padded, or the
// stored image size when compressed) and any embedded colour profile end at it or a little
// before; AtLeast when the header is implausible or disagrees; Rejected without "BM".
FormatLength BmpLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsBmpType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetBMPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kBmpFormats[] = {
    {"bmp", EXT_TYPE_BMP, IsBmpType, GetBMPFileBytesSize},
    {"dib", EXT_TYPE_BMP, IsBmpType, GetBMPFileBytesSize},
};

}  // namespace carving::formats
