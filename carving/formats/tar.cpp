#include "carving/formats/tar.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr size_t kBlock = 512;
constexpr uint64_t kRecordBytes = 10240;
constexpr uint64_t kMaxEntries = uint64_t{1} << 24;
constexpr uint64_t kMaxSparseBlocks = 1 << 16;
constexpr size_t kSizeField = 124;
constexpr size_t kChecksumField = 148;
constexpr size_t kTypeField = 156;

// An octal number, spaces and zeros around it allowed; false on any other byte.
bool ParseOctal(const unsigned char* field, size_t n, uint64_t* pValue) {
    uint64_t value = 0;
    size_t i = 0;
    while (i < n && field[i] == ' ') ++i;
    size_t digits = 0;
    for (; i < n && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        if (value >> 60) return false;
        value = value * 8 + (field[i] - '0');
    }
    for (; i < n; ++i) {
        if (field[i] != ' ' && field[i] != 0) return false;
    }
    *pValue = value;
    return digits != 0;
}

// The size field: octal, or base-256 (high bit of the first byte set) for sizes of 8 GiB and
// more. A negative base-256 size is no size.
bool ParseSize(const unsigned char* field, uint64_t* pValue) {
    if ((field[0] & 0x80) == 0) return ParseOctal(field, 12, pValue);
    if (field[0] != 0x80) return false;
    uint64_t value = 0;
    for (size_t i = 1; i < 12; ++i) {
        if (value >> 55) return false;
        value = (value << 8) | field[i];
    }
    *pValue = value;
    return true;
}

bool IsZeroBlock(const unsigned char* block) {
    return block[0] == 0 && std::memcmp(block, block + 1, kBlock - 1) == 0;
}

// Entry types whose size field does not count data blocks: links, devices, folders, fifos.
bool CarriesNoData(unsigned char type) {
    return type >= '1' && type <= '6';
}

// Bytes of data after the header at `at`, GNU sparse extension headers included.
bool EntryDataBytes(CarveContext& ctx, uint64_t at, const unsigned char* header, uint64_t* pBytes) {
    uint64_t size = 0;
    if (!ParseSize(header + kSizeField, &size)) return false;
    if (CarriesNoData(header[kTypeField])) size = 0;
    uint64_t extension = 0;
    if (header[kTypeField] == 'S' && header[482] != 0) {
        // Each extension block says in its byte 504 whether another follows.
        uint64_t next = at + kBlock;
        for (;;) {
            const unsigned char* block = ctx.View(next, kBlock);
            if (block == nullptr || ++extension > kMaxSparseBlocks) return false;
            next += kBlock;
            if (block[504] == 0) break;
        }
    }
    const uint64_t rounded = (size + kBlock - 1) / kBlock * kBlock;
    *pBytes = rounded + extension * kBlock;
    return true;
}

// Past the closing zero blocks at `end`: the zero blocks up to the next record boundary.
uint64_t PastRecordPadding(CarveContext& ctx, uint64_t end) {
    while (end % kRecordBytes != 0) {
        const unsigned char* block = ctx.View(end, kBlock);
        if (block == nullptr || !IsZeroBlock(block)) break;
        end += kBlock;
    }
    return end;
}

}  // namespace

bool TarHeaderChecksumMatches(const unsigned char* block) {
    uint64_t stored = 0;
    if (!ParseOctal(block + kChecksumField, 8, &stored)) return false;
    // The checksum field counts as eight spaces. Some old writers summed signed chars.
    uint64_t unsignedSum = 8 * ' ';
    int64_t signedSum = 8 * ' ';
    for (size_t i = 0; i < kBlock; ++i) {
        if (i >= kChecksumField && i < kChecksumField + 8) continue;
        unsignedSum += block[i];
        signedSum += static_cast<signed char>(block[i]);
    }
    return stored == unsignedSum || static_cast<int64_t>(stored) == signedSum;
}

bool LooksLikeTar(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBlock) return false;
    const bool posix = std::memcmp(p + 257,
                                   "ustar\0"
                                   "00",
                                   8) == 0;
    const bool gnu = std::memcmp(p + 257, "ustar  \0", 8) == 0;
    return (posix || gnu) && p[0] != 0 && TarHeaderChecksumMatches(p);
}

FormatLength TarLength(CarveContext& ctx) {
    const unsigned char* first = ctx.View(0, kBlock);
    if (first == nullptr || !LooksLikeTar(first, kBlock)) return FormatLength::Rejected();
    uint64_t at = 0;
    for (uint64_t entries = 0; entries < kMaxEntries; ++entries) {
        const unsigned char* header = ctx.View(at, kBlock);
        if (header == nullptr) return FormatLength::AtLeast(at);
        if (IsZeroBlock(header)) {
            const unsigned char* second = ctx.View(at + kBlock, kBlock);
            if (second == nullptr || !IsZeroBlock(second)) return FormatLength::AtLeast(at);
            return FormatLength::Exact(PastRecordPadding(ctx, at + 2 * kBlock));
        }
        uint64_t data = 0;
        if (!TarHeaderChecksumMatches(header) || !EntryDataBytes(ctx, at, header, &data)) {
            return FormatLength::AtLeast(at);
        }
        const uint64_t next = at + kBlock + data;
        if (next < at || next > ctx.BytesToDeviceEnd()) return FormatLength::AtLeast(at);
        at = next;
    }
    return FormatLength::AtLeast(at);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsTarType(carving::CarveScan&, const unsigned char* p, size_t len) {
    // Any byte may start a tar header (it is the first entry's name): the magic is the cheap
    // test that turns nearly every sector away before the checksum is summed.
    if (p == nullptr || len < 512 || p[257] != 'u' || p[258] != 's') return EXT_TYPE_NONE;
    return formats::LooksLikeTar(p, len) ? EXT_TYPE_TAR : EXT_TYPE_NONE;
}

uint64_t GetTARFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::TarLength, 4 * kGiB);
}

}  // namespace carving::formats
