// Fixture volumes damaged the way failing cards and disks are damaged (random bytes over the
// boot sector, the FATs, the $MFT and folders; images cut short; sectors that cannot be read),
// scanned and recovered through the deep scan. Every run must end, and every deleted file whose
// own structures and data survived must come back byte-exact; nothing may be reported
// recovered that was not.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <tuple>

#include "damage_support.h"
#include "fat/fast_fat_recovery.h"
#include "faulty_io.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

class DamagedMedia : public DamageTest {
protected:
    // The recovery summary must agree with what is on disk: as many files written as
    // reported recovered plus failed (a failed file keeps what was written of it).
    static void ExpectHonestSummary(const Outcome& o) {
        EXPECT_EQ(o.summary.failures.size(), o.summary.uFailed);
        EXPECT_EQ(o.summary.uRecovered + o.summary.uFailed, o.listed);
        for (const auto& [path, error] : o.summary.failures) EXPECT_NE(error, 0);
    }
    static void Report(const char* what, const Outcome& o, size_t expected, size_t found) {
        std::cout << what << ": scan " << o.scanResult << ", listed " << o.listed << ", recovered "
                  << o.summary.uRecovered << ", failed " << o.summary.uFailed
                  << ", manifest files back " << found << "/" << expected << "\n";
    }

    // Scans and recovers the damaged image and expects every file of `wanted` back, but for
    // at most mayLose of them.
    void ExpectBack(const std::string& image, const std::set<std::string>& wanted, const char* what,
                    size_t mayLose = 0) {
        const Outcome o = ScanAndRecover(image, Out("out"));
        const size_t back = CountIn(wanted, o.recovered);
        Report(what, o, wanted.size(), back);
        ASSERT_TRUE(o.engineMade);
        EXPECT_EQ(o.scanResult, 0);
        ExpectHonestSummary(o);
        EXPECT_GE(back + mayLose, wanted.size());
    }

    // Scans the whole image once to learn where the deleted files lie, then cuts a copy at
    // cut bytes and scans and recovers that.
    void ExpectCutShortKeepsWhatLiesBefore(const std::string& fixture, uint64_t cut) {
        const std::string image = Image(fixture);
        ScanAndRecover(image, Out("whole"));
        const std::map<std::string, Extent> where = LocateFiles(image, Out("whole"));
        std::set<std::string> before, across;
        for (const std::string& h : DeletedHashes(fixture)) {
            const auto it = where.find(h);
            if (it == where.end()) continue;
            const Extent& e = it->second;
            if (e.contiguous && e.offset + e.size <= cut) before.insert(h);
            if (e.offset < cut && e.offset + e.size > cut) across.insert(h);
        }
        ASSERT_FALSE(before.empty());
        Truncate(image, cut);
        const Outcome o = ScanAndRecover(image, Out("cut"));
        Report((fixture + " cut").c_str(), o, before.size(), CountIn(before, o.recovered));
        EXPECT_EQ(o.scanResult, 0);
        ExpectHonestSummary(o);
        for (const std::string& h : before) {
            EXPECT_EQ(o.recovered.count(h), 1u) << "lost: " << h << " at " << where.at(h).offset;
        }
        EXPECT_EQ(CountIn(across, o.recovered), 0u);
        if (!across.empty()) {
            EXPECT_GE(o.summary.uFailed, 1u);
        }
    }

    // A bad stretch in the middle of the largest contiguous deleted file.
    void ExpectABadStretchCostsOneFile(const std::string& fixture);
};

// FAT16 with 2 KiB clusters: ten deleted files, eight of them below folders.
TEST_F(DamagedMedia, FatWithAScribbledBootSectorGivesBackItsFilesFromTheFolders) {
    const std::string image = Image("fat16");
    Scribble(image, 0, 512, 1);
    ExpectBack(image, DeletedHashes("fat16"), "fat16 boot");
}

TEST_F(DamagedMedia, FatWithBothTablesScribbledStillListsEveryDeletedFile) {
    const std::string image = Image("fat16");
    const FatLayout fat = ReadFatLayout(image);
    Scribble(image, fat.fatStart, fat.fatBytes * fat.fatCount, 2);
    ExpectBack(image, DeletedHashes("fat16"), "fat16 tables");
}

TEST_F(DamagedMedia, FatWithAScribbledRootFolderKeepsTheFilesOfItsSubFolders) {
    const std::string image = Image("fat16");
    const FatLayout fat = ReadFatLayout(image);
    Scribble(image, fat.rootStart, fat.rootBytes, 3);
    std::set<std::string> wanted = DeletedHashes("fat16");
    for (const std::string& h : DeletedHashesBelow("fat16", "")) wanted.erase(h);
    ExpectBack(image, wanted, "fat16 root");
}

// An image cut short (a card reader that gave up, a partial copy): every deleted file that lies
// wholly before the cut comes back; one the cut runs through is reported failed, never recovered.
TEST_F(DamagedMedia, FatCutShortGivesBackWhatLiesBeforeTheCut) {
    ExpectCutShortKeepsWhatLiesBefore("fat16", 1800 * 1024);
}

TEST_F(DamagedMedia, FatWithUnreadableTablesIsStillScannedDeep) {
    const std::string image = Image("fat16");
    const FatLayout fat = ReadFatLayout(image);
    faulty_io::FailReads(image, {{fat.fatStart, fat.rootStart}});
    ExpectBack(image, DeletedHashes("fat16"), "fat16 unreadable tables");
    EXPECT_GT(faulty_io::RefusedReads(), 0u);
}

TEST_F(DamagedMedia, FatWithUnreadableBootAreaIsStillScannedDeep) {
    const std::string image = Image("fat16");
    faulty_io::FailReads(image, {{0, 16384}});
    ExpectBack(image, DeletedHashes("fat16"), "fat16 unreadable boot");
    EXPECT_GT(faulty_io::RefusedReads(), 0u);
}

// A bad stretch inside one file's data costs that file only: it is reported failed with the
// read error, what was read before the bad stretch stays on disk, the reader notes the failed
// read in the debug log, and every other deleted file comes back.
TEST_F(DamagedMedia, UnreadableSectorsInsideAFileFailThatFileOnly) {
    ExpectABadStretchCostsOneFile("fat16");
}

TEST_F(DamagedMedia, UnreadableSectorsInsideAnNtfsFileFailThatFileOnly) {
    ExpectABadStretchCostsOneFile("ntfs");
}

void DamagedMedia::ExpectABadStretchCostsOneFile(const std::string& fixture) {
    const std::string image = Image(fixture);
    ScanAndRecover(image, Out("whole"));
    const auto where = LocateFiles(image, Out("whole"));
    const auto wanted = DeletedHashes(fixture);
    std::string victim;
    for (const std::string& h : wanted) {
        if (!where.count(h) || !where.at(h).contiguous) continue;
        if (victim.empty() || where.at(h).size > where.at(victim).size) victim = h;
    }
    ASSERT_FALSE(victim.empty());
    const Extent e = where.at(victim);
    const uint64_t bad = (e.offset + e.size / 2) / 512 * 512;
    faulty_io::FailReads(image, {{bad, bad + 4096}});
    const uintmax_t logBefore =
        std::filesystem::exists("Log.txt") ? std::filesystem::file_size("Log.txt") : 0;
    const Outcome o = ScanAndRecover(image, Out("out"));
    ExpectHonestSummary(o);
    EXPECT_EQ(o.recovered.count(victim), 0u);
    EXPECT_EQ(CountIn(wanted, o.recovered), wanted.size() - 1);
    ASSERT_GE(o.summary.uFailed, 1u);
    bool partialKept = false;
    for (const auto& [path, error] : o.summary.failures) {
        const std::string utf8 = WideToUtf8(path.c_str());
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(utf8, ec);
        if (!ec && size > 0 && size <= bad - e.offset) partialKept = true;
        EXPECT_TRUE(error == EIO || error == RESULT_SHORT_READ) << utf8 << " " << error;
    }
    EXPECT_TRUE(partialKept);
    std::ifstream log("Log.txt");
    log.seekg(static_cast<std::streamoff>(logBefore));
    const std::string added((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(added.find("Debug: read 5"), std::string::npos);
}

// NTFS with 4 KiB clusters: 28 deleted files, 25 of them with their content still there.
TEST_F(DamagedMedia, NtfsWithAScribbledBootSectorGivesBackItsFilesFromTheRecords) {
    const std::string image = Image("ntfs");
    Scribble(image, 0, 512, 4);
    ExpectBack(image, DeletedHashes("ntfs"), "ntfs boot");
}

TEST_F(DamagedMedia, NtfsWithScribbledRecordsKeepsTheOthers) {
    const std::string image = Image("ntfs");
    // Records 40-47: a stretch of the user files' records; at most their eight files are lost.
    Scribble(image, NtfsMftOffset(image) + 40 * 1024, 8 * 1024, 5);
    ExpectBack(image, DeletedHashes("ntfs"), "ntfs records", 8);
}

// Without the $MFT's own record and its mirror the table cannot be followed from the boot
// sector; the records themselves are still where they were and are found by looking.
TEST_F(DamagedMedia, NtfsWithoutTheTablesOwnRecordFindsTheRecordsByLooking) {
    const std::string image = Image("ntfs");
    Scribble(image, NtfsMftOffset(image), 1024, 9);
    Scribble(image, NtfsMirrorOffset(image), 1024, 10);
    ExpectBack(image, DeletedHashes("ntfs"), "ntfs without $MFT record");
}

TEST_F(DamagedMedia, NtfsWithUnreadableRecordsKeepsTheOthers) {
    const std::string image = Image("ntfs");
    const uint64_t mft = NtfsMftOffset(image);
    faulty_io::FailReads(image, {{mft + 40 * 1024, mft + 48 * 1024}});
    ExpectBack(image, DeletedHashes("ntfs"), "ntfs unreadable records", 8);
    EXPECT_GT(faulty_io::RefusedReads(), 0u);
}

TEST_F(DamagedMedia, NtfsCutShortGivesBackWhatLiesBeforeTheCut) {
    ExpectCutShortKeepsWhatLiesBefore("ntfs", 12 * 1024 * 1024);
}

}  // namespace

namespace {

using namespace ferrowen::test;

// A healthy volume must keep its free-space map: only damage may cost the deep scan its speed.
using FatDamageSignal = damage::DamageTest;
TEST_F(FatDamageSignal, HealthyVolumesShowNoDamageAndScribbledOnesDo) {
    auto sawDamage = [](const std::string& image) {
        ::setenv("FERROWEN_DISKS", image.c_str(), 1);
        CFastFatRecovery engine;
        const long long sectors = static_cast<long long>(std::filesystem::file_size(image) / 512);
        EXPECT_EQ(engine.Init(0, 0, sectors, u'C'), 0);
        engine.BuildBitMapInfo();
        engine.ScanDevice(nullptr);
        return engine.SawDamage();
    };
    for (const char* healthy : {"fat12", "fat16", "fat32", "fat32_reformat"}) {
        EXPECT_FALSE(sawDamage(Image(healthy))) << healthy;
    }
    const std::string tables = Image("fat12");
    const damage::FatLayout fat = damage::ReadFatLayout(tables);
    damage::Scribble(tables, fat.fatStart + 64, 256, 7);
    EXPECT_TRUE(sawDamage(tables));
    const std::string root = Image("fat16");
    damage::Scribble(root, damage::ReadFatLayout(root).rootStart, 512, 8);
    EXPECT_TRUE(sawDamage(root));
}

}  // namespace

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

// Damage at random places, of random sizes, with random unreadable stretches: whatever is hit,
// the scan ends, the recovery reports every file one way or the other, and nothing crashes.
class RandomDamage : public DamageTest,
                     public ::testing::WithParamInterface<std::tuple<const char*, unsigned>> {};

TEST_P(RandomDamage, NeverBreaksAScanOrARecovery) {
    const auto [fixture, seed] = GetParam();
    const std::string image = Image(fixture);
    const uint64_t size = std::filesystem::file_size(image);
    std::mt19937_64 random(seed);
    // Most damage lands where the structures are: the first megabyte.
    auto place = [&] {
        return random() % 2 ? random() % std::min<uint64_t>(size, 1 << 20) : random() % size;
    };
    for (int k = 0; k < 12; ++k) {
        Scribble(image, place() / 512 * 512, 1 + random() % 4096, seed + k);
    }
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    for (int k = 0; k < 4; ++k) {
        const uint64_t at = place() / 512 * 512;
        bad.emplace_back(at, at + 512 * (1 + random() % 16));
    }
    faulty_io::FailReads(image, bad);
    if (seed % 3 == 0) Truncate(image, size - size / 4);
    const Outcome o = ScanAndRecover(image, Out("out"));
    if (o.engineMade) {
        EXPECT_EQ(o.scanResult, 0);
        EXPECT_EQ(o.summary.failures.size(), o.summary.uFailed);
        EXPECT_EQ(o.summary.uRecovered + o.summary.uFailed, o.listed);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDamage,
                         ::testing::Combine(::testing::Values("fat12", "fat16", "ntfs", "demo"),
                                            ::testing::Range(1u, 7u)));

}  // namespace

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

using FailingDevice = DamageTest;

// A card pulled out half way: the pass ends at the first read that says the device is gone,
// instead of failing once per chunk to the end, and what was found before stays listed.
TEST_F(FailingDevice, ADeviceThatGoesAwayEndsTheScanAndKeepsWhatWasFound) {
    const std::string image = Image("fat32");
    const uint64_t size = std::filesystem::file_size(image);
    faulty_io::FailReads(image, {{size / 2, size}}, ENODEV);
    const Outcome o = ScanAndRecover(image, Out("out"));
    ASSERT_TRUE(o.engineMade);
    EXPECT_EQ(o.scanResult, ENODEV);
    EXPECT_GT(o.listed, 0u);
    EXPECT_LT(faulty_io::RefusedReads(), 2 * o.listed + 16);
    EXPECT_EQ(o.summary.uRecovered + o.summary.uFailed, o.listed);
}

// A long dead stretch (a disk whose second half stopped answering) is passed over a chunk at a
// time once it is clearly dead, not retried sector by sector, and the scan still ends well.
TEST_F(FailingDevice, ALongDeadStretchIsNotRetriedSectorBySector) {
    const std::string image = Image("fat32");
    const uint64_t size = std::filesystem::file_size(image);
    const uint64_t deadSectors = (size - size / 4) / 512;
    faulty_io::FailReads(image, {{size / 4, size}});
    const Outcome o = ScanAndRecover(image, Out("out"));
    ASSERT_TRUE(o.engineMade);
    EXPECT_EQ(o.scanResult, 0);
    EXPECT_LT(faulty_io::RefusedReads(), deadSectors / 8);
    EXPECT_EQ(o.summary.uRecovered + o.summary.uFailed, o.listed);
}

}  // namespace
