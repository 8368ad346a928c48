// The engine made for an Ext volume when a quick engine is asked for. It recognises the
// volume but reads nothing of its tree: it finds nothing and keeps no store, so a deep scan
// carves the whole volume.
#pragma once

#include <cstdint>

#include "store/store_engine.h"

class CFastExtRecovery : public CStoreEngine {
public:
    CFastExtRecovery() = default;
    ~CFastExtRecovery() override;
    CFastExtRecovery(const CFastExtRecovery&) = delete;
    CFastExtRecovery& operator=(const CFastExtRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int ScanDevice(const char16_t*) override { return RESULT_OK; }
    // No free-space map is kept: the coordinator then scans the whole volume, which is what
    // finds files on a volume whose tree this engine cannot read.
    int BuildBitMapInfo() override { return 1; }
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;

protected:
    // It has no records, so no data to read.
    int ReadRecordData(const _FILE_NODE_&, uint64_t, const DATA_SINK&) override {
        return RESULT_NOT_FOUND;
    }

private:
    int m_nDevice = -1;
    uint64_t m_u64StartSector = 0;
    uint64_t m_u64SectorCount = 0;
};
