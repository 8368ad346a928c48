// The update-sequence fix-up and the attribute walk over one FILE record of arbitrary bytes,
// at both record sizes the engines use, with every per-attribute reader the scans apply.
// Each buffer is exactly as long as the record, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "ntfs/ntfs_parse.h"

namespace {

void ReadAttributes(const CNtfsParse& parse, const unsigned char* record, size_t bound) {
    CNtfsAttributeWalk walk(record, bound);
    NTFS_ATTRIBUTE attr{};
    while (walk.Next(attr)) {
        NTFS_FILE_NAME name;
        ParseFileNameAttribute(attr, name);
        FileNameRank(name.uNamespace);
        NTFS_NONRESIDENT_INFO info{};
        GetNonResidentInfo(attr, info);
        const unsigned char* value = nullptr;
        uint32_t length = 0;
        if (GetResidentValue(attr, value, length) && attr.uType == NTFS_ATTR_ATTRIBUTE_LIST) {
            size_t offset = 0;
            NTFS_ATTRIBUTE_LIST_ENTRY entry{};
            while (NextAttributeListEntry(value, length, offset, entry)) {
            }
        }
        RUN_LIST runs;
        if (attr.bNonResident) parse.GetRunList(attr.p, attr.uLength, runs);
    }
    for (uint32_t type : {NTFS_ATTR_FILE_NAME, NTFS_ATTR_DATA, NTFS_ATTR_ATTRIBUTE_LIST}) {
        FindAttribute(record, bound, type, attr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    for (int bytesPerSector : {512, 4096}) {
        CNtfsParse parse;
        parse.Init(bytesPerSector);
        const size_t recordBytes = static_cast<size_t>(parse.GetBytesPerRecord());
        std::vector<unsigned char> record(std::min(size, recordBytes));
        if (!record.empty()) std::memcpy(record.data(), data, record.size());
        NTFS_RECORD_HEADER header{};
        const bool isRecord = ReadRecordHeader(record.data(), record.size(), header);
        parse.FileRecordFixUp(record.data(), record.size());
        ReadAttributes(parse, record.data(), record.size());
        if (isRecord)
            ReadAttributes(parse, record.data(),
                           std::min<size_t>(header.uBytesInUse, record.size()));
    }
    return 0;
}
