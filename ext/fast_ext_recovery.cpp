#include "ext/fast_ext_recovery.h"

#include <unistd.h>

#include <cerrno>

#include "foundation/disk_table.h"

CFastExtRecovery::~CFastExtRecovery() {
    if (m_nDevice != -1) close(m_nDevice);
}

int CFastExtRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount, char16_t) {
    const int fd = OpenDiskReadOnly(nDisk);
    if (fd < 0) return errno;
    if (m_nDevice != -1) close(m_nDevice);
    m_nDevice = fd;
    m_u64StartSector = static_cast<uint64_t>(llStartSector);
    m_u64SectorCount = static_cast<uint64_t>(llSectorCount);
    return 0;
}

int CFastExtRecovery::Init(const char16_t*, char16_t) {
    return 0;
}

int CFastExtRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long& llCount) {
    llCount = 0;
    return 0;
}
