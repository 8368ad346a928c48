// gzip files: one member or several concatenated, measured by inflating each member.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of the last member whose data inflates and whose CRC-32 and size trailer
// agree with what it inflated to; Rejected when the first member does not inflate; AtLeast
// when the device ends (or the scan stops) inside the first member.
FormatLength GzipLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsGzipType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetGZFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kGzipFormats[] = {
    {"gz", EXT_TYPE_GZ, IsGzipType, GetGZFileBytesSize},
    {"gzip", EXT_TYPE_GZ, IsGzipType, GetGZFileBytesSize},
};

}  // namespace carving::formats
