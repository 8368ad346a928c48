// After the deep exFAT pass: the volume layout, the folder tree and the records, and the
// extraction of a record's data.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "exfat/professional_exfat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kRootKey = 0;
constexpr uint32_t kNoFolder = UINT32_MAX;
constexpr uint32_t kMaxClusterShift = 16;  // 32 MiB clusters, in 512-byte sectors
constexpr size_t kSampleClusters = 64;     // sub-folder sets tried when inferring a layout
constexpr size_t kSampleRuns = 2048;       // folder starts tried against them
constexpr size_t kCandidatesPerSize = 4;
constexpr size_t kSupportSample = 4096;
constexpr size_t kReadChunkBytes = size_t{1} << 20;

void StoreSeconds(int64_t seconds, _FILETIME& t) {
    const uint64_t v = static_cast<uint64_t>(seconds);
    t.dwLowDateTime = static_cast<uint32_t>(v);
    t.dwHighDateTime = static_cast<uint32_t>(v >> 32);
}

}  // namespace

int CProfessionalExfatRecovery::EndPass() {
    m_carry.clear();
    std::sort(m_runs.begin(), m_runs.end(),
              [](const DirRun& a, const DirRun& b) { return a.u64First < b.u64First; });
    ChooseLayout();
    if (!m_layout.Valid()) {
        if (m_uSpilledSets != 0) DebugLog("exFAT deep scan: no layout explains the folders\n");
    } else {
        IndexNamedFolders();
        RecordFiles();
    }
    if (m_pStore) m_pStore->FlushBufToFile();
    if (m_spill != nullptr) std::fclose(m_spill);
    m_spill = nullptr;
    return 0;
}

// ---- layout ------------------------------------------------------------------------------

const CProfessionalExfatRecovery::DirRun* CProfessionalExfatRecovery::RunOf(
    uint64_t u64Sector) const {
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), u64Sector,
                               [](uint64_t s, const DirRun& r) { return s < r.u64First; });
    if (it == m_runs.begin()) return nullptr;
    --it;
    return u64Sector - it->u64First < it->uSectors ? &*it : nullptr;
}

// Folders whose first cluster opens with directory entries under the layout.
uint32_t CProfessionalExfatRecovery::LayoutSupport(const ExfatDeepLayout& layout) const {
    const uint64_t end = m_u64VolumeStartSector + m_u64VolumeSectorCount;
    const auto opensFolder = [&](uint32_t uCluster) {
        if (uCluster < 2) return false;
        const uint64_t sector =
            layout.u64HeapSector + uint64_t{uCluster - 2} * layout.uSectorsPerCluster;
        return sector < end && RunOf(sector) != nullptr;
    };
    uint32_t support = layout.uRootCluster != 0 && opensFolder(layout.uRootCluster) ? 1 : 0;
    // An even sample of the sub-folder sets: a few thousand tell layouts apart as well as all.
    const size_t stride = std::max<size_t>(1, m_folderSets.size() / kSupportSample);
    for (size_t i = 0; i < m_folderSets.size(); i += stride) {
        support += opensFolder(m_folderSets[i].uCluster) ? 1 : 0;
    }
    return support;
}

// Every pairing of a sub-folder's first cluster with a sector where a run of directory sectors
// begins proposes, for each cluster size, where cluster 2 lies; the proposals most pairs agree
// on are the candidates.
void CProfessionalExfatRecovery::InferLayouts(std::vector<ExfatDeepLayout>& out) const {
    std::vector<uint32_t> clusters;
    for (const FolderSet& set : m_folderSets) {
        if (clusters.size() >= kSampleClusters) break;
        if (set.uCluster >= 2 &&
            std::find(clusters.begin(), clusters.end(), set.uCluster) == clusters.end()) {
            clusters.push_back(set.uCluster);
        }
    }
    const size_t runs = std::min(m_runs.size(), kSampleRuns);
    std::vector<uint64_t> heaps;
    for (uint32_t shift = 0; shift <= kMaxClusterShift; ++shift) {
        const uint64_t spc = uint64_t{1} << shift;
        heaps.clear();
        for (const uint32_t c : clusters) {
            const uint64_t before = uint64_t{c - 2} * spc;
            for (size_t r = 0; r < runs; ++r) {
                const uint64_t s = m_runs[r].u64First;
                if (s >= m_u64VolumeStartSector + before) heaps.push_back(s - before);
            }
        }
        std::sort(heaps.begin(), heaps.end());
        std::vector<std::pair<size_t, uint64_t>> votes;  // (pairs agreeing, heap)
        for (size_t i = 0; i < heaps.size();) {
            size_t j = i;
            while (j < heaps.size() && heaps[j] == heaps[i]) ++j;
            if (j - i >= 2) votes.emplace_back(j - i, heaps[i]);
            i = j;
        }
        const size_t keep = std::min(votes.size(), kCandidatesPerSize);
        std::partial_sort(votes.begin(), votes.begin() + static_cast<std::ptrdiff_t>(keep),
                          votes.end(), std::greater<>());
        for (size_t k = 0; k < keep; ++k) {
            ExfatDeepLayout layout;
            layout.u64VolumeStart = m_u64VolumeStartSector;
            layout.u64HeapSector = votes[k].second;
            layout.uSectorsPerCluster = static_cast<uint32_t>(spc);
            out.push_back(layout);
        }
    }
}

// The candidate that explains the most folders; a boot region wins a tie.
void CProfessionalExfatRecovery::ChooseLayout() {
    std::vector<ExfatDeepLayout> candidates = m_layouts;
    InferLayouts(candidates);
    uint32_t best = 0;
    for (const ExfatDeepLayout& layout : candidates) {
        const uint32_t support = LayoutSupport(layout);
        if (!m_layout.Valid() || support > best) {
            best = support;
            m_layout = layout;
        }
    }
    if (m_layout.Valid()) {
        DebugLog(
            "exFAT deep scan: cluster 2 at sector %llu, %u sectors a cluster (%s, %u folders)\n",
            static_cast<unsigned long long>(m_layout.u64HeapSector), m_layout.uSectorsPerCluster,
            m_layout.bFromBoot ? "boot region" : "inferred", best);
    }
}

bool CProfessionalExfatRecovery::ClusterOf(uint64_t u64Sector, uint32_t& uCluster) const {
    if (!m_layout.Valid() || u64Sector < m_layout.u64HeapSector) return false;
    const uint64_t c = (u64Sector - m_layout.u64HeapSector) / m_layout.uSectorsPerCluster + 2;
    if (c > UINT32_MAX - 1) return false;
    uCluster = static_cast<uint32_t>(c);
    return true;
}

uint64_t CProfessionalExfatRecovery::ClusterSector(uint32_t uCluster) const {
    return m_layout.u64HeapSector + uint64_t{uCluster - 2} * m_layout.uSectorsPerCluster;
}

// ---- folders -----------------------------------------------------------------------------

// One set per folder: a live set is the truth about its cluster, else the longest.
void CProfessionalExfatRecovery::IndexNamedFolders() {
    for (size_t i = 0; i < m_folderSets.size(); ++i) {
        const FolderSet& set = m_folderSets[i];
        if (set.uCluster < 2 || set.uCluster == m_layout.uRootCluster) continue;
        const auto [it, added] = m_namedFolders.emplace(set.uCluster, i);
        if (added) continue;
        const FolderSet& known = m_folderSets[it->second];
        if ((known.bDeleted && !set.bDeleted) ||
            (known.bDeleted == set.bDeleted && set.u64DataLength > known.u64DataLength)) {
            it->second = i;
        }
    }
}

// The named folder whose clusters (taken as contiguous) hold the cluster, or kNoFolder.
uint32_t CProfessionalExfatRecovery::NamedFolderHolding(uint32_t uCluster) const {
    auto it = m_namedFolders.upper_bound(uCluster);
    if (it == m_namedFolders.begin()) return kNoFolder;
    --it;
    const uint64_t clusterBytes = uint64_t{m_layout.uSectorsPerCluster} * kSector;
    const uint64_t length = m_folderSets[it->second].u64DataLength;
    const uint64_t clusters = std::max<uint64_t>(1, (length + clusterBytes - 1) / clusterBytes);
    return uCluster - it->first < clusters ? it->first : kNoFolder;
}

// The folder holding an entry: the named folder whose clusters hold it, else the folder of the
// cluster where its run of directory sectors began, else its own cluster.
uint32_t CProfessionalExfatRecovery::FolderOfByte(uint64_t u64Byte) const {
    const uint64_t sector = u64Byte / kSector;
    uint32_t cluster = 0;
    if (!ClusterOf(sector, cluster)) return kNoFolder;
    const auto keyOf = [this](uint32_t c) {
        if (c == m_layout.uRootCluster) return kRootKey;
        const uint32_t named = NamedFolderHolding(c);
        return named != kNoFolder ? named : c;
    };
    const uint32_t named = keyOf(cluster);
    if (named != cluster) return named;
    uint32_t runCluster = 0;
    const DirRun* run = RunOf(sector);
    if (run != nullptr && ClusterOf(run->u64First, runCluster) && runCluster < cluster) {
        return keyOf(runCluster);
    }
    return cluster;
}

// Root for a folder nothing names (it is then a lost folder) or one that would be its own
// parent.
uint32_t CProfessionalExfatRecovery::ParentOf(uint32_t uFolder) const {
    const auto it = m_namedFolders.find(uFolder);
    if (it == m_namedFolders.end()) return kRootKey;
    const uint32_t parent = FolderOfByte(m_folderSets[it->second].u64EntryByte);
    return parent == kNoFolder || parent == uFolder ? kRootKey : parent;
}

uint32_t CProfessionalExfatRecovery::LevelOf(uint32_t uFolder) const {
    if (uFolder == kRootKey) return 0;
    const auto it = m_tree.find(uFolder);
    return it != m_tree.end() ? it->second.uLevel : 0;
}

// Publishes the folder and every folder above it not yet published. A chain of parents that
// loops, or runs deeper than kMaxTreeDepth, is cut: its topmost folder hangs at the root.
bool CProfessionalExfatRecovery::PublishFolder(uint32_t uFolder) {
    std::vector<uint32_t> path;
    uint32_t current = uFolder;
    while (current != kRootKey && m_tree.count(current) == 0) {
        if (std::find(path.begin(), path.end(), current) != path.end() ||
            path.size() >= kMaxTreeDepth) {
            DebugLog("exFAT deep scan: folder %u: parents loop or run too deep\n", current);
            current = kRootKey;
            break;
        }
        path.push_back(current);
        current = ParentOf(current);
    }
    uint32_t parent = current;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const TreeFolder tree{parent, LevelOf(parent) + 1, true};
        m_tree[*it] = tree;
        PublishOne(*it, tree);
        parent = *it;
    }
    return true;
}

void CProfessionalExfatRecovery::PublishOne(uint32_t uFolder, const TreeFolder& tree) {
    if (!m_pStore) return;
    _FILE_NODE_ node{};
    SpilledSet set{};
    const auto it = m_namedFolders.find(uFolder);
    const bool named =
        it != m_namedFolders.end() && m_spill != nullptr &&
        std::fseek(m_spill, static_cast<long>(m_folderSets[it->second].u64SpillOffset), SEEK_SET) ==
            0 &&
        std::fread(&set, sizeof set, 1, m_spill) == 1;
    if (named) {
        FillRecord(set, node);
    } else {
        node.wcDriveLetter = m_wcDriveLetter;
        node.uClusterBytes = m_layout.uSectorsPerCluster * kSector;
        std::snprintf(node.szFileName, sizeof node.szFileName, "LostFolder%u", uFolder);
    }
    node.nFileSource = FILE_SOURCE_PRO_EXFAT;
    node.bIsDir = 1;
    node.bDataHealth = 1;
    node.uClusterNO = uFolder;
    StoreChild(node, tree.uParent, LevelOf(tree.uParent), uFolder);
}

// ---- records -----------------------------------------------------------------------------

void CProfessionalExfatRecovery::FillRecord(const SpilledSet& set, _FILE_NODE_& node) const {
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = FILE_SOURCE_PRO_EXFAT;
    node.bDataHealth = 1;
    node.uReserved = static_cast<uint32_t>(set.u64EntryByte % kSector / kExfatEntryBytes);
    node.uClusterNO = set.uFirstCluster;
    node.uClusterBytes = m_layout.uSectorsPerCluster * kSector;
    StoreSeconds(ExfatStampToUnix(set.created), node.ftCreateTime);
    StoreSeconds(ExfatStampToUnix(set.accessed), node.ftLastAccessTime);
    StoreSeconds(ExfatStampToUnix(set.modified), node.ftLastChangeTime);
    node.u64FileSize = set.u64DataLength;
    node.u64DataStartSector = m_layout.u64HeapSector - m_u64VolumeStartSector;
    node.u64RecordSector = set.u64EntryByte / kSector;
    node.u64VolumeStartSector = m_u64VolumeStartSector;
    char name[sizeof node.szFileName];
    inner_uni2str(name, set.name, sizeof name, set.uNameUnits);
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
}

// The spilled sets, in the order found: each file becomes a record in its folder.
void CProfessionalExfatRecovery::RecordFiles() {
    if (!m_pStore || m_spill == nullptr) return;
    for (size_t i = 0; i < m_uSpilledSets; ++i) {
        SpilledSet set{};
        const long at = static_cast<long>(i * sizeof set);
        if (std::fseek(m_spill, at, SEEK_SET) != 0 ||
            std::fread(&set, sizeof set, 1, m_spill) != 1) {
            DebugLog("exFAT deep scan: spill unreadable from set %zu on\n", i);
            return;
        }
        if ((set.uAttributes & kExfatAttrDirectory) != 0) continue;
        const uint32_t folder = FolderOfByte(set.u64EntryByte);
        if (folder == kNoFolder) {
            DebugLog("exFAT deep scan: set at byte %llu lies before the cluster heap\n",
                     static_cast<unsigned long long>(set.u64EntryByte));
            continue;
        }
        if (folder != kRootKey) PublishFolder(folder);
        _FILE_NODE_ node{};
        FillRecord(set, node);
        if (StoreChild(node, folder, LevelOf(folder), node.uClusterNO) == 0) return;
    }
}

// The valid data length, read again from the record's set (a record has no room for it); the
// size when the set no longer reads as it did.
uint64_t CProfessionalExfatRecovery::ValidLengthOf(const _FILE_NODE_& node) {
    constexpr uint32_t kSetSectors = 3;  // a set of up to 19 entries from any entry of a sector
    std::vector<unsigned char> bytes(size_t{kSetSectors} * kSector, 0);
    unsigned int got = 0;
    m_diskReader.ReadData(bytes.data(), static_cast<int>(kSetSectors), node.u64RecordSector,
                          kSector, &got);
    const size_t at = size_t{node.uReserved} * kExfatEntryBytes;
    const size_t have = size_t{got} * kSector;
    if (at >= kSector || at >= have) return node.u64FileSize;
    ExfatFolderContent content;
    ParseExfatFolder(bytes.data() + at, have - at, content);
    if (content.sets.empty() || content.sets.front().uOffset != 0 ||
        content.sets.front().uFirstCluster != node.uClusterNO ||
        content.sets.front().u64DataLength != node.u64FileSize) {
        return node.u64FileSize;
    }
    return content.sets.front().u64ValidLength;
}

int CProfessionalExfatRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                               const DATA_SINK& sink) {
    if (node.uClusterBytes == 0 || node.uClusterBytes % kSector != 0) {
        return RESULT_BAD_CLUSTER_SIZE;
    }
    if (u64Want == 0) return RESULT_OK;
    const uint64_t valid = std::min(ValidLengthOf(node), u64Want);
    const uint64_t first = node.u64VolumeStartSector + node.u64DataStartSector +
                           uint64_t{node.uClusterNO - 2} * (node.uClusterBytes / kSector);
    const uint64_t end = m_u64VolumeStartSector + m_u64VolumeSectorCount;
    if (valid != 0 && (node.uClusterNO < 2 || first + (valid + kSector - 1) / kSector > end)) {
        return RESULT_OUTSIDE_VOLUME;
    }
    std::vector<unsigned char> chunk(kReadChunkBytes);
    for (uint64_t done = 0; done < u64Want;) {
        const uint64_t n = std::min<uint64_t>(kReadChunkBytes, u64Want - done);
        std::fill(chunk.begin(), chunk.end(), 0);
        if (done < valid) {
            const uint64_t read = std::min(n, valid - done);
            const auto sectors = static_cast<unsigned int>((read + kSector - 1) / kSector);
            unsigned int got = 0;
            const int result = m_diskReader.ReadData(chunk.data(), static_cast<int>(sectors),
                                                     first + done / kSector, kSector, &got);
            if (result != 0) return result;
            if (got != sectors) return RESULT_SHORT_READ;
            std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(read), chunk.end(), 0);
        }
        const int answer = sink(chunk.data(), static_cast<uint32_t>(n));
        if (answer != 0) return answer;
        done += n;
    }
    return RESULT_OK;
}
