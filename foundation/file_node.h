// The found-file record, the callbacks and the result codes shared by every engine, the
// result store and both front ends.
//
// _FILE_NODE_ is persisted byte for byte by the result store, so its field order, widths and
// total size are a file format: 344 bytes, little-endian, no padding. The offsets are
// checked at compile time below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "foundation/result.h"

static_assert(std::endian::native == std::endian::little,
              "on-disk records are read in place and must be little-endian");

// A 64-bit time value kept as two halves, low half first. FAT engines store seconds since
// 1970, NTFS engines the raw NTFS timestamp; nothing converts between the two.
struct _FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

// Which parser produced a record; the deep-scan coordinator routes per-record operations by it.
enum FILE_SOURCE : uint32_t {
    FILE_SOURCE_FAST_NTFS = 0,
    FILE_SOURCE_FAST_FAT = 1,
    FILE_SOURCE_PRO_NTFS = 2,
    FILE_SOURCE_PRO_FAT = 3,
    FILE_SOURCE_FILE_TYPE = 4,
    FILE_SOURCE_FAST_EXFAT = 5,
    FILE_SOURCE_PRO_EXFAT = 6,
};

struct _FILE_NODE_ {
    uint32_t wcDriveLetter;  // the letter given to Init, copied into every record
    uint32_t nFileSource;    // FILE_SOURCE
    uint32_t bIsDir;         // 1 folder, 0 file
    uint32_t uReserved;      // engines' marks; see also kPresentEntryMark in scan_options.h
    uint32_t bDataHealth;    // 1 when the first data sector matches the extension
    uint32_t uFileIndex;     // position in the record's store, from 1
    uint32_t uClusterNO;     // FAT first cluster / NTFS record number / lost-folder number
    uint32_t uClusterBytes;  // bytes per cluster, 0xFFFFFFFF where none applies
    _FILETIME ftCreateTime;
    _FILETIME ftLastAccessTime;
    _FILETIME ftLastChangeTime;
    uint64_t u64FileSize;
    uint64_t u64DataStartSector;    // FAT: volume-relative sector of cluster 2
    uint64_t u64RecordSector;       // absolute sector of the entry, FILE record or carved data
    uint64_t u64VolumeStartSector;  // absolute first sector of the (reconstructed) volume
    char szFileName[256];           // UTF-8, zero-terminated
};

static_assert(sizeof(_FILE_NODE_) == 344);
static_assert(offsetof(_FILE_NODE_, wcDriveLetter) == 0);
static_assert(offsetof(_FILE_NODE_, nFileSource) == 4);
static_assert(offsetof(_FILE_NODE_, bIsDir) == 8);
static_assert(offsetof(_FILE_NODE_, uReserved) == 12);
static_assert(offsetof(_FILE_NODE_, bDataHealth) == 16);
static_assert(offsetof(_FILE_NODE_, uFileIndex) == 20);
static_assert(offsetof(_FILE_NODE_, uClusterNO) == 24);
static_assert(offsetof(_FILE_NODE_, uClusterBytes) == 28);
static_assert(offsetof(_FILE_NODE_, ftCreateTime) == 32);
static_assert(offsetof(_FILE_NODE_, ftLastAccessTime) == 40);
static_assert(offsetof(_FILE_NODE_, ftLastChangeTime) == 48);
static_assert(offsetof(_FILE_NODE_, u64FileSize) == 56);
static_assert(offsetof(_FILE_NODE_, u64DataStartSector) == 64);
static_assert(offsetof(_FILE_NODE_, u64RecordSector) == 72);
static_assert(offsetof(_FILE_NODE_, u64VolumeStartSector) == 80);
static_assert(offsetof(_FILE_NODE_, szFileName) == 88);

// A search result is a node record copied whole out of the store and handed back to the
// engines as a _FILE_NODE_, so it is the same type.
using __SEARCH_FILE_INFO__ = _FILE_NODE_;

enum RECOVERY_TYPE : uint32_t {
    RECOVERY_TYPE_FAST = 0,
    RECOVERY_TYPE_PROFESSIONAL = 1,  // any non-zero value asks for the deep-scan coordinator
};

// Callbacks get the context given at registration and return 0 to let the job go on; any
// other value stops the engine, which then returns ERROR_USER_CANCEL (see CancelOf).
using SCAN_CALLBACK = int (*)(void* ctx, int nPercent, int nWeight, int nSecondsLeft,
                              uint64_t u64CurrentSector, uint64_t u64TotalSectors,
                              uint64_t u64FilesFound, const char16_t* pszText);
using RECOVERY_CALLBACK = int (*)(void* ctx, int nPercent, int nWeight, int nError,
                                  const char16_t* pszTargetPath);
using SEARCH_CALLBACK = int (*)(void* ctx, int nPercent, const char16_t* pszText);
using PREVIEW_CALLBACK = int (*)(void* ctx, int nPercent, int nError);

// The display order of records: every file before every folder, then by case-insensitive
// name. Records with equal names come out in no defined order.
bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b);
inline bool SearchVectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) {
    return VectorCmp(a, b);
}
