// FAT extraction: a record's data along its cluster chain, and the map of allocated clusters
// that tells the deep scan where free space lies.

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_cluster_reader.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/scan_options.h"

// A deleted file's chain is followed through the FAT while it holds; where it stops before the
// size is reached, the file is taken to go on in the next cluster.
int CFastFatRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                     const DATA_SINK& sink) {
    if (u64Want != 0 && !IsDataCluster(node.uClusterNO)) return RESULT_OUTSIDE_VOLUME;
    if (IsPresentEntry(node)) return ReadPresentChain(node, u64Want, sink);
    return ReadFatClusters(
        m_diskReader, m_uBytesPerSector, node, u64Want,
        [this](uint32_t uCluster) { return FollowChain(uCluster); }, sink);
}

uint32_t CFastFatRecovery::NextInLiveChain(uint32_t uCluster) {
    uint32_t entry = 0;
    if (GetNextClusterNO(uCluster, entry) != 0) return 0;
    if (m_nFatType != kFatType32) entry &= 0xFFFF;
    const uint32_t next = entry & 0x0FFFFFFF;
    return IsDataCluster(next) ? next : 0;
}

// The file system's chain is the truth about a file it still lists, even on a FAT damaged
// elsewhere: no cluster is guessed. The walk takes no more clusters than the size needs, and a
// chain that ends early, meets a free, bad or foreign entry, or comes back on itself fails the
// read rather than handing over bytes of another file.
int CFastFatRecovery::ReadPresentChain(const _FILE_NODE_& node, uint64_t u64Want,
                                       const DATA_SINK& sink) {
    const uint64_t clusterBytes = node.uClusterBytes != 0 ? node.uClusterBytes : 1;
    const uint64_t fileClusters =
        node.u64FileSize / clusterBytes + (node.u64FileSize % clusterBytes != 0 ? 1 : 0);
    uint64_t taken = 1;
    bool broken = false;
    if (!m_chainMarks.Begin(uint64_t{m_uClusterCount} + 2)) return RESULT_OUT_OF_MEMORY;
    m_chainMarks.Visit(node.uClusterNO);
    const int result = ReadFatClusters(
        m_diskReader, m_uBytesPerSector, node, u64Want,
        [&](uint32_t uCluster) {
            const uint32_t next = taken++ < fileClusters ? NextInLiveChain(uCluster) : 0;
            if (next == 0 || !m_chainMarks.Visit(next)) {
                broken = true;
                return 0u;
            }
            return next;
        },
        sink);
    if (!broken) return result;
    DebugLog("CFastFatRecovery: the chain of %s from cluster %u is broken\n", node.szFileName,
             node.uClusterNO);
    return RESULT_NOT_FOUND;
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
