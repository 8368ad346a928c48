// CFileTypeJudge: which known file format starts in a sector, and how long a file that
// starts there is.
//
// One ordered table, szExtendNameAndType, ties each extension to a type code, a recogniser
// and a length estimator. A buffer takes the code of the first row whose recogniser accepts
// it; the order is behaviour (every compound document walks to row 25 and is typed fla;
// MPEG rows come before MP4), so it must never be re-sorted.
//
// Recognisers are functions of (buffer, length) that read nothing outside [p, p + len) and
// give a type code or EXT_TYPE_NONE (49). The transport-stream, compound-document and Office
// Open XML recognisers also read further sectors through the shared reader context below.
// Estimators take a file's first sector and give its length in bytes, reading onwards
// through the same context. Neither ever fails loudly: a short or corrupt input simply gives
// "no format" or the length reached so far.
//
// The context is static and unguarded: one scan (one worker thread) at a time may use it.
// Functions are static so that engines may call them through an instance they own or
// through the class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

using RECOGNISE_FUNC = uint32_t (*)(const unsigned char* pBuf, size_t nLen);
using ESTIMATE_FUNC = uint64_t (*)(const unsigned char* pBuf, size_t nLen);

struct EXTEND_NAME_AND_TYPE {
    const char* pszExtendName;  // lower-case ASCII
    uint32_t uType;             // EXTEND_NAME_TYPE
    RECOGNISE_FUNC pfnRecognise;
    ESTIMATE_FUNC pfnEstimate;  // null: never carved (executables, disk images)
};

// The first 87 rows keep their long-standing order and codes; rows for the formats added
// since follow them, and the terminator row with code 49 ends the table.
constexpr size_t kOriginalRowCount = 87;
extern const size_t kSignatureRowCount;  // every row but the terminator
extern const EXTEND_NAME_AND_TYPE szExtendNameAndType[];

// Sector range, both ends inclusive, of one transport stream carved in this scan.
struct _TS_FILE_RANGE_ {
    uint64_t u64FirstSector;
    uint64_t u64LastSector;
};

// Sectors the scan skips after carving a file of uType and length u64Length: one for formats
// whose length comes only from a header field that may be wrong, else the whole file (never
// fewer than one, so that the scan always moves on).
uint64_t CarvedSectorsConsumed(uint32_t uType, uint64_t u64Length, int nBytesPerSector);

class CFileTypeJudge {
public:
    // Instances only mark who uses the shared context; the work buffer is static storage, so
    // engines may each own a judge without one freeing what another still reads.
    CFileTypeJudge();
    ~CFileTypeJudge();

    // ---- Typing -------------------------------------------------------------------------
    // The table walk: the first recogniser result other than 49, or 49. Dispatches on the
    // first byte so that rows which cannot match are skipped; the result is always that of
    // the plain walk.
    static uint32_t GetDataBufType(const unsigned char* pBuf, size_t nLen);
    // The plain row-by-row walk, kept as the reference the fast walk is checked against.
    static uint32_t GetDataBufTypeByFullWalk(const unsigned char* pBuf, size_t nLen);
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
    static int InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* pParam,
                            int nWeight);
    // Types the sector at u64Sector and, when a carvable format starts there, estimates its
    // length. 0 (szName "%lld.%s", uType and u64Length written), RESULT_NOT_FOUND (nothing to
    // carve) or ERROR_USER_CANCEL. szName holds nNameSize bytes.
    static int ParseFileBuf(const unsigned char* pBuf, size_t nLen, uint64_t u64Sector,
                            uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount,
                            int nRemaidSecond, uint64_t u64FileCount, ISectorReader* pReader,
                            int nBytesPerSector, char* szName, size_t nNameSize, uint32_t& uType,
                            uint64_t& u64Length);
    static int ParseFileBuf(const unsigned char* pBuf, size_t nLen, uint64_t u64Sector,
                            uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount,
                            int nRemaidSecond, uint64_t u64FileCount, CDiskReader* pReader,
                            int nBytesPerSector, char* szName, size_t nNameSize, uint32_t& uType,
                            uint64_t& u64Length);
    // Points the context at a reader for a direct recogniser or estimator call (tests,
    // fuzzing): sector size, start and current sector, and the transport-stream flags.
    static void SetReadContext(ISectorReader* pReader, int nBytesPerSector, uint64_t u64Sector);
    // The deep scan starts with no transport streams carved.
    static void ClearTsFileRanges() { m_tsFileRangeVec.clear(); }

    // ---- Recognisers ----------------------------------------------------------------------
    static uint32_t IsMpgType(const unsigned char* p, size_t len);
    static uint32_t IsMp4Type(const unsigned char* p, size_t len);
    static uint32_t IsRmvbType(const unsigned char* p, size_t len);
    static uint32_t IsAsfType(const unsigned char* p, size_t len);
    static uint32_t IsSwfType(const unsigned char* p, size_t len);
    static uint32_t IsAviType(const unsigned char* p, size_t len);
    static uint32_t IsFlvType(const unsigned char* p, size_t len);
    static uint32_t Is3pgType(const unsigned char* p, size_t len);
    static uint32_t IsMkvType(const unsigned char* p, size_t len);
    static uint32_t IsTsType(const unsigned char* p, size_t len);
    static uint32_t IsMtsType(const unsigned char* p, size_t len);
    static uint32_t IsMxfType(const unsigned char* p, size_t len);
    static uint32_t IsMp3Type(const unsigned char* p, size_t len);
    static uint32_t IsMidType(const unsigned char* p, size_t len);
    static uint32_t IsApeType(const unsigned char* p, size_t len);
    static uint32_t IsWavType(const unsigned char* p, size_t len);
    static uint32_t IsMovType(const unsigned char* p, size_t len);
    static uint32_t IsMp2Type(const unsigned char* p, size_t len);
    static uint32_t IsMmfType(const unsigned char* p, size_t len);
    static uint32_t IsFlaType(const unsigned char* p, size_t len);
    static uint32_t IsGifType(const unsigned char* p, size_t len);
    static uint32_t IsBmpType(const unsigned char* p, size_t len);
    static uint32_t IsJpgType(const unsigned char* p, size_t len);
    static uint32_t IsPngType(const unsigned char* p, size_t len);
    static uint32_t IsPsdType(const unsigned char* p, size_t len);
    static uint32_t IsTifType(const unsigned char* p, size_t len);
    static uint32_t IsIcoType(const unsigned char* p, size_t len);
    static uint32_t IsOffice2003Type(const unsigned char* p, size_t len);
    static uint32_t IsOffice2007Type(const unsigned char* p, size_t len);
    static uint32_t IsPdfType(const unsigned char* p, size_t len);
    static uint32_t IsGzipType(const unsigned char* p, size_t len);
    static uint32_t Is7zType(const unsigned char* p, size_t len);
    static uint32_t IsZipType(const unsigned char* p, size_t len);
    static uint32_t IsRarType(const unsigned char* p, size_t len);
    static uint32_t IsCabType(const unsigned char* p, size_t len);
    static uint32_t IsPeType(const unsigned char* p, size_t len);
    static uint32_t IsGhoType(const unsigned char* p, size_t len);
    static uint32_t IsSqlType(const unsigned char* p, size_t len);
    static uint32_t IsDbxEmailType(const unsigned char* p, size_t len);
    static uint32_t IsPstEmailType(const unsigned char* p, size_t len);
    static uint32_t IsTtfType(const unsigned char* p, size_t len);
    static uint32_t IsBz2Type(const unsigned char* p, size_t len);
    static uint32_t IsXzType(const unsigned char* p, size_t len);
    static uint32_t IsTarType(const unsigned char* p, size_t len);
    static uint32_t IsFlacType(const unsigned char* p, size_t len);
    static uint32_t IsOggType(const unsigned char* p, size_t len);

    // Typing behind the two Office recognisers: 0 doc, 3 xls, 5 ppt or 2 ole for a compound
    // document whose header sector is at m_u64CurrentSector; 1 docx, 4 xlsx, 6 pptx or 49
    // for a ZIP container starting there.
    static uint32_t GetOffice2003Type(const unsigned char* pHeader, size_t len);
    static uint32_t GetOffice2007Type(const unsigned char* p, size_t len);

    // ---- Estimators (first sector -> bytes, first sector included) ------------------------
    static uint64_t GetMPGFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetMP4FileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetRMVBFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetASFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetSWFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetAVIFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetDefaultVedioFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetMKVFileBytes(const unsigned char* p, size_t len);
    static uint64_t GetHEIFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetWEBPFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetTSFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetMP3FileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetMIDFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetAPEFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetWAVFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetDefaultAudioFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetFLAFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetGIFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetBMPFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetJPGFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetPNGFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetDefaultPictureFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetPSDFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetTIFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetICOFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetOFFICE2003FileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetOFFICE2007FileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetPDFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t Get7ZFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetZIPFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetRARFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetCABFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetDBFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetMailFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetTTFFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetGZFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetBZ2FileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetXZFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetTARFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetFLACFileBytesSize(const unsigned char* p, size_t len);
    static uint64_t GetOGGFileBytesSize(const unsigned char* p, size_t len);

    // Size of a compound document from its header's allocation table, or 0 when the header
    // cannot say.
    static uint64_t GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* pHeader, size_t len);

    // ---- End detectors and tail finders ---------------------------------------------------
    // Walk the sectors of a chunk; 1 when another file or file-system structure begins in it,
    // with the bytes before that sector added to u64Length.
    static int IsEndOfFile(const unsigned char* pChunk, size_t nLen, uint64_t& u64Length);
    static int IsEndOfVedioFile(const unsigned char* pChunk, size_t nLen, uint64_t& u64Length);
    static int IsEndOfMPGFile(const unsigned char* pChunk, size_t nLen, uint64_t& u64Length);
    // 1 with the offset just past the format's end marker when one in pBuf can end a file.
    static int GetJPGFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset);
    static int GetPNGFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset);
    static int GetGIFFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset);

    // ---- Shared context -------------------------------------------------------------------
    inline static int m_nBytesPerSector = 512;
    inline static uint64_t m_u64StartSector = 0;
    inline static uint64_t m_u64CurrentSector = 0;
    inline static ISectorReader* m_pDiskReader = nullptr;
    static constexpr size_t kReadBufSize = 65536;
    static unsigned char* const m_pReadBuf;  // kReadBufSize bytes of static storage
    inline static int m_bIsNeedCheckTsFileRange = 1;
    inline static int m_bIsMtsFileHead = 0;
    inline static std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;

    inline static uint64_t m_u64ScanSectorCount = 0;
    inline static uint64_t m_u64SectorTotalCount = 0;
    inline static uint64_t m_u64FileCount = 0;
    inline static int m_nRemaidSecond = -1;
    inline static int m_nPercent = 0;  // the nWeight given to InitCallBack
    inline static SCAN_CALLBACK m_progressFunc = nullptr;
    inline static RECOVERY_CALLBACK m_pRecoveryFunc = nullptr;
    inline static void* m_pParam = nullptr;
    inline static int m_ErrorCode = 0;
};
