// CarveScan: everything one carving scan keeps between sectors, handed to every recogniser
// and estimator as its first argument so that a function's inputs are visible in its
// signature and two scans (two engines, a test beside a fuzz target) never share state.
//
// The carving engine owns one per scan; tests, fuzz targets and the benchmark make their
// own. Not thread-safe: one scan is driven from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "carving/sector_reader.h"
#include "foundation/file_node.h"

// Sector range, both ends inclusive, of one transport stream carved in this scan.
struct _TS_FILE_RANGE_ {
    uint64_t u64FirstSector;
    uint64_t u64LastSector;
};

namespace carving {

class CarveScan {
public:
    static constexpr size_t kReadBufSize = 65536;

    CarveScan() = default;
    CarveScan(const CarveScan&) = delete;
    CarveScan& operator=(const CarveScan&) = delete;

    // Points the scan at the file under examination: reader, sector size, and the sector
    // both as the file's first and as the one being typed.
    void SetReadContext(ISectorReader* pReader, int nBytesPerSector, uint64_t u64Sector) {
        m_pDiskReader = pReader;
        m_nBytesPerSector = nBytesPerSector;
        m_u64StartSector = u64Sector;
        m_u64CurrentSector = u64Sector;
    }
    // A scan's CDiskReader is read through an adapter the scan owns; the reader is borrowed
    // for one call and unbound after it, so that no pointer to it outlives the call.
    ISectorReader* BindDisk(CDiskReader* pReader) {
        m_diskAdapter.Bind(pReader);
        return &m_diskAdapter;
    }
    void UnbindDisk() {
        if (m_pDiskReader == &m_diskAdapter) m_pDiskReader = nullptr;
        m_diskAdapter.Bind(nullptr);
    }

    void InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* pParam,
                      int nWeight) {
        m_progressFunc = scanCb;
        m_pRecoveryFunc = recoveryCb;
        m_pParam = pParam;
        m_nPercent = nWeight;
    }
    // A deep scan starts with no transport streams carved.
    void ClearTsFileRanges() { m_tsFileRangeVec.clear(); }

    // kReadBufSize bytes of work space for the estimators, allocated on first use so that a
    // scan made only to type one sector costs nothing. Null when memory is short: the
    // estimator then stops where it is rather than the scan failing.
    unsigned char* ReadBuf() {
        if (!m_readBuf) m_readBuf.reset(new (std::nothrow) unsigned char[kReadBufSize]);
        return m_readBuf.get();
    }

    // ---- Reading ----------------------------------------------------------------------------
    ISectorReader* m_pDiskReader = nullptr;
    int m_nBytesPerSector = 512;
    uint64_t m_u64StartSector = 0;    // first sector of the file being measured
    uint64_t m_u64CurrentSector = 0;  // sector being typed (moves on while an end is sought)

    // ---- Transport streams ------------------------------------------------------------------
    int m_bIsNeedCheckTsFileRange = 1;  // a TS start inside a carved stream is no new file
    int m_bIsMtsFileHead = 0;           // while an MTS file is measured
    std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;

    // ---- Progress and cancel ----------------------------------------------------------------
    uint64_t m_u64ScanSectorCount = 0;
    uint64_t m_u64SectorTotalCount = 0;
    uint64_t m_u64FileCount = 0;
    int m_nRemaidSecond = -1;
    int m_nPercent = 0;  // the nWeight given to InitCallBack
    SCAN_CALLBACK m_progressFunc = nullptr;
    RECOVERY_CALLBACK m_pRecoveryFunc = nullptr;
    void* m_pParam = nullptr;
    int m_ErrorCode = 0;  // the progress callback's last non-zero answer

private:
    std::unique_ptr<unsigned char[]> m_readBuf;
    CDiskSectorReader m_diskAdapter;
};

}  // namespace carving
