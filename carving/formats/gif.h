// GIF length from its block structure.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact after the trailer byte that follows the last image or extension; Rejected without
// the "GIF" signature; AtLeast at an unknown block introducer or the device's end.
FormatLength GifLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsGifType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetGIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
// 1 with the offset just past the end marker when one in pBuf can end a file.
int GetGIFFileTailOffset(carving::CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                         size_t& uOffset);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kGifFormats[] = {
    {"gif", EXT_TYPE_GIF, IsGifType, GetGIFFileBytesSize},
};

}  // namespace carving::formats
