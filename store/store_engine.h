// CStoreEngine: what every engine that keeps its finds in a result store has in common.
//
// It holds the callbacks and the store, and answers from the store alone: the children of a
// folder, the files below it, the path of a record's folder, the records a search key selects.
// It recovers records (a file through the one writer, a folder with its whole tree) and
// previews them. An engine built on it supplies only how its records' data is read
// (ReadRecordData) and, where its folders are keyed otherwise, which folder a parent names
// (FolderKey).
//
// Without a store (before the scan made one, or because it could not be opened, which the scan
// itself reported) there is nothing to list: browsing, counting and searching find nothing and
// return 0. A null record where one is required gives RESULT_INVALID_ARGUMENT.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/recovery_parse.h"
#include "store/file_writer.h"
#include "store/scan_result_file_manager.h"

// One pending folder of a folder recovery and the destination path created for it.
struct __FILE_DATA_RECOVERY__ {
    _FILE_NODE_ node;
    std::u16string strTargetPath;
};

class CStoreEngine : public IFileRecoveryParse {
public:
    CStoreEngine();
    ~CStoreEngine() override;
    CStoreEngine(const CStoreEngine&) = delete;
    CStoreEngine& operator=(const CStoreEngine&) = delete;

    int InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                     int nWeight) override;
    // Children of pParent at depth uDirIndex; a null parent with depth 0 is the root.
    int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                            std::vector<_FILE_NODE_>& out) override;
    // Adds the number of files anywhere below the folder to count.
    int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                             unsigned int& count) override;
    unsigned int GetLostFileCount() override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath, int nMaxChars) override;
    // A file is written to pszTargetPath; a folder is created there and its whole tree below
    // it, breadth-first, each child under a name free in its folder. Every failure is reported
    // through the recovery callback with its error; a cancel ends the walk at once.
    int SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath, int nBaseDirIndex) override;
    int InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) override;
    int SearchFileNode(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out) override;
    int PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars, unsigned char* pBuf,
                int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) override;
    // A single engine keeps no checkpoint of its own and reports no damage unless it says so.
    int IsFindLogFile() const override { return 0; }
    int SetNotLoadLogFile() override { return 0; }
    bool SawDamage() const override { return false; }

    // Writes one file, or creates one folder and queues it for the tree walk of SaveFileData.
    int SaveDataToTargetFile(_FILE_NODE_* pNode, const char16_t* pszTargetPath);
    CScanResultFileManager* GetStore() const { return m_pStore.get(); }

    // Whether the engine has a store to keep what it finds in.
    bool HasStore() const { return m_pStore != nullptr; }

protected:
    // Produces the first u64Want bytes of node's data into sink, chunk by chunk: 0, an error,
    // or the sink's non-zero answer.
    virtual int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                               const DATA_SINK& sink) = 0;
    // The relation key of the folder whose children are asked for; nullopt when the parent
    // can have none. By default a null parent, or one of number 0, is RootFolderNumber().
    virtual std::optional<uint64_t> FolderKey(const _FILE_NODE_* pParent,
                                              unsigned int uDirIndex) const;
    virtual uint32_t RootFolderNumber() const { return 0; }

    // Reopens the store pszLogName of an interrupted scan when it names one; else makes a
    // fresh store named pszPrefix + first sector + local time, after removing one of that name
    // left by a scan of the same volume in the same minute. The store keeps the search
    // callback. On failure the engine is left without a store and the error is returned:
    // nothing found could be kept.
    int OpenStore(const char* pszPrefix, uint64_t u64FirstSector, const char16_t* pszLogName);
    void CloseStore() { m_pStore.reset(); }
    // Appends a copy of node to the store, numbered uNumber, as a child of folder uParent at
    // uLevel; a folder's name joins the folder list too. The copy's index, or 0 when the store
    // took nothing.
    uint32_t StoreChild(_FILE_NODE_ node, uint32_t uParent, uint32_t uLevel, uint32_t uNumber);

    // The scan callback with this engine's weight; 0, or ERROR_USER_CANCEL when it answered
    // non-zero. 0 without a callback.
    int ReportScan(int nPercent, int nSecondsLeft, uint64_t u64Current = 0, uint64_t u64Total = 0,
                   uint64_t u64Files = 0) const;
    // The recovery callback's raw answer for one file (weight 100); 0 without a callback.
    int ReportRecovery(int nPercent, int nError, const std::u16string& path) const;

    std::unique_ptr<CScanResultFileManager> m_pStore;
    int m_nWeight = 100;
    SCAN_CALLBACK m_scanCallback = nullptr;
    RECOVERY_CALLBACK m_recoveryCallback = nullptr;
    void* m_pCallbackContext = nullptr;
    SEARCH_CALLBACK m_searchCallback = nullptr;
    void* m_pSearchContext = nullptr;

private:
    int RecoverQueuedFolders(int nBaseDirIndex);

    std::deque<__FILE_DATA_RECOVERY__> m_recoveryQueue;
};
