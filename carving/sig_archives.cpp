// Archives and the other containers: gzip, bzip2, xz, tar, 7z, ZIP, RAR, cabinet,
// executables, Ghost images, SQLite databases, Outlook Express and Outlook mail stores,
// TrueType fonts.
#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/formats/bzip2.h"
#include "carving/formats/gzip.h"
#include "carving/formats/sqlite.h"
#include "carving/formats/tar.h"
#include "carving/formats/xz.h"
#include "carving/formats/zip.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace {

constexpr unsigned char kGzipMagic[] = {0x1F, 0x8B, 0x08};
constexpr unsigned char k7zMagic[] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
constexpr unsigned char kZipLocal[] = {0x50, 0x4B, 0x03, 0x04};
constexpr unsigned char kZipEnd[] = {0x50, 0x4B, 0x05, 0x06};
constexpr unsigned char kRarMagic[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr unsigned char kGhoMagic[] = {0xFE, 0xEF, 0x00, 0x00};
constexpr unsigned char kSqliteMagic[] = "SQLite format 3";  // with its terminating zero
constexpr unsigned char kDbxMagic[] = {0xCF, 0xAD, 0x12, 0xFE};
constexpr unsigned char kTtfVersion[] = {0x00, 0x01, 0x00, 0x00};
constexpr unsigned char sz7ZTail[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01,
                                      0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
constexpr unsigned char sm_ucWinrarTail[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
constexpr size_t kZipEndBytes = 22;
constexpr size_t kPeHeaderLimit = 488;
constexpr size_t k7zStartHeaderBytes = 32;

uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// Offset just past the end-of-central-directory record at `at`, with the archive comment it
// announces when the comment is wholly inside the bytes held.
size_t PastZipEnd(const unsigned char* p, size_t len, size_t at) {
    const size_t fixedEnd = at + kZipEndBytes;
    if (fixedEnd > len) return fixedEnd;
    const size_t comment = LoadU16(p + at + 20);
    return comment <= len - fixedEnd ? fixedEnd + comment : fixedEnd;
}

}  // namespace

namespace carving {

uint64_t ZipContainerBytes(CarveScan& scan, const unsigned char* pFirst, size_t len,
                           uint64_t u64Cap) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    // A small archive ends inside its first sector.
    const size_t firstBytes = std::min(len, b);
    const size_t endInFirst = FindBackward(pFirst, firstBytes, kZipEnd, sizeof kZipEnd);
    if (endInFirst != kNotFound && endInFirst + kZipEndBytes <= firstBytes) {
        return PastZipEnd(pFirst, firstBytes, endInFirst);
    }
    return StreamWith(scan, u64Cap, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindBackward(c.p, c.nFileBytes, kZipEnd, sizeof kZipEnd);
        if (at == kNotFound) return 0;
        length = c.u64Offset + PastZipEnd(c.p, c.nBytes, at);
        return 1;
    });
}

}  // namespace carving

// ---- Recognisers ------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsGzipType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 0, kGzipMagic, sizeof kGzipMagic)) return EXT_TYPE_NONE;
    // The three high flag bits are reserved; the extra flags are 0 (gzip's default level),
    // 2 (best) or 4 (fastest); the system byte is one of those named, or 255.
    const bool flags = (p[3] & 0xE0) == 0;
    const bool extra = p[8] == 0 || p[8] == 2 || p[8] == 4;
    const bool os = p[9] < 14 || p[9] == 255;
    return flags && extra && os ? EXT_TYPE_GZ : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::Is7zType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, k7zMagic, sizeof k7zMagic) ? EXT_TYPE_7Z : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsZipType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 48 && Has(p, len, 0, kZipLocal, 4) ? EXT_TYPE_ZIP : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsRarType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, kRarMagic, sizeof kRarMagic) ? EXT_TYPE_RAR : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsCabType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 36 && HasText(p, len, 0, "MSCF") ? EXT_TYPE_CAB : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsPeType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 512 || !HasText(p, len, 0, "MZ")) return EXT_TYPE_NONE;
    const uint32_t header = LoadU32(p + 60);
    if (header > kPeHeaderLimit) return EXT_TYPE_NONE;
    static const unsigned char kPe[] = {'P', 'E', 0, 0};
    if (!Has(p, len, header, kPe, 4)) return EXT_TYPE_NONE;
    const uint16_t characteristics = LoadU16(p + header + 22);
    if ((characteristics & 0x0002) == 0) return EXT_TYPE_NONE;
    if (characteristics & 0x1000) return EXT_TYPE_SYS;
    if (characteristics & 0x2000) return EXT_TYPE_DLL;
    return EXT_TYPE_EXE;
}

uint32_t CFileTypeJudge::IsGhoType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, kGhoMagic, sizeof kGhoMagic) ? EXT_TYPE_GHO : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsSqlType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kSqliteMagic, 16) ? EXT_TYPE_DB : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsDbxEmailType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kDbxMagic, 4) ? EXT_TYPE_DBX : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsPstEmailType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && HasText(p, len, 0, "!BDN") && HasText(p, len, 8, "SM") ? EXT_TYPE_PST
                                                                               : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsTtfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 0, kTtfVersion, 4)) return EXT_TYPE_NONE;
    const size_t tables = LoadBE16(p + 4);
    if (tables == 0 || LoadU16(p + 6) == 0 || LoadU16(p + 8) == 0 || LoadU16(p + 10) == 0) {
        return EXT_TYPE_NONE;
    }
    if (16 * tables + 16 > len) return EXT_TYPE_NONE;
    // A font's first table after the directory may hold anything (DejaVu's is FFTM, whose
    // version reads 00 00 00 01), so the directory itself is what is checked: every record
    // names its table with four printable characters and points past the directory.
    const size_t directoryEnd = 12 + 16 * tables;
    for (size_t i = 0; i < tables; ++i) {
        const unsigned char* record = p + 12 + 16 * i;
        for (size_t c = 0; c < 4; ++c) {
            if (record[c] < 0x20 || record[c] > 0x7E) return EXT_TYPE_NONE;
        }
        if (LoadBE32(record + 8) < directoryEnd) return EXT_TYPE_NONE;
    }
    return EXT_TYPE_TTF;
}

uint32_t CFileTypeJudge::IsBz2Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::LooksLikeBzip2(p, len) ? EXT_TYPE_BZ2 : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsXzType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::LooksLikeXz(p, len) ? EXT_TYPE_XZ : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsTarType(carving::CarveScan&, const unsigned char* p, size_t len) {
    // Any byte may start a tar header (it is the first entry's name): the magic is the cheap
    // test that turns nearly every sector away before the checksum is summed.
    if (p == nullptr || len < 512 || p[257] != 'u' || p[258] != 's') return EXT_TYPE_NONE;
    return formats::LooksLikeTar(p, len) ? EXT_TYPE_TAR : EXT_TYPE_NONE;
}

// ---- Estimators -------------------------------------------------------------------------

uint64_t CFileTypeJudge::GetZIPFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::ZipLength,
                   [&] { return ZipContainerBytes(scan, p, len, 4 * kGiB); });
}

uint64_t CFileTypeJudge::GetGZFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                            size_t len) {
    return ExactOr(scan, formats::GzipLength,
                   [&] { return GetDefaultVedioFileBytesSize(scan, p, len); });
}

uint64_t CFileTypeJudge::GetBZ2FileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return ExactOr(scan, formats::Bzip2Length,
                   [&] { return StreamToNextFile(scan, 4 * kGiB, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetXZFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                            size_t) {
    return ExactOr(scan, formats::XzLength,
                   [&] { return StreamToNextFile(scan, 4 * kGiB, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetTARFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return ExactOr(scan, formats::TarLength,
                   [&] { return StreamToNextFile(scan, 4 * kGiB, EndKind::kFile); });
}

uint64_t CFileTypeJudge::Get7ZFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                            size_t len) {
    // The start header names where the closing header lies and how long it is, under its own
    // checksum. The header's end pattern is only a fallback: the bytes after it depend on how
    // many bytes the unpacked size takes, so an offset fixed after it misses by one or more.
    if (Has(p, len, 0, k7zMagic, sizeof k7zMagic) && len >= k7zStartHeaderBytes &&
        Crc32(p + 12, 20) == LoadU32(p + 8)) {
        const uint64_t offset = LoadU64(p + 12);
        const uint64_t size = LoadU64(p + 20);
        if (offset <= 4 * kGiB && size <= 4 * kGiB) {
            return std::min<uint64_t>(k7zStartHeaderBytes + offset + size, 4 * kGiB);
        }
    }
    return StreamWith(scan, 4 * kGiB, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindBackward(c.p, c.nFileBytes, sz7ZTail, sizeof sz7ZTail);
        if (at == kNotFound) return 0;
        length = c.u64Offset + at + 27;
        return 1;
    });
}

uint64_t CFileTypeJudge::GetRARFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    return StreamWith(scan, 4 * kGiB, EndKind::kFile, [b](const StreamChunk& c, uint64_t& length) {
        for (size_t at = FindForward(c.p, c.nFileBytes, 0, sm_ucWinrarTail, 7); at != kNotFound;
             at = FindForward(c.p, c.nFileBytes, at + 1, sm_ucWinrarTail, 7)) {
            if (PassesZeroFill(c.p, c.nBytes, at + 7, b)) {
                length = c.u64Offset + at + 7;
                return 1;
            }
        }
        return 0;
    });
}

uint64_t CFileTypeJudge::GetCABFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    if (p == nullptr || len < 36) return static_cast<uint64_t>(ContextBytesPerSector(scan));
    return std::min<uint64_t>(LoadU32(p + 8), kGiB);
}

uint64_t CFileTypeJudge::GetDBFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                            size_t) {
    return ExactOr(scan, formats::SqliteLength,
                   [&] { return StreamToNextFile(scan, 6 * kGiB, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetMailFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                              size_t) {
    return StreamToNextFile(scan, 2 * kGiB, EndKind::kFile);
}

uint64_t CFileTypeJudge::GetTTFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 6) return b;
    const size_t count = LoadBE16(p + 4);
    if (count == 0) return 0;
    const unsigned char* dir = LeadingFileBytes(scan, p, len, 12 + 16 * count);
    if (dir == nullptr) {
        DebugLog("ttf table directory of %zu tables unreadable\n", count);
        return b;
    }
    uint64_t end = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* record = dir + 12 + 16 * i;
        end = std::max<uint64_t>(
            end, static_cast<uint64_t>(LoadBE32(record + 8)) + LoadBE32(record + 12));
    }
    // Every table is padded to a 4-byte boundary and the lengths leave the padding out, so
    // the file ends at the last table's end rounded up.
    return (end + 3) / 4 * 4;
}
