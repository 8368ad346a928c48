// Binding to the volume, and reading FILE records by number and by sector: the record lookups
// the scan and the extraction share.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr uint64_t kUnknownRecord = ~uint64_t{0};

bool IsPowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// The reader's own codes for a refused or short read carry no system error; the lookups
// report those as "not found", as they report any record that is not there.
int LookupReadResult(int nReaderResult) {
    return (nReaderResult == RESULT_SHORT_READ || nReaderResult == RESULT_OUTSIDE_VOLUME ||
            nReaderResult == RESULT_INVALID_ARGUMENT)
               ? NTFS_NOT_FOUND
               : nReaderResult;
}

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() {
    if (m_nDevice != -1) close(m_nDevice);
}

int CFastNtfsRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                            char16_t wcDriveLetter) {
    if (m_nDevice != -1) return 0;
    if (llStartSector < 0 || llSectorCount < 0) return RESULT_INVALID_ARGUMENT;
    const int fd = OpenDiskReadOnly(nDisk);
    if (fd < 0) return errno;
    const int result = OpenVolume(fd, static_cast<uint64_t>(llStartSector),
                                  static_cast<uint64_t>(llSectorCount), wcDriveLetter);
    if (result != 0) return result;
    const int readerResult =
        m_diskReader.Init(nDisk, m_u64VolumeStartSector + m_u64VolumeSectorCount);
    if (readerResult == 0) LoadMftRunList();
    return readerResult;
}

// An image named by path is bound like a disk: the volume is the whole file.
int CFastNtfsRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (m_nDevice != -1) return 0;
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    const int fd = OpenDeviceReadOnly(WideToUtf8(pszDevicePath).c_str());
    if (fd < 0) return errno;
    const int result = OpenVolume(fd, 0, GetDeviceSizeBytes(fd) / 512, wcDriveLetter);
    if (result != 0) return result;
    const int readerResult =
        m_diskReader.Init(pszDevicePath, m_u64VolumeStartSector + m_u64VolumeSectorCount);
    if (readerResult == 0) LoadMftRunList();
    return readerResult;
}

int CFastNtfsRecovery::OpenVolume(int fd, uint64_t u64StartSector512, uint64_t u64SectorCount512,
                                  char16_t wcDriveLetter) {
    m_nDevice = fd;
    m_wcDriveLetter = wcDriveLetter;
    m_u64StoreNameSector = u64StartSector512;
    std::vector<unsigned char> boot;
    uint64_t offset = 0;
    int result = __builtin_mul_overflow(u64StartSector512, uint64_t{512}, &offset)
                     ? RESULT_INVALID_ARGUMENT
                     : ReadBootArea(fd, offset, boot);
    if (result == 0) result = ApplyBootSector(boot, u64StartSector512, u64SectorCount512);
    if (result != 0) {
        // A volume that could not be bound leaves the engine unbound, so that a later Init
        // is not taken for a success.
        close(fd);
        m_nDevice = -1;
    }
    return result;
}

int CFastNtfsRecovery::ReadBootArea(int fd, uint64_t u64ByteOffset,
                                    std::vector<unsigned char>& boot) {
    boot.assign(kBootAreaBytes, 0);
    ssize_t got;
    do {
        got = pread(fd, boot.data(), kBootAreaBytes, static_cast<off_t>(u64ByteOffset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    return static_cast<size_t>(got) < kBootAreaBytes ? RESULT_SHORT_READ : 0;
}

// The geometry every later sector number depends on. A value no NTFS volume can have is
// refused here rather than turned into divisions by zero or reads at absurd places.
int CFastNtfsRecovery::ApplyBootSector(const std::vector<unsigned char>& boot,
                                       uint64_t u64StartSector512, uint64_t u64SectorCount512) {
    const unsigned char* b = boot.data();
    const uint32_t bytesPerSector = LoadU16(b + 0x0B) != 0 ? LoadU16(b + 0x0B) : 512;
    const uint32_t sectorsPerCluster = b[0x0D];
    if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096 ||
        !IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128 ||
        (u64StartSector512 * 512) % bytesPerSector != 0) {
        DebugLog("CFastNtfsRecovery boot sector refused: %u bytes per sector, %u per cluster\n",
                 bytesPerSector, sectorsPerCluster);
        return RESULT_INVALID_ARGUMENT;
    }
    m_uBytesPerSector = bytesPerSector;
    m_uSectorsPerCluster = sectorsPerCluster;
    m_u64VolumeStartSector = u64StartSector512 * 512 / bytesPerSector;
    m_u64VolumeSectorCount = u64SectorCount512 * 512 / bytesPerSector;
    m_ntfsParse.Init(static_cast<int>(bytesPerSector));
    m_uSectorsPerRecord = static_cast<uint32_t>(m_ntfsParse.GetSectorsPerRecord());
    m_uBytesPerRecord = static_cast<uint32_t>(m_ntfsParse.GetBytesPerRecord());
    m_uChunkBytes = m_uBytesPerRecord * kRecordsPerPiece;
    m_readBuffer.assign(size_t{m_uChunkBytes} + m_uBytesPerRecord, 0);

    // An MFT said to start outside the volume is left at the volume start, where no FILE
    // record is: the run list stays empty and the scan finds nothing instead of reading
    // somewhere else on the disk.
    const uint64_t mftCluster = LoadU64(b + 0x30);
    const uint64_t volumeClusters = m_u64VolumeSectorCount / sectorsPerCluster;
    m_u64MftRecordSector = m_u64VolumeStartSector;
    if (mftCluster < volumeClusters) {
        m_u64MftRecordSector += mftCluster * sectorsPerCluster;
    } else {
        DebugLog("CFastNtfsRecovery MFT cluster %llu outside the volume\n",
                 static_cast<unsigned long long>(mftCluster));
    }
    return 0;
}

// The $MFT's own runs. When record 0 carries an attribute list, its extension records are
// found through the runs record 0 itself holds, and the full list is read with those.
void CFastNtfsRecovery::LoadMftRunList() {
    m_mftRunList.clear();
    RUN_LIST first;
    if (GetRunListInfo(m_u64MftRecordSector, NTFS_ATTR_DATA, first) != 0) {
        DebugLog("CFastNtfsRecovery no $MFT runs at sector %llu\n",
                 static_cast<unsigned long long>(m_u64MftRecordSector));
        return;
    }
    m_mftRunList = first;
    RUN_LIST full;
    if (GetRunListInfo(m_u64MftRecordSector, NTFS_ATTR_DATA, full) == 0 &&
        RunListClusters(full) > RunListClusters(first)) {
        m_mftRunList = full;
    }
}

uint64_t CFastNtfsRecovery::GetMftRecordCount() const {
    if (m_uSectorsPerRecord == 0) return 0;
    return RunListClusters(m_mftRunList) * m_uSectorsPerCluster / m_uSectorsPerRecord;
}

bool CFastNtfsRecovery::RecordSectorOf(uint64_t uRecord, uint64_t& u64Sector) const {
    uint64_t volumeSector = 0;
    if (!MapTableSector(m_mftRunList, uRecord * m_uSectorsPerRecord, m_uSectorsPerCluster,
                        volumeSector)) {
        return false;
    }
    u64Sector = m_u64VolumeStartSector + volumeSector;
    return true;
}

// Reads table sectors one stretch at a time: sectors that lie next to each other on the volume
// are read together, and a record split between two runs comes back whole.
int CFastNtfsRecovery::ReadTableSectors(uint64_t u64TableSector, uint32_t uCount,
                                        unsigned char* pBuf) {
    uint32_t done = 0;
    while (done < uCount) {
        uint64_t first = 0;
        if (!MapTableSector(m_mftRunList, u64TableSector + done, m_uSectorsPerCluster, first)) {
            return RESULT_OUTSIDE_VOLUME;
        }
        uint32_t stretch = 1;
        uint64_t next = 0;
        while (done + stretch < uCount &&
               MapTableSector(m_mftRunList, u64TableSector + done + stretch, m_uSectorsPerCluster,
                              next) &&
               next == first + stretch) {
            ++stretch;
        }
        unsigned int read = 0;
        const int result = m_diskReader.ReadData(
            pBuf + size_t{done} * m_uBytesPerSector, static_cast<int>(stretch),
            m_u64VolumeStartSector + first, static_cast<int>(m_uBytesPerSector), &read);
        if (result != 0) return result;
        done += stretch;
    }
    return 0;
}

int CFastNtfsRecovery::GetFileRecordBuf(uint32_t uRecord, unsigned char* pBuf) {
    if (pBuf == nullptr) return RESULT_INVALID_ARGUMENT;
    return ReadTableSectors(uint64_t{uRecord} * m_uSectorsPerRecord, m_uSectorsPerRecord, pBuf);
}

int CFastNtfsRecovery::ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) {
    const int result = ReadTableSectors(uRecord * m_uSectorsPerRecord, m_uSectorsPerRecord, pBuf);
    if (result != 0) return LookupReadResult(result);
    if (!IsFileRecordSignature(pBuf, m_uBytesPerRecord)) return NTFS_NOT_A_RECORD;
    return m_ntfsParse.FileRecordFixUp(pBuf, m_uBytesPerRecord) == 0 ? 0 : NTFS_NOT_A_RECORD;
}

int CFastNtfsRecovery::ReadClusters(uint64_t u64Cluster, uint64_t u64Count, unsigned char* pBuf) {
    uint64_t sector = 0, sectors = 0;
    if (__builtin_mul_overflow(u64Cluster, uint64_t{m_uSectorsPerCluster}, &sector) ||
        __builtin_mul_overflow(u64Count, uint64_t{m_uSectorsPerCluster}, &sectors) ||
        sectors > static_cast<uint64_t>(INT_MAX) / m_uBytesPerSector) {
        return RESULT_OUTSIDE_VOLUME;
    }
    unsigned int read = 0;
    return m_diskReader.ReadData(pBuf, static_cast<int>(sectors), m_u64VolumeStartSector + sector,
                                 static_cast<int>(m_uBytesPerSector), &read);
}

// A record sector inside the $MFT is read through the table, so that a record split between
// two runs is read whole; any other sector is read as it is.
int CFastNtfsRecovery::ReadRecordAtSector(uint64_t u64RecordSector, unsigned char* pBuf,
                                          uint64_t& uRecord) {
    uRecord = kUnknownRecord;
    uint64_t tableSector = 0;
    if (u64RecordSector >= m_u64VolumeStartSector &&
        FindTableSector(m_mftRunList, u64RecordSector - m_u64VolumeStartSector,
                        m_uSectorsPerCluster, tableSector) &&
        tableSector % m_uSectorsPerRecord == 0) {
        uRecord = tableSector / m_uSectorsPerRecord;
        return ReadTableSectors(tableSector, m_uSectorsPerRecord, pBuf);
    }
    unsigned int read = 0;
    return m_diskReader.ReadData(pBuf, static_cast<int>(m_uSectorsPerRecord), u64RecordSector,
                                 static_cast<int>(m_uBytesPerSector), &read);
}

int CFastNtfsRecovery::ReadFixedRecordAtSector(uint64_t u64RecordSector,
                                               std::vector<unsigned char>& buf, uint64_t& uRecord) {
    buf.assign(m_uBytesPerRecord, 0);
    const int result = ReadRecordAtSector(u64RecordSector, buf.data(), uRecord);
    if (result != 0) return LookupReadResult(result);
    NTFS_RECORD_HEADER header{};
    if (!ReadRecordHeader(buf.data(), buf.size(), header) ||
        m_ntfsParse.FileRecordFixUp(buf.data(), buf.size()) != 0) {
        return NTFS_NOT_A_RECORD;
    }
    if (uRecord == kUnknownRecord) uRecord = header.uOwnNumber;
    return 0;
}

int CFastNtfsRecovery::GetRunListInfo(uint64_t u64RecordSector, uint32_t uType, RUN_LIST& out) {
    std::vector<unsigned char> record;
    uint64_t number = 0;
    const int result = ReadFixedRecordAtSector(u64RecordSector, record, number);
    if (result != 0) return result;
    return CollectAttributeRuns(m_ntfsParse, *this, record.data(), record.size(), number, uType,
                                out);
}

int CFastNtfsRecovery::GetAttr0x80Data(uint64_t u64RecordSector, unsigned char* pBuf,
                                       uint32_t& uLength) {
    uLength = 0;
    if (pBuf == nullptr) return RESULT_INVALID_ARGUMENT;
    std::vector<unsigned char> record;
    uint64_t number = 0;
    if (ReadFixedRecordAtSector(u64RecordSector, record, number) != 0) return NTFS_NOT_FOUND;
    NTFS_ATTRIBUTE attr{};
    if (!FindAttribute(record.data(), record.size(), NTFS_ATTR_DATA, attr) || attr.bNonResident) {
        return NTFS_NOT_FOUND;
    }
    const uint16_t valueOffset = LoadU16(attr.p + 0x14);
    if (valueOffset > attr.uLength) return NTFS_NOT_FOUND;
    // The attribute's length counts the value's alignment bytes too; callers cut the data at
    // the file's size.
    const uint32_t length = attr.uLength - valueOffset;
    if (length >= m_uBytesPerRecord) return RESULT_NOT_A_RECORD;
    std::memcpy(pBuf, attr.p + valueOffset, length);
    uLength = length;
    return 0;
}

int CFastNtfsRecovery::GetBitMapRealBytesSize(uint64_t u64RecordSector, uint64_t& u64Size) {
    std::vector<unsigned char> record;
    uint64_t number = 0;
    const int result = ReadFixedRecordAtSector(u64RecordSector, record, number);
    if (result != 0) return result;
    NTFS_ATTRIBUTE attr{};
    if (!FindAttribute(record.data(), record.size(), NTFS_ATTR_DATA, attr)) return RESULT_NOT_FOUND;
    NTFS_NONRESIDENT_INFO info{};
    const unsigned char* value = nullptr;
    uint32_t length = 0;
    if (GetNonResidentInfo(attr, info)) {
        u64Size = info.u64RealSize;
    } else if (GetResidentValue(attr, value, length)) {
        u64Size = length;
    } else {
        return RESULT_NOT_FOUND;
    }
    return 0;
}
