// ZIP archives and the containers built on them (Office Open XML, OpenDocument, jar...),
// measured by walking their records.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// Walks the local entries (an entry whose sizes follow its data is crossed by finding its
// data descriptor), the central directory, the Zip64 end records and the end-of-central-
// directory record. Exact at the end of that record and its comment when the record's
// central-directory offset, size and entry count agree with what the walk found; otherwise
// AtLeast the bytes walked. Never Rejected: a damaged first entry still leaves the old rule.
FormatLength ZipLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsOffice2007Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsZipType(carving::CarveScan& scan, const unsigned char* p, size_t len);
// Typing behind the Office Open XML recogniser: 1 docx, 4 xlsx, 6 pptx or 49 for a ZIP
// container starting at the scan's m_u64CurrentSector.
uint32_t GetOffice2007Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetOFFICE2007FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetZIPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kOfficeOpenXmlFormats[] = {
    {"docx", EXT_TYPE_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"docm", EXT_TYPE_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"dotm", EXT_TYPE_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"dotx", EXT_TYPE_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsx", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsb", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsm", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsx", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlam", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xltx", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xltm", EXT_TYPE_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"pptx", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"pptm", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"potx", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"potm", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"ppsx", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"ppsm", EXT_TYPE_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"mso07", EXT_TYPE_MSO07, IsOffice2007Type, GetOFFICE2007FileBytesSize},
};

inline constexpr FormatRow kZipFormats[] = {
    {"zip", EXT_TYPE_ZIP, IsZipType, GetZIPFileBytesSize},
};

}  // namespace carving::formats
