// MPEG audio streams (MP3 and its layer I/II siblings) measured frame by frame, with the tags
// that taggers put before and after the frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// One decoded MPEG audio frame header.
struct MpegFrameHeader {
    int version = 0;  // 10 for MPEG-1, 20 for MPEG-2, 25 for MPEG-2.5
    int layer = 0;    // 1..3
    bool crcProtected = false;
    bool mono = false;
    uint32_t sampleRate = 0;
    uint32_t frameBytes = 0;
};

// True when the four bytes at p form a usable frame header (no free-format bitrate, no
// reserved field values); *out receives it.
bool ParseMpegFrameHeader(const unsigned char* p, MpegFrameHeader* out);

// Bytes of the ID3v2 tag whose header starts at p (header, body and footer), or 0 when the
// ten bytes at p are not such a header.
uint64_t Id3v2TagBytes(const unsigned char* p, size_t len);

// Offset of the first byte after the ID3v2 tags that start the file (0 when there are none).
uint64_t SkipLeadingId3v2(CarveContext& ctx);

// True when the buffer starts with an MPEG-1/2/2.5 layer III frame that the buffer itself
// confirms: the next frame's header where this one ends, or an encoder's info header inside it.
bool StartsWithLayer3Stream(const unsigned char* p, size_t len);

// An MP3 file: optional leading ID3v2 tags, a run of consistent frames, then any of the APE,
// Lyrics3 and ID3v1 tags. Exact once a few frames (or a whole short stream closed by a tag or
// confirmed by its info header) were walked; Rejected when neither a tag nor a frame starts it.
FormatLength Mp3Length(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMp3Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsMp2Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMP3FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMp3Formats[] = {
    {"mp3", EXT_TYPE_MP3, IsMp3Type, GetMP3FileBytesSize},
};

inline constexpr FormatRow kMp2Formats[] = {
    {"mp2", EXT_TYPE_MP2, IsMp2Type, CFileTypeJudge::GetDefaultAudioFileBytesSize},
};

}  // namespace carving::formats
