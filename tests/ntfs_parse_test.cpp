// FILE-record fix-up, run-list decoding, the table mapping and the attribute and attribute-list
// walks, on hand-made bytes that show the published layouts and the ways they break.
#include "ntfs/ntfs_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "foundation/bytes.h"
#include "ntfs_test_image.h"

namespace {

using ferrowen::test::Bytes;
using ferrowen::test::NtfsVolumeBuilder;

void Put16(std::vector<unsigned char>& v, size_t at, uint16_t x) {
    std::memcpy(&v[at], &x, 2);
}
void Put32(std::vector<unsigned char>& v, size_t at, uint32_t x) {
    std::memcpy(&v[at], &x, 4);
}
void Put64(std::vector<unsigned char>& v, size_t at, uint64_t x) {
    std::memcpy(&v[at], &x, 8);
}

// A non-resident attribute header of `length` bytes whose mapping pairs follow at 0x40.
std::vector<unsigned char> NonResident(const std::vector<unsigned char>& pairs,
                                       uint32_t length = 0) {
    std::vector<unsigned char> a(std::max<size_t>(length, 0x40 + pairs.size() + 1), 0);
    Put32(a, 0, NTFS_ATTR_DATA);
    Put32(a, 4, static_cast<uint32_t>(a.size()));
    a[8] = 1;
    Put16(a, 0x20, 0x40);
    std::memcpy(&a[0x40], pairs.data(), pairs.size());
    return a;
}

RUN_LIST Decode(const std::vector<unsigned char>& pairs) {
    CNtfsParse parse;
    parse.Init(512);
    const std::vector<unsigned char> attr = NonResident(pairs);
    RUN_LIST runs;
    parse.GetRunList(attr.data(), attr.size(), runs);
    return runs;
}

// A record as it reads after its fix-up, numbered 40; attributes start at 56.
std::vector<unsigned char> Record(const std::vector<Bytes>& attrs, uint16_t flags = 0) {
    return NtfsVolumeBuilder::RecordBytes(40, flags, attrs);
}

Bytes FileName(uint32_t parent, const std::u16string& name, uint8_t ns) {
    return NtfsVolumeBuilder::FileName(parent, name, ns, 4444);
}

// A resident $DATA holding "abc..." of valueLength bytes.
Bytes ResidentData(size_t valueLength) {
    Bytes value(valueLength);
    for (size_t i = 0; i < valueLength; ++i) value[i] = static_cast<unsigned char>('a' + i);
    return NtfsVolumeBuilder::Resident(NTFS_ATTR_DATA, value);
}

TEST(NtfsFixUp, PutsBackTheLastTwoBytesOfEverySector) {
    CNtfsParse parse;
    parse.Init(512);
    std::vector<unsigned char> r = Record({});
    Put16(r, 48, 0x0007);
    Put16(r, 50, 0xA1B2);
    Put16(r, 52, 0xC3D4);
    Put16(r, 510, 0x0007);
    Put16(r, 1022, 0x0007);
    ASSERT_EQ(parse.FileRecordFixUp(r.data(), r.size()), 0);
    EXPECT_EQ(LoadU16(&r[510]), 0xA1B2);
    EXPECT_EQ(LoadU16(&r[1022]), 0xC3D4);

    CNtfsParse big;
    big.Init(4096);
    EXPECT_EQ(big.GetSectorsPerRecord(), 1);
    std::vector<unsigned char> one(4096, 0);
    std::memcpy(one.data(), "FILE", 4);
    Put16(one, 4, 0x30);
    Put16(one, 50, 0x1234);
    Put16(one, 1022, 0x5555);
    ASSERT_EQ(big.FileRecordFixUp(one.data(), one.size()), 0);
    EXPECT_EQ(LoadU16(&one[4094]), 0x1234);
    EXPECT_EQ(LoadU16(&one[1022]), 0x5555);  // only the sector's end is touched
}

TEST(NtfsFixUp, TakesTheArrayWhereTheHeaderPutsItAndRefusesWhatIsNoRecord) {
    CNtfsParse parse;
    parse.Init(512);
    // NTFS 3.0 keeps the array at 0x2A.
    std::vector<unsigned char> old = Record({});
    Put16(old, 4, 0x2A);
    Put16(old, 0x2C, 0x1111);
    Put16(old, 0x2E, 0x2222);
    ASSERT_EQ(parse.FileRecordFixUp(old.data(), old.size()), 0);
    EXPECT_EQ(LoadU16(&old[510]), 0x1111);
    EXPECT_EQ(LoadU16(&old[1022]), 0x2222);
    // An offset that cannot hold the array falls back to 48.
    std::vector<unsigned char> wild = Record({});
    Put16(wild, 4, 0xFFF0);
    Put16(wild, 50, 0x3333);
    ASSERT_EQ(parse.FileRecordFixUp(wild.data(), wild.size()), 0);
    EXPECT_EQ(LoadU16(&wild[510]), 0x3333);

    std::vector<unsigned char> zero(1024, 0);
    EXPECT_EQ(parse.FileRecordFixUp(zero.data(), zero.size()), -1);
    EXPECT_EQ(parse.FileRecordFixUp(nullptr, 1024), -1);
    std::vector<unsigned char> shortRecord = Record({});
    shortRecord.resize(1000);
    const std::vector<unsigned char> before = shortRecord;
    EXPECT_EQ(parse.FileRecordFixUp(shortRecord.data(), shortRecord.size()), -1);
    EXPECT_EQ(shortRecord, before);
}

TEST(NtfsRunList, DecodesLengthsAndSignedOffsets) {
    RUN_LIST runs = Decode({0x21, 0x18, 0x34, 0x56, 0x00});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].length, 0x18u);
    EXPECT_EQ(runs[0].offset, 0x5634);

    runs = Decode({0x11, 0x30, 0x60, 0x21, 0x10, 0x00, 0x01, 0x00});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].length, 0x30u);
    EXPECT_EQ(runs[0].offset, 0x60);
    EXPECT_EQ(runs[1].length, 0x10u);
    EXPECT_EQ(runs[1].offset, 0x100);

    runs = Decode({0x11, 0x04, 0xF0, 0x00});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].offset, -16);

    // Lengths keep their low 32 bits only.
    runs = Decode({0x05, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00});
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].length, 1u);
}

TEST(NtfsRunList, AHoleHasNoOffsetFieldAndIsMarkedSparse) {
    const RUN_LIST runs = Decode({0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00});
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_FALSE(runs[0].bSparse);
    EXPECT_TRUE(runs[1].bSparse);
    EXPECT_EQ(runs[1].length, 8u);
    EXPECT_EQ(runs[1].offset, 0);
    EXPECT_EQ(RunListEndCluster(runs), 0x30);
    EXPECT_EQ(RunListClusters(runs), 14u);
}

TEST(NtfsRunList, MalformedListsEndEarlyWithTheRunsDecodedSoFar) {
    EXPECT_EQ(Decode({0x11, 0x04, 0x20, 0x81, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}).size(), 1u);
    EXPECT_EQ(Decode({0x18, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}).size(), 0u);
    // A run whose fields would reach past the attribute is not decoded.
    CNtfsParse parse;
    parse.Init(512);
    std::vector<unsigned char> attr = NonResident({0x11, 0x04, 0x20, 0x44, 1, 2, 3});
    Put32(attr, 4, 0x40 + 5);
    RUN_LIST runs;
    parse.GetRunList(attr.data(), attr.size(), runs);
    EXPECT_EQ(runs.size(), 1u);
    // A mapping-pairs offset outside the attribute, or a buffer too short for a header.
    Put16(attr, 0x20, 0x200);
    runs.clear();
    parse.GetRunList(attr.data(), attr.size(), runs);
    EXPECT_TRUE(runs.empty());
    parse.GetRunList(attr.data(), 0x20, runs);
    EXPECT_TRUE(runs.empty());
}

// A badly fragmented file needs a long attribute: its runs must all come back, however long
// the attribute is.
TEST(NtfsRunList, AnAttributeLongerThanASectorKeepsAllItsRuns) {
    std::vector<unsigned char> pairs;
    for (int i = 0; i < 200; ++i) {
        pairs.insert(pairs.end(), {0x21, 0x01, 0x02, 0x00});  // 1 cluster, 2 clusters on
    }
    CNtfsParse parse;
    parse.Init(512);
    const std::vector<unsigned char> attr = NonResident(pairs);
    ASSERT_GE(attr.size(), 512u);
    RUN_LIST runs;
    parse.GetRunList(attr.data(), attr.size(), runs);
    EXPECT_EQ(runs.size(), 200u);
    EXPECT_EQ(RunListEndCluster(runs), 400);
}

TEST(NtfsRunList, AppendingAnotherPieceKeepsTheRunningStartCluster) {
    CNtfsParse parse;
    parse.Init(512);
    RUN_LIST runs;
    const std::vector<unsigned char> first = NonResident({0x11, 0x04, 0x64, 0x00});
    const std::vector<unsigned char> second = NonResident({0x11, 0x02, 0x32, 0x00});
    parse.GetRunList(first.data(), first.size(), runs);
    parse.GetRunList(second.data(), second.size(), runs);
    ASSERT_EQ(runs.size(), 2u);
    // Each piece's runs count from cluster 0; the second now starts 50 - 100 after the first.
    EXPECT_EQ(runs[1].offset, -50);
    EXPECT_EQ(RunListEndCluster(runs), 50);
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
    const RUN_LIST huge = {{1, INT64_MAX}};
    EXPECT_FALSE(MapTableSector(huge, 0, 8, sector));
}

TEST(NtfsAttributeWalk, StopsAtTheEndMarkerGarbageAndAnythingPastTheBound) {
    std::vector<unsigned char> r = Record({FileName(5, u"a.txt", 1), ResidentData(5)});
    std::vector<uint32_t> types;
    NTFS_ATTRIBUTE attr{};
    for (CNtfsAttributeWalk walk(r.data(), r.size()); walk.Next(attr);) types.push_back(attr.uType);
    EXPECT_EQ(types, (std::vector<uint32_t>{NTFS_ATTR_FILE_NAME, NTFS_ATTR_DATA}));

    // A length that would run past the bound, a tiny length and a garbage type end the walk.
    for (uint32_t length : {4000u, 8u, 0u}) {
        std::vector<unsigned char> bad = r;
        Put32(bad, 56 + 4, length);
        CNtfsAttributeWalk walk(bad.data(), bad.size());
        EXPECT_FALSE(walk.Next(attr)) << length;
    }
    std::vector<unsigned char> garbage = r;
    Put32(garbage, 56, 0xFDFDFDFD);
    EXPECT_FALSE(CNtfsAttributeWalk(garbage.data(), garbage.size()).Next(attr));
    // A first-attribute offset beyond the bound, and a bound that cuts an attribute.
    std::vector<unsigned char> far = r;
    Put16(far, 0x14, 1020);
    EXPECT_FALSE(CNtfsAttributeWalk(far.data(), far.size()).Next(attr));
    EXPECT_FALSE(CNtfsAttributeWalk(r.data(), 60).Next(attr));
    EXPECT_FALSE(CNtfsAttributeWalk(nullptr, 1024).Next(attr));
}

TEST(NtfsAttributeWalk, ReadsFileNamesAndResidentValuesInsideTheirAttributes) {
    const std::vector<unsigned char> r =
        Record({FileName(40, u"Отпуск.jpg", NTFS_NAMESPACE_WIN32), ResidentData(5)});
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
    std::vector<unsigned char> longName = FileName(5, u"x", 1);
    longName[88] = 200;
    const std::vector<unsigned char> broken = Record({longName});
    ASSERT_TRUE(FindAttribute(broken.data(), broken.size(), NTFS_ATTR_FILE_NAME, attr));
    EXPECT_FALSE(ParseFileNameAttribute(attr, name));
    // So is a resident value that claims more than its attribute holds.
    std::vector<unsigned char> data = ResidentData(5);
    Put32(data, 0x10, 100);
    const std::vector<unsigned char> r2 = Record({data});
    ASSERT_TRUE(FindAttribute(r2.data(), r2.size(), NTFS_ATTR_DATA, attr));
    EXPECT_FALSE(GetResidentValue(attr, value, length));
}

TEST(NtfsAttributeWalk, PrefersTheUnnamedDataStreamAndRanksLongNamesFirst) {
    Bytes named = ResidentData(3);
    named.resize(40);
    Put32(named, 4, 40);
    named[9] = 2;  // a named stream, e.g. a zone identifier, placed first by a corrupt record
    Put16(named, 10, 32);
    const std::vector<unsigned char> r = Record({named, ResidentData(7)});
    NTFS_ATTRIBUTE attr{};
    ASSERT_TRUE(FindAttribute(r.data(), r.size(), NTFS_ATTR_DATA, attr));
    EXPECT_EQ(attr.uNameLength, 0);
    EXPECT_LT(FileNameRank(NTFS_NAMESPACE_WIN32), FileNameRank(NTFS_NAMESPACE_POSIX));
    EXPECT_EQ(FileNameRank(NTFS_NAMESPACE_WIN32_AND_DOS), FileNameRank(NTFS_NAMESPACE_WIN32));
    EXPECT_LT(FileNameRank(NTFS_NAMESPACE_POSIX), FileNameRank(NTFS_NAMESPACE_DOS));
}

TEST(NtfsAttributeList, EntriesAreReadInsideTheListOnly) {
    std::vector<unsigned char> list(96, 0);
    for (size_t at : {0, 32}) {
        Put32(list, at, NTFS_ATTR_DATA);
        Put16(list, at + 4, 32);
        list[at + 7] = 26;
        Put64(list, at + 8, at == 0 ? 0 : 16);
        Put64(list, at + 16, (at == 0 ? 40 : 41) | (uint64_t{7} << 48));
    }
    Put32(list, 64, NTFS_ATTR_DATA);
    Put16(list, 68, 200);  // reaches past the list
    size_t offset = 0;
    NTFS_ATTRIBUTE_LIST_ENTRY entry{};
    std::vector<uint64_t> records;
    while (NextAttributeListEntry(list.data(), list.size(), offset, entry)) {
        records.push_back(entry.u64Record);
    }
    EXPECT_EQ(records, (std::vector<uint64_t>{40, 41}));
}

// The shared lookup over a record source held in memory: the base record keeps the first
// piece of $DATA, record 41 the second.
class MemorySource : public INtfsRecordSource {
public:
    std::map<uint64_t, std::vector<unsigned char>> records;
    int ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) override {
        const auto it = records.find(uRecord);
        if (it == records.end()) return NTFS_NOT_FOUND;
        std::memcpy(pBuf, it->second.data(), it->second.size());
        return 0;
    }
    int ReadClusters(uint64_t, uint64_t, unsigned char*) override { return 87; }
    uint32_t GetClusterBytes() const override { return 4096; }
};

std::vector<unsigned char> Piece(uint64_t startVcn, const std::vector<unsigned char>& pairs) {
    std::vector<unsigned char> a = NonResident(pairs, 0x48);
    Put64(a, 0x10, startVcn);
    Put64(a, 0x30, 6 * 4096);
    return a;
}

TEST(NtfsAttributeList, GathersEveryPieceOfAnAttributeInClusterOrder) {
    MemorySource source;
    std::vector<unsigned char> extension = Record({Piece(4, {0x11, 0x02, 0x50, 0x00})});
    Put64(extension, 0x20, 40);
    source.records[41] = extension;
    const std::vector<unsigned char> base = Record(
        {NtfsVolumeBuilder::AttributeList({{NTFS_ATTR_DATA, 4, 41}, {NTFS_ATTR_DATA, 0, 40}}),
         Piece(0, {0x11, 0x04, 0x20, 0x00})});
    CNtfsParse parse;
    parse.Init(512);
    RUN_LIST runs;
    ASSERT_EQ(
        CollectAttributeRuns(parse, source, base.data(), base.size(), 40, NTFS_ATTR_DATA, runs), 0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].offset, 0x20);
    EXPECT_EQ(RunListEndCluster(runs), 0x50);
    EXPECT_EQ(RunListClusters(runs), 6u);
    uint64_t size = 0;
    ASSERT_EQ(GetDataRealSize(parse, source, base.data(), base.size(), 40, size), 0);
    EXPECT_EQ(size, 6u * 4096);

    // An extension record handed to another file since ends the gathering at its piece.
    Put64(source.records[41], 0x20, 77);
    runs.clear();
    ASSERT_EQ(
        CollectAttributeRuns(parse, source, base.data(), base.size(), 40, NTFS_ATTR_DATA, runs), 0);
    EXPECT_EQ(RunListClusters(runs), 4u);
    // No record to be found at all for the only piece: the lookup says so.
    const std::vector<unsigned char> orphan =
        Record({NtfsVolumeBuilder::AttributeList({{NTFS_ATTR_DATA, 0, 99}})});
    runs.clear();
    EXPECT_EQ(
        CollectAttributeRuns(parse, source, orphan.data(), orphan.size(), 40, NTFS_ATTR_DATA, runs),
        NTFS_NOT_FOUND);
}

}  // namespace
