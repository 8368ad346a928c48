// FLAC streams: metadata blocks, then frames found by their synchronisation code, header
// checksum and the checksum that closes the frame before them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// FLAC's header checksum (CRC-8, polynomial 0x07) and frame checksum (CRC-16, polynomial
// 0x8005), both most significant bit first from 0, continued from crc over n bytes.
uint8_t FlacCrc8(const unsigned char* p, size_t n, uint8_t crc = 0);
uint16_t FlacCrc16(const unsigned char* p, size_t n, uint16_t crc = 0);

// True when the buffer starts with "fLaC" and a well-formed STREAMINFO block.
bool StartsWithFlacStream(const unsigned char* p, size_t len);

// A FLAC file, optionally after ID3v2 tags: the metadata chain, then frame after frame until
// STREAMINFO's sample count is reached or, when it is unknown, until no frame follows the
// last one; the last frame's end comes from its subframes and is checked by its CRC-16.
// Rejected when "fLaC" or a sound STREAMINFO is missing; AtLeast when the frames break off.
FormatLength FlacLength(CarveContext& ctx);

// An ID3v2 tag followed, within the buffer, by the start of a FLAC stream: some taggers
// put one there, and such a file belongs to the FLAC row rather than the MP3 one.
bool IsTaggedFlac(const unsigned char* p, size_t len);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsFlacType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetFLACFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kFlacFormats[] = {
    {"flac", EXT_TYPE_FLAC, IsFlacType, GetFLACFileBytesSize},
};

}  // namespace carving::formats
