// SQLite database files, measured from the page size and page count in their header.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact = page count x page size when the header's in-header page count is current (the
// version-valid-for number equals the change counter); AtLeast one page when it is stale or
// would run past the device; Rejected when the header or its page size is not SQLite's.
FormatLength SqliteLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsSqlType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetDBFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kSqliteFormats[] = {
    {"db", EXT_TYPE_DB, IsSqlType, GetDBFileBytesSize},
};

}  // namespace carving::formats
