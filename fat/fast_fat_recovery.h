// The quick-scan engine for FAT12, FAT16 and FAT32 volumes.
//
// Starting at the root it walks the directory tree the way the file system describes it and
// records in a result store every deleted file, every file below a deleted folder, and the
// folders that lead to them. Live files are walked past unless ListPresentFiles() asked for
// them at ScanDevice: then they are recorded too, marked with kPresentEntryMark, and so are the
// live folders that hold them. Every folder the file system still lists carries the mark.
// Afterwards it extracts records along their cluster chains, previews them, and tells the deep
// scan which clusters are free.
//
// Invariants:
//  - nothing is ever written to the device: it is opened read-only and read through
//    m_diskReader, whose limit is the end of the volume;
//  - the FAT is read through a window of at most 16 MiB that never reaches past the FAT;
//  - every cluster number taken from disk is checked against the volume's cluster count
//    before it is turned into a sector, and every chain walk is bounded, so a FAT with loops
//    or a corrupt directory ends a walk instead of running away;
//  - a recovered file is created with O_EXCL: an existing file is never written into.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fat/short_name_guess.h"
#include "foundation/cluster_marks.h"
#include "foundation/disk_reader.h"
#include "store/store_engine.h"

class CFastFatRecovery : public CStoreEngine {
public:
    static constexpr uint32_t kFatWindowBytes = 0x1000000;  // 16 MiB
    static constexpr int kFatType12 = 12, kFatType16 = 16, kFatType32 = 32;

    CFastFatRecovery();
    ~CFastFatRecovery() override;
    CFastFatRecovery(const CFastFatRecovery&) = delete;
    CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int ScanDevice(const char16_t* pszLogName) override;
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int BuildBitMapInfo() override;
    // Whether the scan met a damaged FAT (a chain pointing outside the volume) or a damaged
    // live folder (unreadable, without its dot pair, or holding broken entries). The free-space
    // map of such a volume cannot be trusted to cover what a deep scan needs: folders the
    // walk could not reach lie in space the map calls allocated.
    bool SawDamage() const override { return m_uDamageSeen != 0; }

    // 1 for FAT32, 0 for FAT12/16.
    uint32_t GetDeviceFileSystemType() const { return m_uIsFat32; }
    int GetFatType() const { return m_nFatType; }
    // Reads one folder (its first cluster and the clusters that continue it) into the store.
    int InitDirInfo(uint32_t uCluster);
    // One FAT entry through the window (RESULT_INVALID_ARGUMENT when the FAT could not be read).
    // FAT12 entries are read as the 12-bit values they are; their end-of-chain and bad-cluster
    // marks come back widened to 16 bits (0xFFF7..0xFFFF), so that every caller tests FAT12 and
    // FAT16 entries alike. RESULT_OUTSIDE_VOLUME for a cluster the FAT does not hold.
    int GetNextClusterNO(uint32_t uCluster, uint32_t& uNext);
    // The cluster to read after uCluster in a file: the FAT's next cluster while the chain is
    // valid, else uCluster + 1, since a deleted file's chain is gone and it is taken to be
    // contiguous. 0 when the volume ends.
    uint32_t FollowChain(uint32_t uCluster);
    // The chain step of a deleted-folder walk: next from the FAT, or the next cluster when its
    // entry is free too; 0 at the end of the chain or when the next cluster is in use.
    int FindNextClusterNO(uint32_t uCluster, uint32_t& uNext);
    // Trial searches for the high word of a deleted FAT32 entry's first cluster.
    int GetDirRealHighClusterNO(uint16_t uLow, uint16_t& uHigh);
    int GetFileRealHighClusterNO(uint16_t uLow, uint16_t& uHigh, const char* pszName);
    // 1 when the file's first data sector carries the signature its extension promises, or
    // when that cannot be told; else 0.
    int IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t uSectorsPerCluster);
    // A folder's level, climbing ".." entries on the disk; the root's level is 0.
    int GetRootParentDirIndex(uint32_t uCluster, uint32_t& uLevel,
                              std::map<uint32_t, uint32_t>& visited);
    int _GetRootParentDirIndex(uint32_t uCluster, uint32_t& uLevel);

    // Geometry, for tests and the deep scan.
    uint32_t GetBytesPerSector() const { return m_uBytesPerSector; }
    uint32_t GetSectorsPerCluster() const { return m_uSectorsPerCluster; }
    uint32_t GetFirstDataSector() const { return m_uFirstDataSector; }
    uint32_t GetRootCluster() const { return m_uRootCluster; }
    uint32_t GetClusterCount() const { return m_uClusterCount; }
    // The volume's first 4096 bytes, the boot sector (or its copy, when that was used) first.
    const std::vector<unsigned char>& GetBootArea() const { return m_bootArea; }
    // The root folder's first cluster, or the whole fixed root of FAT12/16: where a volume
    // keeps its label entry. 0, RESULT_OUTSIDE_VOLUME for a root cluster the volume does not
    // have, or the reader's error.
    int ReadRootFolderStart(std::vector<unsigned char>& buf);
    const std::vector<uint8_t>& GetBitMap() const { return m_bitMap; }

protected:
    // A deleted file along the chain while the FAT holds it, then contiguously (see
    // FollowChain); a present file strictly along its chain (see ReadPresentChain).
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;
    uint32_t RootFolderNumber() const override { return m_uRootCluster; }

private:
    struct LongNameState;

    int ReadBootArea();
    void ComputeGeometry();
    int LoadFatWindow(uint32_t uFatSector);
    bool IsDataCluster(uint32_t uCluster) const;
    // A FAT entry that points neither to a data cluster nor to a reserved, bad or end mark.
    bool IsDamagedEntry(uint32_t uEntry) const;
    void NoteDamage(const char* pszWhat, uint32_t uCluster);
    bool IsEndOfChain(uint32_t uEntry) const;
    uint64_t ClusterSector(uint32_t uCluster) const;
    uint64_t RootDirSectorCount() const;
    int WalkFolders(unsigned int& uLastTick);
    int ReadFolderBuffer(uint32_t uCluster, bool bFixedRoot, std::vector<unsigned char>& buf);
    int WalkFolder(uint32_t uCluster);
    // The deleted files whose short name lost its first letter, recorded once their whole
    // folder has been read, with the letter their live siblings give back where they agree.
    void RecordPendingShortNames();
    bool ParseFolderBuffer(const std::vector<unsigned char>& buf, uint64_t u64FirstSector,
                           uint32_t& uCurrentFolder, bool bUnderDeletion, LongNameState& lfn);
    void RecordSubFolder(const unsigned char* pEntry, const std::string& name,
                         uint32_t uCurrentFolder, bool bUnderDeletion);
    void RecordFile(const unsigned char* pEntry, const std::string& name, uint64_t u64Sector,
                    uint32_t uCurrentFolder, bool bPresent);
    void MarkForPublishing(uint32_t uFolder);
    void PublishFolders();
    uint32_t FolderLevel(uint32_t uFolder) const;
    void FillTimes(const unsigned char* pEntry, _FILE_NODE_& node) const;
    // The FAT's next cluster of a live chain; 0 when the entry ends the chain, is free, bad,
    // damaged or cannot be read.
    uint32_t NextInLiveChain(uint32_t uCluster);
    int ReadPresentChain(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink);

    uint64_t m_u64VolumeStartSector = 0;
    uint64_t m_u64VolumeSectorCount = 0;
    char16_t m_wcDriveLetter = u'C';
    uint32_t m_uBytesPerSector = 512;
    int m_nDevice = -1;
    std::vector<unsigned char> m_bootArea;  // the first 4096 bytes of the volume
    uint32_t m_uFirstDataSector = 0;        // of cluster 2, relative to the volume start
    uint32_t m_uSectorsPerCluster = 0;
    uint32_t m_uRootCluster = 0;
    uint32_t m_uIsFat32 = 1;
    int m_nFatType = kFatType32;
    uint32_t m_uClusterCount = 0;          // data clusters: valid numbers are 2..count+1
    uint32_t m_uRootDirSectors = 0;        // FAT12/16 fixed root
    uint64_t m_u64FatStartSector = 0;      // absolute
    uint32_t m_uFatSectors = 0;            // sectors of one FAT
    uint32_t m_uFatWindowFirstSector = 0;  // FAT-relative
    uint32_t m_uFatWindowBytes = 0;        // bytes of the window holding FAT data
    std::unique_ptr<unsigned char[]> m_pFatWindow;
    uint32_t m_uFileSource = FILE_SOURCE_FAST_FAT;
    CDiskReader m_diskReader;

    std::deque<uint32_t> m_folderQueue;
    std::set<uint32_t> m_walkedFolders;
    std::map<uint32_t, _FILE_NODE_> m_folderMap;  // uFileIndex holds the parent's cluster
    std::map<uint32_t, uint32_t> m_folderLevels;  // level of every folder met by the walk
    std::vector<uint32_t> m_publishList;
    std::set<uint32_t> m_published;

    int m_nProgressStep = 0;

    std::vector<uint8_t> m_bitMap;  // bit i: cluster i + 2 in use
    uint32_t m_uDamageSeen = 0;     // damaged FAT entries and live folders met
    bool m_bFatDamaged = false;     // a FAT entry points outside the volume
    bool m_bListPresent = false;    // ListPresentFiles() as it was when the scan began
    ClusterMarks m_chainMarks;      // the walk of one file's chain

    struct PendingShortName {
        std::array<unsigned char, 32> entry;
        uint64_t u64Sector;
        uint32_t uFolder;
    };
    std::vector<PendingShortName> m_pendingShortNames;  // of the folder being read
    ShortNameSiblings m_siblings;                       // its live numbered names
};
