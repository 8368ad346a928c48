// Pictures: GIF, BMP, JPEG, PNG, PSD, TIFF and icons.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "carving/file_type_judge.h"
#include "carving/formats/bmp.h"
#include "carving/formats/gif.h"
#include "carving/formats/jpeg.h"
#include "carving/formats/png.h"
#include "carving/formats/psd.h"
#include "carving/formats/tiff.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace {

constexpr unsigned char szJpgTail[] = {0xFF, 0xD9};
constexpr unsigned char szPngTail[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
constexpr unsigned char szGifTail[] = {0x00, 0x3B};
constexpr uint64_t kPictureCap = 128 * kMiB;

// First tail occurrence whose end passes the zero-fill rule; offset just past it.
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

// A tail-marked picture: the first sector may already hold the whole file; otherwise the
// first chunk with a usable tail fixes the length, even past a sector the end detector
// took for another file (picture data can look like a signature).
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

// The first segment of a JPEG after its start-of-image marker has the length its kind needs:
// a quantisation or Huffman table with valid class and destination, a frame header sized for
// its components, a restart interval of two bytes.
bool IsPlausibleFirstSegment(const unsigned char* p, size_t len) {
    const unsigned char marker = p[3];
    const size_t length = LoadBE16(p + 4);
    const bool tableId = (p[6] & 0xEC) == 0;  // class 0-1 and destination 0-3
    if (marker == 0xDB) return length >= 67 && length <= 2 + 4 * 129 && tableId;
    if (marker == 0xC4) return length >= 2 + 17 && tableId;
    if (marker == 0xDD) return length == 4;
    if (marker >= 0xC0 && marker <= 0xCF) {
        const unsigned components = len > 9 ? p[9] : 0;
        return p[6] >= 2 && p[6] <= 16 && components >= 1 && components <= 4 &&
               length == 8 + 3 * components;
    }
    return length >= 2;
}

bool IsPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

bool IsText(const unsigned char* p, size_t len, size_t n) {
    return len >= n && std::all_of(p, p + n, IsPrintable);
}

// Two to 47 printable characters and a zero byte ("http://ns.adobe.com/xmp/extension/" is 34).
bool HasIdentifier(const unsigned char* p, size_t len) {
    const size_t limit = std::min<size_t>(len, 48);
    for (size_t i = 0; i < limit; ++i) {
        if (p[i] == 0) return i >= 2;
        if (!IsPrintable(p[i])) return false;
    }
    return false;
}

// The marker after the first segment, where the buffer holds it: another segment or fill.
bool IsJpegSecondMarker(const unsigned char* p) {
    const unsigned char m = p[1];
    return p[0] == 0xFF && m >= 0xC0 && !(m >= 0xD0 && m <= 0xD9);
}

// The camera maker named by the Make tag of the first directory, read from the buffer or,
// when the text lies past it, through the judge's reader; empty when neither holds it.
std::string TiffMake(CarveScan& scan, const unsigned char* p, size_t len,
                     const unsigned char* entry, bool le) {
    const uint32_t count = le ? LoadU32(entry + 4) : LoadBE32(entry + 4);
    const size_t n = std::min<size_t>(count, 16);
    if (count <= 4) return std::string(reinterpret_cast<const char*>(entry + 8), n);
    const uint32_t at = le ? LoadU32(entry + 8) : LoadBE32(entry + 8);
    if (at <= len && n <= len - at) return std::string(reinterpret_cast<const char*>(p + at), n);
    char text[16];
    if (scan.m_pDiskReader == nullptr || !ReadBytesFrom(scan, scan.m_u64CurrentSector, at, n,
                                                        reinterpret_cast<unsigned char*>(text))) {
        return {};
    }
    return std::string(text, n);
}

bool MakeIs(const std::string& make, const char* name) {
    return strncasecmp(make.c_str(), name, std::strlen(name)) == 0;
}

// The raw format a classic TIFF header leads, from the first directory's DNG version and
// Make tags; TIF for any other TIFF, NONE when a directory inside the buffer is implausible.
uint32_t TiffKind(CarveScan& scan, const unsigned char* p, size_t len, bool le) {
    const uint32_t ifd = le ? LoadU32(p + 4) : LoadBE32(p + 4);
    if (ifd < 8) return EXT_TYPE_NONE;
    if (ifd > len || len - ifd < 2) return EXT_TYPE_TIF;  // a directory at the end of the file
    const size_t count = le ? LoadU16(p + ifd) : LoadBE16(p + ifd);
    if (count == 0 || count > 1024) return EXT_TYPE_NONE;
    std::string make;
    for (size_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= len; ++i) {
        const unsigned char* e = p + ifd + 2 + 12 * i;
        const uint16_t tag = le ? LoadU16(e) : LoadBE16(e);
        const uint16_t type = le ? LoadU16(e + 2) : LoadBE16(e + 2);
        if (tag == 0xC612) return EXT_TYPE_DNG;
        if (tag == 0x010F && type == 2) make = TiffMake(scan, p, len, e, le);
    }
    if (MakeIs(make, "Canon") && HasText(p, len, 8, "CR")) return EXT_TYPE_CR2;
    if (MakeIs(make, "NIKON")) return EXT_TYPE_NEF;
    if (MakeIs(make, "SONY")) return EXT_TYPE_ARW;
    if (MakeIs(make, "PENTAX") || MakeIs(make, "RICOH")) return EXT_TYPE_PEF;
    return EXT_TYPE_TIF;
}

}  // namespace

// ---- Recognisers ------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsGifType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 8) return EXT_TYPE_NONE;
    const bool digits = p[3] >= '0' && p[3] <= '9' && p[4] >= '0' && p[4] <= '9';
    const bool letter = p[5] >= 'a' && p[5] <= 'z';
    return HasText(p, len, 0, "GIF") && digits && letter ? EXT_TYPE_GIF : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsBmpType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 40) return EXT_TYPE_NONE;
    if (LoadU16(p + 6) != 0 || LoadU16(p + 8) != 0) return EXT_TYPE_NONE;
    if (HasText(p, len, 0, "BA")) return LoadU32(p + 14) == 40 ? EXT_TYPE_BMP : EXT_TYPE_NONE;
    return HasText(p, len, 0, "BM") && formats::IsPlausibleBmpHeader(p, len) ? EXT_TYPE_BMP
                                                                             : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsJpgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0};
    static const unsigned char kExif[] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    if (Has(p, len, 0, kJfif, 4) && HasText(p, len, 6, "JFIF")) return EXT_TYPE_JPG;
    if (Has(p, len, 0, kExif, 4) && HasText(p, len, 6, "Exif")) return EXT_TYPE_JPG;
    // Any other JPEG: a first segment of a kind and length that fit, and the marker after it.
    if (p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF) return EXT_TYPE_NONE;
    if (!formats::IsJpegFirstSegmentMarker(p[3]) || !IsPlausibleFirstSegment(p, len)) {
        return EXT_TYPE_NONE;
    }
    const size_t next = 4 + static_cast<size_t>(LoadBE16(p + 4));
    if (next + 2 <= len) return IsJpegSecondMarker(p + next) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    // A segment longer than the buffer: an application segment opens with its identifier
    // ("Exif", "ICC_PROFILE", "http://ns.adobe.com/xap/1.0/"...) ended by a zero byte, a
    // comment with text.
    if (p[3] >= 0xE0 && p[3] <= 0xEF) {
        return HasIdentifier(p + 6, len - 6) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    }
    if (p[3] == 0xFE) return IsText(p + 6, len - 6, 8) ? EXT_TYPE_JPG : EXT_TYPE_NONE;
    return EXT_TYPE_JPG;
}

uint32_t CFileTypeJudge::IsPngType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return len >= 8 && Has(p, len, 0, kPng, 8) ? EXT_TYPE_PNG : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsPsdType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 40 && HasText(p, len, 0, "8BPS") ? EXT_TYPE_PSD : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsTifType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    switch (formats::TiffMagicOf(p, len)) {
        case formats::TiffMagic::kOlympus:
            return EXT_TYPE_ORF;
        case formats::TiffMagic::kPanasonic:
            return EXT_TYPE_RW2;
        case formats::TiffMagic::kClassic:
            return len < 8 ? EXT_TYPE_TIF : TiffKind(scan, p, len, p[0] == 'I');
        default:
            return EXT_TYPE_NONE;
    }
}

uint32_t CFileTypeJudge::IsIcoType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kIco[] = {0x00, 0x00, 0x01, 0x00};
    if (len < 16 || !Has(p, len, 0, kIco, 4)) return EXT_TYPE_NONE;
    const size_t count = LoadU16(p + 4);
    if (count == 0 || 6 + 16 * count > len) return EXT_TYPE_NONE;
    // The images follow the directory back to back, in directory order.
    uint64_t expected = 6 + 16 * count;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* entry = p + 6 + 16 * i;
        if (entry[3] != 0 || LoadU32(entry + 12) != expected) return EXT_TYPE_NONE;
        expected = static_cast<uint64_t>(LoadU32(entry + 12)) + LoadU32(entry + 8);
    }
    return EXT_TYPE_ICO;
}

// ---- Tail finders -----------------------------------------------------------------------

int CFileTypeJudge::GetJPGFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                                         size_t& uOffset) {
    // An end-of-image marker followed by more data (a thumbnail's, inside the Exif block) is
    // passed over rather than taken as the buffer having no tail, so that a small photo whose
    // thumbnail and end share a chunk is still cut at its own end.
    return FindZeroFilledTail(scan, pBuf, nLen, szJpgTail, sizeof szJpgTail, uOffset);
}

int CFileTypeJudge::GetPNGFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                                         size_t& uOffset) {
    return FindZeroFilledTail(scan, pBuf, nLen, szPngTail, sizeof szPngTail, uOffset);
}

int CFileTypeJudge::GetGIFFileTailOffset(CarveScan& scan, const unsigned char* pBuf, size_t nLen,
                                         size_t& uOffset) {
    return FindZeroFilledTail(scan, pBuf, nLen, szGifTail, sizeof szGifTail, uOffset);
}

// ---- Estimators -------------------------------------------------------------------------

uint64_t CFileTypeJudge::GetGIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::GifLength,
                   [&] { return TailPictureBytes(scan, p, len, GetGIFFileTailOffset); });
}

uint64_t CFileTypeJudge::GetPNGFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::PngLength,
                   [&] { return TailPictureBytes(scan, p, len, GetPNGFileTailOffset); });
}

// The end-marker rule, for a JPEG whose structure gave no exact end.
static uint64_t JpegTailBytes(CarveScan& scan, const unsigned char* p, size_t len) {
    size_t offset = 0;
    if (CFileTypeJudge::GetJPGFileTailOffset(scan, p, len, offset)) return offset;
    // Every chunk's usable end marker becomes the candidate, so that an embedded thumbnail's
    // end is replaced by the photo's own; markers past the start of another file are not
    // this photo's and are not looked at.
    uint64_t candidate = 0;
    uint64_t length =
        StreamWith(scan, kPictureCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
            size_t at = 0;
            if (CFileTypeJudge::GetJPGFileTailOffset(scan, c.p, c.nFileBytes, at)) {
                candidate = c.u64Offset + at;
            }
            return 0;
        });
    if (candidate != 0 && candidate < length) length = candidate;
    return length;
}

uint64_t CFileTypeJudge::GetJPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::JpegLength, [&] { return JpegTailBytes(scan, p, len); });
}

uint64_t CFileTypeJudge::GetBMPFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    if (p == nullptr || len < 6) return 0;
    return ExactOr(scan, formats::BmpLength,
                   [&] { return std::min<uint64_t>(LoadU32(p + 2), kPictureCap); });
}

uint64_t CFileTypeJudge::GetPSDFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    // A header the first sector already shows to be wrong is not worth a walk.
    if (!formats::IsPlausiblePsdHeader(p, len)) {
        return StreamToNextFile(scan, kPictureCap, EndKind::kFile);
    }
    return ExactOr(scan, formats::PsdLength,
                   [&] { return StreamToNextFile(scan, kPictureCap, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetTIFFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return ExactOr(scan, formats::TiffLength,
                   [&] { return StreamToNextFile(scan, kPictureCap, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetDefaultPictureFileBytesSize(carving::CarveScan& scan,
                                                        const unsigned char*, size_t) {
    return StreamToNextFile(scan, kPictureCap, EndKind::kFile);
}

uint64_t CFileTypeJudge::GetICOFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 6) return b;
    const size_t count = LoadU16(p + 4);
    if (count == 0) return b;
    const size_t last = 6 + 16 * (count - 1);
    const unsigned char* dir = LeadingFileBytes(scan, p, len, last + 16);
    if (dir == nullptr) {
        DebugLog("ico directory of %zu entries unreadable\n", count);
        return b;
    }
    return static_cast<uint64_t>(LoadU32(dir + last + 12)) + LoadU32(dir + last + 8);
}
