// GIF length from its block structure.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact after the trailer byte that follows the last image or extension; Rejected without
// the "GIF" signature; AtLeast at an unknown block introducer or the device's end.
FormatLength GifLength(CarveContext& ctx);

}  // namespace carving::formats
