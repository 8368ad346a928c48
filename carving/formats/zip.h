// ZIP archives and the containers built on them (Office Open XML, OpenDocument, jar...),
// measured by walking their records.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Walks the local entries (an entry whose sizes follow its data is crossed by finding its
// data descriptor), the central directory, the Zip64 end records and the end-of-central-
// directory record. Exact at the end of that record and its comment when the record's
// central-directory offset, size and entry count agree with what the walk found; otherwise
// AtLeast the bytes walked. Never Rejected: a damaged first entry still leaves the old rule.
FormatLength ZipLength(CarveContext& ctx);

}  // namespace carving::formats
