// Recognisers on volumes made by real formatters: mkfs.fat (12/16/32) with mtools, and
// mkntfs with an ntfs-3g mount. Each boot sector is its own file system's and no other, and
// every folder, live or deleted, still has its directory sectors or FILE records.
#include <gtest/gtest.h>

#include "carving_test_support.h"
#include "foundation/bytes.h"
#include "foundation/recognisers.h"

TEST(RealVolumes, BootSectorsFoldersAndFileRecordsAreRecognised) {
    for (const char* name : {"fat12", "fat16", "fat32", "ntfs"}) {
        SCOPED_TRACE(name);
        const ferrowen::test::TempDir dir;
        const std::vector<unsigned char> image =
            carving_test::ReadFile(ferrowen::test::UnpackFixture(name, dir));
        const unsigned char* b = image.data();
        const bool ntfs = name[0] == 'n';
        ASSERT_EQ(IsFat(b, 512), ntfs ? 0 : 1);
        ASSERT_EQ(IsNtfs(b, 512), ntfs ? 1 : 0);
        EXPECT_EQ(IsBitlockerDBR(b, 512), 0);
        EXPECT_EQ(IsExt(b, image.size()), 0);
        size_t dotPairs = 0, directorySectors = 0, records = 0, liveFolders = 0;
        for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
            dotPairs += IsFatFileRecord(b + at, 512);
            directorySectors += IsFatFDTRecord(b + at, 512);
            records += IsNtfsFileRecord(b + at, 1024);
        }
        const auto manifest = ferrowen::test::LoadManifest(name);
        for (const auto& entry : manifest) liveFolders += entry.isDir && !entry.deleted;
        if (ntfs) {
            // The system files have records too, and $MFTMirr repeats the first four.
            EXPECT_GE(records, manifest.size() + 16);
            const uint64_t mft = LoadU64(b + 0x30) * b[0x0D] * 512;
            EXPECT_EQ(IsNtfsFileRecord(b + mft, 1024), 1);
            EXPECT_EQ(IsNtfsFileRecord(b + mft, 4096), 0);
            continue;
        }
        EXPECT_GE(dotPairs, liveFolders);
        // The first root-directory sector, right after the FATs on FAT12/16, at the root
        // cluster on FAT32, starts with the label or the first file, not with a dot pair.
        const uint32_t bps = LoadU16(b + 0x0B), spc = b[0x0D];
        uint64_t root =
            LoadU16(b + 0x0E) +
            uint64_t{b[0x10]} * (LoadU16(b + 0x16) != 0 ? LoadU16(b + 0x16) : LoadU32(b + 0x24));
        if (LoadU16(b + 0x11) == 0) root += uint64_t{LoadU32(b + 0x2C) - 2} * spc;
        ASSERT_LT(root * bps + 512, image.size());
        EXPECT_EQ(IsFatFDTRecord(b + root * bps, 512), 1);
        EXPECT_GT(directorySectors, 0u);
    }
}
