// The recovery suites compare what they find with each volume's manifest, file by file: a
// manifest without live or without deleted files would let them pass having checked nothing.
#include "support/fixture.h"

#include <gtest/gtest.h>

TEST(FixtureManifest, EveryVolumeListsLiveAndDeletedFiles) {
    for (const char* name :
         {"fat12", "fat16", "fat32", "ntfs", "mbr.p1", "mbr.p5", "gpt.p1", "gpt.p2"}) {
        int live = 0, deleted = 0;
        for (const auto& e : ferrowen::test::LoadManifest(name))
            if (!e.isDir) (e.deleted ? deleted : live)++;
        EXPECT_GE(live, 1) << name;
        EXPECT_GE(deleted, 1) << name;
    }
}
