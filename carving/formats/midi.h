// Standard MIDI files: a header chunk and its tracks.
#pragma once

#include "carving/file_type_judge.h"

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMidType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMIDFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMidiFormats[] = {
    {"mid", EXT_TYPE_MID, IsMidType, GetMIDFileBytesSize},
};

}  // namespace carving::formats
