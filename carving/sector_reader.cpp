#include "carving/sector_reader.h"

#include <climits>
#include <cstring>

#include "foundation/disk_reader.h"
#include "foundation/result.h"

int CDiskSectorReader::ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start,
                                   int nBytesPerSector, unsigned int* pnSectorsRead) {
    if (pnSectorsRead != nullptr) *pnSectorsRead = 0;
    if (m_pReader == nullptr) return RESULT_INVALID_ARGUMENT;
    return m_pReader->ReadData(pBuf, nSectors, u64Start, nBytesPerSector, pnSectorsRead);
}

uint64_t CDiskSectorReader::SectorLimit(int nBytesPerSector) const {
    (void)nBytesPerSector;  // a disk reader is bound with its limit in its own sector size
    return m_pReader == nullptr ? 0 : m_pReader->GetSectorLimit();
}

int CMemorySectorReader::ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start,
                                     int nBytesPerSector, unsigned int* pnSectorsRead) {
    ++m_nReads;
    if (pnSectorsRead != nullptr) *pnSectorsRead = 0;
    if (pBuf == nullptr || nSectors < 0 || nBytesPerSector <= 0) return RESULT_INVALID_ARGUMENT;
    const uint64_t limit = SectorLimit(nBytesPerSector);
    const uint64_t count = static_cast<uint64_t>(nSectors);
    if (u64Start > limit || count > limit - u64Start) return RESULT_OUTSIDE_VOLUME;
    const uint64_t bytes = count * static_cast<uint64_t>(nBytesPerSector);
    if (bytes > static_cast<uint64_t>(INT_MAX)) return RESULT_INVALID_ARGUMENT;
    if (bytes != 0) {
        std::memcpy(pBuf, m_pData + u64Start * static_cast<uint64_t>(nBytesPerSector), bytes);
    }
    if (pnSectorsRead != nullptr) *pnSectorsRead = static_cast<unsigned int>(count);
    return 0;
}

uint64_t CMemorySectorReader::SectorLimit(int nBytesPerSector) const {
    if (nBytesPerSector <= 0 || m_pData == nullptr) return 0;
    return m_nSize / static_cast<size_t>(nBytesPerSector);
}
