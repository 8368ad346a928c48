// Compressed NTFS files: the LZNT1 decompressor on its own, deleted files of a volume that
// ntfs-3g wrote compressed (tools/make_ntfs_compressed_fixture.sh) recovered byte-exact, and
// hand-built units in the shapes a compressed $DATA takes: stored as it is, all holes, a partial
// last unit, and data that does not decompress.
#include <gtest/gtest.h>

#include "ntfs/lznt1.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs;

Bytes Decompress(const Bytes& unit, size_t capacity, int64_t& produced) {
    Bytes out(capacity, 0xEE);
    produced = DecompressLznt1Unit(unit.data(), unit.size(), out.data(), out.size());
    out.resize(produced > 0 ? static_cast<size_t>(produced) : 0);
    return out;
}

// A published example: one compressed chunk of 59 bytes that gives 142 bytes of text, with
// back-references that overlap what they write.
TEST(Lznt1, DecompressesAPublishedChunkAndRefusesDamage) {
    const Bytes chunk = {0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00,
                         0x10, 0xa2, 0x47, 0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01,
                         0x50, 0x79, 0x00, 0xc0, 0x45, 0x20, 0x05, 0x24, 0x13, 0x88, 0x05, 0xb4,
                         0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09, 0x16, 0x01, 0x48,
                         0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00};
    const std::string text =
        "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# "
        "D E F# G F# E D E A F# F# G A A G F# E D D E F# E D D";
    Bytes expected(text.begin(), text.end());
    expected.push_back(0);
    int64_t produced = 0;
    EXPECT_EQ(Decompress(chunk, 8192, produced), expected);

    Bytes cut(chunk.begin(), chunk.end() - 1);  // the chunk reaches past the input
    Decompress(cut, 8192, produced);
    EXPECT_EQ(produced, RESULT_BAD_COMPRESSED_DATA);
    Decompress(chunk, 100, produced);  // more output than the unit holds
    EXPECT_EQ(produced, RESULT_BAD_COMPRESSED_DATA);
    const Bytes before = {0x02, 0xb0, 0x01, 0x00, 0x00};  // a back-reference with no output yet
    Decompress(before, 8192, produced);
    EXPECT_EQ(produced, RESULT_BAD_COMPRESSED_DATA);
}

// Every deleted file of the compressed volume, through the deep engine (the quick one recovers
// the volume's every file in tests/ntfs_quick_scan_test.cpp).
using CompressedFixture = NtfsTest;

TEST_F(CompressedFixture, EveryDeletedCompressedFileComesBackByteExactThroughTheDeepEngine) {
    const Image image = Fixture("ntfs_compressed");
    const std::unique_ptr<CStoreEngine> engine =
        ScanWith(Engine::Deep, Path("ntfs_compressed.img"), image);
    const Tree tree = BrowseTree(*engine);
    int checked = 0;
    for (const ManifestEntry& entry : LoadManifest("ntfs_compressed")) {
        if (!entry.deleted) continue;
        ASSERT_EQ(tree.count(entry.path), 1u) << entry.path;
        EXPECT_EQ(
            RecoverSha(*engine, tree.at(entry.path).node, Path("f" + std::to_string(checked))),
            entry.sha256)
            << entry.path;
        ++checked;
    }
    EXPECT_EQ(checked, 4);
}

// One cluster holding a single chunk: one flag byte and six literals, "abcdef".
Bytes AbcdefCluster() {
    Bytes cluster = {0x06, 0xb0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f'};
    cluster.resize(4096, 0);
    return cluster;
}

// Hand-built compressed files, deleted, in the root of the default built volume.
class CompressedUnits : public EitherEngine {
protected:
    // $DATA over the runs given, flagged compressed in units of 16 clusters.
    Bytes CompressedData(const std::vector<TestRun>& runs, uint64_t size) const {
        Bytes data = v_.NonResident(NTFS_ATTR_DATA, runs, size);
        PutLe(data, 0x0C, 0x0001, 2);
        PutLe(data, 0x22, 4, 2);
        return data;
    }
    void CompressedFile(uint64_t n, const std::u16string& name, const std::vector<TestRun>& runs,
                        uint64_t size) {
        v_.PutRecord(n, 0, {Name(5, name), CompressedData(runs, size)});
    }
};

// A stored unit, then a unit of holes only, then a partial last unit of one chunk in one
// cluster: the data as it is, 64 KiB of zeros, the chunk's text and zeros to the size.
TEST_P(CompressedUnits, StoredHoleAndPartialLastUnitsComeBackAsWritten) {
    Bytes stored(65536);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<unsigned char>(i * 13 + 7);
    v_.WriteBytes(100, stored);
    v_.WriteBytes(200, AbcdefCluster());
    CompressedFile(30, u"units.bin", {{100, 16}, {-1, 16}, {200, 1}, {-1, 15}}, 2 * 65536 + 5000);
    Scan();
    Bytes expected = stored;
    expected.resize(2 * 65536, 0);
    for (char c : std::string("abcdef")) expected.push_back(static_cast<unsigned char>(c));
    expected.resize(2 * 65536 + 5000, 0);
    EXPECT_EQ(Recover("units.bin"), expected);
}

// A chunk whose back-reference points before its start ends the file with the new error and
// nothing under the final name; the report says so.
TEST_P(CompressedUnits, AUnitThatDoesNotDecompressFailsTheFile) {
    Bytes cluster = {0x03, 0xb0, 0x02, 'a', 0x00, 0x30};  // 'a', then 4 back: before the start
    cluster.resize(4096, 0);
    v_.WriteBytes(100, cluster);
    CompressedFile(30, u"damaged.txt", {{100, 1}, {-1, 15}}, 3000);
    Scan();
    EXPECT_EQ(Recover("damaged.txt", RESULT_BAD_COMPRESSED_DATA), Bytes{});
    ASSERT_FALSE(recorder_.reports.empty());
    EXPECT_EQ(recorder_.reports.back().error, RESULT_BAD_COMPRESSED_DATA);
}

// A fragmented compressed file: its $DATA begins in an extension record its attribute list
// names, so the compression unit is read there (the quick engine follows the list).
TEST_P(CompressedUnits, ACompressedDataThatBeginsInAnExtensionRecordIsDecompressed) {
    if (Deep()) GTEST_SKIP() << "the deep engine lists base records only";
    v_.WriteBytes(200, AbcdefCluster());
    v_.PutRecord(30, 0, {v_.AttributeList({{0x30, 0, 30}, {0x80, 0, 31}}), Name(5, u"spread.txt")});
    v_.PutRecord(31, 0, {CompressedData({{200, 1}, {-1, 15}}, 100)}, 30);
    Scan();
    Bytes expected = {'a', 'b', 'c', 'd', 'e', 'f'};
    expected.resize(100, 0);
    EXPECT_EQ(Recover("spread.txt"), expected);
}

INSTANTIATE_TEST_SUITE_P(Engines, CompressedUnits, ::testing::Values(Engine::Quick, Engine::Deep),
                         ::testing::PrintToStringParamName());

}  // namespace
