// RIFF files: AVI, WAV and WebP. A RIFF file is one chunk whose size covers everything after
// its first eight bytes; a large AVI appends further "RIFF....AVIX" chunks to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carving/carve_scan.h"
#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Recogniser for WebP images: "RIFF", a size, "WEBP" and a first chunk of VP8, VP8L or VP8X
// that fits in it. EXT_TYPE_WEBP or EXT_TYPE_NONE.
uint32_t IsWebpType(CarveScan& scan, const unsigned char* p, size_t len);

// 8 + the RIFF size (+1 when odd), trusted only when the chunks inside add up to it exactly;
// an AVI's extension chunks are followed the same way. Exact when they all add up; AtLeast
// when they do not or the size runs past the device; Rejected without a RIFF header.
FormatLength RiffLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsAviType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsWavType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetAVIFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetWEBPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetWAVFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kAviFormats[] = {
    {"avi", EXT_TYPE_AVI, IsAviType, GetAVIFileBytesSize},
};

inline constexpr FormatRow kWavFormats[] = {
    {"wav", EXT_TYPE_WAV, IsWavType, GetWAVFileBytesSize},
};

inline constexpr FormatRow kWebpFormats[] = {
    {"webp", EXT_TYPE_WEBP, IsWebpType, GetWEBPFileBytesSize},
};

}  // namespace carving::formats
