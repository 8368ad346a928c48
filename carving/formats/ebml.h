// Matroska and WebM: an EBML header naming the document type, then one Segment element. A
// Segment written to a seekable file records its size; one written live leaves it unknown,
// and then its end is wherever its children stop following one another.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of a Segment of known size that fits on the device; for a Segment of
// unknown size, Exact at the first element that is neither a Segment child nor a child of a
// Cluster of unknown size, once a Cluster was seen. AtLeast otherwise; Rejected without an
// EBML header of DocType "matroska" or "webm" followed by a Segment.
FormatLength EbmlLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMkvType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMKVFileBytes(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMatroskaFormats[] = {
    {"mkv", EXT_TYPE_MKV, IsMkvType, GetMKVFileBytes},
};

inline constexpr FormatRow kWebmFormats[] = {
    {"webm", EXT_TYPE_MKV, IsMkvType, GetMKVFileBytes},
};

}  // namespace carving::formats
