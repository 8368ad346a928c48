// The quick FAT engine on volumes made by mkfs.fat and filled with mtools: what it lists and
// recovers against each volume's manifest, the free space it reports against fsck, and that
// the image is never changed.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

INSTANTIATE_TEST_SUITE_P(MadeByMkfsFat, FatQuickScan,
                         ::testing::Values(Volume{"fat12", "fat12", false, 0, "", 1, 33},
                                           Volume{"fat16", "fat16", false, 0, "", 4, 100},
                                           Volume{"fat32", "fat32", false, 0, "", 1, 1292}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
