// Recognisers for boot sectors and directory records. All are stateless, never read a device
// and never allocate.
//
// Each takes the buffer and the number of bytes it holds; a buffer too short for the
// structure is simply "not recognised" (0). Nothing is read outside [p, p + len). All
// multi-byte fields are little-endian. A recogniser returns 1 for yes and 0 for no.
#pragma once

#include <cstddef>
#include <cstdint>

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
// An exFAT main boot sector at p, or failing that a backup one 12 sectors of 512 bytes on.
int IsExfat(const unsigned char* p, size_t len);
// The first 1112 bytes (or more) of the volume; the superblock starts at 1024.
int IsExt(const unsigned char* p, size_t len);

// A FILE record of nRecordSize bytes; p must hold that many.
int IsNtfsFileRecord(const unsigned char* p, int nRecordSize);

// The "." and ".." pair that opens a FAT folder (64 bytes).
int IsFatFileRecord(const unsigned char* p, size_t len);
// A plausible live, deleted, label or long-name entry. The entry's check for a "." ".." pair
// looks at the following entry too, but only when len says it is there.
// A file entry must carry the archive bit, which every writer sets on a new file: among sectors
// found anywhere, that tells directory entries from other data.
int IsFatEntyValid(const unsigned char* pEntry, size_t len);
// The same test for an entry read inside a folder the file system still holds, where the
// archive bit proves nothing: backup programs clear it, and a file without it is still a file.
int IsFatEntryValidInFolder(const unsigned char* pEntry, size_t len);
// A sector-sized buffer holding nothing but directory entries.
int IsFatFDTRecord(const unsigned char* p, int nLen);

// The calendar fields of a directory entry's date and time; fields out of range are clamped
// (month 1-12, day 1-31, hour 0-23, minute and second 0-59).
struct FAT_DATE_TIME {
    int year, month, day, hour, minute, second;
};
FAT_DATE_TIME DecodeFatDateTime(uint16_t date, uint16_t time);

// 1 when an 8.3 name (11 bytes) holds a byte no short name may hold.
int IsInvalidShortFileName(const unsigned char* pName11);

// The cluster size a formatter picks for an NTFS volume of that many sectors.
uint32_t GetDefaultNtfsSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector);
