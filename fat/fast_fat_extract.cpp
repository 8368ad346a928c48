// FAT extraction: files and folder trees written to a destination, previews, and the map of
// allocated clusters that tells the deep scan where free space lies.

#include <algorithm>
#include <cstring>

#include "engine/log_file_manager.h"
#include "engine/recovery_job.h"
#include "engine/scan_result_file_manager.h"
#include "engine/target_files.h"
#include "fat/fast_fat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

uint64_t CFastFatRecovery::RecordDataSector(const _FILE_NODE_& node, uint32_t uCluster) const {
    return node.u64DataStartSector + node.u64VolumeStartSector +
           uint64_t{uCluster - 2} * (node.uClusterBytes / m_uBytesPerSector);
}

// Feeds the record's data, cluster by cluster, to sink until u64Want bytes were produced.
// The chain is followed through the FAT while it holds; where it stops before the size is
// reached, the file is taken to go on in the next cluster. 0, 29 for an impossible cluster
// size, 87 for a record that names no data cluster, the reader's error (30 for nothing read),
// or the sink's non-zero answer.
int CFastFatRecovery::CopyClusters(const _FILE_NODE_& node, uint64_t u64Want,
                                   const std::function<int(const unsigned char*, uint32_t)>& sink) {
    if (node.uClusterBytes >= kMaxClusterBytes) return 29;
    const uint32_t sectorsPerChunk = node.uClusterBytes / m_uBytesPerSector;
    if (sectorsPerChunk == 0) return 87;
    if (u64Want == 0) return 0;
    if (!IsDataCluster(node.uClusterNO)) return 87;
    std::vector<unsigned char> chunk(size_t{sectorsPerChunk} * m_uBytesPerSector);
    uint32_t cluster = node.uClusterNO;
    while (u64Want > 0) {
        if (cluster == 0) return 87;  // the volume ended before the file did
        unsigned int read = 0;
        int result = m_diskReader.ReadData(chunk.data(), static_cast<int>(sectorsPerChunk),
                                           RecordDataSector(node, cluster),
                                           static_cast<int>(m_uBytesPerSector), &read);
        if (result == 0 && read == 0) result = 30;
        if (result != 0) return result;
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{read} * m_uBytesPerSector, u64Want));
        u64Want -= n;
        const int answer = sink(chunk.data(), n);
        if (answer != 0) return answer;
        if (u64Want > 0) cluster = FollowChain(cluster);
    }
    return 0;
}

int CFastFatRecovery::ReportRecovery(int nPercent, int nError, const std::u16string& path) {
    if (m_recoveryCallback == nullptr) return 0;
    return m_recoveryCallback(m_pCallbackContext, nPercent, 100, nError, path.c_str());
}

// One file, written through the shared writer from this engine's data.
int CFastFatRecovery::WriteFileData(_FILE_NODE_* pNode, const std::u16string& target) {
    return WriteRecordFile(
        target, pNode->u64FileSize,
        [&](uint64_t u64Want, const DATA_SINK& sink) {
            return CopyClusters(*pNode, u64Want, sink);
        },
        [&](int nPercent, int nError) { return ReportRecovery(nPercent, nError, target); });
}

int CFastFatRecovery::SaveDataToTargetFile(_FILE_NODE_* pNode, const char16_t* pszTargetPath) {
    const std::u16string target = pszTargetPath != nullptr ? pszTargetPath : u"";
    if (pNode == nullptr || target.empty()) {
        ReportRecovery(100, 87, target);
        return 87;
    }
    if (pNode->bIsDir == 0) return WriteFileData(pNode, target);
    const int result = MakeTargetFolder(target);
    if (result != 0) return result;
    m_recoveryQueue.push_back({*pNode, target});
    return 0;
}

// Breadth-first: a folder's files are written before those of its sub-folders, each under a
// name that is free in its destination folder, so nothing recovered overwrites or merges.
int CFastFatRecovery::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                                   int nBaseDirIndex) {
    return SaveRecordOrTree(*this, m_recoveryQueue, pNode, pszTargetPath, nBaseDirIndex,
                            [this](_FILE_NODE_* pChild, const std::u16string& path) {
                                return SaveDataToTargetFile(pChild, path.c_str());
                            });
}

int CFastFatRecovery::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                              unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) {
    return PreviewRecord(pNode, pszTmpPath, nTmpPathChars, pBuf, nBufLen, cb, ctx,
                         [&](uint64_t u64Want, const DATA_SINK& sink) {
                             return CopyClusters(*pNode, u64Want, sink);
                         });
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
