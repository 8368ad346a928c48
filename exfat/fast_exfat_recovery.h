// The quick-scan engine for exFAT volumes.
//
// From the root it walks every folder, live and deleted, through its entry sets and records
// in a result store every deleted file, every file below a deleted folder, and the folders
// that lead to them. Live files are walked past unless ListPresentFiles() asked for them at
// ScanDevice: then they are recorded too, marked with kPresentEntryMark, and so are the live
// folders that hold them. Every folder the file system still lists carries the mark.
// Afterwards it extracts records (contiguously where a deleted file's chain was freed, strictly
// along the FAT or as one run, as its NoFatChain flag says, for a present one), previews them,
// and tells the deep scan from the allocation bitmap which clusters are free.
//
// Invariants:
//  - nothing is ever written to the device: it is opened read-only and read through
//    m_diskReader, whose limit is the end of the volume;
//  - every cluster number taken from disk is checked against the cluster count before it is
//    turned into an offset, and every chain walk is bounded and guarded against loops;
//  - a broken entry set, an unreadable folder or a bad chain is passed over with a debug
//    message; the walk goes on with the rest of the volume.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "exfat/exfat_boot.h"
#include "exfat/exfat_entries.h"
#include "foundation/cluster_marks.h"
#include "foundation/disk_reader.h"
#include "store/store_engine.h"

class CFastExfatRecovery : public CStoreEngine {
public:
    CFastExfatRecovery() = default;
    ~CFastExfatRecovery() override = default;
    CFastExfatRecovery(const CFastExfatRecovery&) = delete;
    CFastExfatRecovery& operator=(const CFastExfatRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int ScanDevice(const char16_t* pszLogName) override;
    // Runs of free clusters, in volume-relative 512-byte sectors, from the allocation bitmap.
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int BuildBitMapInfo() override;
    bool SawDamage() const override { return m_uDamageSeen != 0; }

    const ExfatGeometry& Geometry() const { return m_geometry; }
    // Whether the boot region came from the backup copy (the main one was bad).
    bool UsedBackupBootRegion() const { return m_bUsedBackup; }
    // The start of the root folder (its first cluster, at most 64 KiB of it), where the volume
    // keeps its label entry; false when the volume was not bound or it cannot be read.
    bool ReadRootFolderStart(std::vector<unsigned char>& bytes);

protected:
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;
    uint32_t RootFolderNumber() const override { return m_geometry.uRootCluster; }

private:
    // A folder to walk: where its bytes are and whether they are still allocated.
    struct Folder {
        uint32_t uCluster = 0;
        uint64_t u64Length = 0;  // 0: as long as its chain
        bool bNoFatChain = false;
        bool bDeleted = false;  // itself or an ancestor
        _FILE_NODE_ node{};     // its record; uFileIndex holds the parent's first cluster
    };
    // What a file record's data needs beyond the record.
    struct Extent {
        uint64_t u64ValidLength = 0;
        bool bNoFatChain = false;
    };

    int Bind(uint64_t u64StartSector, uint64_t u64SectorCount);
    int ReadBootRegion();
    bool TryBootRegion(uint64_t u64Offset, uint32_t uBytesPerSector);
    // Reads u64Bytes at a volume byte offset (whole 512-byte sectors); false when short.
    bool ReadVolume(uint64_t u64Offset, size_t uBytes, std::vector<unsigned char>& out);
    // The FAT entry of a data cluster; false when it cannot be read.
    bool FatEntry(uint32_t uCluster, uint32_t& uNext);
    // A folder's or file's clusters: contiguous, or along the FAT with loops and bad numbers
    // ending the walk; at most uMaxClusters.
    std::vector<uint32_t> Clusters(uint32_t uFirst, uint64_t u64Length, bool bContiguous,
                                   uint64_t uMaxClusters);
    bool ReadFolderBytes(const Folder& folder, std::vector<unsigned char>& bytes,
                         std::vector<uint32_t>& clusters);
    int WalkFolders();
    void WalkFolder(const Folder& folder);
    uint64_t EntrySector(const std::vector<uint32_t>& clusters, size_t uOffset) const;
    void RecordSubFolder(const ExfatEntrySet& set, uint32_t uParent, bool bUnderDeletion);
    void RecordFile(const ExfatEntrySet& set, uint32_t uParent, uint64_t u64Sector, bool bPresent);
    void FillCommon(const ExfatEntrySet& set, _FILE_NODE_& node) const;
    void MarkForPublishing(uint32_t uFolder);
    void PublishFolders();
    uint32_t FolderLevel(uint32_t uFolder) const;
    void NoteDamage(const char* pszWhat, uint32_t uValue);
    uint32_t NextForData(const Extent& extent, uint32_t uCluster);
    // The next cluster of a present file: the following one without a FAT chain, else the
    // FAT's; 0 when the chain ends, leaves the volume or comes back on itself.
    uint32_t NextInLiveChain(const Extent& extent, uint32_t uCluster);
    // One cluster's worth (n bytes) of a record at byte done of its data, zeros past the valid
    // length; 0 or the read's error.
    int ReadChunk(const Extent& extent, uint32_t uCluster, uint64_t u64Done, uint64_t n,
                  std::vector<unsigned char>& chunk);

    uint64_t m_u64VolumeStartSector = 0;  // 512-byte sectors
    uint64_t m_u64VolumeSectorCount = 0;  // 512-byte sectors
    char16_t m_wcDriveLetter = u'C';
    int m_nBootResult = RESULT_INVALID_ARGUMENT;
    bool m_bUsedBackup = false;
    ExfatGeometry m_geometry;
    CDiskReader m_diskReader;

    std::vector<unsigned char> m_fatWindow;  // a FAT window starting at m_uFatWindowFirst
    uint32_t m_uFatWindowFirst = 0;          // cluster whose entry opens the window

    std::deque<uint32_t> m_folderQueue;
    std::set<uint32_t> m_walkedFolders;
    std::map<uint32_t, Folder> m_folderMap;  // by first cluster
    std::map<uint32_t, uint32_t> m_folderLevels;
    std::vector<uint32_t> m_publishList;
    std::set<uint32_t> m_published;
    std::map<uint32_t, Extent> m_extents;  // by record index

    std::vector<uint8_t> m_bitMap;  // bit i: cluster i + 2 in use
    uint32_t m_uDamageSeen = 0;
    bool m_bListPresent = false;  // ListPresentFiles() as it was when the scan began
    ClusterMarks m_chainMarks;    // the walk of one file's chain
};
