// NTFS quick-scan extraction: a file's data from its resident value or its data runs,
// decompressed when its $DATA is compressed.

#include <vector>

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
    lookup.compression = [&](uint32_t& uUnitExponent) {
        std::vector<unsigned char> record;
        uint64_t number = 0;
        const int result = ReadFixedRecordAtSector(node.u64RecordSector, record, number);
        if (result == 0) uUnitExponent = DataCompressionExponent(record.data(), record.size());
        return result;
    };
    return DeliverNtfsData(m_diskReader, m_uBytesPerSector, node, u64Want, lookup, sink);
}
