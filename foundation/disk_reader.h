// CDiskReader: whole sectors at absolute addresses from one read-only descriptor, refusing
// every read that would run past the end of the volume it was bound to.
//
// Invariant: a read is attempted only when [start, start + count) lies below the sector
// limit; an unbound reader has limit 0 and refuses everything with RESULT_OUTSIDE_VOLUME.
// Reads are positioned (no shared file position). ReadSectors keeps no state, so any number of
// threads may call it at once; ReadData keeps the last-error bookkeeping and belongs to one
// thread.
#pragma once

#include <cstdint>

class CDiskReader {
public:
    CDiskReader() = default;
    ~CDiskReader();
    CDiskReader(const CDiskReader&) = delete;
    CDiskReader& operator=(const CDiskReader&) = delete;

    // Opens disk nDisk of the disk table read-only. 0 or errno.
    int Init(int nDisk, uint64_t u64SectorLimit);
    // Opens a device or image file by path (UTF-16) read-only, so that an engine bound to an
    // image by path can read it. 0 or errno.
    int Init(const char16_t* pszPath, uint64_t u64SectorLimit);
    // Tells the system the device will be read front to back, so it reads ahead further.
    void AdviseSequential() const;

    // Reads nSectors sectors of nBytesPerSector bytes starting at absolute sector
    // u64StartSector, in one positioned read. 0, RESULT_OUTSIDE_VOLUME (past the limit),
    // RESULT_INVALID_ARGUMENT (a nonsensical size), EBADF (not bound) or RESULT_SHORT_READ (with
    // the whole sectors that arrived in *pnSectorsRead).
    int ReadData(unsigned char* pBuf, int nSectors, uint64_t u64StartSector, int nBytesPerSector,
                 unsigned int* pnSectorsRead);

    // ReadData without the bookkeeping: the error of a short read goes to *pnReadError (0 for
    // end of data) instead of the reader's state, and nothing is logged.
    int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64StartSector, int nBytesPerSector,
                    unsigned int* pnSectorsRead, int* pnReadError) const;

    uint64_t GetSectorLimit() const { return m_u64SectorLimit; }
    int GetDescriptor() const { return m_nDevice; }
    // The system's error of the last read that came back short (0 for end of data), so that
    // a caller can tell a bad sector (EIO) from a device that is gone (ENODEV, ENXIO,
    // ENOMEDIUM). 0 after a read that arrived whole.
    int GetLastReadError() const { return m_nLastReadError; }

    // After this many failed reads in a row, further failures are counted, not logged: a
    // disk that stops answering must not fill the debug log with a line per chunk.
    static constexpr unsigned kLoggedFailuresInARow = 64;

private:
    int BindDescriptor(int fd, uint64_t u64SectorLimit);
    void NoteReadFailure(int nError);

    int m_nDevice = -1;
    uint64_t m_u64SectorLimit = 0;  // first absolute sector that may not be read
    int m_nLastReadError = 0;
    unsigned m_uFailuresInARow = 0;
};

// Reads nBytes from the descriptor's current position in chunks of at most 64 KiB.
// 0, or RESULT_SHORT_READ with the bytes that did arrive in *pnBytesRead.
int ReadData(int fd, unsigned char* pBuf, int nBytes, unsigned int* pnBytesRead);
