// Deep-scan NTFS extraction: a file's data from its resident value or its data runs (decompressed
// when its $DATA is compressed), on the volume the scan placed it on.

#include <vector>

#include "ntfs/professional_ntfs_recovery.h"

int CProfessionalNtfsRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                              const DATA_SINK& sink) {
    NTFS_DATA_LOOKUP lookup;
    lookup.resident = [&](unsigned char* pBuf, uint32_t& uLength) {
        return GetFileNodeAttr0x80Data(&node, pBuf, uLength);
    };
    lookup.runs = [&](RUN_LIST& runs) {
        return GetFileNodeRunListInfo(&node, NTFS_ATTR_DATA, runs);
    };
    lookup.compression = [&](uint32_t& uUnitExponent) {
        std::vector<unsigned char> record;
        const int result = ReadFixedRecordAtSector(node.u64RecordSector, record);
        if (result == 0) uUnitExponent = DataCompressionExponent(record.data(), record.size());
        return result;
    };
    return DeliverNtfsData(m_diskReader, kBytesPerSector, node, u64Want, lookup, sink);
}

std::optional<uint64_t> CProfessionalNtfsRecovery::FolderKey(const _FILE_NODE_* pParent,
                                                             unsigned int uDirIndex) const {
    if (pParent == nullptr) return 0;
    return CStoreEngine::FolderKey(pParent, uDirIndex);
}
