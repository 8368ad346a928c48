// The engine made for an Ext volume when a quick engine is asked for. It recognises the
// volume but reads nothing of its tree, so a deep scan carves the whole volume.
#pragma once

#include <cstdint>

#include "foundation/recovery_parse.h"

class CFastExtRecovery : public IFileRecoveryParse {
public:
    CFastExtRecovery() = default;
    ~CFastExtRecovery() override;
    CFastExtRecovery(const CFastExtRecovery&) = delete;
    CFastExtRecovery& operator=(const CFastExtRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int InitCallBack(SCAN_CALLBACK, RECOVERY_CALLBACK, void*, int) override { return 0; }
    int ScanDevice(const char16_t*) override { return 0; }
    int GetChildrenFileNode(_FILE_NODE_*, unsigned int, std::vector<_FILE_NODE_>&) override {
        return 0;
    }
    int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
    unsigned int GetLostFileCount() override { return 0; }
    int GetFileNodeParentDirPath(_FILE_NODE_*, char16_t*, int) override { return 0; }
    int SaveFileData(_FILE_NODE_*, const char16_t*, int) override { return 0; }
    // No free-space map is kept: the coordinator then scans the whole volume, which is what
    // finds files on a volume whose tree this engine cannot read.
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int InitSearchCallBack(SEARCH_CALLBACK, void*) override { return 0; }
    int SearchFileNode(const char16_t*, std::vector<__SEARCH_FILE_INFO__>&) override { return 0; }
    int BuildBitMapInfo() override { return 1; }
    int PreView(_FILE_NODE_*, char16_t*, int, unsigned char*, int&, PREVIEW_CALLBACK,
                void*) override {
        return 0;
    }

private:
    int m_nDevice = -1;
    uint64_t m_u64StartSector = 0;
    uint64_t m_u64SectorCount = 0;
};
