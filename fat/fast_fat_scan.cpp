// The quick FAT scan: geometry, the FAT window and the walk of the directory tree.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "carving/file_type_judge.h"
#include "fat/fast_fat_recovery.h"
#include "fat/fat_entry.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/recognisers.h"
#include "foundation/scan_options.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr size_t kBootAreaBytes = 4096;
constexpr size_t kSector = 512;
constexpr size_t kBackupBootSector = 6;  // where FAT32 keeps a copy of its boot sector
constexpr uint32_t kFat12MaxClusters = 4085;
constexpr unsigned int kReportIntervalMs = 5000;
// 20 pieces of 13 units hold the longest name a FAT folder can carry (255 units).
constexpr int kLongNameUnits = 20 * 13;
constexpr uint16_t kMaxHighWordTrials = 256;
// The scan's own mark in the low byte of a folder's uReserved: the folder lies in a deleted
// subtree. Other bits of the field (kPresentEntryMark) say nothing about that.
constexpr uint32_t kUnderDeletionMark = 1;
constexpr uint32_t kOwnMarks = 0xFF;

bool IsUnderDeletion(const _FILE_NODE_& folder) {
    return (folder.uReserved & kOwnMarks) != 0;
}

bool OpensWithDotPair(const unsigned char* p, size_t len) {
    return len >= 64 && (p[0x0B] & FAT_ATTR_DIRECTORY) && p[0] == '.' && p[1] == ' ' &&
           p[32] == '.' && p[33] == '.';
}

}  // namespace

// The long name being assembled from the pieces that precede a short entry. Pieces are laid
// right to left in the order they are stored, so the name reads in order and ends at its
// first zero unit.
struct CFastFatRecovery::LongNameState {
    char16_t units[kLongNameUnits + 1] = {};
    int position = kLongNameUnits;
    bool active = false;

    void Reset() {
        position = kLongNameUnits;
        active = false;
    }
    // A name with more pieces than a FAT name can have is garbage: it is dropped, and the
    // folder's walk goes on with the entries after it.
    void AddPiece(const unsigned char* e) {
        if (position < 13) {
            Reset();
            return;
        }
        position -= 13;
        static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int i = 0; i < 13; ++i) units[position + i] = LoadU16(e + kOffsets[i]);
        active = true;
    }
    std::string Take() {
        units[kLongNameUnits] = u'\0';
        char name[256];
        inner_uni2str(name, units + position, sizeof name, -1);
        Reset();
        return name;
    }
};

CFastFatRecovery::CFastFatRecovery() : m_bootArea(kBootAreaBytes, 0) {}

CFastFatRecovery::~CFastFatRecovery() {
    if (m_nDevice != -1) close(m_nDevice);
}

int CFastFatRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                           char16_t wcDriveLetter) {
    if (m_nDevice != -1) return 0;
    const int fd = OpenDiskReadOnly(nDisk);
    if (fd < 0) return errno;
    m_nDevice = fd;
    m_u64VolumeStartSector = static_cast<uint64_t>(llStartSector);
    m_u64VolumeSectorCount = static_cast<uint64_t>(llSectorCount);
    m_wcDriveLetter = wcDriveLetter;
    const int readResult = ReadBootArea();
    if (readResult != 0) return readResult;
    ComputeGeometry();
    const int result = m_diskReader.Init(nDisk, m_u64VolumeStartSector + m_u64VolumeSectorCount);
    LoadFatWindow(0);
    return result;
}

// An image named by path is bound like a disk: the volume is the whole file.
int CFastFatRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (m_nDevice != -1) return 0;
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    const int fd = OpenDeviceReadOnly(WideToUtf8(pszDevicePath).c_str());
    if (fd < 0) return errno;
    m_nDevice = fd;
    m_u64VolumeStartSector = 0;
    m_u64VolumeSectorCount = GetDeviceSizeBytes(fd) / 512;
    m_wcDriveLetter = wcDriveLetter;
    const int readResult = ReadBootArea();
    if (readResult != 0) return readResult;
    ComputeGeometry();
    const int result = m_diskReader.Init(pszDevicePath, m_u64VolumeSectorCount);
    LoadFatWindow(0);
    return result;
}

int CFastFatRecovery::ReadBootArea() {
    const off_t offset = static_cast<off_t>(m_u64VolumeStartSector * 512);
    ssize_t got;
    do {
        got = pread(m_nDevice, m_bootArea.data(), kBootAreaBytes, offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    if (static_cast<size_t>(got) < kBootAreaBytes) return RESULT_SHORT_READ;
    // A FAT32 volume keeps a copy of its boot sector in sector 6: when the first fails its
    // checks and the copy passes them, the volume is read through the copy.
    unsigned char* area = m_bootArea.data();
    if (!IsFat(area, kSector) && IsFat(area + kBackupBootSector * kSector, kSector)) {
        DebugLog("CFastFatRecovery: the boot sector is damaged; reading its copy in sector 6\n");
        std::memcpy(area, area + kBackupBootSector * kSector, kSector);
        ++m_uDamageSeen;
    }
    return 0;
}

void CFastFatRecovery::ComputeGeometry() {
    const unsigned char* b = m_bootArea.data();
    const uint32_t bps = LoadU16(b + 0x0B);
    m_uBytesPerSector = (bps >= 512 && bps <= 4096 && bps % 512 == 0) ? bps : 512;
    m_uSectorsPerCluster = b[0x0D] != 0 ? b[0x0D] : 1;
    const uint32_t reserved = LoadU16(b + 0x0E);
    const uint32_t fats = b[0x10];
    const uint32_t fat16Size = LoadU16(b + 0x16);
    const bool fat32 =
        std::memcmp(b + 0x52, "FAT32   ", 8) == 0 || (fat16Size == 0 && LoadU16(b + 0x11) == 0);
    m_uIsFat32 = fat32 ? 1 : 0;
    m_uFatSectors = fat32 ? LoadU32(b + 0x24) : fat16Size;
    // The fixed root of FAT12/16 is as long as its entry count says: 14 sectors on a floppy,
    // 32 on a hard-disk FAT16. Assuming 32 everywhere would misplace every cluster of a floppy.
    m_uRootDirSectors =
        fat32 ? 0 : (LoadU16(b + 0x11) * 32u + m_uBytesPerSector - 1) / m_uBytesPerSector;
    m_uRootCluster = fat32 ? LoadU32(b + 0x2C) : 0;
    m_uFirstDataSector = reserved + fats * m_uFatSectors + m_uRootDirSectors;
    m_u64FatStartSector = m_u64VolumeStartSector + reserved;

    uint64_t total = LoadU32(b + 0x20) != 0 ? LoadU32(b + 0x20) : LoadU16(b + 0x13);
    const uint64_t volumeSectors = m_u64VolumeSectorCount * 512 / m_uBytesPerSector;
    if (volumeSectors != 0) {
        total = std::min(total, volumeSectors);
        // Only the part of the FAT that lies on the volume can be read.
        const uint64_t room = volumeSectors > reserved ? volumeSectors - reserved : 0;
        m_uFatSectors = static_cast<uint32_t>(std::min<uint64_t>(m_uFatSectors, room));
    }
    uint64_t clusters =
        total > m_uFirstDataSector ? (total - m_uFirstDataSector) / m_uSectorsPerCluster : 0;
    m_nFatType = fat32 ? kFatType32 : (clusters < kFat12MaxClusters ? kFatType12 : kFatType16);
    // A cluster the FAT has no entry for cannot be part of any chain.
    const uint64_t fatBytes = uint64_t{m_uFatSectors} * m_uBytesPerSector;
    const uint64_t entries = m_nFatType == kFatType12   ? fatBytes * 2 / 3
                             : m_nFatType == kFatType16 ? fatBytes / 2
                                                        : fatBytes / 4;
    clusters = std::min(clusters, entries > 2 ? entries - 2 : 0);
    m_uClusterCount = static_cast<uint32_t>(std::min<uint64_t>(clusters, 0x0FFFFFF5));
}

// The window never reaches past the FAT, so a small volume (a floppy) still gets its whole
// FAT rather than a refused read and a window of zeros, and costs no more memory than its FAT.
int CFastFatRecovery::LoadFatWindow(uint32_t uFatSector) {
    const uint64_t fatBytes = uint64_t{m_uFatSectors} * m_uBytesPerSector;
    const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(kFatWindowBytes, fatBytes));
    m_uFatWindowBytes = 0;
    if (capacity == 0 || uFatSector >= m_uFatSectors) return RESULT_INVALID_ARGUMENT;
    if (!m_pFatWindow) m_pFatWindow.reset(new (std::nothrow) unsigned char[capacity]);
    if (!m_pFatWindow) return RESULT_OUT_OF_MEMORY;
    const uint32_t sectors = std::min(capacity / m_uBytesPerSector, m_uFatSectors - uFatSector);
    unsigned int read = 0;
    const int result = m_diskReader.ReadData(m_pFatWindow.get(), static_cast<int>(sectors),
                                             m_u64FatStartSector + uFatSector,
                                             static_cast<int>(m_uBytesPerSector), &read);
    m_uFatWindowFirstSector = uFatSector;
    m_uFatWindowBytes = read * m_uBytesPerSector;
    if (read == 0) return result != 0 ? result : RESULT_SHORT_READ;
    return 0;
}

int CFastFatRecovery::GetNextClusterNO(uint32_t uCluster, uint32_t& uNext) {
    if (!m_pFatWindow)
        return RESULT_INVALID_ARGUMENT;  // no FAT could be read: no chain can be followed
    const uint64_t offset = m_nFatType == kFatType32   ? uint64_t{uCluster} * 4
                            : m_nFatType == kFatType16 ? uint64_t{uCluster} * 2
                                                       : uint64_t{uCluster} + uCluster / 2;
    const uint32_t width = m_nFatType == kFatType32 ? 4 : 2;
    if (offset + width > uint64_t{m_uFatSectors} * m_uBytesPerSector) return RESULT_OUTSIDE_VOLUME;
    const uint64_t windowStart = uint64_t{m_uFatWindowFirstSector} * m_uBytesPerSector;
    if (offset < windowStart || offset + width > windowStart + m_uFatWindowBytes) {
        const int result = LoadFatWindow(static_cast<uint32_t>(offset / m_uBytesPerSector));
        if (result != 0) return result;
    }
    const unsigned char* p =
        m_pFatWindow.get() + (offset - uint64_t{m_uFatWindowFirstSector} * m_uBytesPerSector);
    if (m_nFatType == kFatType32) {
        uNext = LoadU32(p);
    } else if (m_nFatType == kFatType16) {
        uNext = LoadU16(p);
    } else {
        const uint16_t raw = LoadU16(p);
        uint32_t entry = (uCluster & 1) ? raw >> 4 : raw & 0x0FFF;
        if (entry >= 0x0FF7) entry |= 0xF000;
        uNext = entry;
    }
    return 0;
}

bool CFastFatRecovery::IsEndOfChain(uint32_t uEntry) const {
    return m_nFatType == kFatType32 ? (uEntry & 0x0FFFFFFF) >= 0x0FFFFFF8
                                    : (uEntry & 0xFFFF) >= 0xFFF8;
}

// Counts damage; the first few of each scan are logged, the rest only counted.
void CFastFatRecovery::NoteDamage(const char* pszWhat, uint32_t uCluster) {
    if (m_uDamageSeen++ < 8) DebugLog(pszWhat, uCluster);
}

bool CFastFatRecovery::IsDamagedEntry(uint32_t uEntry) const {
    const uint32_t value = m_nFatType == kFatType32 ? uEntry & 0x0FFFFFFF : uEntry & 0xFFFF;
    const uint32_t firstReserved = m_nFatType == kFatType32 ? 0x0FFFFFF0 : 0xFFF0;
    return value != 0 && value < firstReserved && !IsDataCluster(value);
}

bool CFastFatRecovery::IsDataCluster(uint32_t uCluster) const {
    return uCluster >= 2 && uint64_t{uCluster} < uint64_t{m_uClusterCount} + 2;
}

uint64_t CFastFatRecovery::ClusterSector(uint32_t uCluster) const {
    if (uCluster == 0 && m_uIsFat32 == 0) {
        return m_u64VolumeStartSector + m_uFirstDataSector - m_uRootDirSectors;
    }
    return m_u64VolumeStartSector + m_uFirstDataSector +
           uint64_t{uCluster - 2} * m_uSectorsPerCluster;
}

int CFastFatRecovery::FindNextClusterNO(uint32_t uCluster, uint32_t& uNext) {
    uint32_t entry = 0;
    uNext = 0;
    const int result = GetNextClusterNO(uCluster, entry);
    if (result != 0) return result;
    if (m_nFatType != kFatType32) entry &= 0xFFFF;
    if (entry != 0) {
        if (!IsEndOfChain(entry) && IsDataCluster(entry & 0x0FFFFFFF)) uNext = entry & 0x0FFFFFFF;
        return 0;
    }
    uint32_t following = 0;
    if (GetNextClusterNO(uCluster + 1, following) == 0 && following == 0 &&
        IsDataCluster(uCluster + 1)) {
        uNext = uCluster + 1;
    }
    return 0;
}

uint32_t CFastFatRecovery::FollowChain(uint32_t uCluster) {
    uint32_t entry = 0;
    // The records are deleted files, whose chains the file system released; on a damaged FAT
    // the entries left there point into other data, so such a file is taken as contiguous.
    if (!m_bFatDamaged && GetNextClusterNO(uCluster, entry) == 0) {
        if (m_nFatType != kFatType32) entry &= 0xFFFF;
        const uint32_t next = entry & 0x0FFFFFFF;
        if (entry != 0 && !IsEndOfChain(entry) && next != uCluster && IsDataCluster(next)) {
            return next;
        }
    }
    return IsDataCluster(uCluster + 1) ? uCluster + 1 : 0;
}

int CFastFatRecovery::ScanDevice(const char16_t* pszLogName) {
    m_folderMap.clear();
    m_folderLevels.clear();
    m_publishList.clear();
    m_published.clear();
    m_walkedFolders.clear();
    m_folderQueue.clear();
    m_bListPresent = ListPresentFiles();
    // Without a store nothing found could be kept: report that rather than an empty success.
    const int storeResult = OpenStore(kFastLogPrefix, m_u64VolumeStartSector, pszLogName);
    if (pszLogName != nullptr || storeResult != RESULT_OK) return storeResult;

    m_folderQueue.push_back(m_uRootCluster);
    m_folderLevels[m_uRootCluster] = 0;
    unsigned int lastTick = rsb_getTickCount();
    int result = 0;
    m_nProgressStep = 0;
    result = ReportScan(1, -1);
    const int walkResult = WalkFolders(lastTick);
    if (walkResult != 0) result = walkResult;
    if (result == 0) result = ReportScan(80, 10);
    // Folders are published even after a cancel, so that the files found so far browse
    // under the folders they were deleted from.
    PublishFolders();
    m_pStore->FlushBufToFile();
    if (result == 0) result = ReportScan(100, 0);
    return result;
}

int CFastFatRecovery::WalkFolders(unsigned int& uLastTick) {
    int result = 0;
    bool reportTicks = true;
    while (!m_folderQueue.empty()) {
        const uint32_t cluster = m_folderQueue.front();
        m_folderQueue.pop_front();
        if (!m_walkedFolders.insert(cluster).second) continue;
        InitDirInfo(cluster);
        const unsigned int now = rsb_getTickCount();
        if (!reportTicks ||
            static_cast<int>(now - uLastTick) < static_cast<int>(kReportIntervalMs)) {
            continue;
        }
        ++m_nProgressStep;
        if (m_scanCallback != nullptr && m_nWeight == 100) {
            result = ReportScan(1 + m_nProgressStep, 100 - m_nProgressStep);
        } else if (m_scanCallback != nullptr && m_nWeight == 9) {
            result = ReportScan(20 + m_nProgressStep, -1);
        } else if (m_scanCallback != nullptr) {
            reportTicks = false;  // other weights get no periodic reports
        }
        if (result != 0) break;
        uLastTick = now;
    }
    return result;
}

int CFastFatRecovery::ReadFolderBuffer(uint32_t uCluster, bool bFixedRoot,
                                       std::vector<unsigned char>& buf) {
    const uint32_t sectors = bFixedRoot ? m_uRootDirSectors : m_uSectorsPerCluster;
    buf.assign(size_t{sectors} * m_uBytesPerSector, 0);
    unsigned int read = 0;
    const int result =
        m_diskReader.ReadData(buf.data(), static_cast<int>(sectors), ClusterSector(uCluster),
                              static_cast<int>(m_uBytesPerSector), &read);
    if (result == 0 && read == 0) return RESULT_SHORT_READ;
    return result;
}

int CFastFatRecovery::ReadRootFolderStart(std::vector<unsigned char>& buf) {
    buf.clear();
    const bool fixedRoot = m_uIsFat32 == 0;
    if (!fixedRoot && !IsDataCluster(m_uRootCluster)) return RESULT_OUTSIDE_VOLUME;
    return ReadFolderBuffer(fixedRoot ? 0 : m_uRootCluster, fixedRoot, buf);
}

int CFastFatRecovery::InitDirInfo(uint32_t uCluster) {
    m_pendingShortNames.clear();
    m_siblings.Clear();
    const int result = WalkFolder(uCluster);
    RecordPendingShortNames();
    return result;
}

void CFastFatRecovery::RecordPendingShortNames() {
    for (const PendingShortName& pending : m_pendingShortNames) {
        RecordFile(pending.entry.data(), m_siblings.NameOf(pending.entry.data()), pending.u64Sector,
                   pending.uFolder, false);
    }
    m_pendingShortNames.clear();
    m_siblings.Clear();
}

int CFastFatRecovery::WalkFolder(uint32_t uCluster) {
    const bool fixedRoot = m_uIsFat32 == 0 && uCluster == 0;
    if (!fixedRoot && !IsDataCluster(uCluster)) return RESULT_OUTSIDE_VOLUME;
    const auto mapped = m_folderMap.find(uCluster);
    const bool isMapped = mapped != m_folderMap.end() && mapped->second.bIsDir != 0;
    const bool underDeletion = isMapped && IsUnderDeletion(mapped->second);

    LongNameState lfn;
    std::vector<unsigned char> buf;
    std::set<uint32_t> visited;  // a FAT with a loop must not keep the walk in one folder
    uint32_t current = uCluster;
    uint32_t currentFolder = uCluster;
    bool guessed = false;  // the cluster was taken as contiguous, not read from the FAT
    int result = 0;
    for (bool first = true;; first = false) {
        visited.insert(current);
        result = ReadFolderBuffer(current, fixedRoot, buf);
        if (result != 0) {
            if (!underDeletion) NoteDamage("folder at cluster %u cannot be read\n", current);
            return result;
        }
        if (isMapped && current != m_uRootCluster) {
            // A folder opens with its dot pair. A cluster taken on trust because the FAT no
            // longer says where the folder goes on must at least hold directory entries.
            if (first && !OpensWithDotPair(buf.data(), buf.size())) {
                if (!underDeletion) NoteDamage("folder at cluster %u lost its dot pair\n", current);
                break;
            }
            if (!first && guessed &&
                !IsFatFDTRecord(buf.data(), static_cast<int>(m_uBytesPerSector)))
                break;
        }
        if (!ParseFolderBuffer(buf, ClusterSector(current), currentFolder, underDeletion, lfn) ||
            fixedRoot) {
            break;
        }
        uint32_t entry = 0;
        result = GetNextClusterNO(current, entry);
        if (result != 0) break;
        if (m_nFatType != kFatType32) entry &= 0xFFFF;
        uint32_t next = entry & 0x0FFFFFFF;
        guessed = entry == 0;
        if (entry == 0) {
            uint32_t following = 1;
            if (GetNextClusterNO(current + 1, following) != 0 || following != 0) break;
            next = current + 1;
        } else if (IsEndOfChain(entry)) {
            break;
        }
        if (!IsDataCluster(next) || visited.count(next) != 0) break;
        current = next;
    }
    return result;
}

bool CFastFatRecovery::ParseFolderBuffer(const std::vector<unsigned char>& buf,
                                         uint64_t u64FirstSector, uint32_t& uCurrentFolder,
                                         bool bUnderDeletion, LongNameState& lfn) {
    for (size_t offset = 0; offset + kFatEntrySize <= buf.size(); offset += kFatEntrySize) {
        const unsigned char* e = buf.data() + offset;
        const uint64_t entrySector = u64FirstSector + offset / m_uBytesPerSector;
        if (e[0] == 0x00) return false;
        // Inside a deleted folder whose clusters may have been reused, entries are held to the
        // test for entries found anywhere.
        const size_t left = buf.size() - offset;
        if (bUnderDeletion ? !IsFatEntyValid(e, left) : !IsFatEntryValidInFolder(e, left)) {
            // A broken entry also breaks the long name it may have belonged to. In a live
            // folder it means damage; a deleted folder's clusters may simply have been reused.
            // The ".." entry is refused by the entry test and is no damage.
            if (!bUnderDeletion && e[0] != '.') {
                NoteDamage("broken entry in folder %u\n", uCurrentFolder);
            }
            lfn.Reset();
            continue;
        }
        const uint8_t attr = e[0x0B];
        if (attr == FAT_ATTR_LONG_NAME) {
            lfn.AddPiece(e);
            continue;
        }
        const bool isFolder = (attr & FAT_ATTR_DIRECTORY) != 0;
        const bool longName = lfn.active;
        const std::string name = longName ? lfn.Take() : ShortEntryName(e);
        lfn.Reset();
        if (isFolder) {
            if (name == ".") {
                const uint32_t self =
                    (m_uIsFat32 ? uint32_t{LoadU16(e + 0x14)} << 16 : 0) | LoadU16(e + 0x1A);
                if (IsDataCluster(self) && self != uCurrentFolder) {
                    m_folderLevels.emplace(self, FolderLevel(uCurrentFolder));
                    uCurrentFolder = self;
                }
            } else if (name.rfind("..", 0) != 0) {
                RecordSubFolder(e, name, uCurrentFolder, bUnderDeletion);
            }
            continue;
        }
        if (attr & FAT_ATTR_VOLUME_LABEL) continue;
        m_siblings.Note(e);
        if (e[0] == FAT_ENTRY_DELETED && !longName) {
            PendingShortName pending{{}, entrySector, uCurrentFolder};
            std::memcpy(pending.entry.data(), e, pending.entry.size());
            m_pendingShortNames.push_back(pending);
        } else if (e[0] == FAT_ENTRY_DELETED || bUnderDeletion) {
            RecordFile(e, name, entrySector, uCurrentFolder, false);
        } else if (m_bListPresent) {
            RecordFile(e, name, entrySector, uCurrentFolder, true);
        }
    }
    return true;
}

void CFastFatRecovery::FillTimes(const unsigned char* pEntry, _FILE_NODE_& node) const {
    FAT32_Entry entry;
    std::memcpy(&entry, pEntry, sizeof entry);
    Fat32GetFileCreateTime(&entry, &node.ftCreateTime);
    Fat32GetFileLastAccessTime(&entry, &node.ftLastAccessTime);
    Fat32GetFileLastChangeTime(&entry, &node.ftLastChangeTime);
}

uint32_t CFastFatRecovery::FolderLevel(uint32_t uFolder) const {
    const auto it = m_folderLevels.find(uFolder);
    return it != m_folderLevels.end() ? it->second : 0;
}

void CFastFatRecovery::RecordSubFolder(const unsigned char* e, const std::string& name,
                                       uint32_t uCurrentFolder, bool bUnderDeletion) {
    const bool deleted = e[0] == FAT_ENTRY_DELETED;
    uint16_t high = m_uIsFat32 ? LoadU16(e + 0x14) : 0;
    if (m_uIsFat32 && deleted && high == 0) GetDirRealHighClusterNO(LoadU16(e + 0x1A), high);
    const uint32_t cluster = (uint32_t{high} << 16) | LoadU16(e + 0x1A);
    if (cluster == 0 || cluster == uCurrentFolder || !IsDataCluster(cluster)) return;
    // No entry may name the root folder as a child: taken as one, it would move the root to
    // another level and hide every deleted folder published after it.
    if (m_uIsFat32 && cluster == m_uRootCluster) {
        DebugLog("CFastFatRecovery: an entry names the root folder %u as a child\n", cluster);
        return;
    }
    const auto existing = m_folderMap.find(cluster);
    // A live entry is the truth about its cluster: a deleted entry whose cluster was reused by
    // a live folder must not mark that folder's live files as deleted.
    if (deleted && existing != m_folderMap.end() && !IsUnderDeletion(existing->second)) return;

    _FILE_NODE_ node{};
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = m_uFileSource;
    node.bIsDir = 1;
    node.uReserved = (deleted || bUnderDeletion) ? kUnderDeletionMark : kPresentEntryMark;
    node.uFileIndex = uCurrentFolder;
    node.uClusterNO = cluster;
    node.uClusterBytes = m_uBytesPerSector * m_uSectorsPerCluster;
    FillTimes(e, node);
    node.u64DataStartSector = m_uFirstDataSector;
    node.u64VolumeStartSector = m_u64VolumeStartSector;
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name.c_str());
    m_folderMap[cluster] = node;
    m_folderLevels[cluster] = FolderLevel(uCurrentFolder) + 1;
    if (m_walkedFolders.count(cluster) == 0) m_folderQueue.push_back(cluster);
}

void CFastFatRecovery::RecordFile(const unsigned char* e, const std::string& name,
                                  uint64_t u64Sector, uint32_t uCurrentFolder, bool bPresent) {
    uint16_t high = m_uIsFat32 ? LoadU16(e + 0x14) : 0;
    if (m_uIsFat32 && e[0] == FAT_ENTRY_DELETED && high == 0) {
        GetFileRealHighClusterNO(LoadU16(e + 0x1A), high, name.c_str());
    }
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (node == nullptr) return;
    std::memset(node, 0, sizeof *node);
    node->wcDriveLetter = m_wcDriveLetter;
    node->nFileSource = m_uFileSource;
    node->uFileIndex = m_pStore->GetFileIndex();
    node->bDataHealth = 1;
    node->uReserved = bPresent ? kPresentEntryMark : 0;
    node->uClusterNO = (uint32_t{high} << 16) | LoadU16(e + 0x1A);
    node->uClusterBytes = m_uBytesPerSector * m_uSectorsPerCluster;
    FillTimes(e, *node);
    node->u64FileSize = LoadU32(e + 0x1C);
    node->u64DataStartSector = m_uFirstDataSector;
    node->u64RecordSector = u64Sector;
    node->u64VolumeStartSector = m_u64VolumeStartSector;
    std::snprintf(node->szFileName, sizeof node->szFileName, "%s", name.c_str());
    m_pStore->AddChildren(uCurrentFolder, FolderLevel(uCurrentFolder), node->uFileIndex,
                          node->uClusterNO, nullptr);
    node->bDataHealth = static_cast<uint32_t>(IsFileDataHealth(node, m_uSectorsPerCluster));
    MarkForPublishing(uCurrentFolder);
}

void CFastFatRecovery::MarkForPublishing(uint32_t uFolder) {
    uint32_t c = uFolder;
    for (;;) {
        if (!m_published.insert(c).second) return;  // its ancestors are marked already
        m_publishList.push_back(c);
        const auto it = m_folderMap.find(c);
        if (it == m_folderMap.end()) return;
        const uint32_t parent = it->second.uFileIndex;
        if (parent == c || parent <= m_uRootCluster) return;
        c = parent;
    }
}

void CFastFatRecovery::PublishFolders() {
    for (const uint32_t cluster : m_publishList) {
        const auto it = m_folderMap.find(cluster);
        if (it == m_folderMap.end()) continue;
        const uint32_t parent = it->second.uFileIndex;
        _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
        if (node == nullptr) return;
        *node = it->second;
        node->bDataHealth = 1;
        node->uFileIndex = m_pStore->GetFileIndex();
        m_pStore->AddChildren(parent, FolderLevel(parent), node->uFileIndex, node->uClusterNO,
                              node->szFileName);
    }
}

int CFastFatRecovery::GetDirRealHighClusterNO(uint16_t uLow, uint16_t& uHigh) {
    std::vector<unsigned char> sector(m_uBytesPerSector);
    int result = 0;
    for (uint32_t h = 0; h <= kMaxHighWordTrials; ++h) {
        const uint32_t cluster = (h << 16) | uLow;
        if (!IsDataCluster(cluster)) return result;
        unsigned int read = 0;
        result = m_diskReader.ReadData(sector.data(), 1, ClusterSector(cluster),
                                       static_cast<int>(m_uBytesPerSector), &read);
        if (result != 0) return result;
        if (sector[0] == '.' && sector[1] == ' ' && sector[32] == '.' && sector[33] == '.') {
            uHigh = static_cast<uint16_t>(h);
            return 0;
        }
    }
    return result;
}

int CFastFatRecovery::GetFileRealHighClusterNO(uint16_t uLow, uint16_t& uHigh,
                                               const char* pszName) {
    char ext[256];
    if (GetExtendName(pszName, ext, sizeof ext) != 0) return 0;
    std::vector<unsigned char> sector(m_uBytesPerSector);
    int result = 0;
    for (uint32_t h = 0; h <= kMaxHighWordTrials; ++h) {
        const uint32_t cluster = (h << 16) | uLow;
        if (!IsDataCluster(cluster)) return result;
        unsigned int read = 0;
        const uint64_t at = ClusterSector(cluster);
        result =
            m_diskReader.ReadData(sector.data(), 1, at, static_cast<int>(m_uBytesPerSector), &read);
        if (result != 0 || read == 0) return result != 0 ? result : RESULT_SHORT_READ;
        if (CFileTypeJudge::IsFileTypeMatching(sector.data(), sector.size(), ext, &m_diskReader,
                                               static_cast<int>(m_uBytesPerSector), at)) {
            uHigh = static_cast<uint16_t>(h);
            return 0;
        }
    }
    return result;
}

int CFastFatRecovery::IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t uSectorsPerCluster) {
    char ext[256];
    if (pNode == nullptr || GetExtendName(pNode->szFileName, ext, sizeof ext) != 0) return 1;
    if (pNode->uClusterNO < 2) return 1;
    std::vector<unsigned char> sector(m_uBytesPerSector);
    const uint64_t at = pNode->u64DataStartSector + pNode->u64VolumeStartSector +
                        uint64_t{pNode->uClusterNO - 2} * uSectorsPerCluster;
    unsigned int read = 0;
    if (m_diskReader.ReadData(sector.data(), 1, at, static_cast<int>(m_uBytesPerSector), &read) !=
            0 ||
        read == 0) {
        return 1;
    }
    return CFileTypeJudge::IsFileTypeMatching(sector.data(), sector.size(), ext, &m_diskReader,
                                              static_cast<int>(m_uBytesPerSector), at)
               ? 1
               : 0;
}

int CFastFatRecovery::GetRootParentDirIndex(uint32_t uCluster, uint32_t& uLevel,
                                            std::map<uint32_t, uint32_t>& visited) {
    std::vector<unsigned char> buf(4096);
    for (;;) {
        visited[uCluster] = 1;
        if (uCluster == m_uRootCluster || (!IsDataCluster(uCluster) && uCluster != 0)) return 0;
        unsigned int read = 0;
        const int result = m_diskReader.ReadData(
            buf.data(), static_cast<int>(buf.size() / m_uBytesPerSector), ClusterSector(uCluster),
            static_cast<int>(m_uBytesPerSector), &read);
        if (result != 0) return result;
        if (buf[0x0B] == FAT_ATTR_VOLUME_LABEL || buf[0] != '.' || buf[32] != '.' ||
            buf[33] != '.') {
            return 0;
        }
        ++uLevel;
        const uint32_t parent =
            (uint32_t{LoadU16(buf.data() + 0x34)} << 16) | LoadU16(buf.data() + 0x3A);
        // ".." names cluster 0 for a folder directly under the root, on FAT32 too.
        if (uCluster == 0 || parent == 0 || visited.count(parent) != 0) return 0;
        uCluster = parent;
    }
}

int CFastFatRecovery::_GetRootParentDirIndex(uint32_t uCluster, uint32_t& uLevel) {
    std::map<uint32_t, uint32_t> visited;
    return GetRootParentDirIndex(uCluster, uLevel, visited);
}
