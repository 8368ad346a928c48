// Photoshop document (PSD and large-document PSB) length from its sections.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// The 26-byte header's version, channel count, dimensions and depth are ones Photoshop writes.
bool IsPlausiblePsdHeader(const unsigned char* p, size_t len);

// Exact after the merged image data (raw, or run-length coded with its byte-count table),
// past the colour-mode, resource and layer sections; Rejected without "8BPS"; AtLeast when
// the header is implausible, the image data is zip-compressed or the device ends first.
FormatLength PsdLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsPsdType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetPSDFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kPsdFormats[] = {
    {"psd", EXT_TYPE_PSD, IsPsdType, GetPSDFileBytesSize},
};

}  // namespace carving::formats
