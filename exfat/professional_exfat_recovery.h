// The deep exFAT parser: finds exFAT folders and files when the volume's boot region, FAT or
// folder tree can no longer be trusted (a reformatted or damaged volume).
//
// It never walks a tree. The deep-scan coordinator reads the device sector by sector, in
// ascending order, and hands over every sector that holds directory entry sets
// (IsExfatDirectorySector) and every exFAT boot sector. During the pass only small index
// entries stay in memory: the runs of consecutive directory sectors and the sets that name a
// sub-folder; every set itself (name, times, lengths) is spilled to an unlinked file. A set cut
// by a sector boundary is joined with the sector that follows it.
//
// After the pass (EndPass) the volume layout is taken from a boot region found on the volume
// when one explains the folders, else inferred from the sub-folder sets' first clusters and the
// sectors where folders begin. A folder is known by its first cluster; a directory cluster that
// no sub-folder set claims belongs to the folder of the run it continues, or is a folder of its
// own. A folder hangs under the folder holding the set that names it; a folder nothing names is
// published at the root as "LostFolder<cluster>". Every spilled file set then becomes a record.
//
// Invariants:
//  - nothing is ever written to the device: it is read only through m_diskReader, whose limit is
//    the end of the volume given to Init;
//  - every set is checked by its checksum, and every cluster is turned into a sector only under
//    a layout and inside the volume;
//  - memory does not grow with the files found: records go to the result store (through the
//    spill file); the in-memory tables (runs, sub-folder sets, boot regions) are capped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <unordered_map>
#include <vector>

#include "exfat/exfat_entries.h"
#include "foundation/disk_reader.h"
#include "store/store_engine.h"

inline constexpr char kProExfatLogPrefix[] = "Pro_Exfat_";

// Whether a sector's first byte can open a directory sector at all: the coordinator's cheap
// test before IsExfatDirectorySector.
bool MayBeExfatDirectorySector(uint8_t uFirstByte);
// A sector of directory entries: every entry has a directory entry type (unused ones after the
// end mark), and it holds a set whose checksum is right, or it opens with the rest of a set
// begun in the sector before, or it ends with the start of a set.
bool IsExfatDirectorySector(const unsigned char* p, size_t uBytes);
// An exFAT boot sector (main or backup): its jump, its name and its signature.
bool IsExfatBootSector(const unsigned char* p, size_t uBytes);

// A volume layout in 512-byte sectors: cluster 2 starts at u64HeapSector (absolute).
struct ExfatDeepLayout {
    uint64_t u64VolumeStart = 0;  // absolute sector the layout's volume starts at
    uint64_t u64HeapSector = 0;   // absolute
    uint32_t uSectorsPerCluster = 0;
    uint32_t uRootCluster = 0;  // 0 when unknown
    bool bFromBoot = false;

    bool Valid() const { return uSectorsPerCluster != 0; }
};

class CProfessionalExfatRecovery : public CStoreEngine {
public:
    static constexpr size_t kMaxRuns = size_t{1} << 20;
    static constexpr size_t kMaxFolderSets = size_t{1} << 18;
    static constexpr size_t kMaxLayouts = 16;
    static constexpr uint32_t kMaxTreeDepth = 256;

    CProfessionalExfatRecovery() = default;
    ~CProfessionalExfatRecovery() override;
    CProfessionalExfatRecovery(const CProfessionalExfatRecovery&) = delete;
    CProfessionalExfatRecovery& operator=(const CProfessionalExfatRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    // The parser is fed by the coordinator; these three do nothing and return 0.
    int ScanDevice(const char16_t*) override { return 0; }
    int BuildBitMapInfo() override { return 0; }
    int GetUnUsedSectorCount(unsigned long long&, unsigned long long& llCount) override {
        llCount = 0;
        return 0;
    }

    // ---- the pass, in calling order ------------------------------------------------------
    // Empties the tables, opens the result store (the named one of a resumed scan, or a fresh
    // one) and the spill file, and takes the volume's own boot regions as candidate layouts.
    // 0, or the store's error.
    int BeginPass(const char16_t* pszLogName);
    // A sector IsExfatDirectorySector accepted, at absolute sector u64Sector (512 bytes).
    void ParseDirectorySector(const unsigned char* pSector, uint64_t u64Sector);
    // A sector IsExfatBootSector accepted: its region is read from the device.
    void ParseBootSector(uint64_t u64Sector);
    // Settles the layout, builds the folder tree and records every file found. 0.
    int EndPass();

    // ---- for tests and measurements ------------------------------------------------------
    const ExfatDeepLayout& Layout() const { return m_layout; }
    size_t GetRunCount() const { return m_runs.size(); }
    size_t GetSpilledSetCount() const { return m_uSpilledSets; }

protected:
    // Contiguous from the first cluster: the FAT may be gone. Past the valid data length the
    // data reads as zeros.
    int ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want, const DATA_SINK& sink) override;

private:
    // Consecutive directory sectors.
    struct DirRun {
        uint64_t u64First = 0;
        uint32_t uSectors = 0;
    };
    // A set that names a sub-folder.
    struct FolderSet {
        uint32_t uCluster = 0;
        uint64_t u64DataLength = 0;
        uint64_t u64EntryByte = 0;  // absolute byte of its File entry
        uint64_t u64SpillOffset = 0;
        bool bDeleted = false;
    };
    // A set as spilled: fixed size, so the spill is read back record by record.
    struct SpilledSet {
        uint64_t u64EntryByte;
        uint64_t u64ValidLength;
        uint64_t u64DataLength;
        uint32_t uFirstCluster;
        uint16_t uAttributes;
        uint8_t bDeleted;
        uint8_t uNameUnits;
        ExfatStamp created, modified, accessed;
        char16_t name[255];
    };
    // A folder of the published tree.
    struct TreeFolder {
        uint32_t uParent = 0;
        uint32_t uLevel = 0;
        bool bPublished = false;
    };

    // pass (professional_exfat_scan.cpp)
    void Reset();
    void AddRun(uint64_t u64Sector);
    void SpillSet(const ExfatEntrySet& set, uint64_t u64EntryByte);
    void AddLayoutFromRegion(const unsigned char* pRegion, size_t uBytes, uint64_t u64Start);
    void TryBootRegionAt(uint64_t u64Sector, uint64_t u64VolumeStart);
    bool ReadSectors(uint64_t u64Sector, uint32_t uCount, std::vector<unsigned char>& out);
    // layout and tree (professional_exfat_rebuild.cpp)
    void ChooseLayout();
    void InferLayouts(std::vector<ExfatDeepLayout>& out) const;
    uint32_t LayoutSupport(const ExfatDeepLayout& layout) const;
    const DirRun* RunOf(uint64_t u64Sector) const;
    bool ClusterOf(uint64_t u64Sector, uint32_t& uCluster) const;
    uint64_t ClusterSector(uint32_t uCluster) const;
    void IndexNamedFolders();
    uint32_t FolderOfByte(uint64_t u64Byte) const;
    uint32_t NamedFolderHolding(uint32_t uCluster) const;
    uint32_t ParentOf(uint32_t uFolder) const;
    bool PublishFolder(uint32_t uFolder);
    void PublishOne(uint32_t uFolder, const TreeFolder& tree);
    uint32_t LevelOf(uint32_t uFolder) const;
    void RecordFiles();
    void FillRecord(const SpilledSet& set, _FILE_NODE_& node) const;
    uint64_t ValidLengthOf(const _FILE_NODE_& node);

    uint64_t m_u64VolumeStartSector = 0;
    uint64_t m_u64VolumeSectorCount = 0;
    char16_t m_wcDriveLetter = u'C';
    CDiskReader m_diskReader;
    std::FILE* m_spill = nullptr;
    size_t m_uSpilledSets = 0;

    std::vector<DirRun> m_runs;  // ascending, as the pass meets them
    std::vector<FolderSet> m_folderSets;
    std::vector<ExfatDeepLayout> m_layouts;  // candidates from boot regions
    std::vector<unsigned char> m_carry;      // an open set at the end of the last sector
    uint64_t m_u64CarryByte = 0;             // absolute byte of m_carry[0]
    uint64_t m_u64CarrySector = UINT64_MAX;  // the sector the carry ends in

    ExfatDeepLayout m_layout;
    std::map<uint32_t, size_t> m_namedFolders;  // first cluster -> index in m_folderSets
    std::unordered_map<uint32_t, TreeFolder> m_tree;
};
