// MPEG-1 and MPEG-2 program streams (.mpg, .mpeg, .vob): packs, each a pack header and
// packets that carry their own lengths, closed by a program end code.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Walks pack headers, system headers and packets from offset 0. Exact after a program end
// code. Exact at the end of the last whole packet when the walk, having passed at least two
// packs, meets bytes that open no start code (most writers leave out the end code) or a pack
// whose clock runs backwards (the next file); zeros that pad packs out to 2048-byte sectors
// are stepped over, and kept at the end. AtLeast when the walk meets a start code it cannot
// follow or runs off the device, when the first pack header's marker bits are wrong, and for
// a bare video stream (000001B3). Rejected when the file opens with neither.
FormatLength MpegPsLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMpgType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMpegPsFormats[] = {
    {"mpeg", EXT_TYPE_MPEG, IsMpgType, GetMPGFileBytesSize},
    {"mpg", EXT_TYPE_MPEG, IsMpgType, GetMPGFileBytesSize},
    {"vob", EXT_TYPE_MPEG, IsMpgType, GetMPGFileBytesSize},
};

}  // namespace carving::formats
