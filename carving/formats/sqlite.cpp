#include "carving/formats/sqlite.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr char kMagic[] = "SQLite format 3";  // 16 bytes with its terminating zero
constexpr size_t kHeaderBytes = 100;

// 1 stands for 65536, which does not fit the two-byte field.
uint32_t PageSize(const unsigned char* header) {
    const uint32_t raw = Be16(header + 16);
    const uint32_t size = raw == 1 ? 65536 : raw;
    const bool powerOfTwo = size != 0 && (size & (size - 1)) == 0;
    return powerOfTwo && size >= 512 && size <= 65536 ? size : 0;
}

}  // namespace

FormatLength SqliteLength(CarveContext& ctx) {
    const unsigned char* header = ctx.View(0, kHeaderBytes);
    if (header == nullptr || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        return FormatLength::Rejected();
    }
    const uint32_t pageSize = PageSize(header);
    // The payload fractions are fixed at 64, 32 and 32 in every database.
    if (pageSize == 0 || header[21] != 64 || header[22] != 32 || header[23] != 32) {
        return FormatLength::Rejected();
    }
    const uint32_t pages = Be32(header + 28);
    // Writers older than 3.7.0 left the page count stale; the matching counters say it is
    // not.
    const bool countIsCurrent = pages != 0 && Be32(header + 92) == Be32(header + 24);
    const uint64_t bytes = uint64_t{pages} * pageSize;
    if (!countIsCurrent || bytes > ctx.BytesToDeviceEnd()) return FormatLength::AtLeast(pageSize);
    return FormatLength::Exact(bytes);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kSqliteMagic[] = "SQLite format 3";  // with its terminating zero

}  // namespace

namespace carving::formats {

uint32_t IsSqlType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kSqliteMagic, 16) ? EXT_TYPE_DB : EXT_TYPE_NONE;
}

uint64_t GetDBFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::SqliteLength, 6 * kGiB);
}

}  // namespace carving::formats
