#include "carving/file_type_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"

namespace {
constexpr size_t kChunkBytes = 65536;
}  // namespace

CFileTypeRecovery::CFileTypeRecovery() = default;
CFileTypeRecovery::~CFileTypeRecovery() = default;

int CFileTypeRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                            char16_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    OpenStore(kFileTypeLogPrefix, static_cast<uint64_t>(llStartSector), nullptr);
    const uint64_t limit =
        static_cast<uint64_t>(llStartSector) + static_cast<uint64_t>(llSectorCount);
    return m_diskReader.Init(nDisk, limit);
}

int CFileTypeRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    OpenStore(kFileTypeLogPrefix, 0, nullptr);
    // Recovery and preview read through this reader, so it is bound to the whole device
    // rather than left refusing every read.
    const int rc = m_diskReader.Init(pszDevicePath, 0);
    if (rc != 0) return rc;
    const uint64_t bytes = GetDeviceSizeBytes(m_diskReader.GetDescriptor());
    return m_diskReader.Init(pszDevicePath, bytes / static_cast<uint64_t>(m_nBytesPerSector));
}

int CFileTypeRecovery::InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter,
                                   const char16_t* pszDevicePath, int nBytesPerSector,
                                   uint64_t u64SectorLimit) {
    m_wcDriveLetter = wcDriveLetter;
    if (nBytesPerSector > 0) m_nBytesPerSector = nBytesPerSector;
    const int rc = m_diskReader.Init(pszDevicePath, u64SectorLimit);
    OpenStore(kFileTypeLogPrefix, 0, pszLogName);
    return rc;
}

int CFileTypeRecovery::InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter, int nDisk,
                                   int nBytesPerSector, uint64_t u64SectorLimit) {
    m_wcDriveLetter = wcDriveLetter;
    if (nBytesPerSector > 0) m_nBytesPerSector = nBytesPerSector;
    const int rc = m_diskReader.Init(nDisk, u64SectorLimit);
    OpenStore(kFileTypeLogPrefix, 0, pszLogName);
    return rc;
}

int CFileTypeRecovery::InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                                    int nWeight) {
    CStoreEngine::InitCallBack(scanCb, recoveryCb, ctx, nWeight);
    m_carveScan.InitCallBack(scanCb, recoveryCb, ctx, nWeight);
    return RESULT_OK;
}

int CFileTypeRecovery::ScanDevice(const char16_t*) {
    return 0;
}

std::optional<uint64_t> CFileTypeRecovery::FolderKey(const _FILE_NODE_* pParent,
                                                     unsigned int uDirIndex) const {
    if (pParent != nullptr || uDirIndex != 0) return std::nullopt;
    return 0;
}

int CFileTypeRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long&) {
    return 0;
}

int CFileTypeRecovery::BuildBitMapInfo() {
    return 0;
}

// ---- Carving ----------------------------------------------------------------------------

int CFileTypeRecovery::ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                                    uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount,
                                    int nRemaidSecond, CDiskReader* pReader, int nBytesPerSector,
                                    uint64_t& u64Consumed, uint64_t& u64FilesFound) {
    CDiskSectorReader adapter(pReader);
    return ParseFileBuf(pBuf, nLen, u64Sector, u64ScanSectorCount, u64SectorTotalCount,
                        nRemaidSecond, &adapter, nBytesPerSector, u64Consumed, u64FilesFound);
}

int CFileTypeRecovery::ParseFileBuf(const unsigned char* pBuf, int nLen, uint64_t u64Sector,
                                    uint64_t u64ScanSectorCount, uint64_t u64SectorTotalCount,
                                    int nRemaidSecond, ISectorReader* pReader, int nBytesPerSector,
                                    uint64_t& u64Consumed, uint64_t& u64FilesFound) {
    if (pBuf == nullptr || nLen <= 0 || nBytesPerSector <= 0) return RESULT_INVALID_ARGUMENT;
    m_nBytesPerSector = nBytesPerSector;
    char name[256] = {0};
    uint32_t type = EXT_TYPE_NONE;
    uint64_t length = 0;
    const int rc = CFileTypeJudge::ParseFileBuf(m_carveScan, pBuf, static_cast<size_t>(nLen),
                                                u64Sector, u64ScanSectorCount, u64SectorTotalCount,
                                                nRemaidSecond, u64FilesFound, pReader,
                                                nBytesPerSector, name, sizeof name, type, length);
    // The estimator read through pReader; nothing may keep pointing at it afterwards.
    m_carveScan.m_pDiskReader = nullptr;
    if (rc != 0) return rc;
    const int recorded = RecordCarvedFile(u64Sector, name, length);
    if (recorded != 0) return recorded;
    u64Consumed = CarvedSectorsConsumed(type, length, nBytesPerSector);
    ++u64FilesFound;
    return 0;
}

int CFileTypeRecovery::RecordCarvedFile(uint64_t u64Sector, const char* pszName,
                                        uint64_t u64Length) {
    if (!m_pStore) return RESULT_INVALID_ARGUMENT;
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (node == nullptr) return RESULT_OUT_OF_MEMORY;
    std::memset(node, 0, sizeof *node);
    node->wcDriveLetter = m_wcDriveLetter;
    node->nFileSource = FILE_SOURCE_FILE_TYPE;
    node->bIsDir = 0;
    node->bDataHealth = 1;
    node->uFileIndex = m_pStore->GetFileIndex();
    node->uClusterNO = 0;
    node->uClusterBytes = 0xFFFFFFFF;
    node->u64FileSize = u64Length;
    node->u64RecordSector = u64Sector;
    std::snprintf(node->szFileName, sizeof node->szFileName, "%s", pszName);
    m_pStore->AddChildren(0, 0, node->uFileIndex, 0, nullptr);
    return 0;
}

// ---- Recovery and preview ---------------------------------------------------------------

// Reads the carved run from its first sector in chunks of at most 64 KiB.
int CFileTypeRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                      const DATA_SINK& sink) {
    const uint64_t b = static_cast<uint64_t>(m_nBytesPerSector);
    const uint64_t chunkSectors = kChunkBytes / b;
    std::vector<unsigned char> chunk(kChunkBytes);
    uint64_t sectorsLeft = (u64Want + b - 1) / b;
    uint64_t position = node.u64RecordSector;
    uint64_t produced = 0;
    while (sectorsLeft > 0) {
        const uint64_t want = std::min(sectorsLeft, chunkSectors);
        unsigned int got = 0;
        const int rc = m_diskReader.ReadData(chunk.data(), static_cast<int>(want), position,
                                             m_nBytesPerSector, &got);
        if (rc != RESULT_OK) return rc;
        if (got == 0) return RESULT_SHORT_READ;
        const uint64_t bytes = std::min<uint64_t>(uint64_t{got} * b, u64Want - produced);
        produced += bytes;
        const int answer = sink(chunk.data(), static_cast<uint32_t>(bytes));
        if (answer != 0) return answer;
        position += got;
        sectorsLeft -= got;
    }
    return RESULT_OK;
}
