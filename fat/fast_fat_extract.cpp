// FAT extraction: a record's data along its cluster chain, and the map of allocated clusters
// that tells the deep scan where free space lies.

#include <algorithm>
#include <cstring>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_cluster_reader.h"
#include "foundation/bytes.h"

// The chain is followed through the FAT while it holds; where it stops before the size is
// reached, the file is taken to go on in the next cluster.
int CFastFatRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                     const DATA_SINK& sink) {
    if (u64Want != 0 && !IsDataCluster(node.uClusterNO)) return RESULT_OUTSIDE_VOLUME;
    return ReadFatClusters(
        m_diskReader, m_uBytesPerSector, node, u64Want,
        [this](uint32_t uCluster) { return FollowChain(uCluster); }, sink);
}

int CFastFatRecovery::BuildBitMapInfo() {
    const unsigned char* b = m_bootArea.data();
    const uint64_t total = LoadU32(b + 0x20) != 0 ? LoadU32(b + 0x20) : LoadU16(b + 0x13);
    uint64_t clusters = 0;
    if (total > m_uFirstDataSector) {
        clusters = (total - m_uFirstDataSector) / m_uSectorsPerCluster +
                   ((total % m_uSectorsPerCluster) != 0 ? 1 : 0);
    }
    // A boot sector may claim more than the volume holds or the FAT describes; clusters
    // beyond either have no entry to read, and a map of them would only cost time and memory.
    clusters = std::min<uint64_t>(clusters, uint64_t{m_uClusterCount} + 1);
    m_bitMap.assign((clusters + 7) / 8, 0);
    auto mark = [&](uint64_t cluster) {
        const uint64_t bit = cluster - 2;
        if (bit / 8 < m_bitMap.size()) m_bitMap[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    };
    for (uint64_t k = 2; k < clusters + 2; ++k) {
        uint32_t entry = 0;
        if (GetNextClusterNO(static_cast<uint32_t>(k), entry) != 0) continue;
        if (m_nFatType != kFatType32) entry &= 0xFFFF;
        if (entry == 0) continue;
        if (IsDamagedEntry(entry)) {
            m_bFatDamaged = true;
            NoteDamage("FAT entry of cluster %u points outside\n", static_cast<uint32_t>(k));
        }
        mark(k);
        // A chain's next cluster is in use even where its own entry was damaged.
        if (entry >= 2 && !IsEndOfChain(entry)) mark(entry & 0x0FFFFFFF);
    }
    return 0;
}

int CFastFatRecovery::GetUnUsedSectorCount(unsigned long long& llStart,
                                           unsigned long long& llCount) {
    llCount = 0;
    if (llStart > m_u64VolumeSectorCount) {
        llStart = m_u64VolumeSectorCount;
        return 1;
    }
    // The reserved sectors, the FATs and the fixed root are never free space.
    if (llStart != 0 && llStart < m_uFirstDataSector) return 1;
    uint64_t relative = llStart != 0 ? llStart - m_uFirstDataSector : 0;
    const uint64_t spc = m_uSectorsPerCluster;
    const uint64_t bits = uint64_t{m_bitMap.size()} * 8;
    auto isSet = [&](uint64_t i) { return (m_bitMap[i / 8] >> (i % 8)) & 1; };
    uint64_t k = relative / spc;
    if (k < bits) {
        uint64_t i = k;
        while (i < bits && isSet(i)) {
            if (i % 8 == 0 && m_bitMap[i / 8] == 0xFF) {
                i += 8;
            } else {
                ++i;
            }
        }
        if (i < bits) relative += (i - k) * spc;
        uint64_t j = relative / spc;
        uint64_t freeClusters = 0;
        while (j < bits && !isSet(j)) {
            const uint64_t step = (j % 8 == 0 && m_bitMap[j / 8] == 0 && j + 8 <= bits) ? 8 : 1;
            freeClusters += step;
            j += step;
        }
        llCount = freeClusters * spc;
    }
    const uint64_t absolute = relative + m_uFirstDataSector;
    if (absolute + llCount > m_u64VolumeSectorCount) {
        llCount = m_u64VolumeSectorCount > absolute ? m_u64VolumeSectorCount - absolute : 0;
    }
    llStart = absolute;
    return 1;
}
