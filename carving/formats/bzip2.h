// bzip2 files: one stream or several concatenated, measured by decompressing them.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of the last stream whose end-of-stream marker carries the combined CRC of
// the blocks before it (found by their markers, or by decompressing when a marker is in
// doubt); Rejected when the first stream loses its markers or does not decompress; AtLeast
// when the device ends (or the scan stops) inside the first stream.
FormatLength Bzip2Length(CarveContext& ctx);

// "BZh" and a block size digit, then a block's or the end-of-stream marker's magic.
bool LooksLikeBzip2(const unsigned char* p, size_t len);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsBz2Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetBZ2FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kBzip2Formats[] = {
    {"bz2", EXT_TYPE_BZ2, IsBz2Type, GetBZ2FileBytesSize},
};

}  // namespace carving::formats
