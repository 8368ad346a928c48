// TIFF (and TIFF-based camera raw) length from its image file directories.
#pragma once

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
