// Documents: compound documents (Word, Excel and PowerPoint 97-2003 and other OLE files),
// Office Open XML containers and PDF.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/formats/compound.h"
#include "carving/formats/zip.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace {

constexpr unsigned char kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr unsigned char ucDocTailHead[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
constexpr unsigned char ucDocTail[] = {'M', 'i', 'c', 'r', 'o',  's',  'o',  'f', 't',
                                       ' ', 'O', 'f', 'f', 'i',  'c',  'e',  ' ', 'W',
                                       'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
constexpr unsigned char kZipLocal[] = {0x50, 0x4B, 0x03, 0x04};
constexpr unsigned char kZipCentral[] = {0x50, 0x4B, 0x01, 0x02};
constexpr unsigned char kZipEnd[] = {0x50, 0x4B, 0x05, 0x06};
constexpr char sm_ucPdfEof[] = "%%EOF";
constexpr char sm_ucPdfTrailer[] = "trailer";
constexpr uint64_t kCompoundCap = 0x7FFFFFF;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr size_t kDirEntryBytes = 128;
constexpr size_t kHeaderDifatEntries = 109;
constexpr size_t kHeaderBytes = 512;

// Compound-file sectors are 1 << shift bytes and sector s starts (s + 1) sectors into the
// file, the header taking the first. Only 512 and 4096 are valid sizes.
size_t CompoundSectorSize(const unsigned char* header, size_t len) {
    if (len >= 32) {
        const uint16_t shift = LoadU16(header + 30);
        if (shift == 12) return 4096;
    }
    return 512;
}

// Reads compound-file sector s of the file whose header is at the scan's current sector.
bool ReadCompoundSector(CarveScan& scan, uint64_t s, size_t sectorSize,
                        std::vector<unsigned char>& out) {
    out.resize(sectorSize);
    return ReadBytesFrom(scan, scan.m_u64CurrentSector, (s + 1) * sectorSize, sectorSize,
                         out.data());
}

bool ClassIdIs(const unsigned char* id, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return LoadU32(id) == a && LoadU32(id + 4) == b && LoadU32(id + 8) == c &&
           LoadU32(id + 12) == d;
}

// Compares a little-endian UTF-16 name with ASCII text, ignoring case.
bool WideNameBeginsWith(const unsigned char* name, size_t nameBytes, const char* text) {
    const size_t n = std::strlen(text);
    if (2 * n > nameBytes) return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned lo = name[2 * i];
        if (name[2 * i + 1] != 0 || std::tolower(lo) != std::tolower(text[i])) return false;
    }
    return true;
}

uint32_t TypeFromDirectory(const std::vector<unsigned char>& dir) {
    const unsigned char* id = dir.data() + 80;
    if (ClassIdIs(id, 0x00020906, 0, 0x000000C0, 0x46000000)) return EXT_TYPE_DOC;
    if (ClassIdIs(id, 0x00020810, 0, 0x000000C0, 0x46000000) ||
        ClassIdIs(id, 0x00020820, 0, 0x000000C0, 0x46000000)) {
        return EXT_TYPE_XLS;
    }
    if (ClassIdIs(id, 0x64818D10, 0x11CF4F9B, 0xAA00EA86, 0xE829B900)) return EXT_TYPE_PPT;
    bool contents = false;
    bool flashPage = false;
    for (size_t at = 0; at + kDirEntryBytes <= dir.size(); at += kDirEntryBytes) {
        const unsigned char* name = dir.data() + at;
        if (WideNameBeginsWith(name, 64, "WordDocument")) return EXT_TYPE_DOC;
        if (WideNameBeginsWith(name, 64, "Workbook")) return EXT_TYPE_XLS;
        // Excel 5 and 95 named their stream "Book"; the name's length (terminator included)
        // keeps "Bookmarks" and the like out.
        if (WideNameBeginsWith(name, 64, "Book") && LoadU16(name + 64) == 10) return EXT_TYPE_XLS;
        if (WideNameBeginsWith(name, 64, "PowerPoint Document")) return EXT_TYPE_PPT;
        contents =
            contents || (WideNameBeginsWith(name, 64, "Contents") && LoadU16(name + 64) == 18);
        flashPage = flashPage || WideNameBeginsWith(name, 64, "Page ") ||
                    WideNameBeginsWith(name, 64, "Symbol ");
    }
    // Flash authoring files keep their document in "Contents" beside "Page n"/"Symbol n".
    return contents && flashPage ? EXT_TYPE_FLA : EXT_TYPE_OLE;
}

// The name of a ZIP entry says which Office application wrote the container.
uint32_t TypeFromEntryName(const unsigned char* window, size_t len, size_t name) {
    auto begins = [&](const char* text, size_t need) {
        return name <= len && len - name >= need &&
               strncasecmp(reinterpret_cast<const char*>(window + name), text, std::strlen(text)) ==
                   0;
    };
    if (begins("word", 5)) return EXT_TYPE_DOCX;
    if (begins("ppt", 4)) return EXT_TYPE_PPTX;
    if (begins("xl", 3)) return EXT_TYPE_XLSX;
    return EXT_TYPE_NONE;
}

uint32_t TypeFromZipWindow(const unsigned char* window, size_t len) {
    const size_t end = FindForward(window, len, 0, kZipEnd, 4);
    const size_t limit = end == kNotFound ? len : end;
    size_t local = 0;
    size_t central = 0;
    bool localLeft = true;
    bool centralLeft = true;
    while (localLeft || centralLeft) {
        if (localLeft) {
            const size_t at = FindForward(window, limit, local, kZipLocal, 4);
            localLeft = at != kNotFound;
            if (localLeft) {
                const uint32_t type = TypeFromEntryName(window, len, at + 30);
                if (type != EXT_TYPE_NONE) return type;
                local = at + 1;
            }
        }
        if (centralLeft) {
            const size_t at = FindForward(window, limit, central, kZipCentral, 4);
            centralLeft = at != kNotFound;
            if (centralLeft) {
                const uint32_t type = TypeFromEntryName(window, len, at + 46);
                if (type != EXT_TYPE_NONE) return type;
                central = at + 1;
            }
        }
    }
    return EXT_TYPE_NONE;
}

// Offset just past a PDF end keyword, taking the line end that closes it when it is there.
size_t PastPdfKeyword(const unsigned char* p, size_t len, size_t at, size_t keywordLen) {
    size_t end = at + keywordLen;
    if (end < len && p[end] == '\r') ++end;
    if (end < len && p[end] == '\n') ++end;
    return end;
}

// Where a PDF's last "%%EOF" is: every save appends objects, a cross-reference section and
// a trailer closed by "%%EOF", and a linearized file has one "%%EOF" after its first page as
// well. An "%%EOF" followed (after white space) by an object or a cross-reference section is
// therefore not the last one; the first one followed by anything else ends the file.
class PdfEndSearch {
public:
    // Feeds the file's bytes [u64Offset, u64Offset + n), in order; true once the end is known.
    bool Feed(const unsigned char* p, size_t n, uint64_t u64Offset) {
        if (n == 0) return false;
        // Markers in the last bytes fed so far are decided with the first of these.
        Blob joint(m_carry);
        joint.insert(joint.end(), p, p + std::min(n, kLookahead));
        for (size_t at = Next(joint.data(), joint.size(), 0); at < m_carry.size();
             at = Next(joint.data(), joint.size(), at + 1)) {
            if (EndsAt(joint.data(), joint.size(), at, m_u64CarryOffset, false)) return true;
        }
        const size_t decidable = n > kLookahead ? n - kLookahead : 0;
        for (size_t at = Next(p, n, 0); at < decidable; at = Next(p, n, at + 1)) {
            if (EndsAt(p, n, at, u64Offset, false)) return true;
        }
        // The new carry: the last kLookahead bytes fed, the old carry's included after a
        // short feed.
        if (n >= kLookahead) {
            m_carry.assign(p + n - kLookahead, p + n);
            m_u64CarryOffset = u64Offset + n - kLookahead;
        } else {
            if (m_carry.empty()) m_u64CarryOffset = u64Offset;
            m_carry.insert(m_carry.end(), p, p + n);
            const size_t drop = m_carry.size() > kLookahead ? m_carry.size() - kLookahead : 0;
            m_carry.erase(m_carry.begin(), m_carry.begin() + static_cast<std::ptrdiff_t>(drop));
            m_u64CarryOffset += drop;
        }
        return false;
    }
    // The bytes ended: an undecided marker in the last bytes ends the file.
    bool Finish() {
        const size_t n = m_carry.size();
        for (size_t at = Next(m_carry.data(), n, 0); at < n; at = Next(m_carry.data(), n, at + 1)) {
            if (EndsAt(m_carry.data(), n, at, m_u64CarryOffset, true)) return true;
        }
        return false;
    }
    uint64_t End() const { return m_u64End; }

private:
    using Blob = std::vector<unsigned char>;
    static constexpr size_t kLookahead = 64;  // marker, line end, white space and "n g obj"

    static size_t Next(const unsigned char* p, size_t n, size_t from) {
        return FindForward(p, n, from, sm_ucPdfEof, 5);
    }

    // True when the "%%EOF" at p[at] ends the file; false when an update follows it or, unless
    // these are the last bytes, too few bytes follow it to tell.
    bool EndsAt(const unsigned char* p, size_t n, size_t at, uint64_t u64Offset, bool bLast) {
        const size_t past = PastPdfKeyword(p, n, at, 5);
        if (!bLast && n - past < kLookahead - 7) return false;
        if (FollowedByUpdate(p + past, n - past)) return false;
        m_u64End = u64Offset + past;
        return true;
    }

    static bool FollowedByUpdate(const unsigned char* p, size_t n) {
        size_t i = 0;
        while (i < n && (p[i] == ' ' || p[i] == '\r' || p[i] == '\n' || p[i] == '\t')) ++i;
        if (n - i >= 4 && std::memcmp(p + i, "xref", 4) == 0) return true;
        // "<number> <number> obj"
        for (int field = 0; field < 2; ++field) {
            const size_t digits = i;
            while (i < n && std::isdigit(p[i])) ++i;
            if (i == digits || i >= n || p[i] != ' ') return false;
            ++i;
        }
        return n - i >= 3 && std::memcmp(p + i, "obj", 3) == 0;
    }

    Blob m_carry;
    uint64_t m_u64CarryOffset = 0;
    uint64_t m_u64End = 0;
};

}  // namespace

// ---- Compound documents -----------------------------------------------------------------

uint32_t CFileTypeJudge::IsOffice2003Type(carving::CarveScan& scan, const unsigned char* p,
                                          size_t len) {
    if (len < 8 || !Has(p, len, 0, kCompoundMagic, sizeof kCompoundMagic)) return EXT_TYPE_NONE;
    return GetOffice2003Type(scan, p, len);
}

uint32_t CFileTypeJudge::GetOffice2003Type(carving::CarveScan& scan, const unsigned char* pHeader,
                                           size_t len) {
    if (pHeader == nullptr) return EXT_TYPE_OLE;
    // Typed from a few bytes, the rest of the header comes from the device.
    unsigned char header[kHeaderBytes];
    if (len < kHeaderBytes &&
        ReadBytesFrom(scan, scan.m_u64CurrentSector, 0, kHeaderBytes, header) &&
        std::memcmp(header, pHeader, len) == 0) {
        pHeader = header;
        len = kHeaderBytes;
    }
    const size_t sectorSize = CompoundSectorSize(pHeader, len);
    std::vector<unsigned char> sector;
    if (!ReadCompoundSector(scan, 0, sectorSize, sector)) return EXT_TYPE_OLE;
    if (LoadU16(&sector[0]) == 0x0809 && LoadU16(&sector[2]) == 0x0010 &&
        LoadU16(&sector[4]) == 0x0600) {
        return EXT_TYPE_XLS;
    }
    if (LoadU16(&sector[0]) == 0xA5EC) return EXT_TYPE_DOC;
    if (len < 52) return EXT_TYPE_OLE;  // the header is cut before its directory pointer
    if (!ReadCompoundSector(scan, LoadU32(pHeader + 48), sectorSize, sector)) return EXT_TYPE_OLE;
    return TypeFromDirectory(sector);
}

uint64_t CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(carving::CarveScan& scan,
                                                              const unsigned char* pHeader,
                                                              size_t len) {
    if (pHeader == nullptr || len < 76) return 0;
    const uint16_t shift = LoadU16(pHeader + 30);
    if (shift != 9 && shift != 12) return 0;
    const uint64_t sectorSize = uint64_t{1} << shift;
    const uint32_t perSector = static_cast<uint32_t>(sectorSize / 4);  // allocation entries
    const uint32_t limit = (0xFFFFFFFAu >> (shift - 2)) + 1;
    const uint32_t fatSectors = LoadU32(pHeader + 44);
    const uint32_t miniSectors = LoadU32(pHeader + 64);
    const uint32_t extSectors = LoadU32(pHeader + 72);
    if (fatSectors > limit || miniSectors > limit || extSectors > limit / (perSector - 1) + 1) {
        return 0;
    }
    if (fatSectors == 0) return 0;

    // The last allocation sector: listed in the header, or in the last extension sector.
    uint32_t last = 0;
    std::vector<unsigned char> sector;
    if (extSectors == 0) {
        if (fatSectors > kHeaderDifatEntries || 76 + 4 * size_t{fatSectors} > len) return 0;
        last = LoadU32(pHeader + 76 + 4 * (fatSectors - 1));
    } else {
        if (fatSectors < kHeaderDifatEntries) return 0;
        uint32_t next = LoadU32(pHeader + 68);
        bool found = false;
        for (uint32_t i = 1; i <= extSectors; ++i) {
            if (next >= 0xFFFFFFFC || !ReadCompoundSector(scan, next, sectorSize, sector)) break;
            if (i == extSectors) {
                const uint32_t r = (fatSectors - kHeaderDifatEntries) % (perSector - 1);
                last = LoadU32(&sector[4 * (r == 0 ? perSector - 2 : r - 1)]);
                found = true;
                break;
            }
            next = LoadU32(&sector[4 * (perSector - 1)]);
        }
        if (!found) return 0;
    }

    const uint64_t covered = uint64_t{perSector} * fatSectors + 1;  // sectors + the header
    if (!ReadCompoundSector(scan, last, sectorSize, sector)) {
        return std::min<uint64_t>(covered * sectorSize, kCompoundCap);
    }
    uint64_t freeTail = 0;
    for (uint32_t i = perSector; i-- > 0 && LoadU32(&sector[4 * i]) == kFreeSector;) ++freeTail;
    return std::min<uint64_t>((covered - freeTail) * sectorSize, kCompoundCap);
}

// The allocation table as the header alone reads it, then the closing stream's name.
static uint64_t CompoundBytesByOldRules(CarveScan& scan, const unsigned char* p, size_t len) {
    const uint64_t fromHeader = CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(scan, p, len);
    if (fromHeader != 0) return fromHeader;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    return StreamWith(
        scan, kCompoundCap, EndKind::kFile, [&](const StreamChunk& c, uint64_t& length) {
            if (FindForward(c.p, c.nFileBytes, 0, ucDocTailHead, sizeof ucDocTailHead) ==
                kNotFound) {
                return 0;
            }
            const size_t tail = FindForward(c.p, c.nFileBytes, 0, ucDocTail, sizeof ucDocTail);
            if (tail == kNotFound) return 0;
            length = c.u64Offset + (tail + sizeof ucDocTail + b - 1) / b * b;
            return 1;
        });
}

uint64_t CFileTypeJudge::GetOFFICE2003FileBytesSize(carving::CarveScan& scan,
                                                    const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::CompoundLength,
                   [&] { return CompoundBytesByOldRules(scan, p, len); });
}

// ---- Office Open XML --------------------------------------------------------------------

uint32_t CFileTypeJudge::IsOffice2007Type(carving::CarveScan& scan, const unsigned char* p,
                                          size_t len) {
    if (p == nullptr || len < 31) return EXT_TYPE_NONE;
    if (!Has(p, len, 0, kZipLocal, 4) && !HasText(p, len, 31, "[Content_Types].xml")) {
        return EXT_TYPE_NONE;
    }
    return GetOffice2007Type(scan, p, len);
}

uint32_t CFileTypeJudge::GetOffice2007Type(carving::CarveScan& scan, const unsigned char*, size_t) {
    constexpr int kPasses = 5;
    constexpr int kSectorsPerPass = 4;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    ISectorReader* reader = scan.m_pDiskReader;
    if (reader == nullptr) return EXT_TYPE_NONE;
    std::vector<unsigned char> window;
    try {
        window.assign(kSectorsPerPass * b + 4, 0);
    } catch (...) {
        return EXT_TYPE_NONE;
    }
    const uint64_t limit = reader->SectorLimit(static_cast<int>(b));
    for (int pass = 0; pass < kPasses; ++pass) {
        const uint64_t start =
            scan.m_u64CurrentSector + kSectorsPerPass * static_cast<uint64_t>(pass);
        if (start >= limit) break;
        // A container near the end of the device is typed from the sectors that exist.
        const int want = static_cast<int>(std::min<uint64_t>(kSectorsPerPass, limit - start));
        unsigned int got = 0;
        const int rc =
            reader->ReadSectors(window.data() + 4, want, start, static_cast<int>(b), &got);
        if (rc == 0) got = static_cast<unsigned int>(want);
        if ((rc != 0 && rc != RESULT_SHORT_READ) || got == 0) break;
        const size_t used = 4 + got * b;
        const uint32_t type = TypeFromZipWindow(window.data(), used);
        if (type != EXT_TYPE_NONE) return type;
        if (got < static_cast<unsigned int>(kSectorsPerPass)) break;
        // The carry keeps a signature split across two passes whole.
        std::memcpy(window.data(), window.data() + used - 4, 4);
    }
    return EXT_TYPE_NONE;
}

uint64_t CFileTypeJudge::GetOFFICE2007FileBytesSize(carving::CarveScan& scan,
                                                    const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::ZipLength,
                   [&] { return ZipContainerBytes(scan, p, len, kCompoundCap); });
}

// ---- PDF --------------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsPdfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 5 && HasText(p, len, 0, "%PDF-") ? EXT_TYPE_PDF : EXT_TYPE_NONE;
}

uint64_t CFileTypeJudge::GetPDFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    PdfEndSearch search;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    bool found = p != nullptr && search.Feed(p, std::min(len, b), 0);
    const uint64_t reached =
        found ? 0 : StreamWith(scan, kGiB, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
            found = search.Feed(c.p, c.nFileBytes, c.u64Offset);
            return found ? 1 : 0;
        });
    if (scan.m_ErrorCode != 0) return reached;
    if (found || search.Finish()) return search.End();
    // Without an end of file marker, the last trailer keyword.
    return StreamWith(scan, kGiB, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t eof = FindBackward(c.p, c.nFileBytes, sm_ucPdfEof, 5);
        if (eof != kNotFound) {
            length = c.u64Offset + PastPdfKeyword(c.p, c.nFileBytes, eof, 5);
            return 1;
        }
        const size_t trailer = FindBackward(c.p, c.nFileBytes, sm_ucPdfTrailer, 7);
        if (trailer == kNotFound) return 0;
        length = c.u64Offset + trailer + 7;
        return 1;
    });
}
