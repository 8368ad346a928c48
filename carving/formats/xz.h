// xz files: one stream, or several with stream padding between them, measured by decoding.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the footer of the last stream that decodes with its checks; Rejected when the
// first stream is corrupt; AtLeast when the device ends (or the scan stops) inside the first
// stream or decoding it would need more memory than a carve may take.
FormatLength XzLength(CarveContext& ctx);

// The stream header: magic, flags naming a known check, and the flags' CRC-32.
bool LooksLikeXz(const unsigned char* p, size_t len);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsXzType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetXZFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kXzFormats[] = {
    {"xz", EXT_TYPE_XZ, IsXzType, GetXZFileBytesSize},
};

}  // namespace carving::formats
