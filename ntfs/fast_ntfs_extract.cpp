// NTFS extraction: files from their resident data or data runs, folder trees written
// breadth-first, and previews.

#include <algorithm>
#include <cstring>

#include "engine/log_file_manager.h"
#include "engine/scan_result_file_manager.h"
#include "engine/target_files.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"

// Feeds the node's first u64Want bytes to sink, from its resident data or along its runs. 0;
// the error of a lookup or a read; 30 when the data ends before u64Want bytes; 87 for a run
// that lies nowhere on the volume or a node without a usable cluster size; or the sink's
// non-zero answer.
int CFastNtfsRecovery::DeliverData(const _FILE_NODE_& node, uint64_t u64Want,
                                   const std::function<int(const unsigned char*, uint32_t)>& sink) {
    std::vector<unsigned char> work(std::max<size_t>(kWorkBufferBytes, m_uBytesPerRecord));
    uint32_t length = 0;
    const int resident = GetAttr0x80Data(node.u64RecordSector, work.data(), length);
    if (resident == 0) {
        // The value read may carry up to seven alignment bytes after the data: the file's
        // size decides, and a size the value cannot cover is data that is not there.
        const uint32_t use = static_cast<uint32_t>(std::min<uint64_t>(u64Want, length));
        if (use > 0) {
            const int answer = sink(work.data(), use);
            if (answer != 0) return answer;
        }
        return use < u64Want ? 30 : 0;
    }
    if (resident != NTFS_NOT_FOUND) return resident;
    RUN_LIST runs;
    const int result = GetRunListInfo(node.u64RecordSector, NTFS_ATTR_DATA, runs);
    if (result != 0) return result;
    return DeliverRuns(node, runs, u64Want, work.data(), sink);
}

// Runs are read in the order listed, 64 KiB at a time, and reading stops as soon as the size
// is delivered. A hole of a sparse file delivers zeros.
int CFastNtfsRecovery::DeliverRuns(const _FILE_NODE_& node, const RUN_LIST& runs, uint64_t u64Want,
                                   unsigned char* pWork,
                                   const std::function<int(const unsigned char*, uint32_t)>& sink) {
    const uint64_t clusterBytes = node.uClusterBytes;
    const uint64_t sectorBytes = m_uBytesPerSector;
    if (u64Want == 0) return 0;
    if (clusterBytes == 0 || clusterBytes == 0xFFFFFFFF || clusterBytes % sectorBytes != 0) {
        return 87;
    }
    uint64_t owed = u64Want;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        if (owed == 0) break;
        lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(run.offset));
        uint64_t runBytes = run.length * clusterBytes;
        if (run.bSparse) {
            std::memset(pWork, 0, kWorkBufferBytes);
            while (runBytes > 0 && owed > 0) {
                const uint32_t n =
                    static_cast<uint32_t>(std::min<uint64_t>({kWorkBufferBytes, runBytes, owed}));
                const int answer = sink(pWork, n);
                if (answer != 0) return answer;
                runBytes -= n;
                owed -= n;
            }
            continue;
        }
        uint64_t byteOffset = 0;
        if (lcn < 0 ||
            __builtin_mul_overflow(static_cast<uint64_t>(lcn), clusterBytes, &byteOffset)) {
            return 87;
        }
        const uint64_t first = node.u64VolumeStartSector + byteOffset / sectorBytes;
        uint64_t sectorsRead = 0;
        while (runBytes > 0 && owed > 0) {
            const uint64_t piece = std::min<uint64_t>(kWorkBufferBytes, runBytes);
            const int sectors = static_cast<int>(piece / sectorBytes);
            unsigned int read = 0;
            int result = m_diskReader.ReadData(pWork, sectors, first + sectorsRead,
                                               static_cast<int>(sectorBytes), &read);
            if (result == 0 && read == 0) result = 30;
            if (result != 0) return result;
            const uint32_t use = static_cast<uint32_t>(std::min(piece, owed));
            const int answer = sink(pWork, use);
            if (answer != 0) return answer;
            owed -= use;
            runBytes -= piece;
            sectorsRead += static_cast<uint64_t>(sectors);
        }
    }
    // Runs that end before the size leave the rest of the file unknown: not a success.
    return owed > 0 ? 30 : 0;
}

int CFastNtfsRecovery::ReportRecovery(int nPercent, int nError, const std::u16string& path) {
    if (m_recoveryCallback == nullptr) return 0;
    return m_recoveryCallback(m_pCallbackContext, nPercent, 100, nError, path.c_str());
}

// One file, written through the shared writer from this engine's data.
int CFastNtfsRecovery::WriteFileData(_FILE_NODE_* pNode, const std::u16string& target) {
    return WriteRecordFile(
        target, pNode->u64FileSize,
        [&](uint64_t u64Want, const DATA_SINK& sink) { return DeliverData(*pNode, u64Want, sink); },
        [&](int nPercent, int nError) { return ReportRecovery(nPercent, nError, target); });
}

int CFastNtfsRecovery::SaveDataToTargetFile(_FILE_NODE_* pNode, const char16_t* pszTargetPath) {
    const std::u16string target = pszTargetPath != nullptr ? pszTargetPath : u"";
    if (pNode == nullptr || target.empty()) {
        ReportRecovery(100, 87, target);
        return 87;
    }
    if (pNode->bIsDir == 0) return WriteFileData(pNode, target);
    const int result = MakeTargetFolder(target);
    if (result != 0) {
        ReportRecovery(100, result, target);
        return result;
    }
    m_recoveryQueue.push_back({*pNode, target});
    return 0;
}

// Breadth-first: a folder's files are written before those of its sub-folders, each under a
// name that is free in its destination folder, so nothing recovered overwrites or merges.
int CFastNtfsRecovery::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                                    int nBaseDirIndex) {
    return SaveRecordOrTree(*this, m_recoveryQueue, pNode, pszTargetPath, nBaseDirIndex,
                            [this](_FILE_NODE_* pChild, const std::u16string& path) {
                                return SaveDataToTargetFile(pChild, path.c_str());
                            });
}

int CFastNtfsRecovery::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                               unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) {
    return PreviewRecord(pNode, pszTmpPath, nTmpPathChars, pBuf, nBufLen, cb, ctx,
                         [&](uint64_t u64Want, const DATA_SINK& sink) {
                             return DeliverData(*pNode, u64Want, sink);
                         });
}
