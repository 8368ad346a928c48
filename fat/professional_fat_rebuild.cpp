// After the pass: the waiting sectors and files are settled, the folders that hold found files
// are published as a tree (with "LostFolder<cluster>" for folders whose own entry was never
// seen), and the result store answers browsing and search.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fat/professional_fat_internal.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/debug_log.h"
#include "store/scan_result_file_manager.h"

using namespace profat;

namespace {

// Continuation links can only chain through the clusters of one folder; a longer chain is a
// loop made of garbage.
constexpr int kMaxContinuationHops = 64;

}  // namespace

int CProfessionalFatRecovery::DealProfessionalRecordVec() {
    ParseUnDealFileMap();
    PlaceRemainingFiles();
    CollectNeededFolders();
    PublishFolders();
    PublishFileRelations();
    m_mapNeedAddDir.clear();
    m_mapDirInfo.clear();
    m_mapContinuation.clear();
    m_vecNoDbrFile.clear();
    m_u64RelationCount = 0;
    m_spill.Close();
    m_relationSpill.Close();
    if (m_pStore) m_pStore->FlushBufToFile();
    return 0;
}

int CProfessionalFatRecovery::ParseUnDealFileMap() {
    m_lastPlacedContext = {};
    // Parsing one sector may deal later ones (the continuations of its long names), but never
    // adds any, so the indices stay valid.
    for (size_t i = 0; i < m_vecUnDeal.size(); ++i) {
        if (!m_vecUnDeal[i].bDealt) ParseOneUnDealSector(i);
    }
    m_vecUnDeal.clear();
    for (auto& bucket : m_unDealByCheckSum) std::vector<uint64_t>().swap(bucket);
    return 0;
}

// As during the pass, and then: a sector inside the cluster just placed belongs with it, and
// any other sector goes to the cluster that the most likely boot sector puts it in.
void CProfessionalFatRecovery::ParseOneUnDealSector(size_t uIndex) {
    __UNDEAL_FILE__& entry = m_vecUnDeal[uIndex];
    entry.bDealt = 1;
    const uint64_t sector = entry.u64Sector;
    unsigned char copy[kSectorBytes];
    if (!m_spill.Read(entry.u64SpillOffset, copy, sizeof copy)) return;

    __DIR_ENTRY_RUN__ run;
    RunPlace place;
    if (GetParentDirCluster(copy, sector, run, place)) {
        ParseJoinedRun(run, place, m_lastPlacedContext);
        return;
    }
    run.Append(copy, kEntriesPerSector, sector);
    if (m_lastPlacedContext.Covers(sector)) {
        const RunPlace from = PlaceFromContext(m_lastPlacedContext, sector);
        const RunPlace placed = ParseFatFDTRecord(run, from, KnownOf(from));
        m_lastPlacedContext.uFolder = placed.uFolder;
        m_lastPlacedContext.bFolderGuessed = placed.bFolderGuessed;
        return;
    }
    place.u64Anchor = sector;
    if (!FitDbr(sector, place.nDbrIndex, place.uCluster)) {
        place.nDbrIndex = GetBestVirtalDbr(sector, true);
        const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex);
        if (d == nullptr) return;
        const uint64_t base = d->u64VolumeStartSector + d->uFirstDataSector;
        if (sector >= base) {
            if (!ClusterOfSector(place.nDbrIndex, sector, place.uCluster)) return;
        } else if (base >= FixedRootSectors(place.nDbrIndex) &&
                   sector >= base - FixedRootSectors(place.nDbrIndex)) {
            place.uCluster = 0;
        } else {
            DebugLog(
                "CProfessionalFatRecovery: sector %llu lies before every data area, "
                "skipped\n",
                static_cast<unsigned long long>(sector));
            return;
        }
    }
    place.uFolder = place.uCluster;
    m_lastPlacedContext = MakeContext(ParseFatFDTRecord(run, place, FolderKnown::kNo));
}

size_t CProfessionalFatRecovery::GetUnplacedFileCount() const {
    size_t count = 0;
    for (const __NO_DBR_FILE_NODE__& f : m_vecNoDbrFile) count += f.bPlaced ? 0 : 1;
    return count;
}

// Only a boot sector added since the last call can explain a file that is still waiting, so a
// call with an unchanged list costs nothing.
int CProfessionalFatRecovery::UpdateNoDbrFileVec() {
    if (m_vecNoDbrFile.empty() || m_vecVirtualDbr.size() == m_uDbrCountAtLastUpdate) return 0;
    const size_t from = m_uDbrCountAtLastUpdate;
    m_uDbrCountAtLastUpdate = m_vecVirtualDbr.size();
    for (size_t i = from; i < m_vecVirtualDbr.size(); ++i) {
        const __VIRTUAL_DBR_INFO__& d = m_vecVirtualDbr[i];
        for (__NO_DBR_FILE_NODE__& f : m_vecNoDbrFile) {
            // The anchor is the sector of the folder's "." entry: the boot sector must put the
            // folder's cluster exactly there.
            if (f.bPlaced || ClusterSector(d, f.uFolderCluster) != f.u64AnchorSector) continue;
            _FILE_NODE_ node;
            if (m_spill.Read(f.u64SpillOffset, &node, sizeof node)) {
                PlaceFile(node, f.bDeleted != 0, f.uFolderCluster, static_cast<int32_t>(i));
            }
            f.bPlaced = 1;
        }
    }
    std::erase_if(m_vecNoDbrFile, [](const __NO_DBR_FILE_NODE__& f) { return f.bPlaced != 0; });
    return 0;
}

// A file whose folder no boot sector explains goes with the boot sector whose data area
// starts closest below its entry; with several boot sectors of which none starts below it,
// nothing can be said about where its data lies, and it is dropped.
void CProfessionalFatRecovery::PlaceRemainingFiles() {
    m_uDbrCountAtLastUpdate = 0;
    UpdateNoDbrFileVec();
    for (__NO_DBR_FILE_NODE__& f : m_vecNoDbrFile) {
        const int dbr = GetBestVirtalDbr(f.u64AnchorSector, false);
        _FILE_NODE_ node;
        if (dbr < 0 || !m_spill.Read(f.u64SpillOffset, &node, sizeof node)) {
            DebugLog("CProfessionalFatRecovery: file of sector %llu has no geometry, dropped\n",
                     static_cast<unsigned long long>(f.u64AnchorSector));
            continue;
        }
        PlaceFile(node, f.bDeleted != 0, f.uFolderCluster, dbr);
        f.bPlaced = 1;
    }
    m_vecNoDbrFile.clear();
}

uint32_t CProfessionalFatRecovery::ResolveFolder(uint32_t uFolder) const {
    uint32_t folder = uFolder;
    for (int hop = 0; hop < kMaxContinuationHops; ++hop) {
        const auto it = m_mapContinuation.find(folder);
        if (it == m_mapContinuation.end() || it->second == uFolder) break;
        folder = it->second;
    }
    return folder;
}

bool CProfessionalFatRecovery::ReadRelation(uint64_t uIndex, PendingRelation& relation) {
    return m_relationSpill.Read(uIndex * sizeof relation, &relation, sizeof relation);
}

// Every folder that holds a found file, and every folder above it, with its parent.
void CProfessionalFatRecovery::CollectNeededFolders() {
    m_mapNeedAddDir.clear();
    std::vector<uint32_t> work;
    for (uint64_t i = 0; i < m_u64RelationCount; ++i) {
        PendingRelation relation{};
        if (!ReadRelation(i, relation)) break;
        const uint32_t folder = ResolveFolder(relation.uFolder);
        if (folder == kRootFolder) continue;
        if (m_mapNeedAddDir.emplace(folder, __PRO_NEED_ADD_DIR_INFO__{relation.nDbrIndex, 0, 0, 0})
                .second) {
            work.push_back(folder);
        }
    }
    while (!work.empty()) {
        const uint32_t folder = work.back();
        work.pop_back();
        __PRO_NEED_ADD_DIR_INFO__& need = m_mapNeedAddDir[folder];
        const int32_t dbr = need.nDbrIndex;
        const uint32_t parent = FindParentOfNeededFolder(folder, dbr);
        need.uParent = parent;  // map references stay valid while others are inserted
        if (parent != kRootFolder &&
            m_mapNeedAddDir.emplace(parent, __PRO_NEED_ADD_DIR_INFO__{dbr, 0, 0, 0}).second) {
            work.push_back(parent);
        }
    }
    ComputeLevels();
}

// A folder's own ".." entry names its parent best: the entry that named the folder may have
// been found in a continuation cluster of the parent that nothing tied to it.
uint32_t CProfessionalFatRecovery::FindParentOfNeededFolder(uint32_t uFolder, int32_t nDbr) {
    uint32_t parent = kRootFolder;
    unsigned char sector[kSectorBytes];
    const __VIRTUAL_DBR_INFO__* d = Dbr(nDbr);
    if (d != nullptr && IsFolderStart(*d, uFolder, sector)) {
        parent = NormaliseParent(EntryCluster(sector + 32));
    } else if (const auto it = m_mapDirInfo.find(uFolder); it != m_mapDirInfo.end()) {
        parent = it->second.uParent;
    }
    parent = ResolveFolder(parent);
    return parent == uFolder ? kRootFolder : parent;
}

// Levels follow the published parents, so that every folder's children are stored under the
// level at which browsing asks for them. A loop of parents is cut by hanging the folder where
// it closes directly below the root. Folders are taken in ascending order and every climb ends
// with its first folder done, so the folders a cut sends back to "not yet" all come later.
void CProfessionalFatRecovery::ComputeLevels() {
    enum : uint32_t { kNew = 0, kOnPath = 3, kDone = 2 };
    std::vector<uint32_t> path;
    for (auto& [cluster, need] : m_mapNeedAddDir) {
        if (need.uState == kDone) continue;
        path.clear();
        uint32_t current = cluster;
        while (current != kRootFolder) {
            __PRO_NEED_ADD_DIR_INFO__& n = m_mapNeedAddDir[current];
            if (n.uState == kDone) break;
            if (n.uState == kOnPath) {
                const auto at = std::find(path.begin(), path.end(), current);
                for (auto it = at + 1; it != path.end(); ++it) m_mapNeedAddDir[*it].uState = kNew;
                path.erase(at + 1, path.end());
                n.uParent = kRootFolder;
                current = kRootFolder;
                break;
            }
            n.uState = kOnPath;
            path.push_back(current);
            current = n.uParent;
        }
        uint32_t level = current == kRootFolder ? 0 : m_mapNeedAddDir[current].uLevel;
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            __PRO_NEED_ADD_DIR_INFO__& n = m_mapNeedAddDir[*it];
            n.uLevel = ++level;
            n.uState = kDone;
        }
    }
}

uint32_t CProfessionalFatRecovery::FolderLevel(uint32_t uFolder) const {
    if (uFolder == kRootFolder) return 0;
    const auto it = m_mapNeedAddDir.find(uFolder);
    return it != m_mapNeedAddDir.end() ? it->second.uLevel : 0;
}

bool CProfessionalFatRecovery::ReadFolderInfo(uint32_t uCluster, __PRO_DIR_INFO__& info) {
    const auto it = m_mapDirInfo.find(uCluster);
    return it != m_mapDirInfo.end() && m_spill.Read(it->second.u64SpillOffset, &info, sizeof info);
}

void CProfessionalFatRecovery::PublishFolders() {
    if (!m_pStore) return;
    for (const auto& [cluster, need] : m_mapNeedAddDir) {
        __PRO_DIR_INFO__ info{};
        if (!ReadFolderInfo(cluster, info)) {
            info.node = {};
            info.node.wcDriveLetter = m_wcDriveLetter;
            std::snprintf(info.node.szFileName, sizeof info.node.szFileName, "LostFolder%d",
                          static_cast<int>(cluster));
        }
        _FILE_NODE_* out = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
        if (out == nullptr) return;
        *out = info.node;
        out->nFileSource = m_uFileSource;
        out->bIsDir = 1;
        out->bDataHealth = 1;
        out->uClusterNO = cluster;
        out->uFileIndex = m_pStore->GetFileIndex();
        m_pStore->AddChildren(need.uParent, FolderLevel(need.uParent), out->uFileIndex, cluster,
                              out->szFileName);
    }
}

void CProfessionalFatRecovery::PublishFileRelations() {
    if (!m_pStore) return;
    for (uint64_t i = 0; i < m_u64RelationCount; ++i) {
        PendingRelation relation{};
        if (!ReadRelation(i, relation)) {
            DebugLog("CProfessionalFatRecovery: folder relations lost from %llu on\n",
                     static_cast<unsigned long long>(i));
            return;
        }
        const uint32_t folder = ResolveFolder(relation.uFolder);
        m_pStore->AddChildren(folder, FolderLevel(folder), relation.uFileIndex, relation.uClusterNO,
                              nullptr);
    }
}
