// FILE-record fix-up, run-list decoding, the table mapping and the attribute and attribute-list
// walks, on hand-made bytes that show the published layouts and the ways they break.
#include "ntfs/ntfs_parse.h"

#include <gtest/gtest.h>

#include <map>
#include <numeric>

#include "foundation/bytes.h"
#include "ntfs_test_image.h"

namespace {

using ferrowen::test::Bytes;
using ferrowen::test::NtfsVolumeBuilder;
using ferrowen::test::PutLe;

CNtfsParse Parser(int bytesPerSector = 512) {
    CNtfsParse parse;
    parse.Init(bytesPerSector);
    return parse;
}

// Non-resident $DATA with the mapping pairs given at 0x40.
Bytes NonResident(const Bytes& pairs, uint64_t startVcn = 0) {
    return NtfsVolumeBuilder::NonResidentPairs(NTFS_ATTR_DATA, pairs, 0, 6 * 4096, startVcn);
}

using Runs = std::vector<std::tuple<uint64_t, int64_t, bool>>;  // length, offset, hole

Runs Decode(const Bytes& pairs) {
    const Bytes attr = NonResident(pairs);
    RUN_LIST runs;
    Parser().GetRunList(attr.data(), attr.size(), runs);
    Runs out;
    for (const __RUNLIST__& r : runs) out.push_back({r.length, r.offset, r.bSparse});
    return out;
}

// A record as it reads after its fix-up, numbered 40; attributes start at 56.
Bytes Record(const std::vector<Bytes>& attrs) {
    return NtfsVolumeBuilder::RecordBytes(40, 0, attrs);
}

Bytes FileName(uint32_t parent, const std::u16string& name) {
    return NtfsVolumeBuilder::FileName(parent, name, NTFS_NAMESPACE_WIN32, 4444);
}

// A resident $DATA holding "abc..." of valueLength bytes.
Bytes ResidentData(size_t valueLength) {
    Bytes value(valueLength);
    std::iota(value.begin(), value.end(), 'a');
    return NtfsVolumeBuilder::Resident(NTFS_ATTR_DATA, value);
}

// The update sequence array lies at 0x30 in NTFS 3.1 records and at 0x2A in 3.0 ones; an
// offset that cannot hold it is taken for 0x30.
TEST(NtfsFixUp, PutsBackTheLastTwoBytesOfEverySectorFromTheArrayTheHeaderNames) {
    for (const auto& [field, array] :
         std::vector<std::pair<uint16_t, size_t>>{{0x30, 0x30}, {0x2A, 0x2A}, {0xFFF0, 0x30}}) {
        Bytes r = Record({});
        PutLe(r, 4, field, 2);
        PutLe(r, array + 2, 0xA1B2, 2);
        PutLe(r, array + 4, 0xC3D4, 2);
        ASSERT_EQ(Parser().FileRecordFixUp(r.data(), r.size()), 0);
        EXPECT_EQ(LoadU16(&r[510]), 0xA1B2) << field;
        EXPECT_EQ(LoadU16(&r[1022]), 0xC3D4) << field;
    }
    const CNtfsParse big = Parser(4096);
    EXPECT_EQ(big.GetSectorsPerRecord(), 1);
    Bytes one(4096, 0);
    std::memcpy(one.data(), "FILE", 4);
    PutLe(one, 4, 0x30, 2);
    PutLe(one, 50, 0x1234, 2);
    PutLe(one, 1022, 0x5555, 2);
    ASSERT_EQ(big.FileRecordFixUp(one.data(), one.size()), 0);
    EXPECT_EQ(LoadU16(&one[4094]), 0x1234);
    EXPECT_EQ(LoadU16(&one[1022]), 0x5555);  // only the sector's end is touched

    Bytes zero(1024, 0);
    EXPECT_EQ(Parser().FileRecordFixUp(zero.data(), zero.size()), -1);
    EXPECT_EQ(Parser().FileRecordFixUp(nullptr, 1024), -1);
    Bytes shortRecord = Record({});
    shortRecord.resize(1000);
    const Bytes before = shortRecord;
    EXPECT_EQ(Parser().FileRecordFixUp(shortRecord.data(), shortRecord.size()), -1);
    EXPECT_EQ(shortRecord, before);
}

TEST(NtfsRunList, DecodesLengthsSignedOffsetsAndHoles) {
    EXPECT_EQ(Decode({0x21, 0x18, 0x34, 0x56, 0x00}), (Runs{{0x18, 0x5634, false}}));
    EXPECT_EQ(Decode({0x11, 0x30, 0x60, 0x21, 0x10, 0x00, 0x01, 0x00}),
              (Runs{{0x30, 0x60, false}, {0x10, 0x100, false}}));
    EXPECT_EQ(Decode({0x11, 0x04, 0xF0, 0x00}), (Runs{{4, -16, false}}));
    // Lengths keep their low 32 bits only; a run without an offset field is a hole.
    EXPECT_EQ(Decode({0x05, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00}), (Runs{{1, 0, true}}));
    EXPECT_EQ(Decode({0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00}),
              (Runs{{4, 0x20, false}, {8, 0, true}, {2, 0x10, false}}));
    EXPECT_EQ(RunListEndCluster({{4, 0x20}, {8, 0, true}, {2, 0x10}}), 0x30);
    EXPECT_EQ(RunListClusters({{4, 0x20}, {8, 0, true}, {2, 0x10}}), 14u);
    // A field wider than 7 bytes ends the list.
    EXPECT_EQ(Decode({0x11, 0x04, 0x20, 0x81, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}),
              (Runs{{4, 0x20, false}}));
    EXPECT_EQ(Decode({0x18, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}), Runs{});
}

TEST(NtfsRunList, AnAttributeEndsTheListWhereverItsBoundsSay) {
    // A run whose fields would reach past the attribute is not decoded.
    Bytes attr = NonResident({0x11, 0x04, 0x20, 0x44, 1, 2, 3});
    PutLe(attr, 4, 0x40 + 5, 4);
    RUN_LIST runs;
    Parser().GetRunList(attr.data(), attr.size(), runs);
    EXPECT_EQ(runs.size(), 1u);
    // A mapping-pairs offset outside the attribute, or a buffer too short for a header.
    PutLe(attr, 0x20, 0x200, 2);
    runs.clear();
    Parser().GetRunList(attr.data(), attr.size(), runs);
    EXPECT_TRUE(runs.empty());
    Parser().GetRunList(attr.data(), 0x20, runs);
    EXPECT_TRUE(runs.empty());

    // A badly fragmented file needs an attribute longer than a sector: all its runs count.
    Bytes pairs;
    for (int i = 0; i < 200; ++i) pairs.insert(pairs.end(), {0x21, 0x01, 0x02, 0x00});
    const Bytes longAttr = NonResident(pairs);
    ASSERT_GE(longAttr.size(), 512u);
    Parser().GetRunList(longAttr.data(), longAttr.size(), runs);
    EXPECT_EQ(runs.size(), 200u);
    EXPECT_EQ(RunListEndCluster(runs), 400);
}

TEST(NtfsMapping, MapsTableSectorsThroughTheRunsAndBack) {
    const RUN_LIST runs = {{8, 100}, {8, -50}};
    uint64_t sector = 0;
    ASSERT_TRUE(MapTableSector(runs, 64, 8, sector));
    EXPECT_EQ(sector, 50u * 8);
    ASSERT_TRUE(MapTableSector(runs, 65, 8, sector));
    EXPECT_EQ(sector, 50u * 8 + 1);
    ASSERT_TRUE(MapTableSector(runs, 63, 8, sector));
    EXPECT_EQ(sector, 100u * 8 + 63);
    EXPECT_FALSE(MapTableSector(runs, 128, 8, sector));
    uint64_t table = 0;
    ASSERT_TRUE(FindTableSector(runs, 401, 8, table));
    EXPECT_EQ(table, 65u);
    EXPECT_FALSE(FindTableSector(runs, 399, 8, table));

    // Holes and runs before cluster 0 are nowhere on the volume.
    const RUN_LIST odd = {{2, 10}, {2, 0, true}, {2, -20}};
    EXPECT_TRUE(MapTableSector(odd, 0, 8, sector));
    EXPECT_FALSE(MapTableSector(odd, 16, 8, sector));
    EXPECT_FALSE(MapTableSector(odd, 32, 8, sector));
    EXPECT_FALSE(MapTableSector({{1, INT64_MAX}}, 0, 8, sector));
}

TEST(NtfsAttributeWalk, StopsAtTheEndMarkerGarbageAndAnythingPastTheBound) {
    const Bytes r = Record({FileName(5, u"a.txt"), ResidentData(5)});
    std::vector<uint32_t> types;
    NTFS_ATTRIBUTE attr{};
    for (CNtfsAttributeWalk walk(r.data(), r.size()); walk.Next(attr);) types.push_back(attr.uType);
    EXPECT_EQ(types, (std::vector<uint32_t>{NTFS_ATTR_FILE_NAME, NTFS_ATTR_DATA}));

    // A length that would run past the bound, a tiny length, a garbage type, a first-attribute
    // offset beyond the bound: each ends the walk.
    for (const auto& [at, value, width] : std::vector<std::tuple<size_t, uint32_t, size_t>>{
             {60, 4000, 4}, {60, 8, 4}, {60, 0, 4}, {56, 0xFDFDFDFD, 4}, {0x14, 1020, 2}}) {
        Bytes bad = r;
        PutLe(bad, at, value, width);
        EXPECT_FALSE(CNtfsAttributeWalk(bad.data(), bad.size()).Next(attr)) << at << "=" << value;
    }
    EXPECT_FALSE(CNtfsAttributeWalk(r.data(), 60).Next(attr)) << "a bound that cuts an attribute";
    EXPECT_FALSE(CNtfsAttributeWalk(nullptr, 1024).Next(attr));
}

TEST(NtfsAttributeWalk, ReadsFileNamesAndResidentValuesInsideTheirAttributes) {
    const Bytes r = Record({FileName(40, u"Отпуск.jpg"), ResidentData(5)});
    NTFS_ATTRIBUTE attr{};
    ASSERT_TRUE(FindAttribute(r.data(), r.size(), NTFS_ATTR_FILE_NAME, attr));
    NTFS_FILE_NAME name{};
    ASSERT_TRUE(ParseFileNameAttribute(attr, name));
    EXPECT_EQ(name.uParentRecord, 40u);  // the sequence number in the reference is dropped
    EXPECT_EQ(name.u64CreateTime, 132000000000000000u);
    EXPECT_EQ(name.u64ModifyTime, 132000000000000001u);
    EXPECT_EQ(name.u64AccessTime, 132000000000000002u);
    EXPECT_EQ(name.u64RealSize, 4444u);
    EXPECT_EQ(std::u16string(name.szName), u"Отпуск.jpg");

    ASSERT_TRUE(FindAttribute(r.data(), r.size(), NTFS_ATTR_DATA, attr));
    const unsigned char* value = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(GetResidentValue(attr, value, length));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::memcmp(value, "abcde", 5), 0);

    // A name longer than its attribute is refused rather than read past it.
    Bytes longName = FileName(5, u"x");
    longName[88] = 200;
    const Bytes broken = Record({longName});
    ASSERT_TRUE(FindAttribute(broken.data(), broken.size(), NTFS_ATTR_FILE_NAME, attr));
    EXPECT_FALSE(ParseFileNameAttribute(attr, name));
    // So is a resident value that claims more than its attribute holds.
    Bytes data = ResidentData(5);
    PutLe(data, 0x10, 100, 4);
    const Bytes r2 = Record({data});
    ASSERT_TRUE(FindAttribute(r2.data(), r2.size(), NTFS_ATTR_DATA, attr));
    EXPECT_FALSE(GetResidentValue(attr, value, length));
}

TEST(NtfsAttributeWalk, PrefersTheUnnamedDataStreamAndRanksLongNamesFirst) {
    Bytes named = ResidentData(3);
    named.resize(40);
    PutLe(named, 4, 40, 4);
    named[9] = 2;  // a named stream, e.g. a zone identifier, placed first by a corrupt record
    PutLe(named, 10, 32, 2);
    const Bytes r = Record({named, ResidentData(7)});
    NTFS_ATTRIBUTE attr{};
    ASSERT_TRUE(FindAttribute(r.data(), r.size(), NTFS_ATTR_DATA, attr));
    EXPECT_EQ(attr.uNameLength, 0);
    EXPECT_LT(FileNameRank(NTFS_NAMESPACE_WIN32), FileNameRank(NTFS_NAMESPACE_POSIX));
    EXPECT_EQ(FileNameRank(NTFS_NAMESPACE_WIN32_AND_DOS), FileNameRank(NTFS_NAMESPACE_WIN32));
    EXPECT_LT(FileNameRank(NTFS_NAMESPACE_POSIX), FileNameRank(NTFS_NAMESPACE_DOS));
}

TEST(NtfsAttributeList, EntriesAreReadInsideTheListOnly) {
    const Bytes attr = NtfsVolumeBuilder::AttributeList(
        {{NTFS_ATTR_DATA, 0, 40}, {NTFS_ATTR_DATA, 16, 41}, {NTFS_ATTR_DATA, 0, 42}});
    Bytes list(attr.begin() + 24, attr.begin() + 24 + 96);
    PutLe(list, 68, 200, 2);  // the third entry reaches past the list
    size_t offset = 0;
    NTFS_ATTRIBUTE_LIST_ENTRY entry{};
    std::vector<uint64_t> records;
    while (NextAttributeListEntry(list.data(), list.size(), offset, entry)) {
        records.push_back(entry.u64Record);
    }
    EXPECT_EQ(records, (std::vector<uint64_t>{40, 41}));
}

// The shared lookup over a record source held in memory: the base record keeps the first
// piece of $DATA (4 clusters at 0x20), record 41 the second (1 at 0x50, 1 at 0x60).
class MemorySource : public INtfsRecordSource {
public:
    std::map<uint64_t, Bytes> records;
    int ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) override {
        const auto it = records.find(uRecord);
        if (it == records.end()) return NTFS_NOT_FOUND;
        std::memcpy(pBuf, it->second.data(), it->second.size());
        return 0;
    }
    int ReadClusters(uint64_t, uint64_t, unsigned char*) override { return 87; }
    uint32_t GetClusterBytes() const override { return 4096; }
};

TEST(NtfsAttributeList, GathersEveryPieceOfAnAttributeInClusterOrder) {
    MemorySource source;
    source.records[41] = NtfsVolumeBuilder::RecordBytes(
        41, 0, {NonResident({0x11, 0x01, 0x50, 0x11, 0x01, 0x10, 0x00}, 4)}, 40);
    const Bytes base = Record(
        {NtfsVolumeBuilder::AttributeList({{NTFS_ATTR_DATA, 4, 41}, {NTFS_ATTR_DATA, 0, 40}}),
         NonResident({0x11, 0x04, 0x20, 0x00})});
    const CNtfsParse parse = Parser();
    RUN_LIST runs;
    ASSERT_EQ(
        CollectAttributeRuns(parse, source, base.data(), base.size(), 40, NTFS_ATTR_DATA, runs), 0);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].offset, 0x20);
    EXPECT_EQ(RunListEndCluster(runs), 0x60);  // each piece's runs counted on from the last
    EXPECT_EQ(RunListClusters(runs), 6u);
    uint64_t size = 0;
    ASSERT_EQ(GetDataRealSize(parse, source, base.data(), base.size(), 40, size), 0);
    EXPECT_EQ(size, 6u * 4096);

    // An extension record handed to another file since ends the gathering at its piece.
    PutLe(source.records[41], 0x20, 77, 8);
    runs.clear();
    ASSERT_EQ(
        CollectAttributeRuns(parse, source, base.data(), base.size(), 40, NTFS_ATTR_DATA, runs), 0);
    EXPECT_EQ(RunListClusters(runs), 4u);
    // No record to be found at all for the only piece: the lookup says so.
    const Bytes orphan = Record({NtfsVolumeBuilder::AttributeList({{NTFS_ATTR_DATA, 0, 99}})});
    runs.clear();
    EXPECT_EQ(
        CollectAttributeRuns(parse, source, orphan.data(), orphan.size(), 40, NTFS_ATTR_DATA, runs),
        NTFS_NOT_FOUND);
    // A list that names no piece at the stream's start tells no size, even when the record it
    // does name holds a first piece the list does not know of.
    source.records[42] =
        NtfsVolumeBuilder::RecordBytes(42, 0, {NonResident({0x11, 0x01, 0x50, 0x00})}, 40);
    const Bytes headless = Record({NtfsVolumeBuilder::AttributeList({{NTFS_ATTR_DATA, 4, 42}})});
    size = 7;
    EXPECT_EQ(GetDataRealSize(parse, source, headless.data(), headless.size(), 40, size),
              NTFS_NOT_FOUND);
    EXPECT_EQ(size, 7u);
}

}  // namespace
