// The deep FAT pass: binding to the volume, the boot sectors inferred from folder
// observations, and where each directory sector handed over by the coordinator belongs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fat/professional_fat_internal.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

using namespace profat;

namespace {

constexpr int kBootAreaSectors = 8;  // 4096 bytes
// Bounds the joins one parse may chain together; a real chain needs one or two.
constexpr int kMaxJoinRounds = 64;

bool IsAcceptedClusterSize(uint64_t spc) {
    return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0;
}

std::string ScanFolder() {
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) != 0) return {};
    return folder;
}

}  // namespace

bool __DIR_ENTRY_RUN__::Append(const unsigned char* p, uint32_t uEntries, uint64_t u64Sector) {
    if (uEntries > kCapacity - uCount) return false;
    std::memcpy(bytes + 32 * uCount, p, size_t{uEntries} * 32);
    for (uint32_t i = 0; i < uEntries; ++i) u64EntrySector[uCount + i] = u64Sector;
    uCount += uEntries;
    return true;
}

CProfessionalFatRecovery::CProfessionalFatRecovery() = default;
CProfessionalFatRecovery::~CProfessionalFatRecovery() = default;

int CProfessionalFatRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                                   char16_t wcDriveLetter) {
    if (m_diskReader.GetDescriptor() >= 0) return 0;
    if (llStartSector < 0 || llSectorCount < 0) return RESULT_INVALID_ARGUMENT;
    m_u64VolumeStartSector = static_cast<uint64_t>(llStartSector);
    m_u64VolumeSectorCount = static_cast<uint64_t>(llSectorCount);
    m_wcDriveLetter = wcDriveLetter;
    m_bOwnDbr = 0;
    m_lastPlacedContext = {};
    m_currentContext = {};
    return m_diskReader.Init(nDisk, m_u64VolumeStartSector + m_u64VolumeSectorCount);
}

int CProfessionalFatRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (m_diskReader.GetDescriptor() >= 0) return 0;
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    uint64_t bytes = 0;
    if (const int opened = GetDeviceSizeByPath(WideToUtf8(pszDevicePath).c_str(), bytes))
        return opened;
    m_u64VolumeStartSector = 0;
    m_u64VolumeSectorCount = bytes / kSectorBytes;
    m_wcDriveLetter = wcDriveLetter;
    m_bOwnDbr = 0;
    m_lastPlacedContext = {};
    m_currentContext = {};
    return m_diskReader.Init(pszDevicePath, m_u64VolumeSectorCount);
}

int CProfessionalFatRecovery::ScanDevice(const char16_t*) {
    return 0;
}
int CProfessionalFatRecovery::BuildBitMapInfo() {
    return 0;
}
int CProfessionalFatRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long&) {
    return 0;
}

int CProfessionalFatRecovery::ClearProfessionalVec(const char16_t* pszLogName) {
    m_vecVirtualDbr.clear();
    m_vecDbrSupport.clear();
    m_vecFixedRootSectors.clear();
    m_vecSectorOffset.clear();
    m_vecNoDbrFile.clear();
    m_uDbrCountAtLastUpdate = 0;
    m_vecLongFileInfo.clear();
    m_vecUnDeal.clear();
    for (auto& bucket : m_unDealByCheckSum) bucket.clear();
    m_mapDirInfo.clear();
    m_mapContinuation.clear();
    m_mapNeedAddDir.clear();
    m_u64RelationCount = 0;
    m_bOwnDbr = 0;
    m_uRootCluster = 2;
    m_bRootClusterFromBoot = false;
    m_lastPlacedContext = {};
    m_currentContext = {};

    const int result = OpenStore(kProFatLogPrefix, m_u64VolumeStartSector, pszLogName);
    const std::string folder = ScanFolder();
    m_spill.Open(folder);
    m_relationSpill.Open(folder);
    return result;
}

int CProfessionalFatRecovery::ReadSectors(unsigned char* p, int nSectors, uint64_t u64Sector) {
    unsigned int read = 0;
    const int result = m_diskReader.ReadData(p, nSectors, u64Sector, kSectorBytes, &read);
    if (result == 0 && read < static_cast<unsigned int>(nSectors)) return RESULT_SHORT_READ;
    return result;
}

// The volume's own boot sector, in 512-byte units. A FAT12/16 fixed root is as long as its
// entry count says (14 sectors on a floppy), not the 32 sectors a virtual boot sector assumes.
int CProfessionalFatRecovery::InitVirtualDbrInfo() {
    unsigned char boot[kBootAreaSectors * kSectorBytes];
    const int result = ReadSectors(boot, kBootAreaSectors, m_u64VolumeStartSector);
    if (result != 0) return result;
    if (!IsFat(boot, sizeof boot)) return 0;
    const uint32_t bps = LoadU16(boot + 0x0B);
    const uint32_t spc = boot[0x0D];
    if (bps < kSectorBytes || bps > 4096 || bps % kSectorBytes != 0 ||
        !IsAcceptedClusterSize(spc)) {
        DebugLog("CProfessionalFatRecovery: own boot sector unusable (%u bytes, %u per cluster)\n",
                 bps, spc);
        return 0;
    }
    const uint64_t scale = bps / kSectorBytes;
    const uint64_t reserved = LoadU16(boot + 0x0E);
    const uint64_t fats = boot[0x10];
    const uint64_t fat16Size = LoadU16(boot + 0x16);
    const uint64_t rootEntries = LoadU16(boot + 0x11);
    const bool fat32 =
        std::memcmp(boot + 0x52, "FAT32   ", 8) == 0 || (fat16Size == 0 && rootEntries == 0);
    const uint64_t rootSectors = fat32 ? 0 : (rootEntries * 32 + bps - 1) / bps;
    const uint64_t firstData =
        (reserved + fats * (fat32 ? LoadU32(boot + 0x24) : fat16Size) + rootSectors) * scale;
    if (firstData > UINT32_MAX) return 0;
    const __VIRTUAL_DBR_INFO__ own{static_cast<uint32_t>(spc * scale),
                                   static_cast<uint32_t>(firstData), m_u64VolumeStartSector};
    const int index = AddBootSector(own, fat32 ? kFixedRootSectors : rootSectors * scale);
    if (index < 0) return 0;
    m_bOwnDbr = index == 0 ? 1 : 0;
    m_uRootCluster = fat32 ? LoadU32(boot + 0x2C) : 0;
    m_bRootClusterFromBoot = true;
    return 0;
}

const __VIRTUAL_DBR_INFO__* CProfessionalFatRecovery::Dbr(int32_t nIndex) const {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_vecVirtualDbr.size()) return nullptr;
    return &m_vecVirtualDbr[static_cast<size_t>(nIndex)];
}

uint32_t CProfessionalFatRecovery::FixedRootSectors(int32_t nIndex) const {
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_vecFixedRootSectors.size()) {
        return kFixedRootSectors;
    }
    return m_vecFixedRootSectors[static_cast<size_t>(nIndex)];
}

// Cluster 0 names the FAT12/16 fixed root, just before the data area. UINT64_MAX for a
// cluster that has no sector (1, or the root of a volume that would start before sector 0).
uint64_t CProfessionalFatRecovery::ClusterSector(const __VIRTUAL_DBR_INFO__& d,
                                                 uint32_t uCluster) const {
    const uint64_t base = d.u64VolumeStartSector + d.uFirstDataSector;
    if (uCluster == 0) return base >= kFixedRootSectors ? base - kFixedRootSectors : UINT64_MAX;
    if (uCluster == 1 || d.uSectorsPerCluster == 0) return UINT64_MAX;
    return base + uint64_t{uCluster - 2} * d.uSectorsPerCluster;
}

bool CProfessionalFatRecovery::ClusterInVolume(const __VIRTUAL_DBR_INFO__& d,
                                               uint32_t uCluster) const {
    const uint64_t first = ClusterSector(d, uCluster);
    return first != UINT64_MAX && first < VolumeEndSector();
}

// Duplicates are not added: the first entry of a geometry is the one every lookup finds, so a
// second copy would only slow every lookup down.
int CProfessionalFatRecovery::AddBootSector(const __VIRTUAL_DBR_INFO__& d, uint64_t uRootSectors) {
    for (size_t i = 0; i < m_vecVirtualDbr.size(); ++i) {
        const __VIRTUAL_DBR_INFO__& e = m_vecVirtualDbr[i];
        if (e.uSectorsPerCluster == d.uSectorsPerCluster &&
            e.u64VolumeStartSector + e.uFirstDataSector ==
                d.u64VolumeStartSector + d.uFirstDataSector) {
            return static_cast<int>(i);
        }
    }
    if (m_vecVirtualDbr.size() >= kMaxBootSectors) {
        DebugLog("CProfessionalFatRecovery: boot-sector list full, geometry dropped\n");
        return -1;
    }
    m_vecVirtualDbr.push_back(d);
    m_vecDbrSupport.push_back(0);
    m_vecFixedRootSectors.push_back(static_cast<uint32_t>(std::min<uint64_t>(uRootSectors, 4096)));
    return static_cast<int>(m_vecVirtualDbr.size() - 1);
}

int CProfessionalFatRecovery::CalcVirtualDbr(uint32_t uClusterHigh, uint64_t u64SectorHigh,
                                             uint32_t uClusterLow, uint64_t u64SectorLow) {
    if (uClusterHigh <= uClusterLow || uClusterLow < 2 || u64SectorHigh <= u64SectorLow) return 0;
    const uint64_t clusters = uClusterHigh - uClusterLow;
    const uint64_t sectors = u64SectorHigh - u64SectorLow;
    if (sectors % clusters != 0) return 0;
    const uint64_t spc = sectors / clusters;
    if (!IsAcceptedClusterSize(spc)) return 0;
    const uint64_t below = uint64_t{uClusterLow - 2} * spc;
    if (below > u64SectorLow) return 0;  // the data area would start before sector 0
    const uint64_t base = u64SectorLow - below;
    // The data start is kept relative to the volume when it lies in it; a geometry of an
    // older, larger volume that started earlier keeps its own start instead.
    __VIRTUAL_DBR_INFO__ d{static_cast<uint32_t>(spc), 0, base};
    if (base >= m_u64VolumeStartSector && base - m_u64VolumeStartSector <= UINT32_MAX) {
        d.u64VolumeStartSector = m_u64VolumeStartSector;
        d.uFirstDataSector = static_cast<uint32_t>(base - m_u64VolumeStartSector);
    }
    return AddBootSector(d, kFixedRootSectors) >= 0 ? 1 : 0;
}

// Each observation is paired cluster with its own sector: clusters and their sectors rise
// together, so a pair in which the higher cluster lies lower proves nothing.
int CProfessionalFatRecovery::CalcVirtualDbrInfo(const __FAT_SECTOR_OFFSET__& o) {
    for (const __FAT_SECTOR_OFFSET__& e : m_vecSectorOffset) {
        const __FAT_SECTOR_OFFSET__& high = o.uClusterNO > e.uClusterNO ? o : e;
        const __FAT_SECTOR_OFFSET__& low = o.uClusterNO > e.uClusterNO ? e : o;
        if (CalcVirtualDbr(high.uClusterNO, high.u64Sector, low.uClusterNO, low.u64Sector)) {
            return 0;
        }
    }
    return 0;
}

int CProfessionalFatRecovery::GetVirtualDbrInfo(uint64_t u64Sector, uint32_t uCluster) const {
    int best = -1;
    for (size_t i = 0; i < m_vecVirtualDbr.size(); ++i) {
        if (ClusterSector(m_vecVirtualDbr[i], uCluster) != u64Sector) continue;
        if (best < 0 || m_vecDbrSupport[i] > m_vecDbrSupport[static_cast<size_t>(best)]) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

int CProfessionalFatRecovery::GetBestVirtalDbr(uint64_t u64Sector, bool bFallBackToFirst) const {
    if (m_vecVirtualDbr.empty()) return -1;
    if (m_vecVirtualDbr.size() == 1) return 0;
    int best = -1;
    uint64_t bestStart = 0;
    for (size_t i = m_bOwnDbr ? 1 : 0; i < m_vecVirtualDbr.size(); ++i) {
        const __VIRTUAL_DBR_INFO__& d = m_vecVirtualDbr[i];
        const uint64_t start = d.u64VolumeStartSector + d.uFirstDataSector;
        if (start > u64Sector || (best >= 0 && start <= bestStart)) continue;
        best = static_cast<int>(i);
        bestStart = start;
    }
    return best >= 0 || !bFallBackToFirst ? best : 0;
}

// A sector that no folder explains is placed where a boot sector puts the start of a cluster
// (or anywhere in a fixed root). Where several fit, the one that explains the most folders
// wins: on a reformatted volume the new boot sector explains none of the old folders.
bool CProfessionalFatRecovery::FitDbr(uint64_t u64Sector, int32_t& nDbr, uint32_t& uCluster) const {
    nDbr = -1;
    for (size_t i = 0; i < m_vecVirtualDbr.size(); ++i) {
        const __VIRTUAL_DBR_INFO__& d = m_vecVirtualDbr[i];
        const uint64_t base = d.u64VolumeStartSector + d.uFirstDataSector;
        uint64_t cluster = 0;
        if (u64Sector >= base) {
            const uint64_t off = u64Sector - base;
            if (off % d.uSectorsPerCluster != 0) continue;
            cluster = off / d.uSectorsPerCluster + 2;
            if (cluster > UINT32_MAX) continue;
        } else {
            const bool ownFat32 = i == 0 && m_bOwnDbr && m_uRootCluster != 0;
            const uint32_t rootSectors = FixedRootSectors(static_cast<int32_t>(i));
            if (ownFat32 || base < rootSectors || u64Sector < base - rootSectors) continue;
        }
        if (nDbr >= 0 && m_vecDbrSupport[i] <= m_vecDbrSupport[static_cast<size_t>(nDbr)]) continue;
        nDbr = static_cast<int32_t>(i);
        uCluster = static_cast<uint32_t>(cluster);
    }
    return nDbr >= 0;
}

CProfessionalFatRecovery::PlacementContext CProfessionalFatRecovery::MakeContext(
    const RunPlace& place) const {
    PlacementContext ctx;
    const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex);
    if (d == nullptr) return ctx;
    if (place.uCluster == 0) {
        const uint64_t base = d->u64VolumeStartSector + d->uFirstDataSector;
        const uint32_t rootSectors = FixedRootSectors(place.nDbrIndex);
        if (base < rootSectors) return ctx;
        ctx.u64FirstSector = base - rootSectors;
        ctx.u64SectorCount = rootSectors;
    } else {
        ctx.u64FirstSector = ClusterSector(*d, place.uCluster);
        if (ctx.u64FirstSector == UINT64_MAX) return ctx;
        ctx.u64SectorCount = d->uSectorsPerCluster;
    }
    ctx.nDbrIndex = place.nDbrIndex;
    ctx.uCluster = place.uCluster;
    ctx.uFolder = place.uFolder;
    ctx.bFolderGuessed = place.bFolderGuessed;
    return ctx;
}

CProfessionalFatRecovery::RunPlace CProfessionalFatRecovery::PlaceFromContext(
    const PlacementContext& ctx, uint64_t u64Sector) const {
    RunPlace place;
    place.nDbrIndex = ctx.nDbrIndex;
    place.uCluster = ctx.uCluster;
    place.uFolder = ctx.uFolder;
    place.bFolderGuessed = ctx.bFolderGuessed;
    place.u64Anchor = u64Sector;
    return place;
}

int CProfessionalFatRecovery::ParseFatFileRecord(const unsigned char* pSector, uint64_t u64Sector) {
    if (pSector == nullptr) return 0;
    const uint32_t cluster = EntryCluster(pSector);
    if (cluster < 2) {
        DebugLog("CProfessionalFatRecovery: folder sector %llu names cluster %u, skipped\n",
                 static_cast<unsigned long long>(u64Sector), cluster);
        return 0;
    }
    int dbr = GetVirtualDbrInfo(u64Sector, cluster);
    if (dbr < 0) {
        const __FAT_SECTOR_OFFSET__ observation{cluster, u64Sector};
        CalcVirtualDbrInfo(observation);
        if (m_vecSectorOffset.size() < kMaxObservations) m_vecSectorOffset.push_back(observation);
        dbr = GetVirtualDbrInfo(u64Sector, cluster);
    }
    if (dbr >= 0) ++m_vecDbrSupport[static_cast<size_t>(dbr)];
    __DIR_ENTRY_RUN__ run;
    run.Append(pSector, kEntriesPerSector, u64Sector);
    RunPlace place;
    place.nDbrIndex = dbr;
    place.uCluster = cluster;
    place.uFolder = cluster;
    place.u64Anchor = u64Sector;
    place = ParseFatFDTRecord(run, place, FolderKnown::kYes);
    // The folder's other sectors follow; without a geometry nobody knows how many there are.
    m_currentContext = MakeContext(place);
    return 0;
}

int CProfessionalFatRecovery::ParseFDTFileRecord(const unsigned char* pSector, uint64_t u64Sector) {
    if (pSector == nullptr) return 0;
    __DIR_ENTRY_RUN__ joined;
    RunPlace place;
    if (GetParentDirCluster(pSector, u64Sector, joined, place)) {
        ParseJoinedRun(joined, place, m_currentContext);
        return 0;
    }
    if (m_currentContext.Covers(u64Sector)) {
        __DIR_ENTRY_RUN__ run;
        run.Append(pSector, kEntriesPerSector, u64Sector);
        const RunPlace from = PlaceFromContext(m_currentContext, u64Sector);
        const RunPlace placed = ParseFatFDTRecord(run, from, KnownOf(from));
        m_currentContext.uFolder = placed.uFolder;
        m_currentContext.bFolderGuessed = placed.bFolderGuessed;
        return 0;
    }
    // The head of its first name lies in another sector: parsed now, the name would come out
    // cut. It waits for that sector (or for the end of the pass).
    if (StartsInsideLongName(pSector)) {
        AddUnDealFileMap(pSector, u64Sector);
        return 0;
    }
    return DoParseFileOrAddUndelFileMap(pSector, u64Sector);
}

int CProfessionalFatRecovery::DoParseFileOrAddUndelFileMap(const unsigned char* pSector,
                                                           uint64_t u64Sector) {
    RunPlace place;
    if (!FitDbr(u64Sector, place.nDbrIndex, place.uCluster)) {
        AddUnDealFileMap(pSector, u64Sector);
        return 0;
    }
    __DIR_ENTRY_RUN__ run;
    run.Append(pSector, kEntriesPerSector, u64Sector);
    place.uFolder = place.uCluster;
    place.u64Anchor = u64Sector;
    m_currentContext = MakeContext(ParseFatFDTRecord(run, place, FolderKnown::kNo));
    return 0;
}

void CProfessionalFatRecovery::AddUnDealFileMap(const unsigned char* pSector, uint64_t u64Sector) {
    const uint64_t offset = m_spill.Append(pSector, kSectorBytes);
    if (offset == UINT64_MAX) {
        DebugLog("CProfessionalFatRecovery: sector %llu could not be kept, skipped\n",
                 static_cast<unsigned long long>(u64Sector));
        return;
    }
    const EntryKey key = KeyOfEntry(pSector);
    const __UNDEAL_FILE__ entry{u64Sector, offset, 0, key.uKind, key.uCheckSum, key.uFirstByte};
    auto it =
        std::lower_bound(m_vecUnDeal.begin(), m_vecUnDeal.end(), u64Sector,
                         [](const __UNDEAL_FILE__& e, uint64_t s) { return e.u64Sector < s; });
    if (it != m_vecUnDeal.end() && it->u64Sector == u64Sector) {
        *it = entry;  // handed over again: the newer copy counts
    } else {
        m_vecUnDeal.insert(it, entry);
    }
    if (key.uKind == kEntryLongName || key.uKind == kEntryLiveShort) {
        std::vector<uint64_t>& bucket = m_unDealByCheckSum[key.uCheckSum];
        auto at = std::lower_bound(bucket.begin(), bucket.end(), u64Sector);
        if (at == bucket.end() || *at != u64Sector) bucket.insert(at, u64Sector);
    }
}

__UNDEAL_FILE__* CProfessionalFatRecovery::FindUnDeal(uint64_t u64Sector) {
    auto it =
        std::lower_bound(m_vecUnDeal.begin(), m_vecUnDeal.end(), u64Sector,
                         [](const __UNDEAL_FILE__& e, uint64_t s) { return e.u64Sector < s; });
    return it != m_vecUnDeal.end() && it->u64Sector == u64Sector ? &*it : nullptr;
}

// Deletion marks every entry of a file, so a chain and its continuation are either all live or
// all deleted. A live chain also says by its ordinals which piece must come next.
bool CProfessionalFatRecovery::ContinuesChain(const __LONG_FILE_INFO__& pending,
                                              const EntryKey& key, uint64_t u64Sector,
                                              const unsigned char* pFirst) const {
    switch (key.uKind) {
        case kEntryLongName: {
            if (key.uCheckSum != pending.uCheckSum) return false;
            const bool live = key.uFirstByte != FAT_ENTRY_DELETED;
            if (live != pending.bLastLive) return false;
            if (!live) return true;
            if (key.uFirstByte & 0x40) return false;  // that piece starts a name of its own
            return (key.uFirstByte & 0x1F) + 1 == pending.uLastOrdinal;
        }
        case kEntryLiveShort:
            return key.uCheckSum == pending.uCheckSum && pending.bLastLive &&
                   pending.uLastOrdinal == 1;
        case kEntryDeletedShort:
            // Any checksum can be met by some first byte, so only the very next sector may
            // hold the short entry of a deleted chain.
            return pFirst != nullptr && !pending.bLastLive && pending.run.uCount > 0 &&
                   u64Sector == pending.u64LastSector + 1 &&
                   DeletedShortNameFits(pFirst, pending.uCheckSum,
                                        FirstUsableUnit(pending.run.Entry(pending.run.uCount - 1)));
        default:
            return false;
    }
}

bool CProfessionalFatRecovery::GetParentDirCluster(const unsigned char* pSector, uint64_t u64Sector,
                                                   __DIR_ENTRY_RUN__& joined, RunPlace& place) {
    const EntryKey key = KeyOfEntry(pSector);
    for (auto it = m_vecLongFileInfo.begin(); it != m_vecLongFileInfo.end(); ++it) {
        if (!ContinuesChain(*it, key, u64Sector, pSector)) continue;
        joined = it->run;
        joined.Append(pSector, kEntriesPerSector, u64Sector);
        place = PlaceOfPending(*it);
        m_vecLongFileInfo.erase(it);
        return true;
    }
    return false;
}

CProfessionalFatRecovery::RunPlace CProfessionalFatRecovery::PlaceOfPending(
    const __LONG_FILE_INFO__& pending) const {
    RunPlace place;
    place.nDbrIndex = pending.nDbrIndex;
    place.uCluster = pending.uCluster;
    place.uFolder = pending.uFolderCluster;
    place.bFolderGuessed = pending.bFolderGuessed;
    place.u64Anchor = pending.u64Sector;
    return place;
}

bool CProfessionalFatRecovery::ClusterOfSector(int32_t nDbr, uint64_t u64Sector,
                                               uint32_t& uCluster) const {
    const __VIRTUAL_DBR_INFO__* d = Dbr(nDbr);
    if (d == nullptr) return false;
    const uint64_t base = d->u64VolumeStartSector + d->uFirstDataSector;
    if (u64Sector < base) return false;
    const uint64_t cluster = (u64Sector - base) / d->uSectorsPerCluster + 2;
    if (cluster > UINT32_MAX) return false;
    uCluster = static_cast<uint32_t>(cluster);
    return true;
}

// A chain that runs out of one cluster goes on at the start of the folder's next cluster, so
// a continuation sector that starts its cluster ties that cluster to the chain's folder.
void CProfessionalFatRecovery::LearnContinuationAt(const RunPlace& place, uint64_t u64Sector) {
    uint32_t cluster = 0;
    const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex);
    if (d == nullptr || !ClusterOfSector(place.nDbrIndex, u64Sector, cluster)) return;
    if (cluster != place.uCluster && ClusterSector(*d, cluster) == u64Sector) {
        LearnContinuation(cluster, place.uFolder);
    }
}

// The sector that continued a chain belongs to the chain's folder, and so do the sectors after
// it in its cluster.
void CProfessionalFatRecovery::ParseJoinedRun(const __DIR_ENTRY_RUN__& joined,
                                              const RunPlace& place, PlacementContext& context) {
    const uint64_t sector = joined.u64EntrySector[joined.uCount - 1];
    const RunPlace placed = ParseFatFDTRecord(joined, place, KnownOf(place));
    LearnContinuationAt(placed, sector);
    RunPlace next = placed;
    if (!ClusterOfSector(placed.nDbrIndex, sector, next.uCluster)) return;
    context = MakeContext(next);
}

// Parses a run, then joins every long name it leaves open with the waiting sector that
// continues it; a chain nobody continues yet waits in the pending list.
CProfessionalFatRecovery::RunPlace CProfessionalFatRecovery::ParseFatFDTRecord(
    const __DIR_ENTRY_RUN__& run, RunPlace place, FolderKnown known) {
    if (place.nDbrIndex < 0) place.nDbrIndex = GetVirtualDbrInfo(place.u64Anchor, place.uCluster);
    if (place.nDbrIndex >= 0) UpdateNoDbrFileVec();
    __LONG_FILE_INFO__ pending;
    bool open = DealProfessionalFatFileEntry(run, place, known, pending);
    for (int round = 0; open && round < kMaxJoinRounds; ++round) {
        __UNDEAL_FILE__* next = FindUnDealContinuation(pending);
        unsigned char copy[kSectorBytes];
        if (next == nullptr || !m_spill.Read(next->u64SpillOffset, copy, sizeof copy)) break;
        next->bDealt = 1;
        const uint64_t sector = next->u64Sector;
        __DIR_ENTRY_RUN__ joined = pending.run;
        joined.Append(copy, kEntriesPerSector, sector);
        RunPlace joinedPlace = PlaceOfPending(pending);
        open = DealProfessionalFatFileEntry(joined, joinedPlace, KnownOf(joinedPlace), pending);
        LearnContinuationAt(joinedPlace, sector);
    }
    if (open) KeepPendingLongName(pending);
    return place;
}

__UNDEAL_FILE__* CProfessionalFatRecovery::FindUnDealContinuation(
    const __LONG_FILE_INFO__& pending) {
    __UNDEAL_FILE__* found = nullptr;
    for (const uint64_t sector : m_unDealByCheckSum[pending.uCheckSum]) {
        __UNDEAL_FILE__* e = FindUnDeal(sector);
        if (e == nullptr || e->bDealt) continue;
        const EntryKey key{e->uFirstKind, e->uCheckSum, e->uOrdinal};
        if (ContinuesChain(pending, key, sector, nullptr)) {
            found = e;
            break;
        }
    }
    __UNDEAL_FILE__* adjacent = FindUnDeal(pending.u64LastSector + 1);
    if (adjacent != nullptr && !adjacent->bDealt && adjacent->uFirstKind == kEntryDeletedShort &&
        (found == nullptr || adjacent->u64Sector < found->u64Sector)) {
        unsigned char first[kFatEntrySize];
        const EntryKey key{adjacent->uFirstKind, adjacent->uCheckSum, adjacent->uOrdinal};
        if (m_spill.Read(adjacent->u64SpillOffset, first, sizeof first) &&
            ContinuesChain(pending, key, adjacent->u64Sector, first)) {
            found = adjacent;
        }
    }
    return found;
}

// The list is capped: a chain is continued by a sector of its own folder, which the ascending
// pass reaches soon, so the oldest open chains are the least likely ever to be continued.
void CProfessionalFatRecovery::KeepPendingLongName(const __LONG_FILE_INFO__& pending) {
    if (m_vecLongFileInfo.size() >= kMaxPendingLongNames) {
        DebugLog("CProfessionalFatRecovery: open long name of sector %llu dropped\n",
                 static_cast<unsigned long long>(m_vecLongFileInfo.front().u64LastSector));
        m_vecLongFileInfo.erase(m_vecLongFileInfo.begin());
    }
    m_vecLongFileInfo.push_back(pending);
}

void CProfessionalFatRecovery::LearnContinuation(uint32_t uCluster, uint32_t uFolder) {
    if (uCluster < 2 || uCluster == uFolder) return;
    m_mapContinuation.emplace(uCluster, uFolder);
}

// ".." names cluster 0 for a folder directly under the root; a FAT32 root cluster that a
// real boot sector names is the root too.
uint32_t CProfessionalFatRecovery::NormaliseParent(uint32_t uDotDot) const {
    if (uDotDot < 2) return kRootFolder;
    if (m_bRootClusterFromBoot && uDotDot == m_uRootCluster) return kRootFolder;
    return uDotDot;
}
