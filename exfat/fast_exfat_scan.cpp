// The quick exFAT scan: the boot region, the FAT and the walk of the folder tree.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "exfat/fast_exfat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/scan_options.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kFatWindowEntries = 16384;
constexpr uint32_t kEndOfChain = 0xFFFFFFF8;
constexpr uint64_t kMaxFolderBytes = 256ull << 20;  // no folder may be longer
constexpr unsigned int kReportIntervalMs = 5000;
// The scan's own mark in the low byte of a folder's uReserved: the folder lies in a deleted
// subtree. Other bits of the field (kPresentEntryMark) say nothing about that.
constexpr uint32_t kUnderDeletionMark = 1;

bool HoldsEndMark(const unsigned char* p, size_t uBytes) {
    for (size_t at = 0; at < uBytes; at += kExfatEntryBytes) {
        if (p[at] == EXFAT_ENTRY_END) return true;
    }
    return false;
}

}  // namespace

int CFastExfatRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                             char16_t wcDriveLetter) {
    if (llStartSector < 0 || llSectorCount <= 0) return RESULT_INVALID_ARGUMENT;
    m_wcDriveLetter = wcDriveLetter;
    const uint64_t start = static_cast<uint64_t>(llStartSector);
    const int result = m_diskReader.Init(nDisk, start + static_cast<uint64_t>(llSectorCount));
    if (result != 0) return result;
    return Bind(start, static_cast<uint64_t>(llSectorCount));
}

// An image named by path is bound like a disk: the volume is the whole file.
int CFastExfatRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    uint64_t bytes = 0;
    if (const int opened = GetDeviceSizeByPath(WideToUtf8(pszDevicePath).c_str(), bytes))
        return opened;
    const uint64_t sectors = bytes / kSector;
    m_wcDriveLetter = wcDriveLetter;
    const int result = m_diskReader.Init(pszDevicePath, sectors);
    if (result != 0) return result;
    return Bind(0, sectors);
}

int CFastExfatRecovery::Bind(uint64_t u64StartSector, uint64_t u64SectorCount) {
    m_u64VolumeStartSector = u64StartSector;
    m_u64VolumeSectorCount = u64SectorCount;
    m_nBootResult = ReadBootRegion();
    return m_nBootResult;
}

bool CFastExfatRecovery::ReadVolume(uint64_t u64Offset, size_t uBytes,
                                    std::vector<unsigned char>& out) {
    const uint64_t first = u64Offset / kSector;
    const size_t skip = static_cast<size_t>(u64Offset % kSector);
    const uint64_t sectors = (skip + uBytes + kSector - 1) / kSector;
    if (sectors > INT_MAX / kSector || first + sectors > m_u64VolumeSectorCount) return false;
    std::vector<unsigned char> buf(static_cast<size_t>(sectors) * kSector);
    unsigned int read = 0;
    const int result =
        m_diskReader.ReadData(buf.data(), static_cast<int>(sectors), m_u64VolumeStartSector + first,
                              static_cast<int>(kSector), &read);
    if (result != 0 || read != sectors) return false;
    out.assign(buf.begin() + static_cast<std::ptrdiff_t>(skip),
               buf.begin() + static_cast<std::ptrdiff_t>(skip + uBytes));
    return true;
}

bool CFastExfatRecovery::ReadRootFolderStart(std::vector<unsigned char>& bytes) {
    // The label entry comes among the first entries; a huge cluster need not be read whole.
    constexpr size_t kRootBytesRead = 64 * 1024;
    bytes.clear();
    if (m_nBootResult != 0 || !m_geometry.IsDataCluster(m_geometry.uRootCluster)) return false;
    const size_t length = std::min<size_t>(m_geometry.uBytesPerCluster, kRootBytesRead);
    return ReadVolume(m_geometry.ClusterOffset(m_geometry.uRootCluster), length, bytes);
}

bool CFastExfatRecovery::TryBootRegion(uint64_t u64Offset, uint32_t uBytesPerSector) {
    std::vector<unsigned char> region;
    if (!ReadVolume(u64Offset, size_t{uBytesPerSector} * kExfatBootRegionSectors, region)) {
        return false;
    }
    return ExfatClaimedSectorSize(region.data(), region.size()) == uBytesPerSector &&
           ParseExfatBootRegion(region.data(), region.size(), m_u64VolumeSectorCount * kSector,
                                m_geometry);
}

// The main region, else the backup twelve sectors on. A main boot sector too damaged to
// give its sector size leaves every size to be tried for the backup.
int CFastExfatRecovery::ReadBootRegion() {
    std::vector<unsigned char> first;
    if (!ReadVolume(0, kSector, first)) return RESULT_SHORT_READ;
    const uint32_t claimed = ExfatClaimedSectorSize(first.data(), first.size());
    if (claimed != 0 && TryBootRegion(0, claimed)) return 0;
    DebugLog("exFAT main boot region is bad, trying the backup\n");
    for (const uint32_t size : {claimed, 512u, 1024u, 2048u, 4096u}) {
        if (size != 0 && TryBootRegion(uint64_t{size} * kExfatBootRegionSectors, size)) {
            m_bUsedBackup = true;
            return 0;
        }
    }
    DebugLog("exFAT backup boot region is bad too\n");
    return RESULT_INVALID_ARGUMENT;
}

bool CFastExfatRecovery::FatEntry(uint32_t uCluster, uint32_t& uNext) {
    if (!m_geometry.IsDataCluster(uCluster)) return false;
    const bool inWindow = uCluster >= m_uFatWindowFirst &&
                          uint64_t{uCluster - m_uFatWindowFirst} * 4 + 4 <= m_fatWindow.size();
    if (!inWindow) {
        const uint32_t first = uCluster - uCluster % kFatWindowEntries;
        const uint64_t at = uint64_t{first} * 4;
        if (at >= m_geometry.u64FatBytes) return false;
        const size_t bytes = static_cast<size_t>(
            std::min<uint64_t>(uint64_t{kFatWindowEntries} * 4, m_geometry.u64FatBytes - at));
        m_fatWindow.clear();
        if (!ReadVolume(m_geometry.u64FatOffset + at, bytes, m_fatWindow)) {
            m_fatWindow.clear();
            return false;
        }
        m_uFatWindowFirst = first;
    }
    const size_t at = size_t{uCluster - m_uFatWindowFirst} * 4;
    if (at + 4 > m_fatWindow.size()) return false;
    uNext = LoadU32(m_fatWindow.data() + at);
    return true;
}

void CFastExfatRecovery::NoteDamage(const char* pszWhat, uint32_t uValue) {
    if (m_uDamageSeen++ < 8) DebugLog(pszWhat, uValue);
}

std::vector<uint32_t> CFastExfatRecovery::Clusters(uint32_t uFirst, uint64_t u64Length,
                                                   bool bContiguous, uint64_t uMaxClusters) {
    std::vector<uint32_t> out;
    if (!m_geometry.IsDataCluster(uFirst)) return out;
    uint64_t want = uMaxClusters;
    if (u64Length != 0) {
        want = std::min(
            want, (u64Length + m_geometry.uBytesPerCluster - 1) / m_geometry.uBytesPerCluster);
    }
    std::set<uint32_t> seen;
    for (uint32_t c = uFirst; out.size() < want;) {
        out.push_back(c);
        if (out.size() == want) break;
        uint32_t next = c + 1;
        if (!bContiguous) {
            seen.insert(c);
            if (!FatEntry(c, next) || next >= kEndOfChain) break;
            if (seen.count(next) != 0) {
                DebugLog("exFAT chain from cluster %u loops\n", uFirst);
                break;
            }
        }
        if (!m_geometry.IsDataCluster(next)) {
            DebugLog("exFAT chain from cluster %u leaves the volume\n", uFirst);
            break;
        }
        c = next;
    }
    return out;
}

// A deleted folder's chain was freed with it, so it is read contiguously for its length. The
// read stops at the cluster that holds the end-of-folder mark.
bool CFastExfatRecovery::ReadFolderBytes(const Folder& folder, std::vector<unsigned char>& bytes,
                                         std::vector<uint32_t>& clusters) {
    const uint64_t cs = m_geometry.uBytesPerCluster;
    const uint64_t length = std::min(folder.u64Length, kMaxFolderBytes);
    clusters = Clusters(folder.uCluster, length, folder.bNoFatChain || folder.bDeleted,
                        std::max<uint64_t>(1, kMaxFolderBytes / cs));
    bytes.clear();
    std::vector<unsigned char> one;
    for (size_t k = 0; k < clusters.size(); ++k) {
        if (!ReadVolume(m_geometry.ClusterOffset(clusters[k]), static_cast<size_t>(cs), one)) {
            clusters.resize(k);
            break;
        }
        bytes.insert(bytes.end(), one.begin(), one.end());
        if (HoldsEndMark(one.data(), one.size())) {
            clusters.resize(k + 1);
            break;
        }
    }
    return !bytes.empty();
}

uint64_t CFastExfatRecovery::EntrySector(const std::vector<uint32_t>& clusters,
                                         size_t uOffset) const {
    const uint64_t cs = m_geometry.uBytesPerCluster;
    const uint64_t within = m_geometry.ClusterOffset(clusters[uOffset / cs]) + uOffset % cs;
    return m_u64VolumeStartSector + within / kSector;
}

int CFastExfatRecovery::ScanDevice(const char16_t* pszLogName) {
    if (m_nBootResult != 0) return m_nBootResult;
    m_folderMap.clear();
    m_folderLevels.clear();
    m_publishList.clear();
    m_published.clear();
    m_walkedFolders.clear();
    m_folderQueue.clear();
    m_extents.clear();
    m_bListPresent = ListPresentFiles();
    // Without a store nothing found could be kept: report that rather than an empty success.
    const int storeResult = OpenStore(kFastLogPrefix, m_u64VolumeStartSector, pszLogName);
    if (pszLogName != nullptr || storeResult != RESULT_OK) return storeResult;

    Folder root;
    root.uCluster = m_geometry.uRootCluster;
    m_folderMap[root.uCluster] = root;
    m_folderLevels[root.uCluster] = 0;
    m_folderQueue.push_back(root.uCluster);
    int result = ReportScan(1, -1);
    if (result == 0) result = WalkFolders();
    if (result == 0) result = ReportScan(80, 10);
    // Folders are published even after a cancel, so that the files found so far browse
    // under the folders they were deleted from.
    PublishFolders();
    m_pStore->FlushBufToFile();
    if (result == 0) result = ReportScan(100, 0);
    return result;
}

int CFastExfatRecovery::WalkFolders() {
    unsigned int lastTick = rsb_getTickCount();
    int step = 0;
    while (!m_folderQueue.empty()) {
        const uint32_t cluster = m_folderQueue.front();
        m_folderQueue.pop_front();
        if (!m_walkedFolders.insert(cluster).second) continue;
        WalkFolder(m_folderMap[cluster]);
        const unsigned int now = rsb_getTickCount();
        if (now - lastTick < kReportIntervalMs) continue;
        lastTick = now;
        step = std::min(step + 1, 78);
        const int result = ReportScan(1 + step, -1);
        if (result != 0) return result;
    }
    return 0;
}

void CFastExfatRecovery::WalkFolder(const Folder& folder) {
    std::vector<unsigned char> bytes;
    std::vector<uint32_t> clusters;
    if (!ReadFolderBytes(folder, bytes, clusters)) {
        if (!folder.bDeleted)
            NoteDamage("exFAT folder at cluster %u cannot be read\n", folder.uCluster);
        return;
    }
    ExfatFolderContent content;
    ParseExfatFolder(bytes.data(), bytes.size(), content);
    if (content.uBrokenSets != 0) {
        DebugLog("exFAT folder at cluster %u: %u broken entry sets passed over\n", folder.uCluster,
                 content.uBrokenSets);
    }
    if (content.uBrokenLiveSets != 0 && !folder.bDeleted) {
        NoteDamage("exFAT live folder at cluster %u holds broken entry sets\n", folder.uCluster);
    }
    const uint32_t key = folder.uCluster;
    for (const ExfatEntrySet& set : content.sets) {
        const bool deleted = set.bDeleted || folder.bDeleted;
        if (set.IsFolder()) {
            RecordSubFolder(set, key, deleted);
        } else if (deleted || m_bListPresent) {
            RecordFile(set, key, EntrySector(clusters, set.uOffset), !deleted);
        }
    }
}

uint32_t CFastExfatRecovery::FolderLevel(uint32_t uFolder) const {
    const auto it = m_folderLevels.find(uFolder);
    return it != m_folderLevels.end() ? it->second : 0;
}

void CFastExfatRecovery::FillCommon(const ExfatEntrySet& set, _FILE_NODE_& node) const {
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = FILE_SOURCE_FAST_EXFAT;
    node.bDataHealth = 1;
    node.uClusterNO = set.uFirstCluster;
    node.uClusterBytes = m_geometry.uBytesPerCluster;
    const auto store = [](int64_t seconds, _FILETIME& t) {
        const uint64_t v = static_cast<uint64_t>(seconds);
        t.dwLowDateTime = static_cast<uint32_t>(v);
        t.dwHighDateTime = static_cast<uint32_t>(v >> 32);
    };
    store(ExfatStampToUnix(set.created), node.ftCreateTime);
    store(ExfatStampToUnix(set.accessed), node.ftLastAccessTime);
    store(ExfatStampToUnix(set.modified), node.ftLastChangeTime);
    node.u64FileSize = set.u64DataLength;
    node.u64DataStartSector = m_geometry.u64HeapOffset / kSector;
    node.u64VolumeStartSector = m_u64VolumeStartSector;
    char name[sizeof node.szFileName];
    inner_uni2str(name, set.name.c_str(), sizeof name, static_cast<int>(set.name.size()));
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
}

void CFastExfatRecovery::RecordSubFolder(const ExfatEntrySet& set, uint32_t uParent,
                                         bool bUnderDeletion) {
    const uint32_t cluster = set.uFirstCluster;
    if (!m_geometry.IsDataCluster(cluster) || cluster == uParent ||
        cluster == m_geometry.uRootCluster) {
        DebugLog("exFAT folder entry in folder %u names cluster %u\n", uParent, cluster);
        return;
    }
    const auto existing = m_folderMap.find(cluster);
    // A live entry is the truth about its cluster: a deleted entry whose cluster was reused by
    // a live folder must not mark that folder's live files as deleted.
    if (existing != m_folderMap.end() && (bUnderDeletion || !existing->second.bDeleted)) return;

    Folder folder;
    folder.uCluster = cluster;
    folder.u64Length = set.u64DataLength;
    folder.bNoFatChain = set.NoFatChain();
    folder.bDeleted = bUnderDeletion;
    FillCommon(set, folder.node);
    folder.node.bIsDir = 1;
    folder.node.uReserved = bUnderDeletion ? kUnderDeletionMark : kPresentEntryMark;
    folder.node.uFileIndex = uParent;
    m_folderMap[cluster] = folder;
    m_folderLevels[cluster] = FolderLevel(uParent) + 1;
    if (m_walkedFolders.count(cluster) == 0) m_folderQueue.push_back(cluster);
}

void CFastExfatRecovery::RecordFile(const ExfatEntrySet& set, uint32_t uParent, uint64_t u64Sector,
                                    bool bPresent) {
    _FILE_NODE_ node{};
    FillCommon(set, node);
    node.uReserved = bPresent ? kPresentEntryMark : 0;
    node.u64RecordSector = u64Sector;
    const uint32_t index = StoreChild(node, uParent, FolderLevel(uParent), node.uClusterNO);
    if (index == 0) return;
    m_extents[index] = {set.u64ValidLength, set.NoFatChain()};
    MarkForPublishing(uParent);
}

void CFastExfatRecovery::MarkForPublishing(uint32_t uFolder) {
    for (uint32_t c = uFolder; c != m_geometry.uRootCluster;) {
        if (!m_published.insert(c).second) return;  // its ancestors are marked already
        m_publishList.push_back(c);
        const auto it = m_folderMap.find(c);
        if (it == m_folderMap.end()) return;
        c = it->second.node.uFileIndex;
    }
}

void CFastExfatRecovery::PublishFolders() {
    for (const uint32_t cluster : m_publishList) {
        const auto it = m_folderMap.find(cluster);
        if (it == m_folderMap.end()) continue;
        const uint32_t parent = it->second.node.uFileIndex;
        const _FILE_NODE_& folder = it->second.node;
        if (StoreChild(folder, parent, FolderLevel(parent), folder.uClusterNO) == 0) return;
    }
}
