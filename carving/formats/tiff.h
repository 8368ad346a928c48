// TIFF (and TIFF-based camera raw) length from its image file directories.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// The byte order a TIFF-family header announces: its classic, Olympus or Panasonic magic.
enum class TiffMagic : uint8_t { kNone, kClassic, kOlympus, kPanasonic };
TiffMagic TiffMagicOf(const unsigned char* p, size_t len);

// Exact at the furthest byte any directory, out-of-line value, strip, tile or embedded
// preview reaches, walking the directory chain and its sub-, Exif, GPS and interoperability
// directories; Rejected without a magic or a readable first directory; AtLeast when strips
// lack their byte counts, a directory is unreadable or the structure runs past the device.
FormatLength TiffLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsTifType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetTIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kTiffFormats[] = {
    {"tif", EXT_TYPE_TIF, IsTifType, GetTIFFileBytesSize},
    {"tiff", EXT_TYPE_TIF, IsTifType, GetTIFFileBytesSize},
};

inline constexpr FormatRow kTiffRawFormats[] = {
    {"cr2", EXT_TYPE_CR2, IsTifType, GetTIFFileBytesSize},
    {"nef", EXT_TYPE_NEF, IsTifType, GetTIFFileBytesSize},
    {"arw", EXT_TYPE_ARW, IsTifType, GetTIFFileBytesSize},
    {"dng", EXT_TYPE_DNG, IsTifType, GetTIFFileBytesSize},
    {"orf", EXT_TYPE_ORF, IsTifType, GetTIFFileBytesSize},
    {"rw2", EXT_TYPE_RW2, IsTifType, GetTIFFileBytesSize},
    {"pef", EXT_TYPE_PEF, IsTifType, GetTIFFileBytesSize},
};

}  // namespace carving::formats
