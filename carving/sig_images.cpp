// Pictures: GIF, BMP, JPEG, PNG, PSD, TIFF and icons.
#include <algorithm>

#include "carving/file_type_judge.h"
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
int FindZeroFilledTail(const unsigned char* p, size_t len, const unsigned char* tail,
                       size_t tailLen, size_t& uOffset) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector());
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
uint64_t TailPictureBytes(const unsigned char* p, size_t len,
                          int (*finder)(const unsigned char*, size_t, size_t&)) {
    size_t offset = 0;
    if (finder(p, len, offset)) return offset;
    return StreamWith(kPictureCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t& length) {
        size_t at = 0;
        if (!finder(c.p, c.nBytes, at)) return 0;
        length = c.u64Offset + at;
        return 1;
    });
}

}  // namespace

// ---- Recognisers ------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsGifType(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 8) return EXT_TYPE_NONE;
    const bool digits = p[3] >= '0' && p[3] <= '9' && p[4] >= '0' && p[4] <= '9';
    const bool letter = p[5] >= 'a' && p[5] <= 'z';
    return HasText(p, len, 0, "GIF") && digits && letter ? EXT_TYPE_GIF : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsBmpType(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 40) return EXT_TYPE_NONE;
    if (!HasText(p, len, 0, "BM") && !HasText(p, len, 0, "BA")) return EXT_TYPE_NONE;
    if (LoadU16(p + 6) != 0 || LoadU16(p + 8) != 0 || LoadU32(p + 14) != 40) {
        return EXT_TYPE_NONE;
    }
    return EXT_TYPE_BMP;
}

uint32_t CFileTypeJudge::IsJpgType(const unsigned char* p, size_t len) {
    static const unsigned char kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0};
    static const unsigned char kExif[] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    if (Has(p, len, 0, kJfif, 4) && HasText(p, len, 6, "JFIF")) return EXT_TYPE_JPG;
    if (Has(p, len, 0, kExif, 4) && HasText(p, len, 6, "Exif")) return EXT_TYPE_JPG;
    return EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsPngType(const unsigned char* p, size_t len) {
    static const unsigned char kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return len >= 8 && Has(p, len, 0, kPng, 8) ? EXT_TYPE_PNG : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsPsdType(const unsigned char* p, size_t len) {
    return len >= 40 && HasText(p, len, 0, "8BPS") ? EXT_TYPE_PSD : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsTifType(const unsigned char* p, size_t len) {
    static const unsigned char kIntel[] = {0x49, 0x49, 0x2A, 0x00};
    static const unsigned char kMotorola[] = {0x4D, 0x4D, 0x00, 0x2A};
    if (len < 4) return EXT_TYPE_NONE;
    return Has(p, len, 0, kIntel, 4) || Has(p, len, 0, kMotorola, 4) ? EXT_TYPE_TIF : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsIcoType(const unsigned char* p, size_t len) {
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

int CFileTypeJudge::GetJPGFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    // An end-of-image marker followed by more data (a thumbnail's, inside the Exif block) is
    // passed over rather than taken as the buffer having no tail, so that a small photo whose
    // thumbnail and end share a chunk is still cut at its own end.
    return FindZeroFilledTail(pBuf, nLen, szJpgTail, sizeof szJpgTail, uOffset);
}

int CFileTypeJudge::GetPNGFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    return FindZeroFilledTail(pBuf, nLen, szPngTail, sizeof szPngTail, uOffset);
}

int CFileTypeJudge::GetGIFFileTailOffset(const unsigned char* pBuf, size_t nLen, size_t& uOffset) {
    return FindZeroFilledTail(pBuf, nLen, szGifTail, sizeof szGifTail, uOffset);
}

// ---- Estimators -------------------------------------------------------------------------

uint64_t CFileTypeJudge::GetGIFFileBytesSize(const unsigned char* p, size_t len) {
    return TailPictureBytes(p, len, GetGIFFileTailOffset);
}

uint64_t CFileTypeJudge::GetPNGFileBytesSize(const unsigned char* p, size_t len) {
    return TailPictureBytes(p, len, GetPNGFileTailOffset);
}

uint64_t CFileTypeJudge::GetJPGFileBytesSize(const unsigned char* p, size_t len) {
    size_t offset = 0;
    if (GetJPGFileTailOffset(p, len, offset)) return offset;
    // Every chunk's usable end marker becomes the candidate, so that an embedded thumbnail's
    // end is replaced by the photo's own; markers past the start of another file are not
    // this photo's and are not looked at.
    uint64_t candidate = 0;
    uint64_t length = StreamWith(kPictureCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
        size_t at = 0;
        if (GetJPGFileTailOffset(c.p, c.nFileBytes, at)) {
            candidate = c.u64Offset + at;
        }
        return 0;
    });
    if (candidate != 0 && candidate < length) length = candidate;
    return length;
}

uint64_t CFileTypeJudge::GetBMPFileBytesSize(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 6) return 0;
    return std::min<uint64_t>(LoadU32(p + 2), kPictureCap);
}

uint64_t CFileTypeJudge::GetDefaultPictureFileBytesSize(const unsigned char*, size_t) {
    return StreamToNextFile(kPictureCap, EndKind::kFile);
}

uint64_t CFileTypeJudge::GetICOFileBytesSize(const unsigned char* p, size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector());
    if (p == nullptr || len < 6) return b;
    const size_t count = LoadU16(p + 4);
    if (count == 0) return b;
    const size_t last = 6 + 16 * (count - 1);
    const unsigned char* dir = LeadingFileBytes(p, len, last + 16);
    if (dir == nullptr) {
        DebugLog("ico directory of %zu entries unreadable\n", count);
        return b;
    }
    return static_cast<uint64_t>(LoadU32(dir + last + 12)) + LoadU32(dir + last + 8);
}
