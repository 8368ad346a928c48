// JPEG length from the marker segments and the entropy-coded data between them.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// True for a marker that may open a JPEG right after its start-of-image marker.
bool IsJpegFirstSegmentMarker(unsigned char marker);

// Exact at the end-of-image marker; Rejected when the start-of-image marker or the first
// segment is broken; AtLeast when an invalid marker, an impossible length or the device end
// comes first.
FormatLength JpegLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsJpgType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetJPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
// 1 with the offset just past the end marker when one in pBuf can end a file.
int GetJPGFileTailOffset(carving::CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                         size_t& uOffset);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kJpegFormats[] = {
    {"jpg", EXT_TYPE_JPG, IsJpgType, GetJPGFileBytesSize},
    {"jpeg", EXT_TYPE_JPG, IsJpgType, GetJPGFileBytesSize},
    {"jpe", EXT_TYPE_JPG, IsJpgType, GetJPGFileBytesSize},
    {"jfif", EXT_TYPE_JPG, IsJpgType, GetJPGFileBytesSize},
};

}  // namespace carving::formats
