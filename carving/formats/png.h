// PNG length from its chunk list.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact after the IEND chunk, every chunk's CRC checked on the way; Rejected without the
// signature; AtLeast when a chunk (the first, IHDR, included) has a bad length, type or CRC,
// or the device ends first.
FormatLength PngLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsPngType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetPNGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
// 1 with the offset just past the end marker when one in pBuf can end a file.
int GetPNGFileTailOffset(carving::CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                         size_t& uOffset);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kPngFormats[] = {
    {"png", EXT_TYPE_PNG, IsPngType, GetPNGFileBytesSize},
};

}  // namespace carving::formats
