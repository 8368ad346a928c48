// SQLite database files, measured from the page size and page count in their header.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact = page count x page size when the header's in-header page count is current (the
// version-valid-for number equals the change counter); AtLeast one page when it is stale or
// would run past the device; Rejected when the header or its page size is not SQLite's.
FormatLength SqliteLength(CarveContext& ctx);

}  // namespace carving::formats
