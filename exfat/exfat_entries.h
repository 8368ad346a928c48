// exFAT folders: the entry sets a folder's bytes hold, live and deleted, and their times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kExfatEntryBytes = 32;

enum : uint8_t {
    EXFAT_ENTRY_END = 0x00,
    EXFAT_ENTRY_BITMAP = 0x81,
    EXFAT_ENTRY_FILE = 0x85,
    EXFAT_ENTRY_STREAM = 0xC0,
    EXFAT_ENTRY_NAME = 0xC1,
    EXFAT_ENTRY_IN_USE = 0x80,
};

constexpr uint16_t kExfatAttrDirectory = 0x10;
constexpr uint8_t kExfatNoFatChain = 0x02;

// One of a file entry's three times, as stored.
struct ExfatStamp {
    uint32_t uStamp = 0;     // date and time to two seconds, local to uUtcOffset
    uint8_t uTenMs = 0;      // 0..199 hundredths beyond it
    uint8_t uUtcOffset = 0;  // bit 7: valid; bits 0-6: signed quarter hours east of UTC
};

// A file or folder: its File entry, Stream Extension and name, all checked.
struct ExfatEntrySet {
    size_t uOffset = 0;  // of the File entry in the folder's bytes
    bool bDeleted = false;
    uint16_t uAttributes = 0;
    uint8_t uStreamFlags = 0;
    uint32_t uFirstCluster = 0;
    uint64_t u64ValidLength = 0;
    uint64_t u64DataLength = 0;
    std::u16string name;
    ExfatStamp created, modified, accessed;

    bool IsFolder() const { return (uAttributes & kExfatAttrDirectory) != 0; }
    bool NoFatChain() const { return (uStreamFlags & kExfatNoFatChain) != 0; }
};

// The allocation bitmap a root folder names.
struct ExfatBitmapEntry {
    uint32_t uFirstCluster = 0;
    uint64_t u64Length = 0;
};

// What a folder's bytes hold. bEnded: the end-of-folder mark was met, nothing follows it.
struct ExfatFolderContent {
    std::vector<ExfatEntrySet> sets;
    std::vector<ExfatBitmapEntry> bitmaps;  // in the order met; the first is the volume's
    uint32_t uBrokenSets = 0;
    uint32_t uBrokenLiveSets = 0;  // of them, sets whose File entry is live
    bool bEnded = false;
};

// The sets of a folder's bytes in order. A broken set (bad checksum, missing or mixed entries,
// a name that does not fit) is counted and passed over entry by entry, so that the sets after
// it are still found.
void ParseExfatFolder(const unsigned char* p, size_t uLength, ExfatFolderContent& out);

// The offset of the last File entry whose set runs past the end of the bytes (the rest of it
// lies beyond them), or uLength when no set is left open.
size_t ExfatOpenSetOffset(const unsigned char* p, size_t uLength);

// Whether a byte is an entry type a folder may hold, in use or not (0 marks the end).
bool IsExfatDirectoryEntryType(uint8_t uType);

// The checksum over a set of uEntries entries, skipping its own field. In-use bits are taken as
// set, so a deleted set checks as it did when it was written.
uint16_t ExfatSetChecksum(const unsigned char* pSet, size_t uEntries);

// Seconds since 1970 (UTC) of a stamp; a stamp without a valid offset is taken as UTC.
int64_t ExfatStampToUnix(const ExfatStamp& stamp);
