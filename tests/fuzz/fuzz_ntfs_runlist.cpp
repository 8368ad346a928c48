// Run-list decoding over arbitrary bytes taken as a non-resident attribute, the table mapping
// through whatever runs come out, and the attribute-list lookup that gathers an attribute's
// pieces from a base record and an extension record (the input's first and second 1,024
// bytes). Every buffer is exactly as long as the bytes it holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "ntfs/ntfs_parse.h"

namespace {

// Hands out the extension record for every record number, and refuses cluster reads.
class OneRecordSource : public INtfsRecordSource {
public:
    explicit OneRecordSource(std::vector<unsigned char> record) : record_(std::move(record)) {}
    int ReadRecordByNumber(uint64_t, unsigned char* pBuf) override {
        if (record_.size() < 1024) return NTFS_NOT_FOUND;
        std::memcpy(pBuf, record_.data(), 1024);
        return 0;
    }
    int ReadClusters(uint64_t, uint64_t, unsigned char*) override { return 87; }
    uint32_t GetClusterBytes() const override { return 4096; }

private:
    std::vector<unsigned char> record_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::vector<unsigned char> bytes(data, data + size);
    CNtfsParse parse;
    parse.Init(512);
    RUN_LIST runs;
    parse.GetRunList(bytes.data(), bytes.size(), runs);
    DecodeMappingPairs(bytes.data(), bytes.size(), runs);
    RunListEndCluster(runs);
    RunListClusters(runs);
    for (uint32_t spc : {1u, 8u, 128u}) {
        for (uint64_t probe : {uint64_t{0}, uint64_t{1}, uint64_t{64}, uint64_t{1} << 40}) {
            uint64_t out = 0;
            MapTableSector(runs, probe, spc, out);
            FindTableSector(runs, probe, spc, out);
        }
    }
    const size_t baseBytes = std::min<size_t>(size, 1024);
    std::vector<unsigned char> base(bytes.begin(), bytes.begin() + static_cast<long>(baseBytes));
    std::vector<unsigned char> extension(bytes.begin() + static_cast<long>(baseBytes), bytes.end());
    OneRecordSource source(extension);
    for (uint32_t type : {NTFS_ATTR_DATA, NTFS_ATTR_INDEX_ALLOCATION}) {
        RUN_LIST gathered;
        CollectAttributeRuns(parse, source, base.data(), base.size(), 40, type, gathered);
    }
    uint64_t realSize = 0;
    GetDataRealSize(parse, source, base.data(), base.size(), 40, realSize);
    return 0;
}
