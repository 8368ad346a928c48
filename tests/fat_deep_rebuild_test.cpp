// The deep FAT parser on volumes made by mkfs.fat and filled with mtools, fed the way the
// coordinator feeds it: a FAT32 volume formatted again with another cluster size, the same
// volume with its boot sector and FATs zeroed, and the FAT16 and FAT12 fixtures with theirs
// zeroed (and the FAT16 one intact). It must find the old geometry, rebuild the folders with
// their names and recover the files byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fat_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

class FatDeepRebuild : public FatVolume {};

TEST_P(FatDeepRebuild, InfersTheOriginalGeometryFromFoldersAlone) {
    const Volume& v = GetParam();
    const auto& list = scan_->deep.GetVirtualDbrList();
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const __VIRTUAL_DBR_INFO__& d) {
        return d.uSectorsPerCluster == v.spc && d.uFirstDataSector == v.firstData &&
               d.u64VolumeStartSector == 0;
    }));
    if (v.zeroSectors != 0) {
        EXPECT_EQ(scan_->ownBootSectors, 0u);
        EXPECT_EQ(list.size(), 1u) << "only folders were there to infer from";
    } else if (v.fixture == std::string("fat32_reformat")) {
        // The new format's own boot sector is listed before the pass, with another geometry.
        EXPECT_EQ(scan_->ownBootSectors, 1u);
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list[0].uSectorsPerCluster, 64u);
    } else {
        EXPECT_EQ(scan_->ownBootSectors, 1u);
        EXPECT_EQ(list.size(), 1u) << "every folder agreed with the volume's own boot sector";
        EXPECT_EQ(scan_->deep.GetObservationCount(), 0u);
    }
    EXPECT_EQ(scan_->deep.GetUnplacedFileCount(), 0u);
}

TEST_P(FatDeepRebuild, ListsEveryFileUnderItsFolderAndRecoversTheContiguousOnesByteExact) {
    ExpectListedAndRecoveredAsInManifest();
}

// The original geometry is what the fixture's first boot sector (for the reformatted volume,
// its geometry.tsv) gives.
INSTANTIATE_TEST_SUITE_P(
    Volumes, FatDeepRebuild,
    ::testing::Values(Volume{"Reformatted", "fat32_reformat", true, 0, "", 8, 1072},
                      Volume{"ReformattedAndZeroed", "fat32_reformat", true, 1072, "", 8, 1072},
                      Volume{"Fat16", "fat16", true, 0, "Videos/split clip.mp4", 4, 100},
                      Volume{"Fat16Zeroed", "fat16", true, 68, "Videos/split clip.mp4", 4, 100},
                      Volume{"Fat12Zeroed", "fat12", true, 19, "", 1, 33}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
