#include "foundation/disk_reader.h"

#include <fcntl.h>
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

// Fills pBuf with nBytes from offset in as few positioned reads as the system allows (one,
// normally): no seek, no shared file position, so two threads may read one descriptor. Returns
// the bytes that arrived and, when that is short, leaves errno of the failed read.
uint32_t ReadAllAt(int fd, unsigned char* pBuf, uint32_t nBytes, off_t offset) {
    uint32_t done = 0;
    while (done < nBytes) {
        errno = 0;
        ssize_t got;
        do {
            got = pread(fd, pBuf + done, nBytes - done, offset + static_cast<off_t>(done));
        } while (got < 0 && errno == EINTR);
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

void CDiskReader::AdviseSequential() const {
    if (m_nDevice >= 0) posix_fadvise(m_nDevice, 0, 0, POSIX_FADV_SEQUENTIAL);
}

int CDiskReader::Init(const char16_t* pszPath, uint64_t u64SectorLimit) {
    if (pszPath == nullptr) return EINVAL;
    return BindDescriptor(OpenDeviceReadOnly(WideToUtf8(pszPath).c_str()), u64SectorLimit);
}

int CDiskReader::ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64StartSector,
                             int nBytesPerSector, unsigned int* pnSectorsRead,
                             int* pnReadError) const {
    // Negative counts and sizes, and requests whose byte count does not fit the 32-bit
    // transfer, are refused like reads past the end rather than wrapped into huge ones.
    if (pBuf == nullptr || nSectors < 0 || nBytesPerSector <= 0) return RESULT_INVALID_ARGUMENT;
    const uint64_t count = static_cast<uint64_t>(nSectors);
    if (u64StartSector > m_u64SectorLimit || count > m_u64SectorLimit - u64StartSector)
        return RESULT_OUTSIDE_VOLUME;
    const uint64_t bytes = count * static_cast<uint64_t>(nBytesPerSector);
    if (bytes > static_cast<uint64_t>(INT_MAX)) return RESULT_INVALID_ARGUMENT;
    if (m_nDevice < 0) return EBADF;
    const uint64_t offset = u64StartSector * static_cast<uint64_t>(nBytesPerSector);
    if (offset > static_cast<uint64_t>(INT64_MAX) - bytes) return RESULT_OUTSIDE_VOLUME;
    const uint32_t done =
        ReadAllAt(m_nDevice, pBuf, static_cast<uint32_t>(bytes), static_cast<off_t>(offset));
    if (pnSectorsRead != nullptr) *pnSectorsRead = done / static_cast<uint32_t>(nBytesPerSector);
    if (pnReadError != nullptr) *pnReadError = done < bytes ? errno : 0;
    return done < bytes ? RESULT_SHORT_READ : 0;
}

int CDiskReader::ReadData(unsigned char* pBuf, int nSectors, uint64_t u64StartSector,
                          int nBytesPerSector, unsigned int* pnSectorsRead) {
    int error = 0;
    const int result =
        ReadSectors(pBuf, nSectors, u64StartSector, nBytesPerSector, pnSectorsRead, &error);
    if (result == RESULT_SHORT_READ) {
        NoteReadFailure(error);
    } else if (result == 0) {
        m_nLastReadError = 0;
        m_uFailuresInARow = 0;
    }
    return result;
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
