// 7-Zip archives.
#include "carving/formats/sevenzip.h"

#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace {

constexpr unsigned char k7zMagic[] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};

constexpr unsigned char sz7ZTail[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01,
                                      0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};

constexpr size_t k7zStartHeaderBytes = 32;

uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

}  // namespace

namespace carving::formats {

uint32_t Is7zType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return Has(p, len, 0, k7zMagic, sizeof k7zMagic) ? EXT_TYPE_7Z : EXT_TYPE_NONE;
}

uint64_t Get7ZFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
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

}  // namespace carving::formats
