// tar archives (POSIX ustar and pax, GNU), measured by walking their entry headers.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// A 512-byte entry header whose stored checksum matches its bytes.
bool TarHeaderChecksumMatches(const unsigned char* block);
// The first header of an archive: the ustar magic (POSIX or GNU) and a matching checksum.
bool LooksLikeTar(const unsigned char* p, size_t len);

// Exact at the end of the two zero blocks that close the archive, with the zero blocks that
// follow up to the next 10240-byte record boundary (GNU tar's padding); AtLeast at the last
// good entry when a header is broken or the device ends first; Rejected when the first
// header is not a tar header.
FormatLength TarLength(CarveContext& ctx);

}  // namespace carving::formats
