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

#include "engine/log_file_manager.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"

namespace {

constexpr size_t kChunkBytes = 65536;
constexpr size_t kMaxTargetChars = 511;

// Writes all of pData, repeating short writes. 0 or errno.
int WriteAll(int fd, const unsigned char* pData, size_t nBytes) {
    while (nBytes > 0) {
        const ssize_t put = write(fd, pData, nBytes);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        pData += put;
        nBytes -= static_cast<size_t>(put);
    }
    return 0;
}

// Reads the carved run from its first sector in chunks of at most 64 KiB, handing each
// chunk's bytes that belong to the first u64Bytes to sink(data, bytes, bytesSoFar). Stops at
// the first non-zero result of the read or the sink.
template <class Sink>
int ReadCarvedRun(CDiskReader& reader, int nBytesPerSector, uint64_t u64FirstSector,
                  uint64_t u64Bytes, unsigned char* pChunk, Sink&& sink) {
    const uint64_t b = static_cast<uint64_t>(nBytesPerSector);
    const uint64_t chunkSectors = kChunkBytes / b;
    uint64_t sectorsLeft = (u64Bytes + b - 1) / b;
    uint64_t position = u64FirstSector;
    uint64_t produced = 0;
    while (sectorsLeft > 0) {
        const uint64_t want = sectorsLeft < chunkSectors ? sectorsLeft : chunkSectors;
        unsigned int got = 0;
        const int rc =
            reader.ReadData(pChunk, static_cast<int>(want), position, nBytesPerSector, &got);
        if (rc != 0) return rc;
        if (got == 0) return RESULT_SHORT_READ;
        const uint64_t bytes = std::min<uint64_t>(uint64_t{got} * b, u64Bytes - produced);
        produced += bytes;
        const int stop = sink(pChunk, static_cast<size_t>(bytes), produced);
        if (stop != 0) return stop;
        position += got;
        sectorsLeft -= got;
    }
    return 0;
}

void CopyWide(const std::u16string& text, char16_t* pOut, int nOutChars) {
    if (pOut == nullptr || nOutChars <= 0) return;
    const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(nOutChars) - 1);
    std::memcpy(pOut, text.data(), n * sizeof(char16_t));
    pOut[n] = 0;
}

std::string LowerExtension(const char* pszName) {
    char ext[256] = {0};
    if (GetExtendName(pszName, ext, sizeof ext) != 0) return "";
    GetCharLowerA(ext);
    return ext;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery() = default;
CFileTypeRecovery::~CFileTypeRecovery() = default;

int CFileTypeRecovery::CreateStore(long long llFirstSector) {
    SYSTEMTIME now{};
    rsb_getLocalTime(&now);
    char name[128];
    std::snprintf(name, sizeof name, "%s%lld_%d%d%d%d%2d", kFileTypeLogPrefix, llFirstSector,
                  now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
    return OpenStore(Utf8ToWide(name).c_str());
}

int CFileTypeRecovery::OpenStore(const char16_t* pszLogName) {
    m_pStore = std::make_unique<CScanResultFileManager>();
    const int rc = m_pStore->Init(pszLogName);
    if (rc != 0) DebugLog("carving store open failed %d\n", rc);
    if (m_searchCallback != nullptr)
        m_pStore->InitSearchCallBack(m_searchCallback, m_pSearchContext);
    return rc;
}

int CFileTypeRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                            char16_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    m_llStartSector = llStartSector;
    m_llSectorCount = llSectorCount;
    CreateStore(llStartSector);
    const uint64_t limit =
        static_cast<uint64_t>(llStartSector) + static_cast<uint64_t>(llSectorCount);
    return m_diskReader.Init(nDisk, limit);
}

int CFileTypeRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    m_wcDriveLetter = wcDriveLetter;
    m_llStartSector = 0;
    m_llSectorCount = 0;
    CreateStore(0);
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
    OpenStore(pszLogName);
    return rc;
}

int CFileTypeRecovery::InitLogFile(const char16_t* pszLogName, char16_t wcDriveLetter, int nDisk,
                                   int nBytesPerSector, uint64_t u64SectorLimit) {
    m_wcDriveLetter = wcDriveLetter;
    if (nBytesPerSector > 0) m_nBytesPerSector = nBytesPerSector;
    const int rc = m_diskReader.Init(nDisk, u64SectorLimit);
    OpenStore(pszLogName);
    return rc;
}

int CFileTypeRecovery::InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                                    int nWeight) {
    m_scanCallback = scanCb;
    m_recoveryCallback = recoveryCb;
    m_pCallbackContext = ctx;
    m_nWeight = nWeight;
    CFileTypeJudge::InitCallBack(scanCb, recoveryCb, ctx, nWeight);
    return 0;
}

int CFileTypeRecovery::ScanDevice(const char16_t*) {
    return 0;
}

int CFileTypeRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                           std::vector<_FILE_NODE_>& out) {
    if (!m_pStore) return 0;
    m_pStore->FlushBufToFile();
    if (pParent != nullptr || uDirIndex != 0) return 0;  // carved files have no folders
    return m_pStore->GetChildrenFileNode(0, out);
}

int CFileTypeRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                            unsigned int& count) {
    if (!m_pStore) return 0;
    m_pStore->FlushBufToFile();
    if (pParent != nullptr || uDirIndex != 0) return 0;
    unsigned int files = 0;
    const int rc = m_pStore->GetChildrenFileCount(0, files);
    count += files;
    return rc;
}

unsigned int CFileTypeRecovery::GetLostFileCount() {
    return m_pStore ? m_pStore->GetFileIndex() : 0;
}

int CFileTypeRecovery::GetFileNodeParentDirPath(_FILE_NODE_*, char16_t*, int) {
    return 0;
}

int CFileTypeRecovery::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath, int) {
    char16_t target[kMaxTargetChars + 1] = {0};
    if (pszTargetPath != nullptr) {
        const size_t n = std::min(WideLength(pszTargetPath), kMaxTargetChars);
        std::memcpy(target, pszTargetPath, n * sizeof(char16_t));
    }
    return SaveDataToTargetFile(pNode, target);
}

int CFileTypeRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long&) {
    return 0;
}

int CFileTypeRecovery::InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) {
    m_searchCallback = cb;
    m_pSearchContext = ctx;
    if (!m_pStore) return RESULT_INVALID_ARGUMENT;
    return m_pStore->InitSearchCallBack(cb, ctx);
}

int CFileTypeRecovery::SearchFileNode(const char16_t* pszKey,
                                      std::vector<__SEARCH_FILE_INFO__>& out) {
    if (!m_pStore) return 0;
    return m_pStore->SearchFileNodeInfo(pszKey, out);
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
    const int rc = CFileTypeJudge::ParseFileBuf(
        pBuf, static_cast<size_t>(nLen), u64Sector, u64ScanSectorCount, u64SectorTotalCount,
        nRemaidSecond, u64FilesFound, pReader, nBytesPerSector, name, sizeof name, type, length);
    // The estimator read through pReader; nothing may keep pointing at it afterwards.
    CFileTypeJudge::m_pDiskReader = nullptr;
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

int CFileTypeRecovery::SaveDataToTargetFile(const _FILE_NODE_* pNode,
                                            const char16_t* pszTargetPath) {
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
    int result = 0;
    int fd = -1;
    if (chunk == nullptr) {
        result = RESULT_OUT_OF_MEMORY;
    } else if (pNode == nullptr || pszTargetPath == nullptr) {
        result = RESULT_INVALID_ARGUMENT;
    } else {
        // O_EXCL: a recovered file never overwrites one that is already there.
        fd = open(WideToUtf8(pszTargetPath).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            result = errno;
            DebugLog("open Recovery File  erro = %d\n", result);
        }
    }
    if (fd >= 0) {
        const uint64_t size = pNode->u64FileSize;
        result = ReadCarvedRun(
            m_diskReader, m_nBytesPerSector, pNode->u64RecordSector, size, chunk.get(),
            [&](const unsigned char* data, size_t bytes, uint64_t done) {
                const int written = WriteAll(fd, data, bytes);
                if (written != 0) return written;
                if (m_recoveryCallback == nullptr) return 0;
                return m_recoveryCallback(m_pCallbackContext, static_cast<int>(done * 100 / size),
                                          100, 0, pszTargetPath);
            });
    }
    if (result > 0 && m_recoveryCallback != nullptr) {
        m_recoveryCallback(m_pCallbackContext, 100, 100, result, pszTargetPath);
    }
    if (fd >= 0) close(fd);
    return result;
}

int CFileTypeRecovery::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                               unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) {
    int result = 0;
    int fd = -1;
    std::string tmpPath;
    int copied = 0;
    if (pNode == nullptr) {
        result = RESULT_INVALID_ARGUMENT;
    } else {
        const std::string ext = LowerExtension(pNode->szFileName);
        const std::string root = GetScanLogRootPath();
        const bool photo = !ext.empty() && IsPhotoExtension(ext.c_str());
        const std::string candidate = root + "tmp." + ext;
        uint64_t wanted = pNode->u64FileSize;
        if (photo && !root.empty() && candidate.size() < 256) {
            tmpPath = candidate;
            MakeFolderPath(root);
            CopyWide(Utf8ToWide(tmpPath.c_str()), pszTmpPath, nTmpPathChars);
            // The preview file is ours; an earlier preview's longer content must not linger.
            fd = open(tmpPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) result = errno;
        } else {
            const uint64_t room =
                pBuf == nullptr || nBufLen < 0 ? 0 : static_cast<uint64_t>(nBufLen);
            wanted = std::min(wanted, room);
        }
        std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
        if (result == 0 && chunk == nullptr) result = RESULT_OUT_OF_MEMORY;
        if (result == 0) {
            result = ReadCarvedRun(m_diskReader, m_nBytesPerSector, pNode->u64RecordSector, wanted,
                                   chunk.get(),
                                   [&](const unsigned char* data, size_t bytes, uint64_t done) {
                                       if (fd >= 0) {
                                           const int written = WriteAll(fd, data, bytes);
                                           if (written != 0) return written;
                                       } else {
                                           std::memcpy(pBuf + copied, data, bytes);
                                           copied += static_cast<int>(bytes);
                                       }
                                       if (cb == nullptr) return 0;
                                       return cb(ctx, static_cast<int>(done * 100 / wanted), 0);
                                   });
        }
    }
    if (cb != nullptr) cb(ctx, 100, result);
    if (fd >= 0) {
        close(fd);
        if (result != 0) unlink(tmpPath.c_str());
    }
    nBufLen = fd >= 0 ? 0 : copied;
    return result;
}
