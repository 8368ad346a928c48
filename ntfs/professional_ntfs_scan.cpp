// Binding to the range a deep scan covers, learning where master file tables lie, and filing
// the FILE records the coordinator hands over, then the folders met above them.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/recognisers.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

// A parent chain longer than any path NTFS can hold is a corrupt one that happens not to loop.
constexpr uint32_t kMaxParentChain = 65536;
// A record of 1 KiB holds at most a handful of $FILE_NAMEs; more are read as damage.
constexpr size_t kMaxNamesPerRecord = 16;

// What the reader answers for a read it refused (past the range) or that came back short:
// no system error, only a record that cannot be had.
bool IsUnreadable(int nResult) {
    return nResult == RESULT_SHORT_READ || nResult == RESULT_OUTSIDE_VOLUME ||
           nResult == RESULT_INVALID_ARGUMENT;
}

bool IsMftName(const NTFS_FILE_NAME& name) {
    static constexpr char16_t kMft[] = u"$MFT";
    if (name.uNameLength != 4) return false;
    for (int i = 0; i < 4; ++i) {
        char16_t c = name.szName[i];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != kMft[i]) return false;
    }
    return true;
}

void SetFileTime(_FILETIME& out, uint64_t u64Time) {
    out.dwLowDateTime = static_cast<uint32_t>(u64Time);
    out.dwHighDateTime = static_cast<uint32_t>(u64Time >> 32);
}

}  // namespace

// What one record holds for the parse: its first $FILE_NAME (parent, times, size), its best
// name for display, and the size of its unnamed $DATA.
struct CProfessionalNtfsRecovery::RecordContent {
    bool bHasName = false;
    bool bMftName = false;
    bool bHasDataSize = false;
    int nBestRank = 0;
    uint64_t u64DataSize = 0;
    NTFS_FILE_NAME first{};
    NTFS_FILE_NAME best{};
    std::vector<NTFS_FILE_NAME> names;  // every name the record carries, to find hard links
};

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() {
    m_ntfsParse.Init(kBytesPerSector);
}

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() {
    if (m_nDevice != -1) close(m_nDevice);
}

int CProfessionalNtfsRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                                    char16_t wcDriveLetter) {
    uint64_t limit = 0;
    if (llStartSector < 0 || llSectorCount < 0 ||
        static_cast<uint64_t>(llStartSector) > static_cast<uint64_t>(INT64_MAX) / kBytesPerSector ||
        __builtin_add_overflow(static_cast<uint64_t>(llStartSector),
                               static_cast<uint64_t>(llSectorCount), &limit)) {
        return RESULT_INVALID_ARGUMENT;
    }
    const int fd = OpenDiskReadOnly(nDisk);
    if (fd < 0) return errno;
    const int readerResult = m_diskReader.Init(nDisk, limit);
    m_nDiskNumber = nDisk;
    const int result = OpenVolume(fd, static_cast<uint64_t>(llStartSector),
                                  static_cast<uint64_t>(llSectorCount), wcDriveLetter);
    return result != 0 ? result : readerResult;
}

int CProfessionalNtfsRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    const int fd = OpenDeviceReadOnly(WideToUtf8(pszDevicePath).c_str());
    if (fd < 0) return errno;
    const uint64_t sectors = GetDeviceSizeBytes(fd) / kBytesPerSector;
    const int readerResult = m_diskReader.Init(pszDevicePath, sectors);
    m_nDiskNumber = -1;
    const int result = OpenVolume(fd, 0, sectors, wcDriveLetter);
    return result != 0 ? result : readerResult;
}

// Binds the engine to its range and learns the boot sector's table. The boot sector is not
// required: a deep scan is made for volumes that may have lost it.
int CProfessionalNtfsRecovery::OpenVolume(int fd, uint64_t u64StartSector, uint64_t u64SectorCount,
                                          char16_t wcDriveLetter) {
    if (m_nDevice != -1) close(m_nDevice);
    m_nDevice = fd;
    m_u64VolumeStartSector = u64StartSector;
    m_u64VolumeSectorCount = u64SectorCount;
    m_wcDriveLetter = wcDriveLetter;
    m_uCurrentSectorsPerCluster = GetDefaultNtfsSectorPerCluster(u64SectorCount, kBytesPerSector);
    m_tableMap.clear();

    std::vector<unsigned char> boot(kBootAreaBytes, 0);
    ssize_t got;
    do {
        got = pread(fd, boot.data(), boot.size(),
                    static_cast<off_t>(u64StartSector * kBytesPerSector));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    LearnBootTable(boot.data(), static_cast<size_t>(got));
    return 0;
}

void CProfessionalNtfsRecovery::LearnBootTable(const unsigned char* pBoot, size_t nLen) {
    if (!IsNtfs(pBoot, nLen)) return;
    const uint32_t bytesPerSector = LoadU16(pBoot + 0x0B) != 0 ? LoadU16(pBoot + 0x0B) : 512;
    // Clusters are counted here in the engine's 512-byte sectors, whatever the volume's own.
    const uint32_t clusterSectors = pBoot[0x0D] * (bytesPerSector / kBytesPerSector);
    if (clusterSectors == 0 || clusterSectors > kMaxSectorsPerCluster) return;
    m_uCurrentSectorsPerCluster = clusterSectors;
    uint64_t offset = 0, record0 = 0;
    if (__builtin_mul_overflow(LoadU64(pBoot + 0x30), uint64_t{clusterSectors}, &offset) ||
        __builtin_add_overflow(offset, m_u64VolumeStartSector, &record0)) {
        return;
    }
    std::vector<unsigned char> record;
    if (ReadFixedRecordAtSector(record0, record) != 0) {
        DebugLog("CProfessionalNtfsRecovery no $MFT record at sector %llu\n",
                 static_cast<unsigned long long>(record0));
        return;
    }
    LearnMftTable(record.data(), record0, clusterSectors);
}

int CProfessionalNtfsRecovery::ScanDevice(const char16_t*) {
    return 0;
}

int CProfessionalNtfsRecovery::BuildBitMapInfo() {
    return 0;
}

int CProfessionalNtfsRecovery::GetUnUsedSectorCount(unsigned long long&,
                                                    unsigned long long& llCount) {
    llCount = 0;
    return 0;
}

int CProfessionalNtfsRecovery::InitProfessionalScan(const char16_t* pszLogName) {
    m_specialFolders.clear();
    m_specialFolderSet.clear();
    // Records parsed into a store that could not be opened would be lost without a word.
    return OpenStore(kProNtfsLogPrefix, m_u64VolumeStartSector, pszLogName);
}

int CProfessionalNtfsRecovery::ParseNtfsFileRecord(const unsigned char* pRecord, int nRecordBytes,
                                                   uint64_t u64AbsoluteSector) {
    if (pRecord == nullptr || nRecordBytes < static_cast<int>(kBytesPerRecord) || !m_pStore) {
        return RESULT_INVALID_ARGUMENT;
    }
    if ((LoadU16(pRecord + 0x16) & NTFS_RECORD_IS_FOLDER) != 0) return 0;
    // The fix-up writes into the record; the coordinator's chunk stays as it was read.
    unsigned char record[kBytesPerRecord];
    std::memcpy(record, pRecord, sizeof record);
    return ParseProfessionalRecordInfo(record, u64AbsoluteSector, false, 0, nullptr);
}

// pRecord holds one record as read (kBytesPerRecord bytes); it is fixed up in place. In the
// folder pass, uRecordNumber is the folder expected there and pPlacement the table it was
// read through.
int CProfessionalNtfsRecovery::ParseProfessionalRecordInfo(unsigned char* pRecord,
                                                           uint64_t u64Sector, bool bFolderPass,
                                                           uint32_t uRecordNumber,
                                                           const __MFT_PLACEMENT__* pPlacement) {
    NTFS_RECORD_HEADER header{};
    if (!ReadRecordHeader(pRecord, kBytesPerRecord, header)) {
        if (bFolderPass) CreateLostFolder(uRecordNumber);
        return NTFS_NOT_A_RECORD;
    }
    if (!bFolderPass && (header.uFlags & NTFS_RECORD_IS_FOLDER) != 0) return 0;
    if (header.uBytesInUse > kBytesPerRecord || header.uFirstAttribute > kBytesPerRecord ||
        header.uFirstAttribute > header.uBytesInUse ||
        m_ntfsParse.FileRecordFixUp(pRecord, kBytesPerRecord) != 0) {
        DebugLog("CProfessionalNtfsRecovery record at sector %llu fails its header checks\n",
                 static_cast<unsigned long long>(u64Sector));
        // Files were filed under this folder: they must stay reachable.
        if (bFolderPass) CreateLostFolder(uRecordNumber);
        return RESULT_NOT_A_RECORD;
    }
    // A record reached as a folder that no longer is one, or that now carries another number,
    // was reused since: the folder it was is lost.
    const bool lost = bFolderPass && ((header.uFlags & NTFS_RECORD_IS_FOLDER) == 0 ||
                                      header.uOwnNumber != uRecordNumber);
    if (lost) {
        CreateLostFolder(uRecordNumber != 0 ? uRecordNumber : header.uOwnNumber);
        return 0;
    }
    RecordContent content;
    ReadRecordContent(pRecord, header.uBytesInUse, content);
    if (header.uOwnNumber == kNtfsMftRecord && content.bMftName && !bFolderPass) {
        LearnMftTable(pRecord, u64Sector, 0);
    }
    if (header.uOwnNumber < kNtfsFirstUserRecord) return 0;
    if (!content.bHasName) {
        if (bFolderPass) CreateLostFolder(uRecordNumber);
        return 0;
    }
    FileRecordNode(pRecord, content, u64Sector, header.uOwnNumber, bFolderPass, pPlacement);
    return 0;
}

bool CProfessionalNtfsRecovery::ReadRecordContent(const unsigned char* pRecord,
                                                  uint32_t uBytesInUse, RecordContent& out) const {
    CNtfsAttributeWalk walk(pRecord, uBytesInUse);
    NTFS_ATTRIBUTE attr{};
    while (walk.Next(attr)) {
        if (attr.uType == NTFS_ATTR_FILE_NAME) {
            NTFS_FILE_NAME name;
            if (!ParseFileNameAttribute(attr, name)) continue;
            if (IsMftName(name)) out.bMftName = true;
            if (out.names.size() < kMaxNamesPerRecord) out.names.push_back(name);
            const int rank = FileNameRank(name.uNamespace);
            if (!out.bHasName) {
                out.first = name;
                out.best = name;
                out.nBestRank = rank;
                out.bHasName = true;
            } else if (rank < out.nBestRank) {
                // A DOS 8.3 name met first gives way to the long name the user knows.
                out.best = name;
                out.nBestRank = rank;
            }
        } else if (attr.uType == NTFS_ATTR_DATA && out.bHasName && attr.uNameLength == 0) {
            NTFS_NONRESIDENT_INFO info{};
            if (!attr.bNonResident) {
                out.u64DataSize = LoadU32(attr.p + 0x10);
                out.bHasDataSize = true;
            } else if (GetNonResidentInfo(attr, info)) {
                out.u64DataSize = info.u64RealSize;
                out.bHasDataSize = true;
            }
        }
    }
    return out.bHasName;
}

// Files a record's node: placed on its volume, filed under the folder its parent chain
// reaches, and (first pass) tested for damaged data.
void CProfessionalNtfsRecovery::FileRecordNode(const unsigned char* pRecord,
                                               const RecordContent& content, uint64_t u64Sector,
                                               uint32_t uOwnNumber, bool bFolderPass,
                                               const __MFT_PLACEMENT__* pPlacement) {
    _FILE_NODE_ node = FillFileNode(content.first, bFolderPass);
    Unicode2Ansi(content.best.szName, node.szFileName, sizeof node.szFileName);
    if (content.bHasDataSize) node.u64FileSize = content.u64DataSize;

    __MFT_PLACEMENT__ placement;
    uint32_t sectorsPerCluster = 0;
    if (bFolderPass && pPlacement != nullptr) {
        placement = *pPlacement;
        sectorsPerCluster = placement.uSectorsPerCluster;
    } else {
        uint32_t derived = 0;
        GetFileRecordSectorPerClusterByRecordBuf(pRecord, derived);
        if (derived != 0) m_uCurrentSectorsPerCluster = derived;
        GetSpecialFileRecordPartitionStartSector(u64Sector, uOwnNumber, m_uCurrentSectorsPerCluster,
                                                 placement);
        // The record's own runs tell its cluster size best; a resident file takes its table's.
        sectorsPerCluster = derived != 0 ? derived : placement.uSectorsPerCluster;
    }
    node.uClusterBytes = kBytesPerSector * sectorsPerCluster;
    node.uClusterNO = uOwnNumber;
    node.u64RecordSector = u64Sector;
    node.u64VolumeStartSector = placement.u64VolumeStartSector;

    const uint32_t parent = content.first.uParentRecord;
    uint32_t depth = 0;
    std::set<uint32_t> visited;
    GetProfessionalRootParentDirIndex(parent, placement, depth, visited);
    if (!bFolderPass) node.bDataHealth = static_cast<uint32_t>(IsFileDataHealth(&node));

    StoreChild(node, parent, depth, uOwnNumber);
    if (bFolderPass) return;  // a folder has one name; only files are linked more than once
    // Each further hard link is listed in its own folder under its own name.
    for (const NTFS_FILE_NAME& link : content.names) {
        if (!IsFurtherLink(link, content.best)) continue;
        _FILE_NODE_ linked = node;
        Unicode2Ansi(link.szName, linked.szFileName, sizeof linked.szFileName);
        uint32_t linkDepth = 0;
        std::set<uint32_t> seen;
        GetProfessionalRootParentDirIndex(link.uParentRecord, placement, linkDepth, seen);
        StoreChild(linked, link.uParentRecord, linkDepth, uOwnNumber);
    }
}

_FILE_NODE_ CProfessionalNtfsRecovery::FillFileNode(const NTFS_FILE_NAME& name,
                                                    bool bFolder) const {
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof node);
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = m_nFileSource;
    node.bIsDir = bFolder ? 1 : 0;
    node.bDataHealth = 1;
    SetFileTime(node.ftCreateTime, name.u64CreateTime);
    SetFileTime(node.ftLastAccessTime, name.u64AccessTime);
    SetFileTime(node.ftLastChangeTime, name.u64ModifyTime);
    node.u64FileSize = name.u64RealSize;
    Unicode2Ansi(name.szName, node.szFileName, sizeof node.szFileName);
    return node;
}

void CProfessionalNtfsRecovery::CreateLostFolder(uint32_t uRecordNumber) {
    _FILE_NODE_* slot = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (slot == nullptr) return;
    _FILE_NODE_ node;
    std::memset(&node, 0, sizeof node);
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = m_nFileSource;
    node.bIsDir = 1;
    node.bDataHealth = 1;
    node.uFileIndex = m_pStore->GetFileIndex();
    node.uClusterNO = uRecordNumber;
    node.uClusterBytes = kBytesPerSector * m_uCurrentSectorsPerCluster;
    std::snprintf(node.szFileName, sizeof node.szFileName, "LostFolder%u", uRecordNumber);
    *slot = node;
    m_pStore->AddChildren(kNtfsRootRecord, 0, node.uFileIndex, uRecordNumber, node.szFileName);
}

// Walks up from a file's parent: every folder met is listed for the folder pass, and uDepth
// counts the folders between the file and the root as far as the chain can be followed.
int CProfessionalNtfsRecovery::GetProfessionalRootParentDirIndex(uint32_t uParent,
                                                                 const __MFT_PLACEMENT__& placement,
                                                                 uint32_t& uDepth,
                                                                 std::set<uint32_t>& visited) {
    std::vector<unsigned char> record(kBytesPerRecord);
    for (uint32_t steps = 0; uParent != kNtfsRootRecord && steps < kMaxParentChain; ++steps) {
        visited.insert(uParent);
        AddSpecialFolder(uParent, placement);
        ++uDepth;
        uint64_t sector = 0;
        const int result = ReadRecordThrough(placement, uParent, record.data(), sector);
        if (result != 0) return result;
        NTFS_RECORD_HEADER header{};
        if (!ReadRecordHeader(record.data(), record.size(), header) ||
            m_ntfsParse.FileRecordFixUp(record.data(), record.size()) != 0) {
            return NTFS_NOT_A_RECORD;
        }
        // A record that is no folder now, or another folder, was reused: the chain ends here.
        if ((header.uFlags & NTFS_RECORD_IS_FOLDER) == 0 || header.uOwnNumber != uParent) {
            return 0;
        }
        if (header.uFirstAttribute >= kBytesPerRecord || header.uBytesInUse > kBytesPerRecord ||
            header.uFirstAttribute > header.uBytesInUse) {
            return RESULT_NOT_A_RECORD;
        }
        NTFS_ATTRIBUTE attr{};
        NTFS_FILE_NAME name;
        if (!FindAttribute(record.data(), header.uBytesInUse, NTFS_ATTR_FILE_NAME, attr) ||
            !ParseFileNameAttribute(attr, name)) {
            return 0;
        }
        if (visited.count(name.uParentRecord) != 0) return 0;  // a loop on disk
        uParent = name.uParentRecord;
    }
    return 0;
}

void CProfessionalNtfsRecovery::AddSpecialFolder(uint32_t uRecordNumber,
                                                 const __MFT_PLACEMENT__& placement) {
    if (!m_specialFolderSet.insert(uRecordNumber).second) return;
    m_specialFolders.push_back({uRecordNumber, placement});
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordVec() {
    if (!m_pStore) return RESULT_INVALID_ARGUMENT;
    std::vector<unsigned char> record(kBytesPerRecord);
    int result = 0;
    // The list grows while it is walked (folders above folders): index, never iterate.
    for (size_t i = 0; i < m_specialFolders.size(); ++i) {
        const __SPECIAL_RECOVERY_DIR__ entry = m_specialFolders[i];
        uint64_t sector = 0;
        const int readResult =
            ReadRecordThrough(entry.placement, entry.uRecordNumber, record.data(), sector);
        if (readResult != 0 && !IsUnreadable(readResult)) {
            DebugLog("CProfessionalNtfsRecovery folder pass stopped: read error %d\n", readResult);
            result = readResult;
            break;
        }
        if (readResult != 0) {
            CreateLostFolder(entry.uRecordNumber);
            continue;
        }
        ParseProfessionalRecordInfo(record.data(), sector, true, entry.uRecordNumber,
                                    &entry.placement);
    }
    m_pStore->FlushBufToFile();
    return result;
}
