// The quick-scan engine for NTFS volumes.
//
// It reads the whole master file table once, in 1,024-record pieces straight from its runs,
// and records in a result store every FILE record that is neither in use nor a folder (the
// deleted files); it then reads the folders named on the way up from those files to the root
// and records them too, so that deleted files browse inside the tree they were deleted from.
// A folder whose record no longer describes a folder becomes "LostFolder<number>" under the
// root. When the front end asks for files that were not deleted (ListPresentFiles), every
// user file whose record is in use is recorded the same way, under one name, and marked with
// kPresentEntryMark; the volume's own files (the first 24 records and the $Extend tree) never
// are. A folder whose record is in use carries that mark whatever was asked. Afterwards it
// extracts files from their resident data or data runs, previews them, and tells the deep
// scan which clusters $Bitmap marks free.
//
// Invariants:
//  - nothing is ever written to the device: it is opened read-only and read through
//    m_diskReader, whose limit is the end of the volume;
//  - sectors are the volume's own (its boot sector's bytes per sector); "absolute" sectors
//    count from the start of the disk, "volume" sectors from the boot sector;
//  - records are found by number through the $MFT's runs, sector by sector, so a record split
//    between two runs (clusters smaller than records) is still read whole and in order;
//  - every offset and length read from a record is checked against the record before use;
//    a record that cannot be parsed is skipped (or, in the folder pass, becomes a lost
//    folder) and the scan goes on;
//  - memory does not grow with the files found: records go to the store; the engine keeps the
//    folder list, the depth of each folder met and whether it lies below $Extend;
//  - a recovered file is created with O_EXCL: an existing file is never written into.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/disk_reader.h"
#include "foundation/scan_options.h"
#include "ntfs/ntfs_data.h"
#include "ntfs/ntfs_parse.h"
#include "store/store_engine.h"

// Whether the quick scan lists a file's named data streams (alternate data streams) beside it,
// as "name:stream", each recovered as a file of its own. On by default; process-wide.
void SetListNamedStreams(bool bList);
bool ListsNamedStreams();

// A listed named stream is marked in its record: the low byte of uReserved holds this value
// (the bits above it carry marks every engine shares, such as kPresentEntryMark) and
// u64DataStartSector the offset of the ':' in szFileName that starts the stream's name.
constexpr uint32_t kNtfsNamedStreamMark = 2;
constexpr uint32_t kNtfsOwnMarkBits = 0xFF;

inline bool IsNtfsNamedStream(const _FILE_NODE_& node) {
    return (node.uReserved & kNtfsOwnMarkBits) == kNtfsNamedStreamMark;
}

class CFastNtfsRecovery : public CStoreEngine, private INtfsRecordSource {
public:
    static constexpr int kRecordsPerPiece = 1024;
    static constexpr uint32_t kBootAreaBytes = 4096;

    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;
    CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
    CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

    // The volume at llStartSector of disk nDisk, llSectorCount sectors of 512 bytes.
    // 0; RESULT_SHORT_READ when the boot area cannot be read whole; RESULT_INVALID_ARGUMENT
    // for a boot sector whose geometry no
    // NTFS volume has; errno of a failed open.
    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    // The volume is the whole device or image file.
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    // Null: a fresh store named "Fast_..." and a scan into it. A name: reopens that store.
    int ScanDevice(const char16_t* pszLogName) override;
    // llStart is a volume sector. Always 1; llCount 0 when no free sector follows llStart.
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    // Loads $Bitmap. 0, or the error of the lookup or read that failed.
    int BuildBitMapInfo() override;

    // ---- Record lookups. A record sector is the absolute sector where a FILE record starts.
    // The runs of the attribute of uType: 0; NTFS_NOT_FOUND; NTFS_NOT_A_RECORD; an errno.
    int GetRunListInfo(uint64_t u64RecordSector, uint32_t uType, RUN_LIST& out);
    // The resident value of the first $DATA, alignment bytes included (the attribute's length
    // minus the value offset), copied into pBuf, which holds at least one record. 0;
    // NTFS_NOT_FOUND when the record is no FILE record, has no $DATA or a non-resident one;
    // RESULT_NOT_A_RECORD when the value would be a record long or longer.
    int GetAttr0x80Data(uint64_t u64RecordSector, unsigned char* pBuf, uint32_t& uLength);
    // The real size of the first $DATA: 0; NTFS_NOT_A_RECORD; RESULT_NOT_FOUND when there is
    // no $DATA; errno.
    int GetBitMapRealBytesSize(uint64_t u64RecordSector, uint64_t& u64Size);
    // Record P into pBuf (at least one record), as stored (not fixed up). 0, RESULT_OUTSIDE_VOLUME
    // when the $MFT's runs do not reach it, or the reader's error.
    int GetFileRecordBuf(uint32_t uRecord, unsigned char* pBuf);
    // 1 when the file's data starts with what its extension promises, or when that cannot be
    // told; 0 when it does not, or a resident file holds no data.
    int IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t uSectorsPerCluster);

    // ---- Geometry, for tests and the deep scan.
    uint32_t GetBytesPerSector() const { return m_uBytesPerSector; }
    uint32_t GetSectorsPerCluster() const { return m_uSectorsPerCluster; }
    uint32_t GetBytesPerRecord() const { return m_uBytesPerRecord; }
    uint64_t GetVolumeStartSector() const { return m_u64VolumeStartSector; }
    uint64_t GetVolumeSectorCount() const { return m_u64VolumeSectorCount; }
    uint64_t GetMftRecordSector() const { return m_u64MftRecordSector; }
    const RUN_LIST& GetMftRunList() const { return m_mftRunList; }
    const std::vector<uint8_t>& GetBitMap() const { return m_bitMap; }
    // Records of the master file table, as far as its runs reach.
    uint64_t GetMftRecordCount() const;

protected:
    // From the record's resident data or along its data runs.
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;
    int ReadStreamData(const _FILE_NODE_& node, const std::u16string& stream, uint64_t u64Want,
                       const DATA_SINK& sink);
    uint32_t RootFolderNumber() const override { return kNtfsRootRecord; }

private:
    struct ScanProgress;
    struct RecordSummary;
    struct TableStream;

    // INtfsRecordSource, over the $MFT's runs and the engine's reader.
    int ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) override;
    int ReadClusters(uint64_t u64Cluster, uint64_t u64Count, unsigned char* pBuf) override;
    uint32_t GetClusterBytes() const override { return m_uBytesPerSector * m_uSectorsPerCluster; }

    int OpenVolume(int fd, uint64_t u64StartSector512, uint64_t u64SectorCount512,
                   char16_t wcDriveLetter);
    int ReadBootArea(int fd, uint64_t u64ByteOffset, std::vector<unsigned char>& boot);
    int ApplyBootSector(const std::vector<unsigned char>& boot, uint64_t u64StartSector512,
                        uint64_t u64SectorCount512);
    void LoadMftRunList();
    int ReadRecordAtSector(uint64_t u64RecordSector, unsigned char* pBuf, uint64_t& uRecord);
    int ReadFixedRecordAtSector(uint64_t u64RecordSector, std::vector<unsigned char>& buf,
                                uint64_t& uRecord);
    int ReadTableSectors(uint64_t u64TableSector, uint32_t uCount, unsigned char* pBuf);
    bool RecordSectorOf(uint64_t uRecord, uint64_t& u64Sector) const;

    int FastScanDevice();
    int ScanMftRuns(ScanProgress& progress);
    bool PlaceTableRun(const __RUNLIST__& run, int64_t lcn, uint64_t& u64Sector,
                       uint64_t& u64Sectors, uint64_t& u64CutSectors) const;
    void ParsePiece(TableStream& stream, size_t nPieceBytes, uint64_t u64PieceSector);
    int ReportProgress(ScanProgress& progress);
    void ParseRecordInfo(unsigned char* pRecord, bool bFolderPass, uint64_t uRecord,
                         uint64_t u64RecordSector);
    bool IsFileToList(const NTFS_RECORD_HEADER& header, uint64_t uRecord) const;
    bool SummariseRecord(const unsigned char* pRecord, uint64_t uRecord, RecordSummary& out);
    // Files one name of a summarised record under the folder that name gives.
    void PublishStreams(const RecordSummary& summary, const NTFS_FILE_NAME& name, uint32_t number,
                        uint64_t u64RecordSector);
    void PublishRecord(const RecordSummary& summary, const NTFS_FILE_NAME& name, uint32_t number,
                       uint64_t u64RecordSector, unsigned char* pRecord, uint64_t uRecord,
                       bool bFolderPass);
    _FILE_NODE_* FillFileNode(const NTFS_FILE_NAME& name, bool bFolder);
    void AddLostFolder(uint32_t uRecord, bool bUnreadable);
    uint32_t FolderDepth(uint32_t uParent);
    int GetRootParentDirIndex(uint32_t uRecord, uint32_t& uDepth, std::set<uint32_t>& visited);
    int ReadFolderParent(uint32_t uRecord, std::vector<unsigned char>& record,
                         std::optional<uint32_t>& parent);
    bool InMetadataTree(uint32_t uFolder);
    bool FolderNameOf(const unsigned char* pRecord, size_t nBound, uint64_t uRecord,
                      NTFS_FILE_NAME& name);
    void RunFolderPass();

    uint64_t ClusterCountOfVolume() const;

    int m_nDevice = -1;
    uint64_t m_u64VolumeStartSector = 0;  // absolute sector of the boot sector
    uint64_t m_u64VolumeSectorCount = 0;
    uint64_t m_u64MftRecordSector = 0;  // absolute sector of MFT record 0
    uint64_t m_u64StoreNameSector = 0;  // the first sector as the caller gave it (512-byte)
    char16_t m_wcDriveLetter = u'C';
    uint32_t m_uBytesPerSector = 512;
    uint32_t m_uBytesPerRecord = 1024;
    uint32_t m_uSectorsPerRecord = 2;
    uint32_t m_uSectorsPerCluster = 0;
    uint32_t m_uChunkBytes = 0;
    std::vector<unsigned char> m_readBuffer;  // one piece of the table plus one record
    std::vector<uint8_t> m_bitMap;            // bit i of byte k: cluster 8k + i in use
    RUN_LIST m_mftRunList;
    std::vector<uint32_t> m_folderList;  // folders met above listed files, in order met
    std::set<uint32_t> m_folderSet;
    std::map<uint32_t, uint32_t> m_folderDepth;  // folders between a folder and the root
    std::map<uint32_t, bool> m_metadataFolder;   // whether a folder lies below $Extend
    bool m_bListPresent = false;                 // ListPresentFiles() when the scan began
    CDiskReader m_diskReader;
    CNtfsParse m_ntfsParse;
};
