// Recognisers for boot sectors and directory records, and the small FAT helpers every FAT
// engine shares. All are stateless, never read a device and never allocate.
//
// Each takes the buffer and the number of bytes it holds; a buffer too short for the
// structure is simply "not recognised" (0). Nothing is read outside [p, p + len). All
// multi-byte fields are little-endian. A recogniser returns 1 for yes and 0 for no.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/file_node.h"

// The 32-byte short directory entry.
struct FAT32_Entry {
    uint8_t szName[8];  // space-padded; 0xE5 deleted, 0x00 end of directory
    uint8_t szExt[3];
    uint8_t uAttr;  // 0x0F marks a long-name entry
    uint8_t uNtReserved;
    uint8_t uCreateTimeTenth;
    uint16_t uCreateTime;
    uint16_t uCreateDate;
    uint16_t uAccessDate;
    uint16_t uClusterHigh;
    uint16_t uModifyTime;
    uint16_t uModifyDate;
    uint16_t uClusterLow;
    uint32_t uFileSize;
} __attribute__((packed));
static_assert(sizeof(FAT32_Entry) == 32);

enum : uint8_t {
    FAT_ATTR_READ_ONLY = 0x01,
    FAT_ATTR_HIDDEN = 0x02,
    FAT_ATTR_SYSTEM = 0x04,
    FAT_ATTR_VOLUME_LABEL = 0x08,
    FAT_ATTR_DIRECTORY = 0x10,
    FAT_ATTR_ARCHIVE = 0x20,
    FAT_ATTR_LONG_NAME = 0x0F,
    FAT_ENTRY_DELETED = 0xE5,
};

constexpr size_t kFatEntrySize = 32;

// Boot sectors (at least 512 bytes).
int IsFat(const unsigned char* p, size_t len);
int IsFullValidFAT16DBR(const unsigned char* p, size_t len);
int IsFullValidFAT32DBR(const unsigned char* p, size_t len);
int IsBitlockerDBR(const unsigned char* p, size_t len);
int IsNtfs(const unsigned char* p, size_t len);
// The first 1112 bytes (or more) of the volume; the superblock starts at 1024.
int IsExt(const unsigned char* p, size_t len);

// A FILE record of nRecordSize bytes; p must hold that many.
int IsNtfsFileRecord(const unsigned char* p, int nRecordSize);

// The "." and ".." pair that opens a FAT folder (64 bytes).
int IsFatFileRecord(const unsigned char* p, size_t len);
// A plausible live, deleted, label or long-name entry. The entry's check for a "." ".." pair
// looks at the following entry too, but only when len says it is there.
int IsFatEntyValid(const unsigned char* pEntry, size_t len);
// A sector-sized buffer holding nothing but directory entries.
int IsFatFDTRecord(const unsigned char* p, int nLen);

uint8_t GetShortNameCheckSum(const unsigned char* pName11);
int IsInvalidShortFileName(const unsigned char* pName11);

// Entry dates as seconds since 1970 in local time, the real calendar day and time of day.
// Fields out of range are clamped, so that any year from 1992 to 2079 lands inside the
// window IsFatEntyValid accepts and years up to 1990 or from 2081 on land outside it.
void Fat32GetFileCreateTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastAccessTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastChangeTime(const FAT32_Entry* pEntry, _FILETIME* pTime);

void EraseStringTailBlankChar(char* psz, int nLen);  // trailing spaces become zero bytes
int Convert2Lowercase(char* psz);                    // ASCII only; returns the length

struct FAT32_DEFAULT_CLUSTER_ROW {
    uint32_t uSectorsPerCluster;
    uint64_t u64FromSectors;   // included
    uint64_t u64BelowSectors;  // excluded
};
extern const FAT32_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8];

uint32_t GetFat32DefaultSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector);
uint32_t GetDefaultNtfsSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector);
