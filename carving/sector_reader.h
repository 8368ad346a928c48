// The sector source that the signature recognisers and the length estimators read through.
//
// Carving reads past a file's first sector (to type a compound document, to find where a
// stream ends, to read an icon directory), so it needs a device. Behind this interface that
// device is either the scan's CDiskReader or, in tests and fuzzing, a block of memory; the
// carving code cannot tell them apart.
//
// Contract of ReadSectors: reads nSectors sectors of nBytesPerSector bytes starting at
// absolute sector u64Start into pBuf. Returns 0 when every sector arrived, 87 when the request
// reaches past the sector limit or makes no sense, 30 on a short read (the whole sectors that
// did arrive are in *pnSectorsRead), or errno. Nothing is ever written to the device.
#pragma once

#include <cstddef>
#include <cstdint>

class CDiskReader;

class ISectorReader {
public:
    virtual ~ISectorReader() = default;
    virtual int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start,
                            int nBytesPerSector, unsigned int* pnSectorsRead) = 0;
    // First absolute sector (of nBytesPerSector bytes) that can no longer be read.
    virtual uint64_t SectorLimit(int nBytesPerSector) const = 0;
};

// Reads through a scan's read-only device reader. Holds the pointer only; the reader must
// outlive every read.
class CDiskSectorReader final : public ISectorReader {
public:
    explicit CDiskSectorReader(CDiskReader* pReader = nullptr) : m_pReader(pReader) {}
    void Bind(CDiskReader* pReader) { m_pReader = pReader; }
    CDiskReader* Bound() const { return m_pReader; }

    int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start, int nBytesPerSector,
                    unsigned int* pnSectorsRead) override;
    uint64_t SectorLimit(int nBytesPerSector) const override;

private:
    CDiskReader* m_pReader;
};

// Treats a caller's byte block as a device whose sector 0 is its first byte. A partial last
// sector is not readable. The bytes are borrowed and must outlive the reader.
class CMemorySectorReader final : public ISectorReader {
public:
    CMemorySectorReader(const unsigned char* pData, size_t nSize)
        : m_pData(pData), m_nSize(nSize) {}

    int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start, int nBytesPerSector,
                    unsigned int* pnSectorsRead) override;
    uint64_t SectorLimit(int nBytesPerSector) const override;

    // Number of ReadSectors calls so far, so that tests can tell a read-free path.
    size_t ReadCount() const { return m_nReads; }

private:
    const unsigned char* m_pData;
    size_t m_nSize;
    size_t m_nReads = 0;
};
