// CFileTypeJudge: which known file format starts in a sector, and how long a file that
// starts there is.
//
// One ordered table, szExtendNameAndType, ties each extension to a type code, a recogniser
// and a length estimator. A buffer takes the code of the first row whose recogniser accepts
// it; the order is behaviour (every compound document walks to row 25 and is typed fla;
// MPEG rows come before MP4), so it must never be re-sorted.
//
// Recognisers are functions of (scan, buffer, length) that read nothing outside [p, p + len)
// and give a type code or EXT_TYPE_NONE (49). The transport-stream, compound-document and
// Office Open XML recognisers also read further sectors through the scan's reader.
// Estimators take a file's first sector and give its length in bytes, reading onwards
// through the same scan. Neither ever fails loudly: a short or corrupt input simply gives
// "no format" or the length reached so far.
//
// Each format family (carving/formats/<family>.h/.cpp) declares its recognisers and
// estimators beside its structural length walk, with its rows as FormatRow records; the
// table is those records joined in its fixed order (file_type_judge.cpp). The judge keeps
// the dispatch: the table walk, extension lookups, ParseFileBuf and the shared fallbacks.
//
// Everything a scan keeps between sectors lives in the carving::CarveScan it passes in; the
// judge itself holds no mutable state, so scans in different threads do not meet here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "carving/carve_scan.h"
#include "carving/sector_reader.h"
#include "foundation/file_node.h"

class CDiskReader;

enum EXTEND_NAME_TYPE : uint32_t {
    EXT_TYPE_DOC = 0,
    EXT_TYPE_DOCX = 1,
    EXT_TYPE_OLE = 2,
    EXT_TYPE_XLS = 3,
    EXT_TYPE_XLSX = 4,
    EXT_TYPE_PPT = 5,
    EXT_TYPE_PPTX = 6,
    EXT_TYPE_MSO07 = 7,
    EXT_TYPE_PDF = 8,
    EXT_TYPE_GHO = 9,
    EXT_TYPE_JPG = 10,
    EXT_TYPE_MP2 = 11,
    EXT_TYPE_MP3 = 12,
    EXT_TYPE_MID = 13,
    EXT_TYPE_MMF = 14,
    EXT_TYPE_MPEG = 15,
    EXT_TYPE_3GP = 16,
    EXT_TYPE_MOV = 17,
    EXT_TYPE_MP4 = 18,
    EXT_TYPE_MKV = 19,
    EXT_TYPE_TS = 20,
    EXT_TYPE_WAV = 21,
    EXT_TYPE_AVI = 22,
    EXT_TYPE_RMVB = 23,
    EXT_TYPE_WMV = 24,
    EXT_TYPE_APE = 25,
    EXT_TYPE_SWF = 26,
    EXT_TYPE_FLV = 27,
    EXT_TYPE_PSD = 28,
    EXT_TYPE_BMP = 29,
    EXT_TYPE_PNG = 30,
    EXT_TYPE_GIF = 31,
    EXT_TYPE_TIF = 32,
    EXT_TYPE_CAB = 33,
    EXT_TYPE_7Z = 34,
    EXT_TYPE_ZIP = 35,
    EXT_TYPE_GZ = 36,
    EXT_TYPE_RAR = 37,
    EXT_TYPE_PST = 38,
    EXT_TYPE_DB = 39,
    EXT_TYPE_DBX = 40,
    EXT_TYPE_EXE = 41,
    EXT_TYPE_DLL = 42,
    EXT_TYPE_SYS = 43,
    EXT_TYPE_FLA = 44,
    EXT_TYPE_TTF = 45,
    EXT_TYPE_ICO = 46,
    EXT_TYPE_MTS = 47,
    EXT_TYPE_MXF = 48,
    EXT_TYPE_NONE = 49,  // nothing recognised; also ends the table
    // Formats added after the first 87 rows; their rows follow those.
    EXT_TYPE_WEBP = 50,
    EXT_TYPE_HEIC = 51,
    EXT_TYPE_AVIF = 52,
    EXT_TYPE_M4A = 53,
    EXT_TYPE_CR3 = 54,
    EXT_TYPE_FLAC = 55,
    EXT_TYPE_OGG = 56,
    EXT_TYPE_BZ2 = 57,
    EXT_TYPE_XZ = 58,
    EXT_TYPE_TAR = 59,
    EXT_TYPE_CR2 = 60,
    EXT_TYPE_NEF = 61,
    EXT_TYPE_ARW = 62,
    EXT_TYPE_DNG = 63,
    EXT_TYPE_ORF = 64,
    EXT_TYPE_RW2 = 65,
    EXT_TYPE_PEF = 66,
    EXT_TYPE_M4V = 67,
};

using RECOGNISE_FUNC = uint32_t (*)(carving::CarveScan& scan, const unsigned char* pBuf,
                                    size_t nLen);
using ESTIMATE_FUNC = uint64_t (*)(carving::CarveScan& scan, const unsigned char* pBuf,
                                   size_t nLen);

struct EXTEND_NAME_AND_TYPE {
    const char* pszExtendName;  // lower-case ASCII
    uint32_t uType;             // EXTEND_NAME_TYPE
    RECOGNISE_FUNC pfnRecognise;
    ESTIMATE_FUNC pfnEstimate;  // null: never carved (executables, disk images)
};

namespace carving {
// One row of the signature table as a format family declares it (carving/formats/*.h); the
// table is those families' rows joined in its fixed order.
using FormatRow = EXTEND_NAME_AND_TYPE;
}  // namespace carving

// The first 87 rows keep their long-standing order and codes; rows for the formats added
// since follow them, and the terminator row with code 49 ends the table.
constexpr size_t kOriginalRowCount = 87;
extern const size_t kSignatureRowCount;  // every row but the terminator
extern const EXTEND_NAME_AND_TYPE* const szExtendNameAndType;

// Sectors the scan skips after carving a file of uType and length u64Length: one for formats
// whose length comes only from a header field that may be wrong, else the whole file (never
// fewer than one, so that the scan always moves on).
uint64_t CarvedSectorsConsumed(uint32_t uType, uint64_t u64Length, int nBytesPerSector);

class CFileTypeJudge {
public:
    // Instances only mark who types sectors; all state is in the caller's CarveScan.
    CFileTypeJudge();
    ~CFileTypeJudge();

    // ---- Typing -------------------------------------------------------------------------
    // The table walk: the first recogniser result other than 49, or 49. Dispatches on the
    // first byte, and on the few bytes further in that the any-first-byte rows need, so that
    // rows which cannot match are skipped; the result is always that of the plain walk.
    static uint32_t GetDataBufType(carving::CarveScan& scan, const unsigned char* pBuf,
                                   size_t nLen);
    // The plain row-by-row walk, kept as the reference the fast walk is checked against.
    static uint32_t GetDataBufTypeByFullWalk(carving::CarveScan& scan, const unsigned char* pBuf,
                                             size_t nLen);
    // Code of the first row whose extension equals pszExt ignoring case, or 49.
    static uint32_t GetExtendNameType(const char* pszExt);
    // Extension of the first row carrying uType, or null for 49 and unknown codes.
    static const char* GetTypeExtendName(uint32_t uType);
    // Row index of the first row carrying uType, or -1.
    static int GetTypeRowIndex(uint32_t uType);

    // 1 when the file's first sector (pBuf, read at u64Sector) carries the signature its
    // extension promises; an extension the table does not know always matches.
    static int IsFileTypeMatching(const unsigned char* pBuf, size_t nLen, const char* pszExt,
                                  CDiskReader* pReader, int nBytesPerSector, uint64_t u64Sector);
    static int IsFileTypeMatching(const unsigned char* pBuf, size_t nLen, const char* pszExt,
                                  ISectorReader* pReader, int nBytesPerSector, uint64_t u64Sector);

    // 1 when the sector is file-system structure (NTFS records, boot sectors, FAT folders).
    static int IsFileSystemSector(const unsigned char* pBuf, size_t nLen);

    // ---- Carving --------------------------------------------------------------------------
    // Types the sector at u64Sector and, when a carvable format starts there, estimates its
    // length. 0 (szName "%lld.%s", uType and u64Length written), RESULT_NOT_FOUND (nothing to
    // carve) or ERROR_USER_CANCEL. szName holds nNameSize bytes.
    static int ParseFileBuf(carving::CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                            uint64_t u64Sector, uint64_t u64ScanSectorCount,
                            uint64_t u64SectorTotalCount, int nRemaidSecond, uint64_t u64FileCount,
                            ISectorReader* pReader, int nBytesPerSector, char* szName,
                            size_t nNameSize, uint32_t& uType, uint64_t& u64Length);
    static int ParseFileBuf(carving::CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                            uint64_t u64Sector, uint64_t u64ScanSectorCount,
                            uint64_t u64SectorTotalCount, int nRemaidSecond, uint64_t u64FileCount,
                            CDiskReader* pReader, int nBytesPerSector, char* szName,
                            size_t nNameSize, uint32_t& uType, uint64_t& u64Length);

    // ---- Estimators shared by several families (first sector -> bytes) ---------------------
    // Each family's own recogniser and estimator live beside its structural walk, declared in
    // carving/formats/<family>.h with the family's rows of the table.
    static uint64_t GetDefaultVedioFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                                 size_t len);
    static uint64_t GetDefaultAudioFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                                 size_t len);
    static uint64_t GetDefaultPictureFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                                   size_t len);

    // ---- End detectors ------------------------------------------------------------------------
    // Walk the sectors of a chunk; 1 when another file or file-system structure begins in it,
    // with the bytes before that sector added to u64Length.
    static int IsEndOfFile(carving::CarveScan& scan, const unsigned char* pChunk, size_t nLen,
                           uint64_t& u64Length);
    static int IsEndOfVedioFile(carving::CarveScan& scan, const unsigned char* pChunk, size_t nLen,
                                uint64_t& u64Length);
    static int IsEndOfMPGFile(carving::CarveScan& scan, const unsigned char* pChunk, size_t nLen,
                              uint64_t& u64Length);
};
