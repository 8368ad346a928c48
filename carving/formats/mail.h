// Mail stores: Outlook Express folders (DBX) and Outlook files (PST).
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsDbxEmailType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsPstEmailType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMailFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMailFormats[] = {
    {"dbx", EXT_TYPE_DBX, IsDbxEmailType, GetMailFileBytesSize},
    {"pst", EXT_TYPE_PST, IsPstEmailType, GetMailFileBytesSize},
};

}  // namespace carving::formats
