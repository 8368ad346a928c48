#include "store/store_engine.h"

#include <algorithm>
#include <cstdio>

#include "foundation/debug_log.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/preview.h"

CStoreEngine::CStoreEngine() = default;
CStoreEngine::~CStoreEngine() = default;

int CStoreEngine::InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                               int nWeight) {
    m_scanCallback = scanCb;
    m_recoveryCallback = recoveryCb;
    m_pCallbackContext = ctx;
    m_nWeight = nWeight;
    return RESULT_OK;
}

int CStoreEngine::OpenStore(const char* pszPrefix, uint64_t u64FirstSector,
                            const char16_t* pszLogName) {
    m_pStore = std::make_unique<CScanResultFileManager>();
    int result = RESULT_OK;
    if (pszLogName != nullptr && pszLogName[0] != u'\0') {
        result = m_pStore->Init(pszLogName);
    } else {
        SYSTEMTIME now{};
        rsb_getLocalTime(&now);
        char name[128];
        std::snprintf(name, sizeof name, "%s%llu_%d%d%d%d%2d", pszPrefix,
                      static_cast<unsigned long long>(u64FirstSector), now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute);
        RemoveStoreFiles(name);
        result = m_pStore->Init(Ansi2Unicode(name).c_str());
    }
    if (result != RESULT_OK) {
        DebugLog("result store %s could not be opened: %d\n", pszPrefix, result);
        m_pStore.reset();
        return result;
    }
    m_pStore->InitSearchCallBack(m_searchCallback, m_pSearchContext);
    return RESULT_OK;
}

uint32_t CStoreEngine::StoreChild(_FILE_NODE_ node, uint32_t uParent, uint32_t uLevel,
                                  uint32_t uNumber) {
    _FILE_NODE_* slot = m_pStore ? m_pStore->CreateFileNode(sizeof(_FILE_NODE_)) : nullptr;
    if (slot == nullptr) return 0;
    node.uFileIndex = m_pStore->GetFileIndex();
    *slot = node;
    m_pStore->AddChildren(uParent, uLevel, node.uFileIndex, uNumber,
                          node.bIsDir != 0 ? node.szFileName : nullptr);
    return node.uFileIndex;
}

int CStoreEngine::ReportScan(int nPercent, int nSecondsLeft, uint64_t u64Current, uint64_t u64Total,
                             uint64_t u64Files) const {
    if (m_scanCallback == nullptr) return RESULT_OK;
    return CancelOf(m_scanCallback(m_pCallbackContext, nPercent, m_nWeight, nSecondsLeft,
                                   u64Current, u64Total, u64Files, nullptr));
}

int CStoreEngine::ReportRecovery(int nPercent, int nError, const std::u16string& path) const {
    if (m_recoveryCallback == nullptr) return RESULT_OK;
    return m_recoveryCallback(m_pCallbackContext, nPercent, 100, nError, path.c_str());
}

std::optional<uint64_t> CStoreEngine::FolderKey(const _FILE_NODE_* pParent,
                                                unsigned int uDirIndex) const {
    const bool root = pParent == nullptr || pParent->uClusterNO == 0;
    return MakeRelationKey(uDirIndex, root ? RootFolderNumber() : pParent->uClusterNO);
}

int CStoreEngine::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                      std::vector<_FILE_NODE_>& out) {
    if (pParent == nullptr && uDirIndex != 0) return RESULT_INVALID_ARGUMENT;
    const std::optional<uint64_t> key = FolderKey(pParent, uDirIndex);
    if (!m_pStore || !key) return RESULT_OK;
    m_pStore->FlushBufToFile();
    return m_pStore->GetChildrenFileNode(*key, out);
}

int CStoreEngine::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                       unsigned int& count) {
    if (pParent == nullptr && uDirIndex != 0) return RESULT_INVALID_ARGUMENT;
    const std::optional<uint64_t> key = FolderKey(pParent, uDirIndex);
    if (!m_pStore || !key) return RESULT_OK;
    m_pStore->FlushBufToFile();
    unsigned int files = 0;
    const int result = m_pStore->GetChildrenFileCount(*key, files);
    count += files;
    return result;
}

unsigned int CStoreEngine::GetLostFileCount() {
    return m_pStore ? m_pStore->GetFileIndex() : 0;
}

int CStoreEngine::GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath, int nMaxChars) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    if (m_pStore) return m_pStore->GetParentDirPath(pNode, pszPath, nMaxChars);
    if (pszPath != nullptr && nMaxChars > 0) pszPath[0] = u'\0';
    return RESULT_OK;
}

int CStoreEngine::InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) {
    m_searchCallback = cb;
    m_pSearchContext = ctx;
    if (m_pStore) m_pStore->InitSearchCallBack(cb, ctx);
    return RESULT_OK;
}

int CStoreEngine::SearchFileNode(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out) {
    if (!m_pStore) return RESULT_OK;
    return m_pStore->SearchFileNodeInfo(pszKey, out);
}

int CStoreEngine::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                          unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) {
    return PreviewRecord(pNode, pszTmpPath, nTmpPathChars, pBuf, nBufLen, cb, ctx,
                         [&](uint64_t u64Want, const DATA_SINK& sink) {
                             return ReadRecordData(*pNode, u64Want, sink);
                         });
}

int CStoreEngine::SaveDataToTargetFile(_FILE_NODE_* pNode, const char16_t* pszTargetPath) {
    const std::u16string target = pszTargetPath != nullptr ? pszTargetPath : u"";
    if (pNode == nullptr || target.empty()) {
        ReportRecovery(100, RESULT_INVALID_ARGUMENT, target);
        return RESULT_INVALID_ARGUMENT;
    }
    if (pNode->bIsDir == 0) {
        return WriteRecordFile(
            target, pNode->u64FileSize,
            [&](uint64_t u64Want, const DATA_SINK& sink) {
                return ReadRecordData(*pNode, u64Want, sink);
            },
            [&](int nPercent, int nError) { return ReportRecovery(nPercent, nError, target); });
    }
    const int result = MakeTargetFolder(target);
    if (result != RESULT_OK) {
        ReportRecovery(100, result, target);
        return result;
    }
    m_recoveryQueue.push_back({*pNode, target});
    return RESULT_OK;
}

int CStoreEngine::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                               int nBaseDirIndex) {
    if (pNode == nullptr || pszTargetPath == nullptr || pNode->bIsDir == 0) {
        return SaveDataToTargetFile(pNode, pszTargetPath);
    }
    m_recoveryQueue.clear();
    const int result = SaveDataToTargetFile(pNode, pszTargetPath);
    if (result != RESULT_OK) return result;
    return RecoverQueuedFolders(nBaseDirIndex);
}

// Breadth-first: a folder's files are written before those of its sub-folders, each under a
// name that is free in its destination folder, so nothing recovered overwrites or merges into
// anything else. Children are listed at the level the destination path gives (its separators
// minus nBaseDirIndex). Returns the result of the last child or listing; a cancel at once.
int CStoreEngine::RecoverQueuedFolders(int nBaseDirIndex) {
    int result = RESULT_OK;
    while (!m_recoveryQueue.empty()) {
        __FILE_DATA_RECOVERY__ item = m_recoveryQueue.front();
        m_recoveryQueue.pop_front();
        unsigned int separators = 0;
        GetPathDirIndex(item.strTargetPath.c_str(), separators);
        const int level = static_cast<int>(separators) - nBaseDirIndex;
        std::vector<_FILE_NODE_> children;
        const int listed = GetChildrenFileNode(
            &item.node, static_cast<unsigned int>(std::max(level, 0)), children);
        if (listed != RESULT_OK) {
            result = listed;
            continue;
        }
        for (_FILE_NODE_& child : children) {
            std::u16string childPath;
            result = FreeChildPath(item.strTargetPath, child.szFileName, childPath);
            if (result != RESULT_OK) {
                ReportRecovery(100, result,
                               item.strTargetPath + u"/" + SafeFileNameComponent(child.szFileName));
            } else {
                result = SaveDataToTargetFile(&child, childPath.c_str());
            }
            if (result == ERROR_USER_CANCEL) {
                m_recoveryQueue.clear();
                return result;
            }
        }
    }
    return result;
}
