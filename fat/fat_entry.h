// The FAT directory entry and the small helpers both FAT engines use to read one: its dates,
// the checksum that ties long-name pieces to their short entry, and name clean-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/file_node.h"
#include "foundation/recognisers.h"

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

uint8_t GetShortNameCheckSum(const unsigned char* pName11);

// Entry dates as seconds since 1970 in local time (FAT keeps local times), the real calendar
// day and time of day. Fields out of range are clamped.
void Fat32GetFileCreateTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastAccessTime(const FAT32_Entry* pEntry, _FILETIME* pTime);
void Fat32GetFileLastChangeTime(const FAT32_Entry* pEntry, _FILETIME* pTime);

// The name a short entry shows, as UTF-8: base and extension with their padding removed,
// decoded from the OEM code page (foundation/text.h), in the case the entry's case flags ask
// for (byte 0x0C: 0x08 base, 0x10 extension in lower case), else as stored. A deleted entry's
// lost first character reads '!'; a first byte 0x05 stands for 0xE5.
std::string ShortEntryName(const unsigned char* pEntry);

void EraseStringTailBlankChar(char* psz, int nLen);  // trailing spaces become zero bytes
int Convert2Lowercase(char* psz);                    // ASCII only; returns the length

// The cluster size a formatter picks for a FAT32 volume of a given size.
struct FAT32_DEFAULT_CLUSTER_ROW {
    uint32_t uSectorsPerCluster;
    uint64_t u64FromSectors;   // included
    uint64_t u64BelowSectors;  // excluded
};
extern const FAT32_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8];
uint32_t GetFat32DefaultSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector);
