// The NTFS part of the deep scan.
//
// It never reads the device on its own initiative: the deep-scan coordinator makes one pass
// over the device and hands over every sector that looks like a FILE record, with its
// absolute sector (ParseNtfsFileRecord). Every record that is not a folder, live or deleted,
// from any NTFS volume that ever lived on the device, becomes a node filed under its parent
// folder as far as the parent chain can still be followed. Folders met on those chains are
// read and filed in a folder pass at the end (ParseProfessionalRecordVec); a folder whose
// record is unreadable, no longer a folder or now carries another number becomes
// "LostFolder<number>" under the root, so that the files filed under it stay reachable.
//
// A deep scan may cross several volumes, or volumes whose boot sector is gone, so the engine
// learns where each master file table lies: from the boot sector at Init and from every
// "$MFT" record (record 0) it is handed. A record is placed on the first table that puts its
// own number exactly where it was found; a record no table places is taken to belong to a
// contiguous table on the volume given to Init (the synthetic run).
//
// Invariants:
//  - nothing is ever written to the device: it is opened read-only and read through
//    m_diskReader, whose limit is the end of the volume given to Init;
//  - the engine works in 512-byte sectors and 1,024-byte records, whatever the volumes say;
//  - every offset and length read from a record is checked against the record before use;
//    ParseNtfsFileRecord never reads outside the bytes it is given, and a record that fails
//    its checks is skipped (or, in the folder pass, becomes a lost folder);
//  - memory does not grow with the files found: nodes go to the result store; the engine
//    keeps one entry per folder met (sharing its table's run list) and one run list per table;
//  - folders are known by record number alone, as the result store keys them: when several
//    volumes have a folder of the same number, the first one met is read and the files of
//    all of them browse under it (each file keeps its own volume for recovery);
//  - a recovered file is created with O_EXCL: an existing file is never written into.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/disk_reader.h"
#include "ntfs/ntfs_data.h"
#include "ntfs/ntfs_parse.h"
#include "store/store_engine.h"

// Where a master file table lies and how to read records through it. A table is either the
// run list of a "$MFT" record, or the synthetic run: a single run of length 0 whose offset is
// the cluster of record 0, standing for a table that runs on contiguously from there.
struct __MFT_PLACEMENT__ {
    uint64_t u64VolumeStartSector = 0;  // absolute sector of the volume's cluster 0
    uint32_t uSectorsPerCluster = 0;
    std::shared_ptr<const RUN_LIST> runs;  // shared by every folder placed on the same table
};

// One folder to read in the folder pass: its record number and the table it is read through.
struct __SPECIAL_RECOVERY_DIR__ {
    uint32_t uRecordNumber = 0;
    __MFT_PLACEMENT__ placement;
};

// A table learned from a boot sector or a "$MFT" record, keyed in the table map by the
// absolute sector of its record 0.
struct __MFT_TABLE__ {
    std::shared_ptr<const RUN_LIST> runs;
    uint32_t uSectorsPerCluster = 0;
};

class CProfessionalNtfsRecovery : public CStoreEngine {
public:
    static constexpr uint32_t kBytesPerSector = 512;
    static constexpr uint32_t kSectorsPerRecord = 2;
    static constexpr uint32_t kBytesPerRecord = kBytesPerSector * kSectorsPerRecord;
    static constexpr uint32_t kBootAreaBytes = 4096;
    // Clusters of up to 2 MiB; a derived cluster size beyond that, or not a power of two, is
    // a corrupt record's and is not believed.
    static constexpr uint32_t kMaxSectorsPerCluster = 4096;

    CProfessionalNtfsRecovery();
    ~CProfessionalNtfsRecovery() override;
    CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
    CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

    // The range of disk nDisk the pass will cover: llSectorCount 512-byte sectors from
    // llStartSector, which is also the volume start assumed for records no table places.
    // Learns the table of the boot sector found there, if any. 0, or errno of a failed open
    // or read; RESULT_INVALID_ARGUMENT for a negative range.
    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    // The same for a whole device or image file named by path.
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    // The coordinator drives the scan: these do nothing and return 0 (no free space, llCount 0).
    int ScanDevice(const char16_t* pszLogName) override;
    int BuildBitMapInfo() override;
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;

    // ---- Driven by the deep-scan coordinator.
    // Null or empty: a fresh store named "Pro_Ntfs_..." (an old store of that name is removed
    // first). A name: reopens that store. Empties the special-folder list. The store's result.
    int InitProfessionalScan(const char16_t* pszLogName);
    // One FILE record found at absolute sector u64AbsoluteSector; nRecordBytes bytes of it
    // are readable (at least one record is needed). Folder records are left for the folder
    // pass. 0; NTFS_NOT_A_RECORD for no "FILE" signature or a record that fails its header
    // checks; RESULT_INVALID_ARGUMENT for a
    // buffer shorter than a record, or no store.
    int ParseNtfsFileRecord(const unsigned char* pRecord, int nRecordBytes,
                            uint64_t u64AbsoluteSector);
    // The folder pass: reads every folder met on a parent chain (including those met during
    // the pass) and files it. 0; errno of a read that failed with a system error, which ends
    // the pass; RESULT_INVALID_ARGUMENT without a store.
    int ParseProfessionalRecordVec();
    // The runs of the attribute of uType of the FILE record at u64RecordSector, read through
    // the table that places the record (attribute lists included). 0; NTFS_NOT_FOUND (also
    // for a read refused or cut short); NTFS_NOT_A_RECORD; errno.
    int GetRunListInfo(uint64_t u64RecordSector, uint32_t uType, std::vector<__RUNLIST__>& out);

    // ---- Record lookups on a found node.
    // The same for the node's record, through the node's volume and cluster size. A record
    // whose first attribute would lie outside it gives RESULT_NOT_A_RECORD.
    int GetFileNodeRunListInfo(const _FILE_NODE_* pNode, uint32_t uType, RUN_LIST& out);
    // The resident value of the node's $DATA, alignment bytes included, copied into pBuf (at
    // least one record long). 0; NTFS_NOT_FOUND when the record is no FILE record or its
    // $DATA is missing or non-resident; RESULT_NOT_A_RECORD when the value would be a record long
    // or longer.
    int GetFileNodeAttr0x80Data(const _FILE_NODE_* pNode, unsigned char* pBuf, uint32_t& uLength);
    // 1 when the file's data starts with what its extension promises, or when that cannot be
    // told; 0 when it does not, or a resident file holds no data.
    int IsFileDataHealth(const _FILE_NODE_* pNode);

    // ---- State, for the coordinator and tests.
    uint64_t GetVolumeStartSector() const { return m_u64VolumeStartSector; }
    uint64_t GetVolumeSectorCount() const { return m_u64VolumeSectorCount; }
    uint32_t GetCurrentSectorsPerCluster() const { return m_uCurrentSectorsPerCluster; }
    const std::map<uint64_t, __MFT_TABLE__>& GetTableMap() const { return m_tableMap; }
    const std::vector<__SPECIAL_RECOVERY_DIR__>& GetSpecialFolders() const {
        return m_specialFolders;
    }

protected:
    // From the node's resident data or along its runs, on the volume the scan placed it on.
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;
    // A folder's children are filed under (uDirIndex << 32) | its record number; a null folder
    // asks for the store's first key (the root's children), a folder of number 0 for the root.
    std::optional<uint64_t> FolderKey(const _FILE_NODE_* pParent,
                                      unsigned int uDirIndex) const override;
    uint32_t RootFolderNumber() const override { return kNtfsRootRecord; }

private:
    class CPlacedRecordSource;
    struct RecordContent;

    int OpenVolume(int fd, uint64_t u64StartSector, uint64_t u64SectorCount,
                   char16_t wcDriveLetter);
    void LearnBootTable(const unsigned char* pBoot, size_t nLen);
    void LearnMftTable(const unsigned char* pRecord, uint64_t u64Sector,
                       uint32_t uKnownSectorsPerCluster);
    bool AddTable(uint64_t u64Record0Sector, RUN_LIST runs, uint32_t uSectorsPerCluster);

    // ---- Record parse and placement.
    int ParseProfessionalRecordInfo(unsigned char* pRecord, uint64_t u64Sector, bool bFolderPass,
                                    uint32_t uRecordNumber, const __MFT_PLACEMENT__* pPlacement);
    bool ReadRecordContent(const unsigned char* pRecord, uint32_t uBytesInUse,
                           RecordContent& out) const;
    void FileRecordNode(const unsigned char* pRecord, const RecordContent& content,
                        uint64_t u64Sector, uint32_t uOwnNumber, bool bFolderPass,
                        const __MFT_PLACEMENT__* pPlacement);
    _FILE_NODE_ FillFileNode(const NTFS_FILE_NAME& name, bool bFolder) const;
    void CreateLostFolder(uint32_t uRecordNumber);
    int GetFileRecordSectorPerClusterByRecordBuf(const unsigned char* pRecord,
                                                 uint32_t& uSectorsPerCluster) const;
    uint64_t GetSpecialFileRecordPartitionStartSector(uint64_t u64Sector, uint32_t uRecordNumber,
                                                      uint32_t uSectorsPerCluster,
                                                      __MFT_PLACEMENT__& out) const;
    bool GetFileRecordIndexMftRunList(uint32_t uRecordNumber, uint64_t u64Sector,
                                      __MFT_PLACEMENT__& out) const;
    static void SyntheticPlacement(uint64_t u64Sector, uint32_t uRecordNumber,
                                   uint64_t u64VolumeStart, uint32_t uSectorsPerCluster,
                                   __MFT_PLACEMENT__& out);
    int GetProfessionalRootParentDirIndex(uint32_t uParent, const __MFT_PLACEMENT__& placement,
                                          uint32_t& uDepth, std::set<uint32_t>& visited);
    void AddSpecialFolder(uint32_t uRecordNumber, const __MFT_PLACEMENT__& placement);

    // ---- Reads.
    bool RecordSectorThrough(const __MFT_PLACEMENT__& placement, uint64_t uRecordNumber,
                             uint32_t uSectorInRecord, uint64_t& u64Sector) const;
    int ReadRecordThrough(const __MFT_PLACEMENT__& placement, uint64_t uRecordNumber,
                          unsigned char* pBuf, uint64_t& u64FirstSector);
    int ReadFixedRecordAtSector(uint64_t u64Sector, std::vector<unsigned char>& record);
    bool PlacementOfRecord(const unsigned char* pRecord, uint64_t u64Sector,
                           const _FILE_NODE_* pNode, __MFT_PLACEMENT__& out) const;
    int CollectRuns(const std::vector<unsigned char>& record, uint64_t u64Sector,
                    const _FILE_NODE_* pNode, uint32_t uType, RUN_LIST& out);

    int m_nDevice = -1;
    int m_nDiskNumber = -1;
    uint64_t m_u64VolumeStartSector = 0;
    uint64_t m_u64VolumeSectorCount = 0;
    char16_t m_wcDriveLetter = u'C';
    std::vector<__SPECIAL_RECOVERY_DIR__> m_specialFolders;  // in the order met
    std::unordered_set<uint32_t> m_specialFolderSet;         // their record numbers
    CDiskReader m_diskReader;
    CNtfsParse m_ntfsParse;
    const uint32_t m_nFileSource = FILE_SOURCE_PRO_NTFS;

    std::map<uint64_t, __MFT_TABLE__> m_tableMap;
    // The cluster size assumed for records that do not tell their own: the volume's default
    // for its size at Init, the boot sector's when there is one, then the last one a record
    // told.
    uint32_t m_uCurrentSectorsPerCluster = 8;
};
