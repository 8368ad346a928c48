// The signature table, the table walk, the helpers that read through a scan, and the
// streaming frame.
#include "carving/file_type_judge.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "carving/formats/ape.h"
#include "carving/formats/asf.h"
#include "carving/formats/bmp.h"
#include "carving/formats/bzip2.h"
#include "carving/formats/cab.h"
#include "carving/formats/compound.h"
#include "carving/formats/ebml.h"
#include "carving/formats/flac.h"
#include "carving/formats/flv.h"
#include "carving/formats/ghost.h"
#include "carving/formats/gif.h"
#include "carving/formats/gzip.h"
#include "carving/formats/ico.h"
#include "carving/formats/isobmff.h"
#include "carving/formats/jpeg.h"
#include "carving/formats/mail.h"
#include "carving/formats/midi.h"
#include "carving/formats/mmf.h"
#include "carving/formats/mpeg_audio.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/mpeg_ts.h"
#include "carving/formats/mxf.h"
#include "carving/formats/ogg.h"
#include "carving/formats/pdf.h"
#include "carving/formats/pe.h"
#include "carving/formats/png.h"
#include "carving/formats/psd.h"
#include "carving/formats/rar.h"
#include "carving/formats/realmedia.h"
#include "carving/formats/riff.h"
#include "carving/formats/sevenzip.h"
#include "carving/formats/sqlite.h"
#include "carving/formats/swf.h"
#include "carving/formats/tar.h"
#include "carving/formats/tiff.h"
#include "carving/formats/ttf.h"
#include "carving/formats/xz.h"
#include "carving/formats/zip.h"
#include "carving/judge_internal.h"
#include "foundation/debug_log.h"
#include "foundation/recognisers.h"

using J = CFileTypeJudge;
using carving::CarveScan;

namespace carving::formats {
namespace {

// The families' rows joined in the order given, then the terminator.
template <size_t... N>
constexpr auto JoinFormatRows(const FormatRow (&... runs)[N]) {
    std::array<FormatRow, (N + ... + 0) + 1> rows{};
    size_t at = 0;
    const auto append = [&](const auto& run) {
        for (const FormatRow& row : run) rows[at++] = row;
    };
    (append(runs), ...);
    rows[at] = {nullptr, EXT_TYPE_NONE, nullptr, nullptr};
    return rows;
}

// The order is behaviour: a buffer takes the code of the first row that accepts it. The
// first 87 rows (through the second ico) never move; later rows only ever go at the end.
// clang-format off
constexpr auto kRows = JoinFormatRows(
    // video and audio, rows 0-24
    kMpegPsFormats, kMp4Formats, kRealMediaFormats, kAsfFormats,
    kSwfFormats, kAviFormats, kFlvFormats, k3gpFormats,
    kMatroskaFormats, kTsFormats, kMtsFormats, kMxfFormats,
    kMp3Formats, kMidiFormats, kApeFormats, kWavFormats,
    kMovFormats, kMp2Formats, kMmfFormats, kFlaFormats,
    // pictures, rows 25-36
    kGifFormats, kBmpFormats, kJpegFormats, kPngFormats,
    kPsdFormats, kTiffFormats, kIcoFormats,
    // documents, archives, executables and the repeated fla and ico, rows 37-86
    kCompoundFormats, kOfficeOpenXmlFormats, kPdfFormats, kGzipFormats,
    kSevenZipFormats, kZipFormats, kRarFormats, kCabFormats,
    kPeFormats, kGhostFormats, kSqliteFormats, kMailFormats,
    kFlaFormats, kTtfFormats, kIcoFormats,
    // rows added after the first 87, from row 87
    kTiffRawFormats, kWebpFormats, kIsoBmffAddedFormats, kWebmFormats,
    kBzip2Formats, kXzFormats, kTarFormats, kFlacFormats,
    kOggFormats
);
// clang-format on

static_assert(kRows.size() == kOriginalRowCount + 23 + 1);
static_assert(kRows[kOriginalRowCount - 1].uType == EXT_TYPE_ICO);

}  // namespace
}  // namespace carving::formats

const EXTEND_NAME_AND_TYPE* const szExtendNameAndType = carving::formats::kRows.data();
const size_t kSignatureRowCount = carving::formats::kRows.size() - 1;

namespace {

// ---- First-byte dispatch ----------------------------------------------------------------
// Every recogniser tests fixed bytes at the start of the buffer, and most of them test byte
// 0. Knowing which first bytes each recogniser can accept lets the walk skip the rows that
// cannot match, so a sector of random or zero bytes costs a handful of comparisons instead
// of 87 calls. A recogniser not listed here (or listed with null) can accept any first byte
// and is tried on every sector.
struct LEAD_BYTES {
    RECOGNISE_FUNC pfn;
    const char* pszBytes;  // accepted first bytes, or null for any
    size_t nBytes;
};

const LEAD_BYTES kLeadBytes[] = {
    {carving::formats::IsMpgType, "\x00", 1},
    {carving::formats::IsRmvbType, ".", 1},
    {carving::formats::IsAsfType, "\x30", 1},
    {carving::formats::IsSwfType, "CF", 2},
    {carving::formats::IsAviType, "R", 1},
    {carving::formats::IsFlvType, "F", 1},
    {carving::formats::IsMkvType, "\x1A", 1},
    {carving::formats::IsTsType, "\x47", 1},
    {carving::formats::IsMxfType, "\x06", 1},
    {carving::formats::IsMp3Type, "I\xFF", 2},
    {carving::formats::IsMidType, "M", 1},
    {carving::formats::IsApeType, "M", 1},
    {carving::formats::IsWavType, "R", 1},
    {carving::formats::IsMp2Type, "\xFF", 1},
    {carving::formats::IsMmfType, "M", 1},
    {carving::formats::IsFlaType, "\xD0", 1},
    {carving::formats::IsGifType, "G", 1},
    {carving::formats::IsBmpType, "B", 1},
    {carving::formats::IsJpgType, "\xFF", 1},
    {carving::formats::IsPngType, "\x89", 1},
    {carving::formats::IsPsdType, "8", 1},
    {carving::formats::IsTifType, "IM", 2},
    {carving::formats::IsIcoType, "\x00", 1},
    {carving::formats::IsOffice2003Type, "\xD0", 1},
    {carving::formats::IsPdfType, "%", 1},
    {carving::formats::IsGzipType, "\x1F", 1},
    {carving::formats::Is7zType, "7", 1},
    {carving::formats::IsZipType, "P", 1},
    {carving::formats::IsRarType, "R", 1},
    {carving::formats::IsCabType, "M", 1},
    {carving::formats::IsPeType, "M", 1},
    {carving::formats::IsGhoType, "\xFE", 1},
    {carving::formats::IsSqlType, "S", 1},
    {carving::formats::IsDbxEmailType, "\xCF", 1},
    {carving::formats::IsPstEmailType, "!", 1},
    {carving::formats::IsTtfType, "\x00", 1},
    {carving::formats::IsWebpType, "R", 1},
    {carving::formats::IsBz2Type, "B", 1},
    {carving::formats::IsXzType, "\xFD", 1},
    {carving::formats::IsFlacType, "fI", 2},
    {carving::formats::IsOggType, "O", 1},
    // Any first byte: a box size before "ftyp", a time code before an MTS packet, and the
    // "[Content_Types].xml" name at offset 31 of an Office container.
    {carving::formats::IsMp4Type, nullptr, 0},
    {carving::formats::Is3pgType, nullptr, 0},
    {carving::formats::IsMtsType, nullptr, 0},
    {carving::formats::IsMovType, nullptr, 0},
    {carving::formats::IsOffice2007Type, nullptr, 0},
    // Any first byte: a tar archive opens with its first entry's name.
    {carving::formats::IsTarType, nullptr, 0},
};

// Whether the row's recogniser is listed with the first bytes it accepts, and accepts b.
enum class Lead { kRefused, kListed, kAny };

Lead LeadOf(RECOGNISE_FUNC pfn, unsigned char b) {
    for (const LEAD_BYTES& lead : kLeadBytes) {
        if (lead.pfn != pfn) continue;
        if (lead.pszBytes == nullptr) return Lead::kAny;
        return std::memchr(lead.pszBytes, b, lead.nBytes) != nullptr ? Lead::kListed
                                                                     : Lead::kRefused;
    }
    return Lead::kAny;
}

// The recognisers that accept any first byte still need fixed bytes further in: a box type
// at offset 4 ("ftyp", or the first box of a bare QuickTime movie), "moov" at 0, the MTS
// packet pattern at 8, a ZIP local header or "[Content_Types].xml" at 31, "us" of "ustar" at
// 257. A sector with none of them cannot be any of those formats, so the walk tries only the
// rows listed for its first byte. Each test here must stay implied by its recogniser.
bool MayOpenAnyLeadFormat(const unsigned char* p, size_t len) {
    if (len < 16) return false;
    static constexpr char kBoxTypesAt4[][5] = {"ftyp", "moov", "mdat", "wide",
                                               "free", "skip", "pnot"};
    for (const char* type : kBoxTypesAt4) {
        if (std::memcmp(p + 4, type, 4) == 0) return true;
    }
    if (std::memcmp(p, "moov", 4) == 0 || (p[10] == 0xB0 && p[11] == 0x11)) return true;
    if (std::memcmp(p, "PK\x03\x04", 4) == 0) return true;
    if (len >= 35 && std::memcmp(p + 31, "[Con", 4) == 0) return true;
    return len >= 259 && p[257] == 'u' && p[258] == 's';
}

constexpr size_t kMaxRowsPerLead = 24;

// For one first byte, the rows still worth trying, in table order. A recogniser appears once
// per list: a repeated row with the same recogniser would give the same answer.
struct ROW_LIST {
    std::array<uint8_t, kMaxRowsPerLead> rows{};
    uint8_t count = 0;

    void Add(size_t row) {
        const RECOGNISE_FUNC pfn = szExtendNameAndType[row].pfnRecognise;
        for (size_t j = 0; j < count; ++j) {
            if (szExtendNameAndType[rows[j]].pfnRecognise == pfn) return;
        }
        if (count < kMaxRowsPerLead) rows[count++] = static_cast<uint8_t>(row);
    }
};

struct DISPATCH {
    std::array<ROW_LIST, 256> all;     // every row that may accept the first byte
    std::array<ROW_LIST, 256> listed;  // the same without the any-first-byte rows

    DISPATCH() {
        for (unsigned b = 0; b < 256; ++b) {
            for (size_t i = 0; i < kSignatureRowCount; ++i) {
                const Lead lead =
                    LeadOf(szExtendNameAndType[i].pfnRecognise, static_cast<unsigned char>(b));
                if (lead == Lead::kRefused) continue;
                all[b].Add(i);
                if (lead == Lead::kListed) listed[b].Add(i);
            }
        }
    }
};

const DISPATCH& Dispatch() {
    static const DISPATCH dispatch;
    return dispatch;
}

const char* const kBootOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "EXFAT   ", "NTFS    "};

// Sector ranges of the codes whose length comes from a header field that may be wrong; the
// scan goes on at the next sector so that a file inside the claimed range is still found.
bool ConsumesOneSector(uint32_t uType) {
    static const uint32_t kHeaderSized[] = {EXT_TYPE_DOC, EXT_TYPE_OLE, EXT_TYPE_XLS, EXT_TYPE_PPT,
                                            EXT_TYPE_WAV, EXT_TYPE_AVI, EXT_TYPE_WMV, EXT_TYPE_SWF,
                                            EXT_TYPE_BMP, EXT_TYPE_CAB, EXT_TYPE_TTF, EXT_TYPE_ICO};
    return std::find(std::begin(kHeaderSized), std::end(kHeaderSized), uType) !=
           std::end(kHeaderSized);
}

}  // namespace

CFileTypeJudge::CFileTypeJudge() = default;
CFileTypeJudge::~CFileTypeJudge() = default;

// ---- Typing -----------------------------------------------------------------------------

uint32_t CFileTypeJudge::GetDataBufType(carving::CarveScan& scan, const unsigned char* pBuf,
                                        size_t nLen) {
    if (pBuf == nullptr || nLen == 0) return EXT_TYPE_NONE;
    const DISPATCH& dispatch = Dispatch();
    const unsigned char lead = pBuf[0];
    const ROW_LIST& list =
        MayOpenAnyLeadFormat(pBuf, nLen) ? dispatch.all[lead] : dispatch.listed[lead];
    for (size_t i = 0; i < list.count; ++i) {
        const uint32_t code = szExtendNameAndType[list.rows[i]].pfnRecognise(scan, pBuf, nLen);
        if (code != EXT_TYPE_NONE) return code;
    }
    return EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::GetDataBufTypeByFullWalk(carving::CarveScan& scan,
                                                  const unsigned char* pBuf, size_t nLen) {
    for (size_t i = 0; szExtendNameAndType[i].uType != EXT_TYPE_NONE; ++i) {
        const uint32_t code = szExtendNameAndType[i].pfnRecognise(scan, pBuf, nLen);
        if (code != EXT_TYPE_NONE) return code;
    }
    return EXT_TYPE_NONE;
}

static int FindRowByExtension(const char* pszExt) {
    if (pszExt == nullptr) return -1;
    for (size_t i = 0; i < kSignatureRowCount; ++i) {
        if (strcasecmp(szExtendNameAndType[i].pszExtendName, pszExt) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

uint32_t CFileTypeJudge::GetExtendNameType(const char* pszExt) {
    const int row = FindRowByExtension(pszExt);
    return row < 0 ? EXT_TYPE_NONE : szExtendNameAndType[row].uType;
}

int CFileTypeJudge::GetTypeRowIndex(uint32_t uType) {
    if (uType == EXT_TYPE_NONE) return -1;
    for (size_t i = 0; i < kSignatureRowCount; ++i) {
        if (szExtendNameAndType[i].uType == uType) return static_cast<int>(i);
    }
    return -1;
}

const char* CFileTypeJudge::GetTypeExtendName(uint32_t uType) {
    const int row = GetTypeRowIndex(uType);
    return row < 0 ? nullptr : szExtendNameAndType[row].pszExtendName;
}

// A file-system engine asks about one file at a time: a scan of its own, with no transport
// streams carved, answers as the deep scan's first look at that sector would.
int CFileTypeJudge::IsFileTypeMatching(const unsigned char* pBuf, size_t nLen, const char* pszExt,
                                       ISectorReader* pReader, int nBytesPerSector,
                                       uint64_t u64Sector) {
    const int row = FindRowByExtension(pszExt);
    if (row < 0) return 1;
    CarveScan scan;
    scan.SetReadContext(pReader, nBytesPerSector, u64Sector);
    scan.m_bIsNeedCheckTsFileRange = 0;
    const EXTEND_NAME_AND_TYPE& entry = szExtendNameAndType[row];
    return entry.pfnRecognise(scan, pBuf, nLen) == entry.uType ? 1 : 0;
}

int CFileTypeJudge::IsFileTypeMatching(const unsigned char* pBuf, size_t nLen, const char* pszExt,
                                       CDiskReader* pReader, int nBytesPerSector,
                                       uint64_t u64Sector) {
    CDiskSectorReader adapter(pReader);
    return IsFileTypeMatching(pBuf, nLen, pszExt, &adapter, nBytesPerSector, u64Sector);
}

int CFileTypeJudge::IsFileSystemSector(const unsigned char* pBuf, size_t nLen) {
    using carving::Has;
    using carving::HasText;
    if (pBuf == nullptr || nLen < 32) return 0;
    if (HasText(pBuf, nLen, 0, "FILE") || HasText(pBuf, nLen, 0, "INDX")) return 1;
    static const unsigned char kNtfsWide[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    if (HasText(pBuf, nLen, 0, "RSTR") &&
        carving::FindForward(pBuf, nLen, 0, kNtfsWide, sizeof kNtfsWide) != carving::kNotFound) {
        return 1;
    }
    static const unsigned char kStaWide[8] = {'$', 0, 'S', 0, 'T', 0, 'A', 0};
    if (Has(pBuf, nLen, 0, kStaWide, sizeof kStaWide)) return 1;
    if (pBuf[0] == 0xEB && pBuf[2] == 0x90) {
        for (const char* oem : kBootOemNames) {
            if (Has(pBuf, nLen, 3, oem, 8)) return 1;
        }
    }
    // A folder's first sector opens with its "." and ".." entries, which the run-of-entries
    // test refuses as names. It is the sector the deep FAT scan learns the geometry from, and
    // the deep scan skips whatever a carved file is said to cover: a file must end before it.
    if (IsFatFileRecord(pBuf, nLen)) return 1;
    const int len = nLen > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(nLen);
    return IsFatFDTRecord(pBuf, len);
}

// ---- Carving ----------------------------------------------------------------------------

int CFileTypeJudge::ParseFileBuf(CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                                 uint64_t u64Sector, uint64_t u64ScanSectorCount,
                                 uint64_t u64SectorTotalCount, int nRemaidSecond,
                                 uint64_t u64FileCount, CDiskReader* pReader, int nBytesPerSector,
                                 char* szName, size_t nNameSize, uint32_t& uType,
                                 uint64_t& u64Length) {
    ISectorReader* adapter = scan.BindDisk(pReader);
    const int rc = ParseFileBuf(scan, pBuf, nLen, u64Sector, u64ScanSectorCount,
                                u64SectorTotalCount, nRemaidSecond, u64FileCount, adapter,
                                nBytesPerSector, szName, nNameSize, uType, u64Length);
    scan.UnbindDisk();
    return rc;
}

int CFileTypeJudge::ParseFileBuf(CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                                 uint64_t u64Sector, uint64_t u64ScanSectorCount,
                                 uint64_t u64SectorTotalCount, int nRemaidSecond,
                                 uint64_t u64FileCount, ISectorReader* pReader, int nBytesPerSector,
                                 char* szName, size_t nNameSize, uint32_t& uType,
                                 uint64_t& u64Length) {
    if (nBytesPerSector <= 0 || static_cast<size_t>(nBytesPerSector) > CarveScan::kReadBufSize)
        return RESULT_INVALID_ARGUMENT;
    scan.SetReadContext(pReader, nBytesPerSector, u64Sector);
    scan.m_u64ScanSectorCount = u64ScanSectorCount;
    scan.m_u64SectorTotalCount = u64SectorTotalCount;
    scan.m_nRemaidSecond = nRemaidSecond;
    scan.m_u64FileCount = u64FileCount;

    // The walk sees the transport-stream and MTS flags as the previous step left them.
    const uint32_t code = GetDataBufType(scan, pBuf, nLen);
    scan.m_bIsNeedCheckTsFileRange = 1;
    scan.m_bIsMtsFileHead = 0;
    const int row = GetTypeRowIndex(code);
    if (row < 0 || szExtendNameAndType[row].pfnEstimate == nullptr) return RESULT_NOT_FOUND;

    // While a file is measured its inner sectors are not transport-stream starts to be
    // checked against earlier streams; while an MTS file is measured only a packet with a
    // zero time code starts a new one.
    if (code != EXT_TYPE_TS) scan.m_bIsNeedCheckTsFileRange = 0;
    if (code == EXT_TYPE_MTS) scan.m_bIsMtsFileHead = 1;

    if (szName != nullptr && nNameSize > 0) {
        std::snprintf(szName, nNameSize, "%lld.%s", static_cast<long long>(u64Sector),
                      szExtendNameAndType[row].pszExtendName);
    }
    uType = code;
    scan.m_ErrorCode = 0;
    u64Length = szExtendNameAndType[row].pfnEstimate(scan, pBuf, nLen);
    // Any non-zero answer of the scan callback cancels; a file whose measuring was cut short by
    // it has no true length and is not carved.
    const int rc = CancelOf(scan.m_ErrorCode);
    // A length of zero is a structure that refused the file after all.
    return rc == 0 && u64Length == 0 ? RESULT_NOT_FOUND : rc;
}

uint64_t CarvedSectorsConsumed(uint32_t uType, uint64_t u64Length, int nBytesPerSector) {
    if (ConsumesOneSector(uType) || nBytesPerSector <= 0) return 1;
    const uint64_t b = static_cast<uint64_t>(nBytesPerSector);
    return std::max<uint64_t>(1, (u64Length + b - 1) / b);
}

using namespace carving;

// ---- Estimators shared by several families ---------------------------------------------

namespace {
constexpr uint64_t kAudioCap = 256 * carving::kMiB;
}  // namespace

// The 3GP, MOV and FLV rows share this estimator with others, so the file's own first
// bytes choose the walk.
uint64_t CFileTypeJudge::GetDefaultVedioFileBytesSize(carving::CarveScan& scan,
                                                      const unsigned char* p, size_t len) {
    const auto stream = [&] { return StreamVideo(scan, 4 * kGiB); };
    if (formats::IsWalkableIsoBmff(p, len)) return ExactOr(scan, formats::IsoBmffLength, stream);
    if (formats::IsFlvType(scan, p, len) != EXT_TYPE_NONE)
        return ExactOr(scan, formats::FlvLength, stream);
    return stream();
}

uint64_t CFileTypeJudge::GetDefaultAudioFileBytesSize(carving::CarveScan& scan,
                                                      const unsigned char*, size_t) {
    return StreamToNextFile(scan, kAudioCap, EndKind::kFile);
}

uint64_t CFileTypeJudge::GetDefaultPictureFileBytesSize(carving::CarveScan& scan,
                                                        const unsigned char*, size_t) {
    return StreamToNextFile(scan, kPictureCap, EndKind::kFile);
}

// ---- End detectors ----------------------------------------------------------------------

static int DetectEnd(CarveScan& scan, carving::EndKind kind, const unsigned char* pChunk,
                     size_t nLen, uint64_t& u64Length) {
    const int bps = carving::ContextBytesPerSector(scan);
    if (pChunk == nullptr) return 0;
    const size_t b = static_cast<size_t>(bps);
    const size_t sectors = nLen / b;
    for (size_t i = 0; i < sectors; ++i) {
        // Recognisers that read the device take the sector under test as the current one.
        ++scan.m_u64CurrentSector;
        const unsigned char* sector = pChunk + i * b;
        const uint32_t code = CFileTypeJudge::GetDataBufType(scan, sector, b);
        // An MPEG program stream repeats its pack headers throughout.
        const bool otherFile =
            code != EXT_TYPE_NONE && !(kind == carving::EndKind::kMpg && code == EXT_TYPE_MPEG);
        if (otherFile || CFileTypeJudge::IsFileSystemSector(sector, b)) {
            u64Length += static_cast<uint64_t>(i) * b;
            return 1;
        }
    }
    return 0;
}

int CFileTypeJudge::IsEndOfFile(carving::CarveScan& scan, const unsigned char* pChunk, size_t nLen,
                                uint64_t& u64Length) {
    return DetectEnd(scan, carving::EndKind::kFile, pChunk, nLen, u64Length);
}

int CFileTypeJudge::IsEndOfVedioFile(carving::CarveScan& scan, const unsigned char* pChunk,
                                     size_t nLen, uint64_t& u64Length) {
    return DetectEnd(scan, carving::EndKind::kVideo, pChunk, nLen, u64Length);
}

int CFileTypeJudge::IsEndOfMPGFile(carving::CarveScan& scan, const unsigned char* pChunk,
                                   size_t nLen, uint64_t& u64Length) {
    return DetectEnd(scan, carving::EndKind::kMpg, pChunk, nLen, u64Length);
}

// ---- Shared helpers ---------------------------------------------------------------------

namespace carving {

size_t FindForward(const unsigned char* p, size_t len, size_t from, const void* pattern, size_t n) {
    if (p == nullptr || n == 0 || from > len || n > len - from) return kNotFound;
    const unsigned char first = *static_cast<const unsigned char*>(pattern);
    const unsigned char* cur = p + from;
    const unsigned char* last = p + (len - n);  // last position a match can start
    while (cur <= last) {
        const void* hit = std::memchr(cur, first, static_cast<size_t>(last - cur) + 1);
        if (hit == nullptr) return kNotFound;
        cur = static_cast<const unsigned char*>(hit);
        if (std::memcmp(cur, pattern, n) == 0) return static_cast<size_t>(cur - p);
        ++cur;
    }
    return kNotFound;
}

size_t FindBackward(const unsigned char* p, size_t len, const void* pattern, size_t n) {
    if (p == nullptr || n == 0 || n > len) return kNotFound;
    const unsigned char first = *static_cast<const unsigned char*>(pattern);
    for (size_t at = len - n + 1; at-- > 0;) {
        if (p[at] == first && std::memcmp(p + at, pattern, n) == 0) return at;
    }
    return kNotFound;
}

bool PassesZeroFill(const unsigned char* buf, size_t len, size_t e, size_t bytesPerSector) {
    if (bytesPerSector == 0 || e > len) return false;
    if (e % bytesPerSector == 0) return true;
    const size_t boundary = std::min(len, (e / bytesPerSector + 1) * bytesPerSector);
    for (size_t i = e; i < boundary; ++i) {
        if (buf[i] != 0) return false;
    }
    return true;
}

int FindZeroFilledTail(CarveScan& scan, const unsigned char* p, size_t len,
                       const unsigned char* tail, size_t tailLen, size_t& uOffset) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    for (size_t at = FindForward(p, len, 0, tail, tailLen); at != kNotFound;
         at = FindForward(p, len, at + 1, tail, tailLen)) {
        if (PassesZeroFill(p, len, at + tailLen, b)) {
            uOffset = at + tailLen;
            return 1;
        }
    }
    return 0;
}

uint64_t TailPictureBytes(CarveScan& scan, const unsigned char* p, size_t len,
                          int (*finder)(CarveScan&, const unsigned char*, size_t, size_t&)) {
    size_t offset = 0;
    if (finder(scan, p, len, offset)) return offset;
    return StreamWith(scan, kPictureCap, EndKind::kFile,
                      [&](const StreamChunk& c, uint64_t& length) {
                          size_t at = 0;
                          if (!finder(scan, c.p, c.nBytes, at)) return 0;
                          length = c.u64Offset + at;
                          return 1;
                      });
}

int ContextBytesPerSector(const CarveScan& scan) {
    const int b = scan.m_nBytesPerSector;
    // A context set with a nonsensical sector size falls back to the common one rather than
    // dividing by zero or reading past the work buffer.
    return (b <= 0 || static_cast<size_t>(b) > CarveScan::kReadBufSize) ? 512 : b;
}

bool ReadFileBytes(CarveScan& scan, uint64_t u64Offset, size_t nBytes, unsigned char* pOut) {
    return ReadBytesFrom(scan, scan.m_u64StartSector, u64Offset, nBytes, pOut);
}

bool ReadBytesFrom(CarveScan& scan, uint64_t u64BaseSector, uint64_t u64Offset, size_t nBytes,
                   unsigned char* pOut) {
    ISectorReader* reader = scan.m_pDiskReader;
    if (reader == nullptr || pOut == nullptr) return false;
    if (nBytes == 0) return true;
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    const uint64_t firstSector = u64Offset / b;
    const uint64_t lastSector = (u64Offset + nBytes - 1) / b;
    const uint64_t count = lastSector - firstSector + 1;
    if (count > (64 * kMiB) / b) return false;
    const uint64_t start = u64BaseSector + firstSector;
    if (start < u64BaseSector) return false;  // wrapped
    std::vector<unsigned char> sectors;
    try {
        sectors.resize(count * b);
    } catch (...) {
        return false;
    }
    unsigned int got = 0;
    if (reader->ReadSectors(sectors.data(), static_cast<int>(count), start, static_cast<int>(b),
                            &got) != 0) {
        return false;
    }
    std::memcpy(pOut, sectors.data() + (u64Offset - firstSector * b), nBytes);
    return true;
}

const unsigned char* LeadingFileBytes(CarveScan& scan, const unsigned char* pFirst, size_t len,
                                      size_t need) {
    if (pFirst != nullptr && need <= len) return pFirst;
    if (need > CarveScan::kReadBufSize) return nullptr;
    // Only the bytes asked for are read, so that a file near the device's end still fits.
    unsigned char* buf = scan.ReadBuf();
    if (buf == nullptr || !ReadFileBytes(scan, 0, need, buf)) return nullptr;
    return buf;
}

namespace {
// The context's cancel question: the scan's progress callback, told how far the scan has come
// counting what the walk has read.
bool KeepGoingWithScan(void* pScan, uint64_t u64BytesRead) {
    CarveScan& scan = *static_cast<CarveScan*>(pScan);
    if (scan.m_progressFunc == nullptr) return true;
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    const uint64_t counter = scan.m_u64ScanSectorCount + u64BytesRead / b;
    const uint64_t total = scan.m_u64SectorTotalCount;
    const uint64_t share = total == 0 ? 0 : counter * 100 / total;
    scan.m_ErrorCode =
        scan.m_progressFunc(scan.m_pParam, static_cast<int>(10 + share), scan.m_nPercent,
                            scan.m_nRemaidSecond, counter, total, scan.m_u64FileCount, nullptr);
    return scan.m_ErrorCode == 0;
}
}  // namespace

FormatLength MeasureInContext(CarveScan& scan, FormatLengthFunc fn) {
    CarveContext ctx(scan.m_pDiskReader, ContextBytesPerSector(scan), scan.m_u64StartSector);
    ctx.SetKeepGoing(KeepGoingWithScan, &scan);
    return fn(ctx);
}

static void ReportProgress(CarveScan& scan, uint64_t u64Counter) {
    if (scan.m_progressFunc == nullptr) return;
    const uint64_t total = scan.m_u64SectorTotalCount;
    const uint64_t share = total == 0 ? 0 : u64Counter * 100 / total;
    scan.m_ErrorCode =
        scan.m_progressFunc(scan.m_pParam, static_cast<int>(10 + share), scan.m_nPercent,
                            scan.m_nRemaidSecond, u64Counter, total, scan.m_u64FileCount, nullptr);
}

uint64_t StreamFileBytes(CarveScan& scan, uint64_t u64Cap, EndKind kind, ChunkSearchFunc search,
                         void* pState) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    uint64_t length = b;
    uint64_t budget = u64Cap / b;
    const uint64_t chunkSectors = CarveScan::kReadBufSize / b;
    uint64_t k = 0;
    uint64_t counter = scan.m_u64ScanSectorCount;
    ISectorReader* reader = scan.m_pDiskReader;
    if (reader == nullptr) return length;
    unsigned char* buf = scan.ReadBuf();
    if (buf == nullptr) return length;

    while (budget != 0) {
        const uint64_t start = scan.m_u64StartSector + 1 + k;
        const uint64_t limit = reader->SectorLimit(static_cast<int>(b));
        if (start <= scan.m_u64StartSector || start >= limit) break;
        // The last chunk of the device is read as far as it goes rather than refused whole,
        // so that a file ending there is still measured.
        const uint64_t want = std::min({budget, chunkSectors, limit - start});
        unsigned int got = 0;
        const int rc =
            reader->ReadSectors(buf, static_cast<int>(want), start, static_cast<int>(b), &got);
        if (rc == 0) got = static_cast<unsigned int>(want);
        if ((rc != 0 && rc != RESULT_SHORT_READ) || got == 0) break;
        const uint64_t n = std::min<uint64_t>(got, want);

        counter += n;
        ReportProgress(scan, counter);
        if (scan.m_ErrorCode != 0) break;

        const uint64_t before = length;
        const size_t bytes = static_cast<size_t>(n * b);
        const int ended = DetectEnd(scan, kind, buf, bytes, length);
        if (search != nullptr) {
            const StreamChunk chunk{buf, bytes, static_cast<size_t>(length - before), before,
                                    ended != 0};
            const StreamChunk whole{buf, bytes, bytes, before, false};
            if (search(pState, ended ? chunk : whole, length)) return length;
        }
        if (ended) break;
        length += n * b;
        budget -= n;
        k += n;
        if (n < want) break;  // the device ends here
    }
    return length;
}

}  // namespace carving
