// The quick FAT engine on volumes made by mkfs.fat and filled with mtools: what it lists and
// recovers against each volume's manifest, the free space it reports against fsck, and that
// the image is never changed.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "engine/file_recovery_factory.h"
#include "fat_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

class FatQuickScan : public FatVolume {};

TEST_P(FatQuickScan, ListsAndRecoversEveryDeletedFileUnderItsFolderAndNoLiveFile) {
    ExpectListedAndRecoveredAsInManifest();
}

TEST_P(FatQuickScan, FreeSpaceWalkAgreesWithFsck) {
    std::ifstream in(FixtureDir() + "/" + GetParam().fixture + ".fsck.tsv");
    in.ignore(1 << 10, '\n');
    unsigned long long used = 0, total = 0;
    in >> used >> total;
    ASSERT_GT(total, 0u);
    CFastFatRecovery& engine = scan_->quick;
    ASSERT_EQ(engine.BuildBitMapInfo(), 0);
    EXPECT_EQ(engine.GetClusterCount(), total);
    unsigned long long start = 0, count = 1, freeSectors = 0;
    for (int runs = 0; count != 0; start += count) {
        engine.GetUnUsedSectorCount(start, count);
        EXPECT_GE(start, engine.GetFirstDataSector());
        freeSectors += count;
        ASSERT_LT(++runs, 100000);
    }
    EXPECT_EQ(freeSectors / engine.GetSectorsPerCluster(), total - used);
}

// An entry of a sub-folder that names the root folder as its child is refused: taken, it moved
// the root and hid the deleted files of every folder published after it.
TEST(FatQuickScanHostile, AnEntryNamingTheRootAsAChildHidesNothing) {
    TempDir dir;
    const std::string image = UnpackFixture("fat32", dir);
    const Entry link = ShortEntry("ROOTLINK   ", FAT_ATTR_DIRECTORY, 2, 0);
    std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
        .seekp((1292 + 7 - 2) * kSector + 3 * 32)  // the free fourth entry of Projects
        .write(reinterpret_cast<const char*>(link.data()), 32);
    ScanEnvironment env(dir, image);
    CFastFatRecovery engine;
    ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(SectorsOf(image)), u'C'), 0);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0);
    Tree tree;
    CollectTree(engine, nullptr, 0, "", tree);
    EXPECT_EQ(tree.count("Documents/Заявление.pdf"), 1u);
}

// A FAT32 volume whose boot sector is scribbled is read through the copy in sector 6: the
// factory still recognises it and its quick engine lists the deleted files under their folders.
TEST(FatQuickScanHostile, AScribbledBootSectorIsReadThroughItsCopy) {
    TempDir dir;
    const std::string image = UnpackFixture("fat32", dir);
    std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
        .write(std::string(kSector, '\x5a').data(), kSector);
    ScanEnvironment env(dir, image);
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, 0, static_cast<long long>(SectorsOf(image)), u'C', RECOVERY_TYPE_FAST));
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    EXPECT_TRUE(engine->SawDamage());
    Tree tree;
    CollectTree(*engine, nullptr, 0, "", tree);
    EXPECT_EQ(tree.count("Documents/Заявление.pdf"), 1u);
}

INSTANTIATE_TEST_SUITE_P(MadeByMkfsFat, FatQuickScan,
                         ::testing::Values(Volume{"fat12", "fat12", false, 0, "", 1, 33},
                                           Volume{"fat16", "fat16", false, 0, "", 4, 100},
                                           Volume{"fat32", "fat32", false, 0, "", 1, 1292}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
