// CFileTypeRecovery: the carving engine. Turns sectors that no file-system parser claimed
// into found files and serves them afterwards.
//
// It has no scan loop of its own: the deep-scan coordinator reads the device and hands every
// sector that is neither an NTFS FILE record nor FAT directory structure to ParseFileBuf. When
// a known format starts there, the file's length is estimated and one record is written to
// the engine's result store, directly under the root (relation key 0); the coordinator skips
// the sectors the file covers (one sector only for formats whose length comes from a header
// field that may be wrong).
//
// A carved record: nFileSource FILE_SOURCE_FILE_TYPE, bDataHealth 1, uClusterBytes
// 0xFFFFFFFF, u64RecordSector the file's first sector, u64FileSize its estimated length,
// szFileName "<first sector>.<extension>". Recovery and preview read a contiguous run of
// sectors from the first sector.
//
// Uses the static context of CFileTypeJudge: one carving engine per process, used from one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"
#include "engine/scan_result_file_manager.h"
#include "foundation/disk_reader.h"
#include "foundation/recovery_parse.h"

class CFileTypeRecovery : public IFileRecoveryParse {
public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;
    CFileTypeRecovery(const CFileTypeRecovery&) = delete;
    CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

    // A fresh store "File_Type_<first sector>_<local time>" in the current scan folder and the
    // reader on disk nDisk, limited to the scanned area. Returns the reader's result.
    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    // The same for a device or image by path; the reader may read the whole device.
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                     int nWeight) override;
    int ScanDevice(const char16_t* pszLogName) override;  // 0: the coordinator drives carving
    int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                            std::vector<_FILE_NODE_>& out) override;
    int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                             unsigned int& count) override;
    unsigned int GetLostFileCount() override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath, int nMaxChars) override;
    int SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath, int nBaseDirIndex) override;
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) override;
    int SearchFileNode(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out) override;
    int BuildBitMapInfo() override;
    int PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars, unsigned char* pBuf,
                int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) override;

    // Reopens the store pszLogName of an interrupted deep scan (in the current scan folder)
    // and binds the reader, by path or by disk number, with the given sector limit. Returns
    // the reader's result.
    int InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter,
                    const char16_t* pszDevicePath, int nBytesPerSector, uint64_t u64SectorLimit);
    int InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter, int nDisk,
                    int nBytesPerSector, uint64_t u64SectorLimit);

    // Carves the sector pBuf (nLen bytes) at absolute sector u64Sector, reading onwards
    // through pReader. 0 when a file was recorded (u64Consumed then says how many sectors it
    // covers and u64FilesFound grew by one); 87 when nothing was carved (u64Consumed left as
    // the caller set it); ERROR_USER_CANCEL when the scan callback cancelled the estimate (no
    // record).
    int ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                     uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount, int nRemaidSecond,
                     CDiskReader* pReader, int nBytesPerSector, uint64_t& u64Consumed,
                     uint64_t& u64FilesFound);
    int ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                     uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount, int nRemaidSecond,
                     ISectorReader* pReader, int nBytesPerSector, uint64_t& u64Consumed,
                     uint64_t& u64FilesFound);

    // Writes the carved file's u64FileSize bytes to a new file at pszTargetPath (UTF-16).
    // Never overwrites: an existing file gives EEXIST. 0, 87 (null record), errno, 30 (short
    // read), the read's code or the recovery callback's value.
    int SaveDataToTargetFile(const _FILE_NODE_* pNode, const char16_t* pszTargetPath);

    CScanResultFileManager* GetStore() { return m_pStore.get(); }

private:
    int CreateStore(long long llFirstSector);
    int OpenStore(const char16_t* pszLogName);
    int RecordCarvedFile(uint64_t u64Sector, const char* pszName, uint64_t u64Length);
    int CopyRunToFile(const _FILE_NODE_& node, int fd, const char16_t* pszTarget);

    char16_t m_wcDriveLetter = 0;
    long long m_llStartSector = 0;
    long long m_llSectorCount = 0;
    int m_nBytesPerSector = 512;
    CDiskReader m_diskReader;
    CFileTypeJudge m_fileTypeJudge;
    std::unique_ptr<CScanResultFileManager> m_pStore;
    int m_nWeight = 0;
    SCAN_CALLBACK m_scanCallback = nullptr;
    RECOVERY_CALLBACK m_recoveryCallback = nullptr;
    SEARCH_CALLBACK m_searchCallback = nullptr;
    void* m_pSearchContext = nullptr;
    void* m_pCallbackContext = nullptr;
};
