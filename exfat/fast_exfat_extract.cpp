// exFAT extraction: a record's data, and the allocation bitmap that tells the deep scan where
// free space lies.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "exfat/fast_exfat_recovery.h"
#include "foundation/debug_log.h"
#include "foundation/scan_options.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kEndOfChain = 0xFFFFFFF8;

bool IsSet(const std::vector<uint8_t>& bits, uint64_t i) {
    return (bits[i / 8] >> (i % 8)) & 1;
}

// The first bit at or after i (below end) that differs from value.
uint64_t SkipWhile(const std::vector<uint8_t>& bits, uint64_t i, uint64_t end, bool value) {
    const uint8_t whole = value ? 0xFF : 0x00;
    while (i < end) {
        if (i % 8 == 0 && i + 8 <= end && bits[i / 8] == whole) {
            i += 8;
        } else if (IsSet(bits, i) == value) {
            ++i;
        } else {
            break;
        }
    }
    return i;
}

}  // namespace

// A deleted file's chain was freed: its FAT entries are followed while they still point on,
// else the next cluster is taken. A file without a chain is contiguous by definition.
uint32_t CFastExfatRecovery::NextForData(const Extent& extent, uint32_t uCluster) {
    uint32_t next = 0;
    if (!extent.bNoFatChain && FatEntry(uCluster, next) && next < kEndOfChain && next != uCluster &&
        m_geometry.IsDataCluster(next)) {
        return next;
    }
    return m_geometry.IsDataCluster(uCluster + 1) ? uCluster + 1 : 0;
}

uint32_t CFastExfatRecovery::NextInLiveChain(const Extent& extent, uint32_t uCluster) {
    uint32_t next = uCluster + 1;
    if (!extent.bNoFatChain && (!FatEntry(uCluster, next) || next >= kEndOfChain)) return 0;
    if (!m_geometry.IsDataCluster(next)) return 0;
    // A run without a chain only climbs, so only a chain can come back on itself.
    return extent.bNoFatChain || m_chainMarks.Visit(next) ? next : 0;
}

int CFastExfatRecovery::ReadChunk(const Extent& extent, uint32_t uCluster, uint64_t u64Done,
                                  uint64_t n, std::vector<unsigned char>& chunk) {
    if (u64Done >= extent.u64ValidLength) {
        chunk.assign(static_cast<size_t>(n), 0);
        return RESULT_OK;
    }
    if (!m_geometry.IsDataCluster(uCluster)) return RESULT_OUTSIDE_VOLUME;
    if (!ReadVolume(m_geometry.ClusterOffset(uCluster), static_cast<size_t>(n), chunk)) {
        return RESULT_SHORT_READ;
    }
    if (u64Done + n > extent.u64ValidLength) {
        const size_t valid = static_cast<size_t>(extent.u64ValidLength - u64Done);
        std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(valid), chunk.end(), 0);
    }
    return RESULT_OK;
}

// Bytes past the valid data length were never written: they read as zeros. A present file's
// clusters are the ones the file system gives it, and no more than its size needs: a chain that
// ends early or goes astray fails the read rather than handing over another file's bytes.
int CFastExfatRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                       const DATA_SINK& sink) {
    if (node.uClusterBytes != m_geometry.uBytesPerCluster || node.uClusterBytes == 0) {
        return RESULT_BAD_CLUSTER_SIZE;
    }
    if (u64Want == 0) return RESULT_OK;
    Extent extent{node.u64FileSize, true};
    if (const auto it = m_extents.find(node.uFileIndex); it != m_extents.end()) extent = it->second;
    const bool present = IsPresentEntry(node);
    const uint64_t fileClusters = node.u64FileSize / node.uClusterBytes +
                                  (node.u64FileSize % node.uClusterBytes != 0 ? 1 : 0);
    if (present) {
        if (!m_chainMarks.Begin(uint64_t{m_geometry.uClusterCount} + 2)) {
            return RESULT_OUT_OF_MEMORY;
        }
        m_chainMarks.Visit(node.uClusterNO);
    }
    std::vector<unsigned char> chunk;
    uint64_t done = 0;
    uint32_t cluster = node.uClusterNO;
    for (uint64_t k = 1; done < u64Want; ++k) {
        const uint64_t n = std::min<uint64_t>(node.uClusterBytes, u64Want - done);
        const int result = ReadChunk(extent, cluster, done, n, chunk);
        if (result != RESULT_OK) return result;
        done += n;
        const int answer = sink(chunk.data(), static_cast<uint32_t>(n));
        if (answer != 0) return answer;
        if (done >= u64Want) break;
        if (!present) {
            cluster = NextForData(extent, cluster);
            continue;
        }
        cluster = k < fileClusters ? NextInLiveChain(extent, cluster) : 0;
        if (cluster == 0) {
            DebugLog("exFAT: the chain of %s from cluster %u is broken\n", node.szFileName,
                     node.uClusterNO);
            return RESULT_NOT_FOUND;
        }
    }
    return RESULT_OK;
}

// The bitmap is found through the root folder, so the map can be built before the scan.
int CFastExfatRecovery::BuildBitMapInfo() {
    m_bitMap.clear();
    if (m_nBootResult != 0) return m_nBootResult;
    Folder root;
    root.uCluster = m_geometry.uRootCluster;
    std::vector<unsigned char> bytes;
    std::vector<uint32_t> clusters;
    if (!ReadFolderBytes(root, bytes, clusters)) return RESULT_SHORT_READ;
    ExfatFolderContent content;
    ParseExfatFolder(bytes.data(), bytes.size(), content);
    const uint64_t need = (uint64_t{m_geometry.uClusterCount} + 7) / 8;
    for (const ExfatBitmapEntry& entry : content.bitmaps) {
        if (entry.u64Length < need) continue;
        const uint64_t cs = m_geometry.uBytesPerCluster;
        const std::vector<uint32_t> run =
            Clusters(entry.uFirstCluster, need, false, (need + cs - 1) / cs);
        std::vector<unsigned char> one;
        std::vector<uint8_t> bits;
        for (const uint32_t c : run) {
            if (!ReadVolume(m_geometry.ClusterOffset(c), static_cast<size_t>(cs), one)) break;
            bits.insert(bits.end(), one.begin(), one.end());
        }
        if (bits.size() < need) continue;
        bits.resize(static_cast<size_t>(need));
        m_bitMap = std::move(bits);
        return 0;
    }
    DebugLog("exFAT allocation bitmap not found or unreadable\n");
    return RESULT_INVALID_ARGUMENT;
}

int CFastExfatRecovery::GetUnUsedSectorCount(unsigned long long& llStart,
                                             unsigned long long& llCount) {
    llCount = 0;
    const uint64_t heap = m_geometry.u64HeapOffset / kSector;
    const uint64_t spc = m_geometry.uBytesPerCluster / kSector;
    const uint64_t bits =
        std::min<uint64_t>(uint64_t{m_bitMap.size()} * 8, m_geometry.uClusterCount);
    if (spc == 0 || llStart > m_u64VolumeSectorCount) {
        llStart = std::min<uint64_t>(llStart, m_u64VolumeSectorCount);
        return 1;
    }
    // Everything before the cluster heap is the file system's own.
    uint64_t start = std::max<uint64_t>(llStart, heap);
    const uint64_t first = SkipWhile(m_bitMap, (start - heap) / spc, bits, true);
    if (first >= bits) {
        llStart = start;
        return 1;
    }
    if (first != (start - heap) / spc) start = heap + first * spc;
    const uint64_t end = SkipWhile(m_bitMap, first, bits, false);
    uint64_t count = heap + end * spc - start;
    if (start + count > m_u64VolumeSectorCount) {
        count = m_u64VolumeSectorCount > start ? m_u64VolumeSectorCount - start : 0;
    }
    llStart = start;
    llCount = count;
    return 1;
}
