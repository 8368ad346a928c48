// JPEG length from the marker segments and the entropy-coded data between them.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// True for a marker that may open a JPEG right after its start-of-image marker.
bool IsJpegFirstSegmentMarker(unsigned char marker);

// Exact at the end-of-image marker; Rejected when the start-of-image marker or the first
// segment is broken; AtLeast when an invalid marker, an impossible length or the device end
// comes first.
FormatLength JpegLength(CarveContext& ctx);

}  // namespace carving::formats
