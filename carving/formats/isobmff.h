// Box-structured media files: MP4, QuickTime, 3GP, M4A/M4V, HEIF/HEIC, AVIF and CR3. A file
// is a run of top-level boxes, each carrying its own size, so its end is the end of the last
// box that still belongs to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// The family named by the brands of a leading "ftyp" box.
enum class IsoBmffFamily : uint8_t {
    kNone,  // no ftyp box at offset 0, or none of its brands is one we carve
    kMp4,
    kMov,
    k3gp,
    kM4a,
    kM4v,
    kHeic,
    kAvif,
    kCr3,
};

// Looks only at [p, p + len): the ftyp box must lie wholly inside it.
IsoBmffFamily IsoBmffFamilyOf(const unsigned char* p, size_t len);

// A QuickTime movie written before "ftyp" existed: its first box is one of the movie's
// top-level boxes and the box after it (when it starts inside [p, p + len)) is one too.
bool LooksLikeBareQuickTime(const unsigned char* p, size_t len);

// Walks the top-level boxes from offset 0; a box of a writer's own between two known ones is
// kept. Exact at the end of the last known box when the file holds what it needs to play or
// show (a movie: moov and mdat or moof; an image: meta); AtLeast when a box runs to the end
// of the file (size 0) or past the device, or the file is incomplete; Rejected when the first
// box is not one a file of this kind starts with.
FormatLength IsoBmffLength(CarveContext& ctx);

// The box walk is asked only about files whose first box it can vouch for; the others keep
// the rule they had.
bool IsWalkableIsoBmff(const unsigned char* p, size_t len);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsMp4Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t Is3pgType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsMovType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetMP4FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetHEIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kMp4Formats[] = {
    {"mp4", EXT_TYPE_MP4, IsMp4Type, GetMP4FileBytesSize},
};

inline constexpr FormatRow k3gpFormats[] = {
    {"3gp", EXT_TYPE_3GP, Is3pgType, CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

inline constexpr FormatRow kMovFormats[] = {
    {"mov", EXT_TYPE_MOV, IsMovType, CFileTypeJudge::GetDefaultVedioFileBytesSize},
};

inline constexpr FormatRow kIsoBmffAddedFormats[] = {
    {"heic", EXT_TYPE_HEIC, IsMp4Type, GetHEIFFileBytesSize},
    {"heif", EXT_TYPE_HEIC, IsMp4Type, GetHEIFFileBytesSize},
    {"avif", EXT_TYPE_AVIF, IsMp4Type, GetHEIFFileBytesSize},
    {"m4a", EXT_TYPE_M4A, IsMp4Type, GetMP4FileBytesSize},
    {"cr3", EXT_TYPE_CR3, IsMp4Type, GetMP4FileBytesSize},
    {"m4v", EXT_TYPE_M4V, IsMp4Type, GetMP4FileBytesSize},
};

}  // namespace carving::formats
