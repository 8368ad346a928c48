// The deep FAT parser: finds FAT folders and files when the volume's boot sector, FATs or
// directory tree can no longer be trusted (a reformatted or damaged volume).
//
// It never walks a tree. The deep-scan coordinator reads the device sector by sector, in
// ascending order, and hands over every sector that opens a folder (a "." and ".." pair,
// ParseFatFileRecord) and every sector that holds nothing but directory entries
// (ParseFDTFileRecord). Two folders whose own cluster numbers and sectors are known give the
// cluster size and the start of the data area: a virtual boot sector. With one, a folder's
// entries are recorded straight into the result store; without one, what was found waits
// (spilled to disk) until a later folder fixes the geometry or the pass ends. Long names cut
// by a sector boundary are joined with the sector that continues them, whichever of the two
// arrives first. DealProfessionalRecordVec then settles what is left, builds the folder tree
// (naming folders whose own entry was never seen "LostFolder<cluster>") and makes the records
// browsable; extraction reads a file's clusters one after another from its first cluster.
//
// Invariants:
//  - nothing is ever written to the device: it is read only through m_diskReader, whose
//    limit is the end of the volume given to Init;
//  - every entry is checked with IsFatEntyValid and every cluster is turned into a sector
//    only under a boot sector and inside the volume, so garbage sectors cost nothing but time;
//  - memory does not grow with the records found: file records go to the result store, and
//    the records that must wait (unplaced files, folder entries, sector copies, pending file
//    relations) go to spill files in the scan folder; in memory stay small fixed-size index
//    entries, and the lists that only hostile input could grow (observations, boot sectors,
//    pending long names) are capped;
//  - the folder of the volume root is number 0, whatever the file system: a FAT32 root
//    cluster and the FAT12/16 fixed root both map to it, so that browsing the root (key 0)
//    finds it;
//  - a recovered file is created with O_EXCL: an existing file is never written into.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "fat/fast_fat_recovery.h"
#include "foundation/disk_reader.h"
#include "store/store_engine.h"

namespace profat {
struct EntryKey;
}

// The geometry of one real or inferred FAT volume, in 512-byte sectors.
struct __VIRTUAL_DBR_INFO__ {
    uint32_t uSectorsPerCluster;    // 0: no geometry
    uint32_t uFirstDataSector;      // sector of cluster 2, relative to the volume start
    uint64_t u64VolumeStartSector;  // absolute
};

// One folder observation: the folder's own first cluster and the sector of its "." entry.
struct __FAT_SECTOR_OFFSET__ {
    uint32_t uClusterNO;
    uint64_t u64Sector;
};

// Directory entries in the order they are parsed, each with the absolute sector it was read
// from. Holds one sector, or a long-name chain left open by an earlier sector followed by the
// sector that continues it.
struct __DIR_ENTRY_RUN__ {
    static constexpr uint32_t kMaxChainEntries = 20;  // a long name has at most 20 pieces
    static constexpr uint32_t kSectorEntries = 16;
    static constexpr uint32_t kCapacity = kMaxChainEntries + kSectorEntries;

    unsigned char bytes[kCapacity * 32];
    uint64_t u64EntrySector[kCapacity];
    uint32_t uCount = 0;

    const unsigned char* Entry(uint32_t i) const { return bytes + 32 * i; }
    uint32_t Bytes() const { return uCount * 32; }
    // Appends up to one sector of entries; false when they do not fit.
    bool Append(const unsigned char* p, uint32_t uEntries, uint64_t u64Sector);
};

// A long-name chain still open at the end of a parsed run: its entries wait for the sector
// that holds the rest of the chain and the short entry.
struct __LONG_FILE_INFO__ {
    uint8_t uCheckSum = 0;
    int32_t nDbrIndex = -1;       // boot sector the run was parsed under, -1 for none
    uint32_t uCluster = 0;        // cluster the run was read from
    uint32_t uFolderCluster = 0;  // folder the run belongs to
    bool bFolderGuessed = false;  // the folder is only the run's own cluster
    uint64_t u64Sector = 0;       // the run's anchor sector (where its folder was placed)
    uint64_t u64LastSector = 0;   // sector of the chain's last entry
    uint8_t uLastOrdinal = 0;     // of the last piece, when it is live
    bool bLastLive = false;
    __DIR_ENTRY_RUN__ run;  // the chain's entries, from its first piece on
};

// A directory sector that could not be placed yet: its copy lies in the spill file.
struct __UNDEAL_FILE__ {
    uint64_t u64Sector;
    uint64_t u64SpillOffset;
    uint32_t bDealt;
    uint8_t uFirstKind;  // profat::EntryKind of its first entry, for joining long names
    uint8_t uCheckSum;
    uint8_t uOrdinal;
};

// A folder met through its entry, kept whole in the spill file.
struct __PRO_DIR_INFO__ {
    _FILE_NODE_ node;  // uFileIndex: the folder holding the entry; uClusterNO: its own cluster
    int32_t nDbrIndex;
};

// A folder that must appear in the tree, with how it hangs in it; built after the pass.
struct __PRO_NEED_ADD_DIR_INFO__ {
    int32_t nDbrIndex;
    uint32_t uParent;
    uint32_t uLevel;
    uint32_t uState;  // level computation: 0 not yet, 2 done, 3 on the path being climbed
};

// A file found while no boot sector explained its folder; the record is spilled.
struct __NO_DBR_FILE_NODE__ {
    uint64_t u64AnchorSector;  // where its folder's run was parsed
    uint64_t u64SpillOffset;
    uint32_t uFolderCluster;
    uint32_t bPlaced;
    uint32_t bDeleted;
};

class CProfessionalFatRecovery : public CStoreEngine {
public:
    static constexpr uint32_t kRootFolder = 0;
    static constexpr uint32_t kFixedRootSectors = 32;
    static constexpr size_t kMaxObservations = 4096;
    static constexpr size_t kMaxBootSectors = 64;
    static constexpr size_t kMaxPendingLongNames = 512;

    CProfessionalFatRecovery();
    ~CProfessionalFatRecovery() override;
    CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
    CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

    // ---- the engine interface -------------------------------------------------------------
    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    // The deep parser is fed by the coordinator; these three do nothing and return 0.
    int ScanDevice(const char16_t* pszLogName) override;
    int BuildBitMapInfo() override;
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;

    // ---- the pass, in calling order -------------------------------------------------------
    // Empties every list and map and opens the result store: the named one (a resumed scan),
    // or a fresh "Pro_Fat_..." store. 0, or the store's error.
    int ClearProfessionalVec(const char16_t* pszLogName);
    // Adds the volume's own boot sector to the boot-sector list when it is a usable FAT boot
    // sector. 0, or the read error.
    int InitVirtualDbrInfo();
    // A sector that opens a folder, and a sector of directory entries, at absolute sector s.
    // Both take 512 bytes and always return 0: a sector that cannot be used is skipped.
    int ParseFatFileRecord(const unsigned char* pSector, uint64_t u64Sector);
    int ParseFDTFileRecord(const unsigned char* pSector, uint64_t u64Sector);
    // After the pass: settles the waiting sectors and files, then publishes the folder tree.
    int DealProfessionalRecordVec();
    int ParseUnDealFileMap();
    // Records the waiting files that a boot sector now explains. 0.
    int UpdateNoDbrFileVec();

    // ---- geometry -------------------------------------------------------------------------
    // Infers a boot sector from two folder observations; 1 when one was added (or was known).
    int CalcVirtualDbr(uint32_t uClusterHigh, uint64_t u64SectorHigh, uint32_t uClusterLow,
                       uint64_t u64SectorLow);
    // Pairs a new observation with the earlier ones until one pair gives a boot sector.
    int CalcVirtualDbrInfo(const __FAT_SECTOR_OFFSET__& observation);
    // Index of the boot sector that puts cluster c exactly at sector s (the one that explains
    // the most folders when several do), or -1.
    int GetVirtualDbrInfo(uint64_t u64Sector, uint32_t uCluster) const;
    // Index of the boot sector for a sector no folder explains: the only one; else, past the
    // volume's own boot sector, the one whose data area starts closest below the sector;
    // else the first. -1 for an empty list.
    // Without bFallBackToFirst, a list of several boot sectors none of which starts below the
    // sector gives -1.
    int GetBestVirtalDbr(uint64_t u64Sector, bool bFallBackToFirst = true) const;
    const std::vector<__VIRTUAL_DBR_INFO__>& GetVirtualDbrList() const { return m_vecVirtualDbr; }
    uint64_t ClusterSector(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster) const;

    // ---- records --------------------------------------------------------------------------
    // 1 when the file's first data sector carries the signature its extension promises, or
    // when that cannot be told; else 0.
    int IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t uSectorsPerCluster);
    int GetDirRealHighClusterNO(uint16_t uLow, uint16_t& uHigh, const __VIRTUAL_DBR_INFO__& d);
    int GetFileRealHighClusterNO(uint16_t uLow, uint16_t& uHigh, const char* pszName,
                                 const __VIRTUAL_DBR_INFO__& d);
    // The folder named by the ".." entry of folder c under d (0 for the root, and for a
    // folder whose first sector does not open with its own "." and ".."). 0, RESULT_OUTSIDE_VOLUME
    // or the read error.
    int GetParentClusterNO(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster, uint32_t& uParent);
    // For tests and measurements.
    size_t GetUnDealSectorCount() const { return m_vecUnDeal.size(); }
    size_t GetUnplacedFileCount() const;
    size_t GetPendingLongNameCount() const { return m_vecLongFileInfo.size(); }
    size_t GetObservationCount() const { return m_vecSectorOffset.size(); }

protected:
    // One cluster after another from the first: the deep parser has no FAT to follow.
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;

private:
    // A run of sectors known to belong to one cluster and folder.
    struct PlacementContext {
        int32_t nDbrIndex = -1;
        uint32_t uCluster = 0;
        uint32_t uFolder = 0;
        bool bFolderGuessed = false;
        uint64_t u64FirstSector = 0;
        uint64_t u64SectorCount = 0;
        bool Covers(uint64_t s) const {
            return nDbrIndex >= 0 && s >= u64FirstSector && s - u64FirstSector < u64SectorCount;
        }
    };
    // Where a run of entries belongs: the boot sector it is read under, the cluster it lies in,
    // its folder (only the cluster itself while bFolderGuessed), and the sector that anchors
    // it (a waiting file is placed when a boot sector puts its folder's cluster there).
    struct RunPlace {
        int32_t nDbrIndex = -1;
        uint32_t uCluster = 0;
        uint32_t uFolder = 0;
        bool bFolderGuessed = false;
        uint64_t u64Anchor = 0;
    };
    enum class FolderKnown { kNo, kGuessed, kYes };
    struct LongNameChain;
    struct DirInfoRef {
        uint64_t u64SpillOffset;  // of its __PRO_DIR_INFO__
        uint32_t uParent;
        uint32_t bLive;
    };
    // A file record written during the pass whose folder relation waits for the tree.
    struct PendingRelation {
        uint32_t uFileIndex;
        uint32_t uFolder;
        uint32_t uClusterNO;
        int32_t nDbrIndex;
    };
    // Append-only storage on an unlinked file of the scan folder (memory when none can be
    // made), so that what waits during a pass costs disk, not memory.
    class CSpillFile {
    public:
        ~CSpillFile();
        void Open(const std::string& folder);
        void Close();
        // Offset of the stored bytes, or UINT64_MAX when they could not be kept.
        uint64_t Append(const void* p, size_t n);
        bool Read(uint64_t offset, void* p, size_t n);
        uint64_t Size() const { return m_u64Size; }

    private:
        bool FlushBuffer();
        int m_fd = -1;
        uint64_t m_u64Size = 0;
        uint64_t m_u64Flushed = 0;
        std::vector<unsigned char> m_buffer;
        std::vector<unsigned char> m_memory;  // fallback when no file could be made
    };

    static FolderKnown KnownOf(const RunPlace& place) {
        return place.bFolderGuessed ? FolderKnown::kGuessed : FolderKnown::kYes;
    }

    // geometry (professional_fat_scan.cpp)
    const __VIRTUAL_DBR_INFO__* Dbr(int32_t nIndex) const;
    uint32_t FixedRootSectors(int32_t nIndex) const;
    uint64_t VolumeEndSector() const { return m_u64VolumeStartSector + m_u64VolumeSectorCount; }
    bool ClusterInVolume(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster) const;
    bool ClusterOfSector(int32_t nDbr, uint64_t u64Sector, uint32_t& uCluster) const;
    int AddBootSector(const __VIRTUAL_DBR_INFO__& d, uint64_t uRootSectors);
    bool FitDbr(uint64_t u64Sector, int32_t& nDbr, uint32_t& uCluster) const;
    int ReadSectors(unsigned char* p, int nSectors, uint64_t u64Sector);
    // placing sectors (professional_fat_scan.cpp)
    PlacementContext MakeContext(const RunPlace& place) const;
    RunPlace PlaceFromContext(const PlacementContext& ctx, uint64_t u64Sector) const;
    RunPlace PlaceOfPending(const __LONG_FILE_INFO__& pending) const;
    int DoParseFileOrAddUndelFileMap(const unsigned char* pSector, uint64_t u64Sector);
    void AddUnDealFileMap(const unsigned char* pSector, uint64_t u64Sector);
    __UNDEAL_FILE__* FindUnDeal(uint64_t u64Sector);
    RunPlace ParseFatFDTRecord(const __DIR_ENTRY_RUN__& run, RunPlace place, FolderKnown known);
    void ParseJoinedRun(const __DIR_ENTRY_RUN__& joined, const RunPlace& place,
                        PlacementContext& context);
    // long names cut by a sector boundary (professional_fat_scan.cpp)
    bool GetParentDirCluster(const unsigned char* pSector, uint64_t u64Sector,
                             __DIR_ENTRY_RUN__& joined, RunPlace& place);
    bool ContinuesChain(const __LONG_FILE_INFO__& pending, const profat::EntryKey& key,
                        uint64_t u64Sector, const unsigned char* pFirst) const;
    __UNDEAL_FILE__* FindUnDealContinuation(const __LONG_FILE_INFO__& pending);
    void KeepPendingLongName(const __LONG_FILE_INFO__& pending);
    void LearnContinuation(uint32_t uCluster, uint32_t uFolder);
    void LearnContinuationAt(const RunPlace& place, uint64_t u64Sector);
    uint32_t NormaliseParent(uint32_t uDotDot) const;
    // entries (professional_fat_entries.cpp)
    bool DealProfessionalFatFileEntry(const __DIR_ENTRY_RUN__& run, RunPlace& place,
                                      FolderKnown known, __LONG_FILE_INFO__& pending);
    void DealFolderEntry(const unsigned char* pEntry, const std::string& name, uint64_t u64Sector,
                         RunPlace& place);
    void GetParentClusterNO(const __DIR_ENTRY_RUN__& run, RunPlace& place);
    void LearnFolderOfGuessedCluster(const __DIR_ENTRY_RUN__& run, RunPlace& place);
    bool FindFolderThroughSubFolders(const __DIR_ENTRY_RUN__& run, const RunPlace& place,
                                     uint32_t& uFolder);
    bool IsFolderStart(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster,
                       unsigned char* pSector = nullptr);
    void FillTimes(const unsigned char* pEntry, _FILE_NODE_& node) const;
    void RecordFile(const unsigned char* pEntry, const std::string& name, uint64_t u64Sector,
                    const RunPlace& place);
    void PlaceFile(_FILE_NODE_ node, bool bDeleted, uint32_t uFolder, int32_t nDbr);
    void RecordFolderEntry(const unsigned char* pEntry, const std::string& name, uint64_t u64Sector,
                           const RunPlace& place);
    // rebuild (professional_fat_rebuild.cpp)
    void ParseOneUnDealSector(size_t uIndex);
    void PlaceRemainingFiles();
    uint32_t ResolveFolder(uint32_t uFolder) const;
    bool ReadRelation(uint64_t uIndex, PendingRelation& relation);
    void CollectNeededFolders();
    uint32_t FindParentOfNeededFolder(uint32_t uFolder, int32_t nDbr);
    void ComputeLevels();
    uint32_t FolderLevel(uint32_t uFolder) const;
    bool ReadFolderInfo(uint32_t uCluster, __PRO_DIR_INFO__& info);
    void PublishFolders();
    void PublishFileRelations();

    uint64_t m_u64VolumeStartSector = 0;
    uint64_t m_u64VolumeSectorCount = 0;
    char16_t m_wcDriveLetter = u'C';
    uint32_t m_uBytesPerSector = 512;
    uint32_t m_uLastDotCluster = 0;
    uint64_t m_u64LastDotSector = 0;
    std::vector<__VIRTUAL_DBR_INFO__> m_vecVirtualDbr;  // in the order found, never shrinks
    std::vector<uint32_t> m_vecDbrSupport;              // folders each one explains
    std::vector<uint32_t> m_vecFixedRootSectors;        // FAT12/16 root length under each
    std::vector<__FAT_SECTOR_OFFSET__> m_vecSectorOffset;
    std::vector<__NO_DBR_FILE_NODE__> m_vecNoDbrFile;
    size_t m_uDbrCountAtLastUpdate = 0;
    std::vector<__LONG_FILE_INFO__> m_vecLongFileInfo;
    std::vector<__UNDEAL_FILE__> m_vecUnDeal;  // ascending sectors
    // Waiting sectors whose first entry may continue a chain with that checksum, ascending.
    std::array<std::vector<uint64_t>, 256> m_unDealByCheckSum;
    std::unordered_map<uint32_t, DirInfoRef> m_mapDirInfo;     // folder entries by cluster
    std::unordered_map<uint32_t, uint32_t> m_mapContinuation;  // cluster -> folder it continues
    std::map<uint32_t, __PRO_NEED_ADD_DIR_INFO__> m_mapNeedAddDir;
    CDiskReader m_diskReader;
    CSpillFile m_spill;          // sector copies, folder entries, waiting files
    CSpillFile m_relationSpill;  // PendingRelation records, read back in order
    uint64_t m_u64RelationCount = 0;
    uint32_t m_uFileSource = FILE_SOURCE_PRO_FAT;
    uint32_t m_bOwnDbr = 0;
    PlacementContext m_lastPlacedContext;
    PlacementContext m_currentContext;
    uint32_t m_uRootCluster = 2;
    bool m_bRootClusterFromBoot = false;
};
