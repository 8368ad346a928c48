// The partition parsers over an arbitrary disk image held in memory: GPT, Apple map and MBR
// with EBR chains. Every listed partition must lie on the disk and carry terminated texts,
// and no chain may run away.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "disk/partition_manager.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    const ferrowen::fuzz::MemoryImage disk(data, size);
    if (!disk.ok()) return 0;
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager manager;
    manager.ListDiskPartitions(disk.fd(), 0, "/dev/fuzz", items);
    manager.GetMBRPartition(disk.fd(), 1, items, 0, "/dev/fuzz");

    const uint64_t diskSectors = disk.size() / 512;
    if (items.size() > 4 * CPartitionManager::kMaxEbrTables) std::abort();
    for (const _PARTITION_ITEM_& item : items) {
        if (item.u64StartSector > item.u64EndSector || item.u64EndSector >= diskSectors) {
            std::abort();
        }
        if (item.szPartitionName[35] != 0 || item.szDiskName[15] != 0) std::abort();
    }
    return 0;
}
