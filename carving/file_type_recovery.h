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
// Each engine carves with its own carving::CarveScan, so engines do not share carving state;
// one engine is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"
#include "foundation/disk_reader.h"
#include "store/store_engine.h"

class CFileTypeRecovery : public CStoreEngine {
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
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int BuildBitMapInfo() override;

    // Reopens the store pszLogName of an interrupted deep scan (in the current scan folder)
    // and binds the reader, by path or by disk number, with the given sector limit. Returns
    // the reader's result.
    int InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter,
                    const char16_t* pszDevicePath, int nBytesPerSector, uint64_t u64SectorLimit);
    int InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter, int nDisk,
                    int nBytesPerSector, uint64_t u64SectorLimit);

    // A deep scan starts with no transport streams carved.
    void ClearTsFileRanges() { m_carveScan.ClearTsFileRanges(); }

    // Carves the sector pBuf (nLen bytes) at absolute sector u64Sector, reading onwards
    // through pReader. 0 when a file was recorded (u64Consumed then says how many sectors it
    // covers and u64FilesFound grew by one); RESULT_NOT_FOUND when nothing was carved (u64Consumed
    // left as the caller set it); ERROR_USER_CANCEL when the scan callback cancelled the estimate
    // (no record).
    int ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                     uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount, int nRemaidSecond,
                     CDiskReader* pReader, int nBytesPerSector, uint64_t& u64Consumed,
                     uint64_t& u64FilesFound);
    int ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                     uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount, int nRemaidSecond,
                     ISectorReader* pReader, int nBytesPerSector, uint64_t& u64Consumed,
                     uint64_t& u64FilesFound);

protected:
    // A contiguous run of sectors from the file's first sector.
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;
    // Carved files have no folders: they all lie under the root.
    std::optional<uint64_t> FolderKey(const _FILE_NODE_* pParent,
                                      unsigned int uDirIndex) const override;

private:
    int RecordCarvedFile(uint64_t u64Sector, const char* pszName, uint64_t u64Length);

    char16_t m_wcDriveLetter = 0;
    int m_nBytesPerSector = 512;
    CDiskReader m_diskReader;
    CFileTypeJudge m_fileTypeJudge;
    carving::CarveScan m_carveScan;
};
