// The one interface behind which every engine stands. The job driver and the deep-scan
// coordinator call engines only through it, without knowing the file system.
//
// Calling order: construction and Init (by the factory) -> InitCallBack -> ScanDevice ->
// any number of searches, previews, recoveries and folder queries -> delete.
//
// Results are 0, an errno (positive) or one of the program's codes (negative, see
// foundation/result.h). A callback's non-zero answer stops the operation, which returns
// ERROR_USER_CANCEL.
// BuildBitMapInfo and GetUnUsedSectorCount are used by the coordinator on its quick engine.
// Engines are not thread-safe; one job runs on one worker thread at a time.
#pragma once

#include <vector>

#include "foundation/file_node.h"

class IFileRecoveryParse {
public:
    virtual ~IFileRecoveryParse() = default;

    // Binds the engine to the volume that starts at llStartSector of disk nDisk and spans
    // llSectorCount 512-byte sectors. Opens the device read-only.
    virtual int Init(int nDisk, long long llStartSector, long long llSectorCount,
                     char16_t wcDriveLetter) = 0;
    // The same for a device or image named by path; the volume is the whole file.
    virtual int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) = 0;

    virtual int InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                             int nWeight) = 0;
    // Null: scan into a fresh result store. Non-null: reopen the store of that name.
    virtual int ScanDevice(const char16_t* pszLogName) = 0;

    // Children of pParent at depth uDirIndex; a null parent with depth 0 is the root.
    virtual int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                    std::vector<_FILE_NODE_>& out) = 0;
    // Adds the number of files anywhere below the folder to count.
    virtual int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                     unsigned int& count) = 0;
    virtual unsigned int GetLostFileCount() = 0;
    virtual int GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath, int nMaxChars) = 0;
    // Writes a file, or a folder with its whole subtree, to pszTargetPath. The caller has
    // chosen a free name; engines never overwrite an existing file.
    virtual int SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                             int nBaseDirIndex) = 0;
    // Next run of volume-relative sectors that no file occupies, at or after llStart;
    // llCount 0 when there is none.
    virtual int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) = 0;
    virtual int InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) = 0;
    virtual int SearchFileNode(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out) = 0;
    // 0 when a free-space map is ready for GetUnUsedSectorCount.
    virtual int BuildBitMapInfo() = 0;
    // A photo goes whole to a temporary file whose path is written into pszTmpPath (at most
    // nTmpPathChars units with the terminator); anything else fills pBuf with up to nBufLen
    // bytes, and nBufLen says how many.
    virtual int PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                        unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) = 0;

    // Checkpoints. 1 when Init found a resumable checkpoint of this volume (only the deep-scan
    // coordinator keeps them; other engines answer 0).
    virtual int IsFindLogFile() const = 0;
    // Forgets that checkpoint and deletes its folder, so that the next scan starts afresh.
    virtual int SetNotLoadLogFile() = 0;
    // Whether the scan met damaged file-system structures, so that the free-space map may not
    // cover everything a deep scan needs (a quick engine's answer decides whether the
    // coordinator reads the whole volume).
    virtual bool SawDamage() const = 0;
};
