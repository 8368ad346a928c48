// tar archives (POSIX ustar and pax, GNU), measured by walking their entry headers.
#pragma once

#include "carving/file_type_judge.h"
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

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsTarType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetTARFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kTarFormats[] = {
    {"tar", EXT_TYPE_TAR, IsTarType, GetTARFileBytesSize},
};

}  // namespace carving::formats
