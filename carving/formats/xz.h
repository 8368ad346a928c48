// xz files: one stream, or several with stream padding between them, measured by decoding.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// Exact at the footer of the last stream that decodes with its checks; Rejected when the
// first stream is corrupt; AtLeast when the device ends (or the scan stops) inside the first
// stream or decoding it would need more memory than a carve may take.
FormatLength XzLength(CarveContext& ctx);

// The stream header: magic, flags naming a known check, and the flags' CRC-32.
bool LooksLikeXz(const unsigned char* p, size_t len);

}  // namespace carving::formats
