// Ogg streams (Vorbis, Opus, FLAC, Speex, Theora) measured page by page.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Ogg's page checksum: CRC-32 with polynomial 0x04C11DB7, most significant bit first, starting
// from 0 and not inverted, continued from crc over n more bytes.
uint32_t OggCrc(const unsigned char* p, size_t n, uint32_t crc = 0);

// True when the buffer starts with the first page of a logical stream (beginning-of-stream set,
// version 0, granule 0) whose checksum holds and whose first packet names a known codec.
bool StartsWithOggStream(const unsigned char* p, size_t len);

// Walks the pages, checking each checksum and each stream's page sequence; the file ends after
// the page that closes the last open logical stream. Rejected when the first page does not
// begin a stream or fails its checksum; AtLeast when the walk breaks before every stream ends.
FormatLength OggLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsOggType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetOGGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kOggFormats[] = {
    {"ogg", EXT_TYPE_OGG, IsOggType, GetOGGFileBytesSize},
    {"oga", EXT_TYPE_OGG, IsOggType, GetOGGFileBytesSize},
    {"ogv", EXT_TYPE_OGG, IsOggType, GetOGGFileBytesSize},
    {"opus", EXT_TYPE_OGG, IsOggType, GetOGGFileBytesSize},
};

}  // namespace carving::formats
