// bzip2 files: one stream or several concatenated, measured by decompressing them.
#pragma once

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
