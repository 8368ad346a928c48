// PDF documents.
#include "carving/formats/pdf.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr char sm_ucPdfEof[] = "%%EOF";

constexpr char sm_ucPdfTrailer[] = "trailer";

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

namespace carving::formats {

uint32_t IsPdfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 5 && HasText(p, len, 0, "%PDF-") ? EXT_TYPE_PDF : EXT_TYPE_NONE;
}

uint64_t GetPDFFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
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

}  // namespace carving::formats
