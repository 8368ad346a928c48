// Flash video: a 9-byte header, then tags, each followed by a back-pointer holding the tag's
// own size. The back-pointers let the end be found without trusting any one size field.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of the last tag whose back-pointer matches, once at least one does;
// AtLeast when no tag checks out; Rejected without a valid header and a zero first
// back-pointer.
FormatLength FlvLength(CarveContext& ctx);

}  // namespace carving::formats
