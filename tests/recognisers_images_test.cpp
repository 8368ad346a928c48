// Recognisers on volumes made by real formatters: mkfs.fat (12/16/32) with mtools, and
// mkntfs with an ntfs-3g mount.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/recognisers.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::LoadManifest;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

std::vector<unsigned char> LoadImage(const std::string& name, const TempDir& dir) {
    std::ifstream in(UnpackFixture(name, dir), std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}

size_t LiveFolders(const std::string& name) {
    size_t n = 0;
    for (const auto& entry : LoadManifest(name)) n += entry.isDir && !entry.deleted;
    return n;
}

class FatImage : public ::testing::TestWithParam<const char*> {};

TEST_P(FatImage, BootSectorIsFatAndNothingElse) {
    TempDir dir;
    const std::vector<unsigned char> image = LoadImage(GetParam(), dir);
    ASSERT_GE(image.size(), 4096u);
    EXPECT_EQ(IsFat(image.data(), 512), 1);
    EXPECT_EQ(IsNtfs(image.data(), 512), 0);
    EXPECT_EQ(IsBitlockerDBR(image.data(), 512), 0);
    EXPECT_EQ(IsExt(image.data(), image.size()), 0);

    std::vector<unsigned char> boot(image.begin(), image.begin() + 512);
    boot[0x0D] = 128;
    EXPECT_EQ(IsFat(boot.data(), 512), 0);
    boot.assign(image.begin(), image.begin() + 512);
    std::memcpy(&boot[3], "-FVE-FS-", 8);
    EXPECT_EQ(IsFat(boot.data(), 512), 0);
}

TEST_P(FatImage, EveryLiveFolderOpensWithADotPairAndTheRootIsADirectorySector) {
    TempDir dir;
    const std::vector<unsigned char> image = LoadImage(GetParam(), dir);
    size_t dotPairs = 0, directorySectors = 0;
    for (size_t at = 0; at + 512 <= image.size(); at += 512) {
        dotPairs += IsFatFileRecord(image.data() + at, 512);
        directorySectors += IsFatFDTRecord(image.data() + at, 512);
    }
    EXPECT_GE(dotPairs, LiveFolders(GetParam()));
    EXPECT_GT(directorySectors, 0u);

    // The first root-directory sector: right after the FATs on FAT12/16, at the root cluster
    // on FAT32. It starts with the volume label or the first file, never with a dot pair.
    const unsigned char* b = image.data();
    const uint32_t bps = LoadU16(b + 0x0B), spc = b[0x0D], reserved = LoadU16(b + 0x0E);
    const uint32_t fatSize = LoadU16(b + 0x16) != 0 ? LoadU16(b + 0x16) : LoadU32(b + 0x24);
    const uint32_t rootSectors = LoadU16(b + 0x11) * 32 / bps;
    uint64_t root = reserved + uint64_t{b[0x10]} * fatSize;
    if (rootSectors == 0) root += uint64_t{LoadU32(b + 0x2C) - 2} * spc;
    ASSERT_LT(root * bps + 512, image.size());
    EXPECT_EQ(IsFatFDTRecord(image.data() + root * bps, 512), 1);
}

INSTANTIATE_TEST_SUITE_P(MadeByMkfsFat, FatImage, ::testing::Values("fat12", "fat16", "fat32"));

TEST(NtfsImage, BootSectorAndMasterFileTableRecordsAreRecognised) {
    TempDir dir;
    const std::vector<unsigned char> image = LoadImage("ntfs", dir);
    const unsigned char* b = image.data();
    ASSERT_EQ(IsNtfs(b, 512), 1);
    EXPECT_EQ(IsFat(b, 512), 0);
    const uint64_t mftSector = LoadU64(b + 0x30) * b[0x0D];
    ASSERT_LT(mftSector * 512 + 1024, image.size());
    EXPECT_EQ(IsNtfsFileRecord(image.data() + mftSector * 512, 1024), 1);
    EXPECT_EQ(IsNtfsFileRecord(image.data() + mftSector * 512, 4096), 0);

    size_t records = 0;
    for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
        records += IsNtfsFileRecord(image.data() + at, 1024);
    }
    // Every file and folder, live or deleted, still has its record, as do the system files;
    // $MFTMirr repeats the first four.
    EXPECT_GE(records, LoadManifest("ntfs").size() + 16);

    std::vector<unsigned char> boot(image.begin(), image.begin() + 512);
    boot[0x0D] = 128;
    EXPECT_EQ(IsNtfs(boot.data(), 512), 0);
}

}  // namespace
