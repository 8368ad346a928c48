// NTFS quick-scan extraction: a file's data from its resident value or its data runs.

#include "ntfs/fast_ntfs_recovery.h"

int CFastNtfsRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                      const DATA_SINK& sink) {
    NTFS_DATA_LOOKUP lookup;
    lookup.resident = [&](unsigned char* pBuf, uint32_t& uLength) {
        return GetAttr0x80Data(node.u64RecordSector, pBuf, uLength);
    };
    lookup.runs = [&](RUN_LIST& runs) {
        return GetRunListInfo(node.u64RecordSector, NTFS_ATTR_DATA, runs);
    };
    return DeliverNtfsData(m_diskReader, m_uBytesPerSector, node, u64Want, lookup, sink);
}
