// gzip files: one member or several concatenated, measured by inflating each member.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the end of the last member whose data inflates and whose CRC-32 and size trailer
// agree with what it inflated to; Rejected when the first member does not inflate; AtLeast
// when the device ends (or the scan stops) inside the first member.
FormatLength GzipLength(CarveContext& ctx);

}  // namespace carving::formats
