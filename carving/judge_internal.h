// Helpers shared by the format families of CFileTypeJudge: bounded byte tests and searches,
// the zero-fill rule, reads relative to the file being examined, and the streaming frame
// that every end-marker estimator runs. Not part of the carving interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "carving/file_type_judge.h"
#include "carving/formats/carve_context.h"

namespace carving {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kGiB = 1024 * kMiB;

// Budgets of the fallback rules shared by several families.
constexpr uint64_t kPictureCap = 128 * kMiB;
constexpr uint64_t kCompoundCap = 0x7FFFFFF;

// n bytes of pattern at p[off], with every byte inside [p, p + len).
inline bool Has(const unsigned char* p, size_t len, size_t off, const void* pattern, size_t n) {
    return p != nullptr && off <= len && n <= len - off && std::memcmp(p + off, pattern, n) == 0;
}
inline bool HasText(const unsigned char* p, size_t len, size_t off, const char* text) {
    return Has(p, len, off, text, std::strlen(text));
}

inline uint16_t LoadBE16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t LoadBE32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

constexpr size_t kNotFound = static_cast<size_t>(-1);

// First occurrence of pattern in [p + from, p + len), or kNotFound.
size_t FindForward(const unsigned char* p, size_t len, size_t from, const void* pattern, size_t n);
// Last occurrence of pattern wholly inside [p, p + len), or kNotFound.
size_t FindBackward(const unsigned char* p, size_t len, const void* pattern, size_t n);

// A tail ending just before offset e of buf can end a file when the file then ends on a
// sector boundary or nothing but zeros follows it up to the next boundary.
bool PassesZeroFill(const unsigned char* buf, size_t len, size_t e, size_t bytesPerSector);

// The scan's sector size, or 512 when it holds one no estimator can work with.
int ContextBytesPerSector(const CarveScan& scan);

// Reads nBytes at byte offset u64Offset from the start of the file being examined
// (the scan's m_u64StartSector) into pOut, through the scan's reader, reading the whole sectors
// that cover them. True when every byte arrived.
bool ReadFileBytes(CarveScan& scan, uint64_t u64Offset, size_t nBytes, unsigned char* pOut);
// The same counted from u64BaseSector instead of the file's first sector.
bool ReadBytesFrom(CarveScan& scan, uint64_t u64BaseSector, uint64_t u64Offset, size_t nBytes,
                   unsigned char* pOut);

// The first `need` bytes of the file: pFirst itself when its len bytes hold them, else the
// scan's work buffer filled with them from the device. Null when neither can (more than 64 KiB, or
// a failed read).
const unsigned char* LeadingFileBytes(CarveScan& scan, const unsigned char* pFirst, size_t len,
                                      size_t need);

enum class EndKind { kFile, kVideo, kMpg };

// A structural length function: the file starting at the context's first sector, measured
// by the format's own structure.
using FormatLengthFunc = FormatLength (*)(CarveContext& ctx);

// Runs fn on a context for the file being examined (the scan's reader, sector size and
// start sector), with the scan's progress callback as its cancel question: a cancel is left
// in the scan's m_ErrorCode as the streaming frame leaves it.
FormatLength MeasureInContext(CarveScan& scan, FormatLengthFunc fn);

// The estimators' common use of a structural walk: its exact length when it has one, 0
// when the structure refuses the file (nothing is carved), otherwise the fallback's answer.
template <class Fallback>
uint64_t ExactOr(CarveScan& scan, FormatLengthFunc fn, Fallback&& fallback) {
    const FormatLength length = MeasureInContext(scan, fn);
    if (length.IsExact()) return length.bytes;
    if (length.IsRejected() || scan.m_ErrorCode != 0) return 0;
    return fallback();
}

// Length of a ZIP container (plain archive or Office Open XML) that starts with pFirst,
// from its end-of-central-directory record, within u64Cap.
uint64_t ZipContainerBytes(CarveScan& scan, const unsigned char* pFirst, size_t len,
                           uint64_t u64Cap);

// One chunk of the streaming frame as the estimator-specific search sees it.
struct StreamChunk {
    const unsigned char* p;  // the chunk as read
    size_t nBytes;           // whole chunk read
    size_t nFileBytes;       // the bytes before the sector where another file begins
    uint64_t u64Offset;      // offset within the file of p[0]
    bool bEnded;             // the end detector found another file or file-system sector
};

// Returns 1 when the search fixed the length (written to length), which ends the estimate.
using ChunkSearchFunc = int (*)(void* pState, const StreamChunk& chunk, uint64_t& length);

// The streaming frame: reads onwards from the sector after the scan's m_u64StartSector in 64 KiB
// chunks until the end detector, the search, the budget (cap), a failed read or the progress
// callback stops it. Returns the length reached, first sector included.
uint64_t StreamFileBytes(CarveScan& scan, uint64_t u64Cap, EndKind kind, ChunkSearchFunc search,
                         void* pState);

template <class Search>
uint64_t StreamWith(CarveScan& scan, uint64_t u64Cap, EndKind kind, Search&& search) {
    using S = std::remove_reference_t<Search>;
    return StreamFileBytes(
        scan, u64Cap, kind,
        [](void* state, const StreamChunk& chunk, uint64_t& length) {
            return (*static_cast<S*>(state))(chunk, length);
        },
        &search);
}

// Streaming with no search of its own: only the end detector and the cap end it.
inline uint64_t StreamToNextFile(CarveScan& scan, uint64_t u64Cap, EndKind kind) {
    return StreamFileBytes(scan, u64Cap, kind, nullptr, nullptr);
}

// The structural walk's exact length, or else the file up to the next one within u64Cap.
inline uint64_t ExactOrToNextFile(CarveScan& scan, FormatLengthFunc fn, uint64_t u64Cap) {
    return ExactOr(scan, fn, [&] { return StreamToNextFile(scan, u64Cap, EndKind::kFile); });
}

inline uint64_t StreamVideo(CarveScan& scan, uint64_t cap) {
    return StreamToNextFile(scan, cap, EndKind::kVideo);
}

// First tail occurrence in [p, p + len) whose end passes the zero-fill rule: 1 with the
// offset just past it.
int FindZeroFilledTail(CarveScan& scan, const unsigned char* p, size_t len,
                       const unsigned char* tail, size_t tailLen, size_t& uOffset);

// A tail-marked picture: the first sector may already hold the whole file; otherwise the
// first chunk with a usable tail fixes the length, even past a sector the end detector
// took for another file (picture data can look like a signature).
uint64_t TailPictureBytes(CarveScan& scan, const unsigned char* p, size_t len,
                          int (*finder)(CarveScan&, const unsigned char*, size_t, size_t&));

}  // namespace carving
