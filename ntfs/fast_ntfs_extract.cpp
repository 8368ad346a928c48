// NTFS quick-scan extraction: a file's data from its resident value or its data runs,
// decompressed when its $DATA is compressed.

#include <cstring>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"

namespace {

// The stream name of a listed named stream, from its record's name.
bool StreamNameOf(const _FILE_NODE_& node, std::u16string& name) {
    if (!IsNtfsNamedStream(node)) return false;
    const size_t length = strnlen(node.szFileName, sizeof node.szFileName);
    if (node.u64DataStartSector >= length || node.szFileName[node.u64DataStartSector] != ':') {
        return false;
    }
    name = Utf8ToWide(
        std::string(node.szFileName + node.u64DataStartSector + 1, node.szFileName + length)
            .c_str());
    return !name.empty();
}

}  // namespace

// A named stream's data: its own $DATA attribute in the record, resident or in runs.
int CFastNtfsRecovery::ReadStreamData(const _FILE_NODE_& node, const std::u16string& stream,
                                      uint64_t u64Want, const DATA_SINK& sink) {
    std::vector<unsigned char> record;
    uint64_t number = 0;
    const int read = ReadFixedRecordAtSector(node.u64RecordSector, record, number);
    NTFS_ATTRIBUTE attr{};
    const bool found = read == 0 && FindNamedStream(record.data(), record.size(), stream, attr);
    NTFS_DATA_LOOKUP lookup;
    lookup.resident = [&](unsigned char* pBuf, uint32_t& uLength) -> int {
        uLength = 0;
        const unsigned char* value = nullptr;
        if (!found) return read != 0 ? read : NTFS_NOT_FOUND;
        if (attr.bNonResident || !GetResidentValue(attr, value, uLength)) return NTFS_NOT_FOUND;
        if (uLength >= m_uBytesPerRecord) return RESULT_NOT_A_RECORD;
        std::memcpy(pBuf, value, uLength);
        return 0;
    };
    lookup.runs = [&](RUN_LIST& runs) -> int {
        if (!found || !attr.bNonResident) return NTFS_NOT_FOUND;
        m_ntfsParse.GetRunList(attr.p, attr.uLength, runs);
        return 0;
    };
    return DeliverNtfsData(m_diskReader, m_uBytesPerSector, node, u64Want, lookup, sink);
}

int CFastNtfsRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                      const DATA_SINK& sink) {
    std::u16string stream;
    if (StreamNameOf(node, stream)) return ReadStreamData(node, stream, u64Want, sink);
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
        if (result != 0) return result;
        uUnitExponent = DataCompressionExponent(record.data(), record.size());
        if (uUnitExponent == 0) {
            uUnitExponent = ListedDataCompressionExponent(m_ntfsParse, *this, record.data(),
                                                          record.size(), number);
        }
        return 0;
    };
    return DeliverNtfsData(m_diskReader, m_uBytesPerSector, node, u64Want, lookup, sink);
}
