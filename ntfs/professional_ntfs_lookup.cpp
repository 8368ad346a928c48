// FILE records read by sector or through a table, the tables learned from "$MFT" records, and
// the record lookups the health test and the extraction share.
#include <climits>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace {

// More tables than this come only from a device full of copies of "$MFT" records; each one
// costs every later record a look, so the rest are not learned.
constexpr size_t kMaxTables = 4096;

bool IsUnreadable(int nResult) {
    return nResult == RESULT_SHORT_READ || nResult == RESULT_OUTSIDE_VOLUME ||
           nResult == RESULT_INVALID_ARGUMENT;
}

// The cluster size, in 512-byte sectors, that an attribute's allocated size and the clusters
// of its runs imply; 0 when they do not imply a size any NTFS volume has.
uint32_t DeriveSectorsPerCluster(uint64_t u64AllocatedBytes, uint64_t u64Clusters) {
    const uint64_t sectorBytes = CProfessionalNtfsRecovery::kBytesPerSector;
    if (u64Clusters == 0 || u64AllocatedBytes % sectorBytes != 0) return 0;
    const uint64_t sectors = u64AllocatedBytes / sectorBytes;
    if (sectors % u64Clusters != 0) return 0;
    const uint64_t perCluster = sectors / u64Clusters;
    if (perCluster == 0 || perCluster > CProfessionalNtfsRecovery::kMaxSectorsPerCluster ||
        (perCluster & (perCluster - 1)) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(perCluster);
}

// The volume start a table implies: its record 0 lies at the start of its first run.
bool TableVolumeStart(uint64_t u64Record0Sector, const RUN_LIST& runs, uint32_t uSectorsPerCluster,
                      uint64_t& u64VolumeStart) {
    if (runs.empty() || runs.front().bSparse || runs.front().offset <= 0) return false;
    uint64_t before = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(runs.front().offset),
                               uint64_t{uSectorsPerCluster}, &before) ||
        before > u64Record0Sector) {
        return false;
    }
    u64VolumeStart = u64Record0Sector - before;
    return true;
}

// Whether the table with record 0 at u64Record0Sector puts record uRecordNumber at u64Sector.
bool TablePlacesRecord(uint64_t u64Record0Sector, const __MFT_TABLE__& table,
                       uint32_t uRecordNumber, uint64_t u64Sector, __MFT_PLACEMENT__& out) {
    uint64_t volumeStart = 0, relative = 0;
    if (!TableVolumeStart(u64Record0Sector, *table.runs, table.uSectorsPerCluster, volumeStart) ||
        !MapTableSector(*table.runs,
                        uint64_t{uRecordNumber} * CProfessionalNtfsRecovery::kSectorsPerRecord,
                        table.uSectorsPerCluster, relative) ||
        __builtin_add_overflow(volumeStart, relative, &relative) || relative != u64Sector) {
        return false;
    }
    out.u64VolumeStartSector = volumeStart;
    out.uSectorsPerCluster = table.uSectorsPerCluster;
    out.runs = table.runs;
    return true;
}

}  // namespace

// Records by number through one table, and clusters of that table's volume: what the shared
// attribute-list walk needs to gather a file spread over several records.
class CProfessionalNtfsRecovery::CPlacedRecordSource : public INtfsRecordSource {
public:
    CPlacedRecordSource(CProfessionalNtfsRecovery& engine, const __MFT_PLACEMENT__& placement)
        : m_engine(engine), m_placement(placement) {}

    int ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) override {
        uint64_t sector = 0;
        const int result = m_engine.ReadRecordThrough(m_placement, uRecord, pBuf, sector);
        if (result != 0) return IsUnreadable(result) ? NTFS_NOT_FOUND : result;
        if (!IsFileRecordSignature(pBuf, kBytesPerRecord) ||
            m_engine.m_ntfsParse.FileRecordFixUp(pBuf, kBytesPerRecord) != 0) {
            return NTFS_NOT_A_RECORD;
        }
        return 0;
    }

    int ReadClusters(uint64_t u64Cluster, uint64_t u64Count, unsigned char* pBuf) override {
        const uint64_t perCluster = m_placement.uSectorsPerCluster;
        uint64_t first = 0, sectors = 0;
        if (__builtin_mul_overflow(u64Cluster, perCluster, &first) ||
            __builtin_mul_overflow(u64Count, perCluster, &sectors) ||
            __builtin_add_overflow(first, m_placement.u64VolumeStartSector, &first) ||
            sectors > static_cast<uint64_t>(INT_MAX) / kBytesPerSector) {
            return RESULT_OUTSIDE_VOLUME;
        }
        unsigned int read = 0;
        return m_engine.m_diskReader.ReadData(pBuf, static_cast<int>(sectors), first,
                                              static_cast<int>(kBytesPerSector), &read);
    }

    uint32_t GetClusterBytes() const override {
        return m_placement.uSectorsPerCluster * kBytesPerSector;
    }

private:
    CProfessionalNtfsRecovery& m_engine;
    const __MFT_PLACEMENT__& m_placement;
};

// Learns the table of a "$MFT" record (fixed up) found at u64Sector. The record's own runs
// place the records an attribute list may name, so a table spread over several records is
// gathered whole.
void CProfessionalNtfsRecovery::LearnMftTable(const unsigned char* pRecord, uint64_t u64Sector,
                                              uint32_t uKnownSectorsPerCluster) {
    NTFS_ATTRIBUTE data{};
    NTFS_NONRESIDENT_INFO info{};
    if (!FindAttribute(pRecord, kBytesPerRecord, NTFS_ATTR_DATA, data) ||
        !GetNonResidentInfo(data, info)) {
        DebugLog("CProfessionalNtfsRecovery $MFT at sector %llu has no runs\n",
                 static_cast<unsigned long long>(u64Sector));
        return;
    }
    RUN_LIST first;
    m_ntfsParse.GetRunList(data.p, data.uLength, first);
    uint32_t perCluster = uKnownSectorsPerCluster;
    if (perCluster == 0)
        perCluster = DeriveSectorsPerCluster(info.u64AllocatedSize, RunListClusters(first));
    if (perCluster == 0) perCluster = m_uCurrentSectorsPerCluster;

    __MFT_PLACEMENT__ provisional;
    provisional.uSectorsPerCluster = perCluster;
    provisional.runs = std::make_shared<const RUN_LIST>(first);
    if (!TableVolumeStart(u64Sector, first, perCluster, provisional.u64VolumeStartSector)) {
        DebugLog("CProfessionalNtfsRecovery $MFT at sector %llu has unusable runs\n",
                 static_cast<unsigned long long>(u64Sector));
        return;
    }
    CPlacedRecordSource source(*this, provisional);
    RUN_LIST full;
    if (CollectAttributeRuns(m_ntfsParse, source, pRecord, kBytesPerRecord, kNtfsMftRecord,
                             NTFS_ATTR_DATA, full) != 0 ||
        RunListClusters(full) < RunListClusters(first)) {
        full = first;
    }
    if (uKnownSectorsPerCluster == 0) {
        const uint32_t derived =
            DeriveSectorsPerCluster(info.u64AllocatedSize, RunListClusters(full));
        if (derived != 0) perCluster = derived;
    }
    AddTable(u64Sector, std::move(full), perCluster);
}

bool CProfessionalNtfsRecovery::AddTable(uint64_t u64Record0Sector, RUN_LIST runs,
                                         uint32_t uSectorsPerCluster) {
    uint64_t volumeStart = 0;
    if (uSectorsPerCluster == 0 || RunListClusters(runs) == 0 ||
        !TableVolumeStart(u64Record0Sector, runs, uSectorsPerCluster, volumeStart)) {
        return false;
    }
    if (m_tableMap.size() >= kMaxTables && m_tableMap.count(u64Record0Sector) == 0) {
        DebugLog("CProfessionalNtfsRecovery table at sector %llu not learned: too many tables\n",
                 static_cast<unsigned long long>(u64Record0Sector));
        return false;
    }
    __MFT_TABLE__& table = m_tableMap[u64Record0Sector];
    table.runs = std::make_shared<const RUN_LIST>(std::move(runs));
    table.uSectorsPerCluster = uSectorsPerCluster;
    return true;
}

// The volume a record belongs to: that of the first table that puts the record's own number
// exactly where it was found; else the range's start, with a synthetic table in which record
// 0 lies where a contiguous table would put it.
uint64_t CProfessionalNtfsRecovery::GetSpecialFileRecordPartitionStartSector(
    uint64_t u64Sector, uint32_t uRecordNumber, uint32_t uSectorsPerCluster,
    __MFT_PLACEMENT__& out) const {
    if (!GetFileRecordIndexMftRunList(uRecordNumber, u64Sector, out)) {
        SyntheticPlacement(u64Sector, uRecordNumber, m_u64VolumeStartSector, uSectorsPerCluster,
                           out);
    }
    return out.u64VolumeStartSector;
}

bool CProfessionalNtfsRecovery::GetFileRecordIndexMftRunList(uint32_t uRecordNumber,
                                                             uint64_t u64Sector,
                                                             __MFT_PLACEMENT__& out) const {
    // Most records lie in their table's first run, where record 0 is exactly that many
    // records back: one look finds the table without walking the map.
    const uint64_t back = uint64_t{uRecordNumber} * kSectorsPerRecord;
    if (u64Sector >= back) {
        const auto it = m_tableMap.find(u64Sector - back);
        if (it != m_tableMap.end() &&
            TablePlacesRecord(it->first, it->second, uRecordNumber, u64Sector, out)) {
            return true;
        }
    }
    for (const auto& [record0Sector, table] : m_tableMap) {
        if (TablePlacesRecord(record0Sector, table, uRecordNumber, u64Sector, out)) return true;
    }
    return false;
}

void CProfessionalNtfsRecovery::SyntheticPlacement(uint64_t u64Sector, uint32_t uRecordNumber,
                                                   uint64_t u64VolumeStart,
                                                   uint32_t uSectorsPerCluster,
                                                   __MFT_PLACEMENT__& out) {
    out.u64VolumeStartSector = u64VolumeStart;
    out.uSectorsPerCluster = uSectorsPerCluster;
    const uint64_t before = uint64_t{uRecordNumber} * kSectorsPerRecord;
    RUN_LIST synthetic;
    // A record that lies before where its own record 0 could be belongs to no table that
    // starts on this volume: its parents cannot be read.
    if (uSectorsPerCluster != 0 && u64Sector >= u64VolumeStart &&
        u64Sector - u64VolumeStart >= before) {
        const uint64_t cluster = (u64Sector - u64VolumeStart - before) / uSectorsPerCluster;
        synthetic.push_back({0, static_cast<int64_t>(cluster), false});
    }
    out.runs = std::make_shared<const RUN_LIST>(std::move(synthetic));
}

bool CProfessionalNtfsRecovery::RecordSectorThrough(const __MFT_PLACEMENT__& placement,
                                                    uint64_t uRecordNumber,
                                                    uint32_t uSectorInRecord,
                                                    uint64_t& u64Sector) const {
    if (!placement.runs || placement.runs->empty() || placement.uSectorsPerCluster == 0) {
        return false;
    }
    const RUN_LIST& runs = *placement.runs;
    uint64_t tableSector = 0, relative = 0;
    if (__builtin_mul_overflow(uRecordNumber, uint64_t{kSectorsPerRecord}, &tableSector) ||
        __builtin_add_overflow(tableSector, uint64_t{uSectorInRecord}, &tableSector)) {
        return false;
    }
    if (runs.size() == 1 && runs.front().length == 0) {
        // The synthetic run: the table goes on contiguously from the run's start.
        if (runs.front().offset < 0 ||
            __builtin_mul_overflow(static_cast<uint64_t>(runs.front().offset),
                                   uint64_t{placement.uSectorsPerCluster}, &relative) ||
            __builtin_add_overflow(relative, tableSector, &relative)) {
            return false;
        }
    } else if (!MapTableSector(runs, tableSector, placement.uSectorsPerCluster, relative)) {
        return false;
    }
    return !__builtin_add_overflow(placement.u64VolumeStartSector, relative, &u64Sector);
}

// Reads record uRecordNumber as stored (not fixed up). Each of its sectors is placed on its
// own, so a record split between two runs of the table comes back whole. 0, 87 when the table
// does not place it, or the reader's result.
int CProfessionalNtfsRecovery::ReadRecordThrough(const __MFT_PLACEMENT__& placement,
                                                 uint64_t uRecordNumber, unsigned char* pBuf,
                                                 uint64_t& u64FirstSector) {
    uint64_t first = 0, second = 0;
    if (!RecordSectorThrough(placement, uRecordNumber, 0, first) ||
        !RecordSectorThrough(placement, uRecordNumber, 1, second)) {
        return RESULT_OUTSIDE_VOLUME;
    }
    u64FirstSector = first;
    unsigned int read = 0;
    const int sectorBytes = static_cast<int>(kBytesPerSector);
    if (second == first + 1) return m_diskReader.ReadData(pBuf, 2, first, sectorBytes, &read);
    const int result = m_diskReader.ReadData(pBuf, 1, first, sectorBytes, &read);
    if (result != 0) return result;
    return m_diskReader.ReadData(pBuf + kBytesPerSector, 1, second, sectorBytes, &read);
}

int CProfessionalNtfsRecovery::ReadFixedRecordAtSector(uint64_t u64Sector,
                                                       std::vector<unsigned char>& record) {
    record.assign(kBytesPerRecord, 0);
    unsigned int read = 0;
    const int result = m_diskReader.ReadData(record.data(), static_cast<int>(kSectorsPerRecord),
                                             u64Sector, static_cast<int>(kBytesPerSector), &read);
    if (result != 0) return IsUnreadable(result) ? NTFS_NOT_FOUND : result;
    if (!IsFileRecordSignature(record.data(), record.size()) ||
        m_ntfsParse.FileRecordFixUp(record.data(), record.size()) != 0) {
        return NTFS_NOT_A_RECORD;
    }
    return 0;
}

// The table a record found at u64Sector is read through: a learned one that places it there,
// else the synthetic one of the node's volume (or of the scanned range without a node).
bool CProfessionalNtfsRecovery::PlacementOfRecord(const unsigned char* pRecord, uint64_t u64Sector,
                                                  const _FILE_NODE_* pNode,
                                                  __MFT_PLACEMENT__& out) const {
    NTFS_RECORD_HEADER header{};
    if (!ReadRecordHeader(pRecord, kBytesPerRecord, header)) return false;
    if (pNode == nullptr) {
        GetSpecialFileRecordPartitionStartSector(u64Sector, header.uOwnNumber,
                                                 m_uCurrentSectorsPerCluster, out);
        return true;
    }
    if (!GetFileRecordIndexMftRunList(header.uOwnNumber, u64Sector, out)) {
        SyntheticPlacement(u64Sector, header.uOwnNumber, pNode->u64VolumeStartSector,
                           pNode->uClusterBytes / kBytesPerSector, out);
    }
    return true;
}

int CProfessionalNtfsRecovery::CollectRuns(const std::vector<unsigned char>& record,
                                           uint64_t u64Sector, const _FILE_NODE_* pNode,
                                           uint32_t uType, RUN_LIST& out) {
    __MFT_PLACEMENT__ placement;
    if (!PlacementOfRecord(record.data(), u64Sector, pNode, placement)) return NTFS_NOT_A_RECORD;
    CPlacedRecordSource source(*this, placement);
    return CollectAttributeRuns(m_ntfsParse, source, record.data(), record.size(),
                                LoadU32(record.data() + 0x2C), uType, out);
}

int CProfessionalNtfsRecovery::GetRunListInfo(uint64_t u64RecordSector, uint32_t uType,
                                              std::vector<__RUNLIST__>& out) {
    std::vector<unsigned char> record;
    const int result = ReadFixedRecordAtSector(u64RecordSector, record);
    if (result != 0) return result;
    return CollectRuns(record, u64RecordSector, nullptr, uType, out);
}

int CProfessionalNtfsRecovery::GetFileNodeRunListInfo(const _FILE_NODE_* pNode, uint32_t uType,
                                                      RUN_LIST& out) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    std::vector<unsigned char> record;
    const int result = ReadFixedRecordAtSector(pNode->u64RecordSector, record);
    if (result != 0) return result;
    if (LoadU16(record.data() + 0x14) >= kBytesPerRecord) return RESULT_NOT_A_RECORD;
    return CollectRuns(record, pNode->u64RecordSector, pNode, uType, out);
}

int CProfessionalNtfsRecovery::GetFileNodeAttr0x80Data(const _FILE_NODE_* pNode,
                                                       unsigned char* pBuf, uint32_t& uLength) {
    uLength = 0;
    if (pNode == nullptr || pBuf == nullptr) return RESULT_INVALID_ARGUMENT;
    std::vector<unsigned char> record;
    if (ReadFixedRecordAtSector(pNode->u64RecordSector, record) != 0) return NTFS_NOT_FOUND;
    NTFS_ATTRIBUTE attr{};
    if (LoadU16(record.data() + 0x14) >= kBytesPerRecord ||
        !FindAttribute(record.data(), record.size(), NTFS_ATTR_DATA, attr) || attr.bNonResident) {
        return NTFS_NOT_FOUND;
    }
    const uint16_t valueOffset = LoadU16(attr.p + 0x14);
    if (valueOffset > attr.uLength) return NTFS_NOT_FOUND;
    // The attribute's length counts the value's alignment bytes too; callers cut the data at
    // the file's size.
    const uint32_t length = attr.uLength - valueOffset;
    if (length >= kBytesPerRecord) return RESULT_NOT_A_RECORD;
    std::memcpy(pBuf, attr.p + valueOffset, length);
    uLength = length;
    return 0;
}

// pRecord is a fixed-up record. Only the first $DATA before any attribute list is asked: the
// allocated size of a list's first piece covers runs this record does not hold.
int CProfessionalNtfsRecovery::GetFileRecordSectorPerClusterByRecordBuf(
    const unsigned char* pRecord, uint32_t& uSectorsPerCluster) const {
    if (!IsFileRecordSignature(pRecord, kBytesPerRecord) ||
        LoadU16(pRecord + 0x14) >= kBytesPerRecord) {
        return RESULT_NOT_A_RECORD;
    }
    CNtfsAttributeWalk walk(pRecord, kBytesPerRecord);
    NTFS_ATTRIBUTE attr{};
    while (walk.Next(attr)) {
        if (attr.uType == NTFS_ATTR_ATTRIBUTE_LIST) return 0;
        if (attr.uType != NTFS_ATTR_DATA) continue;
        NTFS_NONRESIDENT_INFO info{};
        if (!GetNonResidentInfo(attr, info)) return 0;
        RUN_LIST runs;
        m_ntfsParse.GetRunList(attr.p, attr.uLength, runs);
        const uint32_t derived =
            DeriveSectorsPerCluster(info.u64AllocatedSize, RunListClusters(runs));
        if (derived != 0) uSectorsPerCluster = derived;
        return 0;
    }
    return 0;
}

int CProfessionalNtfsRecovery::IsFileDataHealth(const _FILE_NODE_* pNode) {
    if (pNode == nullptr) return 1;
    char ext[256];
    const bool hasExtension = GetExtendName(pNode->szFileName, ext, sizeof ext) == 0;
    std::vector<unsigned char> data(kBytesPerRecord);
    uint32_t length = 0;
    const int resident = GetFileNodeAttr0x80Data(pNode, data.data(), length);
    const int sectorBytes = static_cast<int>(kBytesPerSector);
    if (resident == 0) {
        if (length == 0) return 0;
        if (!hasExtension) return 1;
        return CFileTypeJudge::IsFileTypeMatching(data.data(), length, ext, &m_diskReader,
                                                  sectorBytes, 0) != 0
                   ? 1
                   : 0;
    }
    if (resident != NTFS_NOT_FOUND || !hasExtension) return 1;
    RUN_LIST runs;
    if (GetFileNodeRunListInfo(pNode, NTFS_ATTR_DATA, runs) != 0 || runs.empty()) return 1;
    const __RUNLIST__& first = runs.front();
    uint64_t byteOffset = 0, sector = 0;
    if (first.bSparse || first.offset <= 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(first.offset), uint64_t{pNode->uClusterBytes},
                               &byteOffset) ||
        __builtin_add_overflow(byteOffset / kBytesPerSector, pNode->u64VolumeStartSector,
                               &sector)) {
        return 1;
    }
    std::vector<unsigned char> buf(kBytesPerSector);
    unsigned int read = 0;
    if (m_diskReader.ReadData(buf.data(), 1, sector, sectorBytes, &read) != 0 || read == 0) {
        return 1;
    }
    return CFileTypeJudge::IsFileTypeMatching(buf.data(), buf.size(), ext, &m_diskReader,
                                              sectorBytes, sector) != 0
               ? 1
               : 0;
}
