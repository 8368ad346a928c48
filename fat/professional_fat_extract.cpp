// Extraction and preview of deep FAT records. The deep parser has no FAT, so a file's clusters
// are read one after another from its first cluster: right for the contiguous files that most
// writers leave, wrong (and said so nowhere but here) for fragmented ones.

#include <algorithm>
#include <cstring>

#include "engine/log_file_manager.h"
#include "engine/scan_result_file_manager.h"
#include "engine/target_files.h"
#include "fat/professional_fat_internal.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/text.h"

using namespace profat;

// Feeds the record's data, one cluster at a time, to sink until u64Want bytes were produced.
// 0, 29 for an impossible cluster size, 87 for a record that names no data cluster or whose
// data runs past the volume, the reader's error (30 for nothing read), or the sink's answer.
int CProfessionalFatRecovery::CopyClusters(
    const _FILE_NODE_& node, uint64_t u64Want,
    const std::function<int(const unsigned char*, uint32_t)>& sink) {
    if (node.uClusterBytes >= CFastFatRecovery::kMaxClusterBytes) return 29;
    const uint32_t sectorsPerChunk = node.uClusterBytes / kSectorBytes;
    if (sectorsPerChunk == 0) return 87;
    if (u64Want == 0) return 0;
    if (node.uClusterNO < 2) return 87;
    std::vector<unsigned char> chunk(size_t{sectorsPerChunk} * kSectorBytes);
    uint64_t sector = node.u64DataStartSector + node.u64VolumeStartSector +
                      uint64_t{node.uClusterNO - 2} * sectorsPerChunk;
    while (u64Want > 0) {
        unsigned int read = 0;
        int result = m_diskReader.ReadData(chunk.data(), static_cast<int>(sectorsPerChunk), sector,
                                           kSectorBytes, &read);
        if (result == 0 && read == 0) result = 30;
        if (result != 0) return result;
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{read} * kSectorBytes, u64Want));
        u64Want -= n;
        const int answer = sink(chunk.data(), n);
        if (answer != 0) return answer;
        sector += sectorsPerChunk;
    }
    return 0;
}

int CProfessionalFatRecovery::ReportRecovery(int nPercent, int nError, const std::u16string& path) {
    if (m_recoveryCallback == nullptr) return 0;
    return m_recoveryCallback(m_pCallbackContext, nPercent, 100, nError, path.c_str());
}

// One file, written through the shared writer from this engine's data.
int CProfessionalFatRecovery::WriteFileData(_FILE_NODE_* pNode, const std::u16string& target) {
    return WriteRecordFile(
        target, pNode->u64FileSize,
        [&](uint64_t u64Want, const DATA_SINK& sink) {
            return CopyClusters(*pNode, u64Want, sink);
        },
        [&](int nPercent, int nError) { return ReportRecovery(nPercent, nError, target); });
}

int CProfessionalFatRecovery::SaveDataToTargetFile(_FILE_NODE_* pNode,
                                                   const char16_t* pszTargetPath) {
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
int CProfessionalFatRecovery::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                                           int nBaseDirIndex) {
    return SaveRecordOrTree(*this, m_recoveryQueue, pNode, pszTargetPath, nBaseDirIndex,
                            [this](_FILE_NODE_* pChild, const std::u16string& path) {
                                return SaveDataToTargetFile(pChild, path.c_str());
                            });
}

int CProfessionalFatRecovery::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                                      unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb,
                                      void* ctx) {
    return PreviewRecord(pNode, pszTmpPath, nTmpPathChars, pBuf, nBufLen, cb, ctx,
                         [&](uint64_t u64Want, const DATA_SINK& sink) {
                             return CopyClusters(*pNode, u64Want, sink);
                         });
}
