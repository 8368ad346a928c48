// PNG length from its chunk list.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact after the IEND chunk, every chunk's CRC checked on the way; Rejected without the
// signature; AtLeast when a chunk (the first, IHDR, included) has a bad length, type or CRC,
// or the device ends first.
FormatLength PngLength(CarveContext& ctx);

}  // namespace carving::formats
