#include "disk/partition_manager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"

namespace {

constexpr size_t kSectorBytes = 512;
constexpr size_t kGptEntriesOffset = 1024;
constexpr size_t kGptEntrySize = 128;
constexpr size_t kGptNameOffset = 56;
constexpr size_t kMbrTableOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr uint32_t kApmMaxEntries = 128;
constexpr size_t kApmCountOffset = 516;
constexpr size_t kApmNameOffset = 16;
constexpr size_t kApmNameBytes = 32;

uint32_t LoadBE32(const unsigned char* p) {
    return __builtin_bswap32(LoadU32(p));
}

// Reads up to nBytes at the byte offset, repeating short reads; a read error or the end of
// the device ends the reading. Returns the bytes read.
size_t ReadAt(int fd, unsigned char* pBuf, size_t nBytes, uint64_t u64Offset) {
    size_t done = 0;
    while (done < nBytes) {
        const ssize_t n =
            pread(fd, pBuf + done, nBytes - done, static_cast<off_t>(u64Offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool IsExtendedType(unsigned char type) {
    return type == 0x05 || type == 0x0F;
}

_PARTITION_ITEM_ MakeItem(uint64_t u64Start, uint64_t u64End, int nDiskNumber,
                          const char* pszDevicePath) {
    _PARTITION_ITEM_ item;
    std::memset(&item, 0, sizeof item);
    item.u64StartSector = u64Start;
    item.u64EndSector = u64End;
    item.nDiskNumber = static_cast<uint32_t>(nDiskNumber);
    if (pszDevicePath != nullptr) {
        const size_t n = strnlen(pszDevicePath, sizeof item.szDiskName - 1);
        std::memcpy(item.szDiskName, pszDevicePath, n);
    }
    return item;
}

void SetAsciiName(_PARTITION_ITEM_& item, const std::string& name) {
    const size_t capacity = std::size(item.szPartitionName) - 1;
    const size_t n = std::min(name.size(), capacity);
    for (size_t i = 0; i < n; ++i) item.szPartitionName[i] = static_cast<unsigned char>(name[i]);
    item.szPartitionName[n] = u'\0';
}

}  // namespace

bool IsMBR(const unsigned char* pBuf, size_t nLen) {
    return pBuf != nullptr && nLen >= kSectorBytes && LoadU16(pBuf + 510) == 0xAA55;
}

bool IsAPM(const unsigned char* pBuf, size_t nLen) {
    return pBuf != nullptr && nLen >= 2 && pBuf[0] == 'E' && pBuf[1] == 'R';
}

bool IsEFI(const unsigned char* pBuf, size_t nLen) {
    return pBuf != nullptr && nLen >= 8 && std::memcmp(pBuf, "EFI PART", 8) == 0;
}

CPartitionManager::CPartitionManager() : m_uSectorSize(kSectorBytes) {}

int CPartitionManager::GetPartitionItems(PARTITION_MAP& items) {
    items.clear();
    const std::vector<std::string> disks = ListDiskPaths();
    const int candidates = std::min<int>(kMaxDisks, static_cast<int>(disks.size()));
    for (int n = 0; n < candidates; ++n) {
        const int fd = OpenDeviceReadOnly(disks[n].c_str());
        if (fd < 0) continue;
        std::vector<_PARTITION_ITEM_> partitions;
        ListDiskPartitions(fd, n, disks[n].c_str(), partitions);
        close(fd);
        if (!partitions.empty()) items[n] = std::move(partitions);
    }
    return 1;
}

int CPartitionManager::ListDiskPartitions(int fd, int nDiskNumber, const char* pszDevicePath,
                                          std::vector<_PARTITION_ITEM_>& items) {
    m_u64FirstEbrBase = 0;
    m_visitedTables.clear();
    // Each disk numbers its own partitions from 1, as --partition and the window count them.
    m_nMbrNameCounter = 1;
    m_u64DiskSectors = GetDeviceSizeBytes(fd) / m_uSectorSize;
    unsigned char buf[kFirstReadBytes] = {};
    const size_t got = ReadAt(fd, buf, sizeof buf, 0);
    if (got < kSectorBytes) return 0;

    const size_t before = items.size();
    if (got >= 2 * kSectorBytes && IsEFI(buf + kSectorBytes, got - kSectorBytes)) {
        ListGptPartitions(buf, got, nDiskNumber, pszDevicePath, items);
    } else if (IsAPM(buf, got)) {
        ListApmPartitions(fd, buf, got, nDiskNumber, pszDevicePath, items);
    } else if (IsMBR(buf, got)) {
        ParseMbrTable(fd, 0, 0, items, nDiskNumber, pszDevicePath);
    }
    return static_cast<int>(items.size() - before);
}

bool CPartitionManager::FitToDisk(_PARTITION_ITEM_& item) const {
    if (item.u64EndSector < item.u64StartSector) {
        DebugLog("partition %llu-%llu is empty, skipped\n",
                 static_cast<unsigned long long>(item.u64StartSector),
                 static_cast<unsigned long long>(item.u64EndSector));
        return false;
    }
    if (m_u64DiskSectors == 0) return true;  // size unknown: nothing to check against
    if (item.u64StartSector >= m_u64DiskSectors) {
        DebugLog("partition at %llu lies past the disk end %llu, skipped\n",
                 static_cast<unsigned long long>(item.u64StartSector),
                 static_cast<unsigned long long>(m_u64DiskSectors));
        return false;
    }
    if (item.u64EndSector >= m_u64DiskSectors) {
        // What the disk still holds of the partition can be scanned; nothing beyond it can.
        DebugLog("partition end %llu cut to the disk end\n",
                 static_cast<unsigned long long>(item.u64EndSector));
        item.u64EndSector = m_u64DiskSectors - 1;
    }
    return true;
}

void CPartitionManager::ListGptPartitions(const unsigned char* pBuf, size_t nLen, int nDiskNumber,
                                          const char* pszDevicePath,
                                          std::vector<_PARTITION_ITEM_>& items) {
    // The entries are taken where the usual layout puts them, from the bytes already read.
    for (size_t offset = kGptEntriesOffset; offset + kGptEntrySize <= nLen;
         offset += kGptEntrySize) {
        const unsigned char* entry = pBuf + offset;
        const uint64_t first = LoadU64(entry + 32);
        const uint64_t last = LoadU64(entry + 40);
        if (first == 0 || last == 0) break;
        _PARTITION_ITEM_ item = MakeItem(first, last, nDiskNumber, pszDevicePath);
        std::memcpy(item.szPartitionName, entry + kGptNameOffset, sizeof item.szPartitionName);
        item.szPartitionName[std::size(item.szPartitionName) - 1] = u'\0';
        if (FitToDisk(item)) items.push_back(item);
    }
}

void CPartitionManager::ListApmPartitions(int fd, const unsigned char* pBuf, size_t nLen,
                                          int nDiskNumber, const char* pszDevicePath,
                                          std::vector<_PARTITION_ITEM_>& items) {
    if (nLen < kApmCountOffset + 4) return;
    const uint32_t count = LoadBE32(pBuf + kApmCountOffset);
    if (count == 0 || count > kApmMaxEntries) {
        DebugLog("apple partition map with %u entries skipped\n", count);
        return;
    }
    std::vector<unsigned char> map(static_cast<size_t>(count) * kSectorBytes);
    const size_t got = ReadAt(fd, map.data(), map.size(), kSectorBytes);
    for (size_t offset = 0; offset + kSectorBytes <= got; offset += kSectorBytes) {
        const unsigned char* entry = map.data() + offset;
        const uint64_t start = static_cast<uint64_t>(LoadBE32(entry + 8)) + LoadBE32(entry + 80);
        const uint64_t sectors = LoadBE32(entry + 84);
        if (sectors == 0) continue;  // an entry without data has nothing to scan
        _PARTITION_ITEM_ item = MakeItem(start, start + sectors - 1, nDiskNumber, pszDevicePath);
        const char* name = reinterpret_cast<const char*>(entry + kApmNameOffset);
        SetAsciiName(item, std::string(name, strnlen(name, kApmNameBytes)));
        if (FitToDisk(item)) items.push_back(item);
    }
}

void CPartitionManager::GetMBRPartition(int fd, uint64_t u64BaseSector,
                                        std::vector<_PARTITION_ITEM_>& items, int nDiskNumber,
                                        const char* pszDevicePath) {
    m_u64FirstEbrBase = 0;
    m_visitedTables.clear();
    m_u64DiskSectors = GetDeviceSizeBytes(fd) / m_uSectorSize;
    ParseMbrTable(fd, u64BaseSector, 0, items, nDiskNumber, pszDevicePath);
}

void CPartitionManager::ParseMbrTable(int fd, uint64_t u64BaseSector, int nDepth,
                                      std::vector<_PARTITION_ITEM_>& items, int nDiskNumber,
                                      const char* pszDevicePath) {
    // A chain that links back to a table already read, or runs on without end, is cut here;
    // what was found before stays listed.
    if (std::find(m_visitedTables.begin(), m_visitedTables.end(), u64BaseSector) !=
        m_visitedTables.end()) {
        DebugLog("partition table at %llu links back, chain ended\n",
                 static_cast<unsigned long long>(u64BaseSector));
        return;
    }
    if (nDepth >= kMaxEbrTables || static_cast<int>(m_visitedTables.size()) >= kMaxEbrTables) {
        DebugLog("more than %d partition tables, chain ended\n", kMaxEbrTables);
        return;
    }
    if (m_u64DiskSectors != 0 && u64BaseSector >= m_u64DiskSectors) {
        DebugLog("partition table at %llu lies past the disk end\n",
                 static_cast<unsigned long long>(u64BaseSector));
        return;
    }
    m_visitedTables.push_back(u64BaseSector);

    unsigned char buf[kFirstReadBytes] = {};
    const size_t got = ReadAt(fd, buf, sizeof buf, u64BaseSector * m_uSectorSize);
    if (got < kSectorBytes) return;
    // An extended boot record always ends in the boot signature; a link that lands anywhere
    // else would turn arbitrary bytes into partitions.
    if (u64BaseSector != 0 && !IsMBR(buf, got)) {
        DebugLog("no boot signature in the EBR at %llu\n",
                 static_cast<unsigned long long>(u64BaseSector));
        return;
    }

    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = buf + kMbrTableOffset + i * kMbrEntrySize;
        const unsigned char type = entry[4];
        const uint32_t start = LoadU32(entry + 8);
        const uint32_t sectors = LoadU32(entry + 12);
        if (IsExtendedType(type)) {
            if (m_u64FirstEbrBase == 0 && u64BaseSector != 0) m_u64FirstEbrBase = u64BaseSector;
            ParseMbrTable(fd, start + m_u64FirstEbrBase, nDepth + 1, items, nDiskNumber,
                          pszDevicePath);
            continue;
        }
        if (type == 0 && start == 0 && sectors == 0) return;
        if (sectors == 0) {
            DebugLog("partition entry %d of the table at %llu is empty, skipped\n", i,
                     static_cast<unsigned long long>(u64BaseSector));
            continue;
        }
        // 64-bit sums: a logical partition of a disk beyond 2 TiB may start past 2^32.
        const uint64_t first = start + u64BaseSector;
        _PARTITION_ITEM_ item = MakeItem(first, first + sectors - 1, nDiskNumber, pszDevicePath);
        if (!FitToDisk(item)) continue;
        SetAsciiName(item, "Partition " + std::to_string(m_nMbrNameCounter++));
        items.push_back(item);
    }
}
