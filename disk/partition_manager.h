// Partition discovery: lists every disk of the disk table (foundation/disk_table.h) with the
// partitions found on it, from a GUID partition table, an Apple partition map or an MBR with
// its chain of extended boot records, tried in that order.
//
// Only ever reads: every device is opened read-only and closed again within its own step.
// Partition tables are untrusted input. An entry that starts past the end of the disk or ends
// before it starts is left out; one that runs past the end is cut at the disk's last sector;
// an EBR chain is followed only as far as it visits new sectors, and never deeper than
// kMaxEbrTables tables per disk, so a chain that links back ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#pragma pack(push, 1)
// One partition. Carried whole inside tree items by the window and handed field by field to
// the engine factory, so its 108-byte layout is fixed. Being packed, its 64-bit fields are
// not aligned inside a vector: read them by value, never bind a reference or pointer to them.
struct _PARTITION_ITEM_ {
    uint64_t u64StartSector;       // absolute first sector, 512-byte sectors
    uint64_t u64EndSector;         // absolute last sector, inclusive
    uint32_t nDiskNumber;          // disk number of the disk table
    char16_t szPartitionName[36];  // UTF-16, zero-terminated
    char szDiskName[16];           // device path of the disk, cut to fit, zero-terminated
};
#pragma pack(pop)
static_assert(sizeof(_PARTITION_ITEM_) == 108);
static_assert(offsetof(_PARTITION_ITEM_, nDiskNumber) == 16);
static_assert(offsetof(_PARTITION_ITEM_, szPartitionName) == 20);
static_assert(offsetof(_PARTITION_ITEM_, szDiskName) == 92);

using PARTITION_MAP = std::map<int, std::vector<_PARTITION_ITEM_>>;

// Scheme tests on the bytes read from the start of a disk. Each takes the buffer's length and
// says no when the buffer is too short to hold what it looks at.
bool IsMBR(const unsigned char* pBuf, size_t nLen);  // sector 0: 0xAA55 at byte 510
bool IsAPM(const unsigned char* pBuf, size_t nLen);  // sector 0: "ER" at byte 0
bool IsEFI(const unsigned char* pBuf, size_t nLen);  // sector 1: "EFI PART" at byte 0

class CPartitionManager {
public:
    // Disk numbers examined: 0 .. kMaxDisks - 1.
    static constexpr int kMaxDisks = 128;
    // Bytes read from the start of every disk, and from every EBR.
    static constexpr int kFirstReadBytes = 4096;
    // More than this many partition tables on one disk is taken for a corrupt chain.
    static constexpr int kMaxEbrTables = 256;

    CPartitionManager();

    // Clears `items` and fills it with disk number -> that disk's partitions, in table order.
    // Disks that cannot be opened or read, or show no usable partition, get no entry.
    // MBR partitions are named "Partition 1", "Partition 2", ... across all disks of one call.
    // Always returns 1.
    int GetPartitionItems(PARTITION_MAP& items);

    // Lists the partitions of one open device (any scheme) into `items`, as one step of
    // GetPartitionItems does; the MBR name counter carries on from earlier calls. Returns the
    // number of items appended.
    int ListDiskPartitions(int fd, int nDiskNumber, const char* pszDevicePath,
                           std::vector<_PARTITION_ITEM_>& items);

    // Parses the partition table at u64BaseSector (the MBR when 0, else an EBR) and appends
    // its data partitions, following extended entries depth first.
    void GetMBRPartition(int fd, uint64_t u64BaseSector, std::vector<_PARTITION_ITEM_>& items,
                         int nDiskNumber, const char* pszDevicePath);

private:
    void ListGptPartitions(const unsigned char* pBuf, size_t nLen, int nDiskNumber,
                           const char* pszDevicePath, std::vector<_PARTITION_ITEM_>& items);
    void ListApmPartitions(int fd, const unsigned char* pBuf, size_t nLen, int nDiskNumber,
                           const char* pszDevicePath, std::vector<_PARTITION_ITEM_>& items);
    void ParseMbrTable(int fd, uint64_t u64BaseSector, int nDepth,
                       std::vector<_PARTITION_ITEM_>& items, int nDiskNumber,
                       const char* pszDevicePath);
    // Applies the disk-size sanity rules; false when the item is to be left out.
    bool FitToDisk(_PARTITION_ITEM_& item) const;

    uint32_t m_uSectorSize;
    int m_nMbrNameCounter = 1;
    uint64_t m_u64FirstEbrBase = 0;         // sector of the first EBR of the chain being followed
    uint64_t m_u64DiskSectors = 0;          // size of the disk being examined; 0 when unknown
    std::vector<uint64_t> m_visitedTables;  // partition-table sectors read on this disk
};
