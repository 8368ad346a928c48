// Compound documents (the OLE2 container of Word, Excel and PowerPoint 97-2003 and others),
// measured from their sector allocation table.
#pragma once

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving::formats {

// The file ends after the highest sector the allocation table marks used: (that sector + 2)
// sectors, the header sector included. Exact when every table sector the header and its
// extension chain name can be read; AtLeast one sector when they cannot; Rejected when the
// header is not a compound document header.
FormatLength CompoundLength(CarveContext& ctx);

}  // namespace carving::formats

namespace carving::formats {

// Recogniser and length estimator of this family's rows (their contract: file_type_judge.h).
uint32_t IsFlaType(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint32_t IsOffice2003Type(carving::CarveScan& scan, const unsigned char* p, size_t len);
// Typing behind the compound-document recogniser: 0 doc, 3 xls, 5 ppt or 2 ole for a
// compound document whose header sector is at the scan's m_u64CurrentSector.
uint32_t GetOffice2003Type(carving::CarveScan& scan, const unsigned char* pHeader, size_t len);
uint64_t GetFLAFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
uint64_t GetOFFICE2003FileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len);
// Size of a compound document from its header's allocation table, or 0 when the header
// cannot say.
uint64_t GetOFFICE2003FileBytesSizeByFileHead(carving::CarveScan& scan,
                                              const unsigned char* pHeader, size_t len);

// The signature table's rows for this family, in table order.
inline constexpr FormatRow kFlaFormats[] = {
    {"fla", EXT_TYPE_FLA, IsFlaType, GetFLAFileBytesSize},
};

inline constexpr FormatRow kCompoundFormats[] = {
    {"doc", EXT_TYPE_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dot", EXT_TYPE_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"wps", EXT_TYPE_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"wpt", EXT_TYPE_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"xls", EXT_TYPE_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"xlt", EXT_TYPE_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"xla", EXT_TYPE_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"et", EXT_TYPE_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"ett", EXT_TYPE_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"ppt", EXT_TYPE_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"pot", EXT_TYPE_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"pps", EXT_TYPE_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dps", EXT_TYPE_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dpt", EXT_TYPE_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"ole", EXT_TYPE_OLE, IsOffice2003Type, GetOFFICE2003FileBytesSize},
};

}  // namespace carving::formats
