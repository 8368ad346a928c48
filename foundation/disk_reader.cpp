#include "foundation/disk_reader.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/result.h"
#include "foundation/text.h"

namespace {
constexpr uint32_t kReadChunk = 65536;

// One read() that retries when a signal interrupts it. Returns what read() returned.
ssize_t ReadOnce(int fd, unsigned char* pBuf, size_t nBytes) {
    ssize_t got;
    do {
        got = read(fd, pBuf, nBytes);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Fills pBuf with nBytes from the current position; returns the bytes that arrived and, when
// that is short, leaves errno of the failed read (0 at end of data).
uint32_t ReadAll(int fd, unsigned char* pBuf, uint32_t nBytes) {
    uint32_t done = 0;
    while (done < nBytes) {
        const uint32_t chunk = nBytes - done < kReadChunk ? nBytes - done : kReadChunk;
        errno = 0;
        const ssize_t got = ReadOnce(fd, pBuf + done, chunk);
        if (got <= 0) break;
        done += static_cast<uint32_t>(got);
    }
    return done;
}
}  // namespace

CDiskReader::~CDiskReader() {
    if (m_nDevice != -1) close(m_nDevice);
    m_nDevice = -1;
}

int CDiskReader::BindDescriptor(int fd, uint64_t u64SectorLimit) {
    if (fd < 0) return errno;
    if (m_nDevice != -1) close(m_nDevice);
    m_nDevice = fd;
    m_u64SectorLimit = u64SectorLimit;
    return 0;
}

int CDiskReader::Init(int nDisk, uint64_t u64SectorLimit) {
    return BindDescriptor(OpenDiskReadOnly(nDisk), u64SectorLimit);
}

int CDiskReader::Init(const char16_t* pszPath, uint64_t u64SectorLimit) {
    if (pszPath == nullptr) return EINVAL;
    return BindDescriptor(OpenDeviceReadOnly(WideToUtf8(pszPath).c_str()), u64SectorLimit);
}

int CDiskReader::ReadData(unsigned char* pBuf, int nSectors, uint64_t u64StartSector,
                          int nBytesPerSector, unsigned int* pnSectorsRead) {
    // Negative counts and sizes, and requests whose byte count does not fit the 32-bit
    // transfer, are refused like reads past the end rather than wrapped into huge ones.
    if (pBuf == nullptr || nSectors < 0 || nBytesPerSector <= 0) return RESULT_INVALID_ARGUMENT;
    const uint64_t count = static_cast<uint64_t>(nSectors);
    if (u64StartSector > m_u64SectorLimit || count > m_u64SectorLimit - u64StartSector)
        return RESULT_OUTSIDE_VOLUME;
    const uint64_t bytes = count * static_cast<uint64_t>(nBytesPerSector);
    if (bytes > static_cast<uint64_t>(INT_MAX)) return RESULT_INVALID_ARGUMENT;

    const long long offset = static_cast<long long>(u64StartSector * nBytesPerSector);
    if (lseek(m_nDevice, offset, SEEK_SET) < 0) {
        const int error = errno;
        DebugLog("lseek failed %lld\n", offset);
        return error;
    }
    const uint32_t done = ReadAll(m_nDevice, pBuf, static_cast<uint32_t>(bytes));
    if (pnSectorsRead != nullptr) *pnSectorsRead = done / static_cast<uint32_t>(nBytesPerSector);
    if (done < bytes) {
        NoteReadFailure(errno);
        return RESULT_SHORT_READ;
    }
    m_nLastReadError = 0;
    m_uFailuresInARow = 0;
    return 0;
}

void CDiskReader::NoteReadFailure(int nError) {
    m_nLastReadError = nError;
    ++m_uFailuresInARow;
    if (m_uFailuresInARow <= kLoggedFailuresInARow) {
        DebugLog("read %lld\n", static_cast<long long>(nError));
    }
    if (m_uFailuresInARow == kLoggedFailuresInARow) {
        DebugLog("reads keep failing; further failures are not logged until one succeeds\n");
    }
}

int ReadData(int fd, unsigned char* pBuf, int nBytes, unsigned int* pnBytesRead) {
    if (pBuf == nullptr || nBytes < 0) {
        if (pnBytesRead != nullptr) *pnBytesRead = 0;
        return RESULT_SHORT_READ;
    }
    const uint32_t done = ReadAll(fd, pBuf, static_cast<uint32_t>(nBytes));
    if (pnBytesRead != nullptr) *pnBytesRead = done;
    return done < static_cast<uint32_t>(nBytes) ? RESULT_SHORT_READ : 0;
}
