// The engines on failing media: fixture volumes damaged the way failing cards and disks are
// damaged (random bytes over the boot sector, the FATs, the $MFT and folders; images cut short;
// sectors that cannot be read), scanned and recovered through the deep scan; destinations that
// fill up; the raw reader on such a disk; and the proof that the disk is only ever read. Every
// run must end, and every deleted file whose own structures and data survived must come back
// byte-exact; nothing may be reported recovered that was not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "damage_support.h"
#include "disk/partition_manager.h"
#include "engine/professional_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "foundation/disk_reader.h"
#include "foundation/text.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

// The summary must agree with what is on disk: every file listed is counted once, recovered
// or failed with an error.
void ExpectHonestSummary(const Outcome& o) {
    EXPECT_EQ(o.summary.failures.size(), o.summary.uFailed);
    EXPECT_EQ(o.summary.uRecovered + o.summary.uFailed, o.listed);
    for (const auto& [path, error] : o.summary.failures) EXPECT_NE(error, 0);
}

// The stretches of a volume that a case damages. Records 40-47 are a stretch of the user
// files' records: at most their eight files are lost with them.
enum Where { kBootSector, kBootArea, kFats, kRootFolder, kRecords40To47, kMftRecordAndMirror };

std::vector<std::pair<uint64_t, uint64_t>> Stretches(const std::string& image, Where where) {
    const FatLayout fat = ReadFatLayout(image);
    const uint64_t mft = NtfsTableOffset(image), mirror = NtfsTableOffset(image, true);
    return std::vector<std::vector<std::pair<uint64_t, uint64_t>>>{
        {{0, 512}},
        {{0, 16384}},
        {{fat.fatStart, fat.rootStart}},
        {{fat.rootStart, fat.rootStart + fat.rootBytes}},
        {{mft + 40 * 1024, mft + 48 * 1024}},
        {{mft, mft + 1024}, {mirror, mirror + 1024}}}[where];
}

// FAT16 with 2 KiB clusters: ten deleted files, eight of them below folders. NTFS with 4 KiB
// clusters: 28 deleted files, 25 of them with their content still there.
struct DamageCase {
    const char* name;
    const char* fixture;
    Where where;
    unsigned seed;               // scribbled with bytes from this seed; 0: made unreadable
    size_t mayLose = 0;          // files whose own records the damage hits
    bool rootFilesLost = false;  // the root folder itself is hit
};

class DamagedMedia : public DamageTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedMedia, GivesBackEveryFileWhoseOwnStructuresSurvived) {
    const DamageCase& c = GetParam();
    const std::string image = Image(c.fixture);
    const auto stretches = Stretches(image, c.where);
    for (size_t k = 0; k < stretches.size() && c.seed != 0; ++k)
        Scribble(image, stretches[k].first, stretches[k].second - stretches[k].first, c.seed + k);
    if (c.seed == 0) faulty_io::FailReads(image, stretches);
    const std::set<std::string> wanted = DeletedHashes(c.fixture, !c.rootFilesLost);
    const Outcome o = ScanAndRecover(image, Out("out"));
    ASSERT_NE(o.scanResult, RESULT_NO_ENGINE);
    EXPECT_EQ(o.scanResult, 0);
    ExpectHonestSummary(o);
    EXPECT_GE(CountIn(wanted, o.recovered) + c.mayLose, wanted.size()) << o.listed << " listed";
    EXPECT_EQ(faulty_io::RefusedReads() > 0, c.seed == 0);
}

// A scribbled boot sector leaves the files to the folders or the records; the sub-folders'
// files survive a scribbled root folder; a volume whose tables or boot area cannot be read is
// still scanned deep. Without the $MFT's own record and its mirror the table cannot be
// followed from the boot sector, but the records are found by looking.
INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedMedia,
    ::testing::Values(DamageCase{"FatBootSector", "fat16", kBootSector, 1},
                      DamageCase{"FatBothTables", "fat16", kFats, 2},
                      DamageCase{"FatRootFolder", "fat16", kRootFolder, 3, 0, true},
                      DamageCase{"FatUnreadableTables", "fat16", kFats, 0},
                      DamageCase{"FatUnreadableBootArea", "fat16", kBootArea, 0},
                      DamageCase{"NtfsBootSector", "ntfs", kBootSector, 4},
                      DamageCase{"NtfsScribbledRecords", "ntfs", kRecords40To47, 5, 8},
                      DamageCase{"NtfsUnreadableRecords", "ntfs", kRecords40To47, 0, 8},
                      DamageCase{"NtfsWithoutTheTablesOwnRecord", "ntfs", kMftRecordAndMirror, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// Cases that first recover the undamaged image once to learn where its deleted files lie.
struct Placed {
    const char* fixture;
    uint64_t cut;  // where the image is cut short
};

class KnownPlaces : public DamageTest, public ::testing::WithParamInterface<Placed> {
protected:
    void SetUp() override {
        DamageTest::SetUp();
        image_ = Image(GetParam().fixture);
        ScanAndRecover(image_, Out("whole"));
        where_ = LocateFiles(image_, Out("whole"));
        wanted_ = DeletedHashes(GetParam().fixture);
    }
    std::string image_;
    std::map<std::string, Extent> where_;
    std::set<std::string> wanted_;
};

// An image cut short (a card reader that gave up, a partial copy): every deleted file that lies
// wholly before the cut comes back; one the cut runs through is reported failed, never recovered.
TEST_P(KnownPlaces, CutShortGivesBackWhatLiesBeforeTheCut) {
    const uint64_t cut = GetParam().cut;
    std::set<std::string> before, across;
    for (const std::string& h : wanted_) {
        if (!where_.count(h)) continue;
        const Extent& e = where_.at(h);
        if (e.contiguous && e.offset + e.size <= cut) before.insert(h);
        if (e.offset < cut && e.offset + e.size > cut) across.insert(h);
    }
    ASSERT_FALSE(before.empty());
    std::filesystem::resize_file(image_, cut);
    const Outcome o = ScanAndRecover(image_, Out("cut"));
    EXPECT_EQ(o.scanResult, 0);
    ExpectHonestSummary(o);
    for (const std::string& h : before)
        EXPECT_EQ(o.recovered.count(h), 1u) << "lost: " << h << " at " << where_.at(h).offset;
    EXPECT_EQ(CountIn(across, o.recovered), 0u);
    if (!across.empty()) {
        EXPECT_GE(o.summary.uFailed, 1u);
    }
}

// A bad stretch inside the largest contiguous deleted file costs that file only: it is reported
// failed with the read error, what was read before the bad stretch stays on disk, the reader
// notes the failed read in the debug log, and every other deleted file comes back.
TEST_P(KnownPlaces, UnreadableSectorsInsideAFileFailThatFileOnly) {
    std::string victim;
    for (const std::string& h : wanted_) {
        if (!where_.count(h) || !where_.at(h).contiguous) continue;
        if (victim.empty() || where_.at(h).size > where_.at(victim).size) victim = h;
    }
    ASSERT_FALSE(victim.empty());
    const Extent e = where_.at(victim);
    const uint64_t bad = (e.offset + e.size / 2) / 512 * 512;
    faulty_io::FailReads(image_, {{bad, bad + 4096}});
    std::filesystem::remove("Log.txt");  // the debug log of this scan only
    const Outcome o = ScanAndRecover(image_, Out("out"));
    ExpectHonestSummary(o);
    EXPECT_EQ(o.recovered.count(victim), 0u);
    EXPECT_EQ(CountIn(wanted_, o.recovered), wanted_.size() - 1);
    ASSERT_GE(o.summary.uFailed, 1u);
    for (const auto& [path, error] : o.summary.failures) {
        const std::string utf8 = WideToUtf8(path.c_str());
        EXPECT_FALSE(std::filesystem::exists(utf8)) << "a part under the final name: " << utf8;
        EXPECT_TRUE(error == EIO || error == RESULT_SHORT_READ) << utf8 << " " << error;
    }
    size_t files = 0;  // the files recovered and nothing else: no working file left behind
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Out("out")))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, o.summary.uRecovered);
    EXPECT_NE(ReadAll("Log.txt").find("Debug: read 5"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, KnownPlaces,
                         ::testing::Values(Placed{"fat16", 1800 * 1024}, Placed{"ntfs", 12 << 20}),
                         [](const auto& info) { return std::string(info.param.fixture); });

// The pass reads its blocks ahead on a second thread; reading each block when it is parsed must
// find exactly the same records, in the same order, on sound volumes and on failing ones.
struct AheadCase {
    const char* fixture;
    int error;  // 0: sound; else the reads of two stretches fail with it
};
class ReadAhead : public DamageTest, public ::testing::WithParamInterface<AheadCase> {
protected:
    std::pair<int, std::vector<_FILE_NODE_>> Scan(const std::string& image, bool ahead) {
        auto engine = DeepEngine(image);
        auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
        if (deep == nullptr) return {RESULT_NO_ENGINE, {}};
        deep->SetReadAhead(ahead);
        engine->InitCallBack(nullptr, nullptr, nullptr, 100);
        const int result = engine->ScanDevice(nullptr);
        std::vector<__SEARCH_FILE_INFO__> found;
        engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
        return {result, found};
    }
};

TEST_P(ReadAhead, FindsWhatReadingBlockByBlockFinds) {
    const std::string image = Image(GetParam().fixture);
    const uint64_t size = std::filesystem::file_size(image);
    if (GetParam().error != 0) {  // one bad sector, and a stretch over a block's end
        const uint64_t edge = size / 2 / CProfessionalRecovery::kBlockBytes *
                              CProfessionalRecovery::kBlockBytes;  // a block boundary
        faulty_io::FailReads(image, {{size / 3, size / 3 + 512}, {edge - 4096, edge + 70000}},
                             GetParam().error);
    }
    const auto [plainResult, plain] = Scan(image, false);
    const auto [aheadResult, ahead] = Scan(image, true);
    EXPECT_EQ(plainResult, aheadResult);
    ASSERT_GT(plain.size(), 0u);
    ASSERT_EQ(plain.size(), ahead.size());
    for (size_t i = 0; i < plain.size(); ++i)
        EXPECT_EQ(std::memcmp(&plain[i], &ahead[i], sizeof plain[i]), 0) << plain[i].szFileName;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReadAhead,
                         ::testing::Values(AheadCase{"fat32", 0}, AheadCase{"ntfs", 0},
                                           AheadCase{"mbr", 0}, AheadCase{"fat32", EIO},
                                           AheadCase{"ntfs", EIO}, AheadCase{"demo", ENODEV}),
                         [](const auto& info) {
                             return std::string(info.param.fixture) +
                                    (info.param.error != 0 ? "_failing" : "");
                         });

// A healthy volume must keep its free-space map: only damage may cost the deep scan its speed.
using FatDamageSignal = DamageTest;
TEST_F(FatDamageSignal, HealthyVolumesShowNoDamageAndScribbledOnesDo) {
    auto sawDamage = [](const std::string& image) {
        ::setenv("FERROWEN_DISKS", image.c_str(), 1);
        CFastFatRecovery engine;
        EXPECT_EQ(engine.Init(0, 0, std::filesystem::file_size(image) / 512, u'C'), 0);
        engine.BuildBitMapInfo();
        engine.ScanDevice(nullptr);
        return engine.SawDamage();
    };
    for (const char* healthy : {"fat12", "fat16", "fat32", "fat32_reformat"})
        EXPECT_FALSE(sawDamage(Image(healthy))) << healthy;
    const std::string tables = Image("fat12");
    Scribble(tables, ReadFatLayout(tables).fatStart + 64, 256, 7);
    EXPECT_TRUE(sawDamage(tables));
    const std::string root = Image("fat16");
    Scribble(root, ReadFatLayout(root).rootStart, 512, 8);
    EXPECT_TRUE(sawDamage(root));
}

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
    for (int k = 0; k < 12; ++k)
        Scribble(image, place() / 512 * 512, 1 + random() % 4096, seed + k);
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    for (int k = 0; k < 4; ++k) {
        const uint64_t at = place() / 512 * 512;
        bad.emplace_back(at, at + 512 * (1 + random() % 16));
    }
    faulty_io::FailReads(image, bad);
    if (seed % 3 == 0) std::filesystem::resize_file(image, size - size / 4);
    const Outcome o = ScanAndRecover(image, Out("out"));
    if (o.scanResult != RESULT_NO_ENGINE) {
        EXPECT_EQ(o.scanResult, 0);
        ExpectHonestSummary(o);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDamage,
                         ::testing::Combine(::testing::Values("fat12", "fat16", "ntfs", "demo"),
                                            ::testing::Range(1u, 7u)));

// Recovery into a destination that fills up, through every engine that writes files: each file
// that could not be written whole is reported failed with the disk's error and leaves nothing
// behind, every file there is whole, and no failed file is ever counted as recovered.
// FilesBelow: every file below folder by its path relative to it, with its size and content
// hash.
std::map<std::string, std::pair<uintmax_t, std::string>> FilesBelow(const std::string& folder) {
    std::map<std::string, std::pair<uintmax_t, std::string>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[std::filesystem::relative(entry.path(), folder).string()] = {
                entry.file_size(), Sha256OfFile(entry.path().string())};
    return files;
}

class FullDestination : public DamageTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullDestination, ReportsEveryFileThatDidNotFitAndLeavesNoPartOfIt) {
    std::unique_ptr<IFileRecoveryParse> engine = DeepEngine(Image(GetParam()));
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    // Up to five files of every engine that produced some, none of them empty.
    std::map<uint32_t, size_t> taken;
    std::vector<_FILE_NODE_> files;
    std::vector<_FILE_NODE_> browsed;
    BrowseFiles(*engine, nullptr, 0, 4000, browsed);
    for (const _FILE_NODE_& f : browsed)
        if (f.u64FileSize != 0 && f.u64FileSize <= (1u << 20) && taken[f.nFileSource]++ < 5)
            files.push_back(f);
    EXPECT_GE(taken.size(), 2u);

    // The same records into a roomy folder first: what each file must hold when it fits.
    ASSERT_EQ(Recover(*engine, files, Out("roomy")).uFailed, 0u);
    const auto whole = FilesBelow(Out("roomy"));
    uintmax_t total = 0;
    for (const auto& [path, file] : whole) total += file.first;

    const std::string full = Out("full");
    std::filesystem::create_directories(full);
    faulty_io::LimitWrites(full, total / 2);
    const RECOVERY_SUMMARY limited = Recover(*engine, files, full);
    faulty_io::Reset();

    EXPECT_EQ(limited.uRecovered + limited.uFailed, files.size());
    EXPECT_GE(limited.uFailed, 1u);
    EXPECT_EQ(limited.failures.size(), limited.uFailed);
    std::set<std::string> failed;
    for (const auto& [path, error] : limited.failures) {
        EXPECT_EQ(error, ENOSPC) << WideToUtf8(path.c_str());
        failed.insert(std::filesystem::relative(WideToUtf8(path.c_str()), full).string());
    }
    const auto written = FilesBelow(full);
    EXPECT_EQ(written.size(), limited.uRecovered);
    for (const auto& [path, file] : written) {
        ASSERT_TRUE(whole.count(path)) << path;
        EXPECT_FALSE(failed.count(path)) << path << " failed but stayed";
        EXPECT_EQ(file.second, whole.at(path).second) << path << " reported recovered";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryEngine, FullDestination, ::testing::Values("fat16", "ntfs", "demo"));

// Without a folder for its results a scan says so: an empty list is no success.
using NoStore = DamageTest;
TEST_F(NoStore, AScanWhoseResultsCannotBeKeptEndsWithThatError) {
    const std::string image = Image("fat16");
    ::setenv("XDG_DATA_HOME", "/proc/no-such-folder", 1);
    CLogFileManager::GetInstance()->Init();
    auto engine = DeepEngine(image);
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), RESULT_NO_STORE);
}

using FailingDevice = DamageTest;
// A card pulled out half way: the pass ends at the first read that says the device is gone,
// instead of failing once per chunk to the end, and what was found before stays listed.
TEST_F(FailingDevice, ADeviceThatGoesAwayEndsTheScanAndKeepsWhatWasFound) {
    const std::string image = Image("fat32");
    const uint64_t size = std::filesystem::file_size(image);
    faulty_io::FailReads(image, {{size / 2, size}}, ENODEV);
    const Outcome o = ScanAndRecover(image, Out("out"));
    ASSERT_NE(o.scanResult, RESULT_NO_ENGINE);
    EXPECT_EQ(o.scanResult, ENODEV);
    EXPECT_GT(o.listed, 0u);
    EXPECT_LT(faulty_io::RefusedReads(), 2 * o.listed + 16);
    ExpectHonestSummary(o);
}

// A long dead stretch (a disk whose second half stopped answering) is passed over a chunk at a
// time once it is clearly dead, not retried sector by sector, and the scan still ends well.
TEST_F(FailingDevice, ALongDeadStretchIsNotRetriedSectorBySector) {
    const std::string image = Image("fat32");
    const uint64_t size = std::filesystem::file_size(image);
    faulty_io::FailReads(image, {{size / 4, size}});
    const Outcome o = ScanAndRecover(image, Out("out"));
    ASSERT_NE(o.scanResult, RESULT_NO_ENGINE);
    EXPECT_EQ(o.scanResult, 0);
    EXPECT_LT(faulty_io::RefusedReads(), (size - size / 4) / 512 / 8);
    ExpectHonestSummary(o);
}

// Each failed read is logged with its error until failures run on and on; then they are only
// counted, and the first read that succeeds starts the count again.
using ReaderOnAFailingDisk = DamageTest;
TEST_F(ReaderOnAFailingDisk, TellsTheErrorAndStopsLoggingALongRunOfFailures) {
    const std::string image = Image("fat12");
    faulty_io::FailReads(image, {{512 * 100, 512 * 400}});
    CDiskReader reader;
    ASSERT_EQ(reader.Init(Utf8ToWide(image.c_str()).c_str(), 2880), 0);
    std::vector<unsigned char> buf(512 * 4);
    unsigned int got = 0;
    for (uint64_t sector = 100; sector < 300; ++sector) {
        EXPECT_EQ(reader.ReadData(buf.data(), 1, sector, 512, &got), RESULT_SHORT_READ);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(reader.GetLastReadError(), EIO);
    }
    // A read that runs into the bad stretch gives what lies before it.
    EXPECT_EQ(reader.ReadData(buf.data(), 4, 98, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 500, 512, &got), 0);
    EXPECT_EQ(reader.GetLastReadError(), 0);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 200, 512, &got), RESULT_SHORT_READ);
    const std::string log = ReadAll("Log.txt");
    const auto count = [&](const std::string& needle) {
        size_t n = 0;
        for (size_t at = 0; (at = log.find(needle, at)) != std::string::npos; ++at) ++n;
        return n;
    };
    EXPECT_EQ(count("Debug: read 5\n"), CDiskReader::kLoggedFailuresInARow + 1);
    EXPECT_EQ(count("further failures are not logged"), 1u);
}

// Everything a user can do with one engine: scan, browse, preview each file and recover all.
void UseFully(IFileRecoveryParse* engine, const std::string& destination) {
    ASSERT_NE(engine, nullptr);
    std::unique_ptr<IFileRecoveryParse> owned(engine);
    engine->SetNotLoadLogFile();
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    EXPECT_FALSE(found.empty());
    std::vector<unsigned char> preview(1 << 16);
    char16_t tmp[512];
    for (__SEARCH_FILE_INFO__& f : found) {
        int length = static_cast<int>(preview.size());
        engine->PreView(&f, tmp, 512, preview.data(), length, nullptr, nullptr);
    }
    std::vector<_FILE_NODE_> browsed;
    BrowseFiles(*engine, nullptr, 0, 200, browsed);
    EXPECT_EQ(Recover(*engine, {found.begin(), found.end()}, destination).uFailed, 0u);
}

// The scanned disk is never opened for writing: every descriptor the engines open on it, through
// partition listing, quick and deep scans, previews and recoveries, is read-only, and the image
// is byte-identical afterwards.
using ReadOnly = DamageTest;
TEST_F(ReadOnly, EveryDescriptorOnTheDiskIsReadOnlyAndTheDiskIsUnchanged) {
    const std::string image = Image("demo");
    const std::string hash = Sha256OfFile(image);
    ::setenv("FERROWEN_DISKS", image.c_str(), 1);
    PARTITION_MAP partitions;
    CPartitionManager().GetPartitionItems(partitions);
    ASSERT_EQ(partitions[0].size(), 3u);  // FAT32, NTFS, exFAT
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    int n = 0;
    for (const _PARTITION_ITEM_& p : partitions[0]) {
        const auto start = static_cast<long long>(p.u64StartSector);
        const auto count = static_cast<long long>(p.u64EndSector - p.u64StartSector + 1);
        for (RECOVERY_TYPE type : {RECOVERY_TYPE_FAST, RECOVERY_TYPE_PROFESSIONAL})
            UseFully(factory->CreateFileRecoveryInstance(0, start, count, u'C', type),
                     Out("out" + std::to_string(n++)));
    }
    // The whole image by its path, as a disk without a partition table is scanned.
    UseFully(factory->CreateFileRecoveryInstance(Utf8ToWide(image.c_str()).c_str(), u'C',
                                                 RECOVERY_TYPE_PROFESSIONAL),
             Out("whole"));

    const std::vector<int> opens = faulty_io::OpenFlagsOf(image);
    EXPECT_GE(opens.size(), 10u);
    for (int flags : opens) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
        EXPECT_EQ(flags & (O_CREAT | O_TRUNC | O_APPEND), 0);
    }
    EXPECT_EQ(Sha256OfFile(image), hash);
}

// The proof above is only as good as the wrapper under it: it must see a writable open, and
// it must refuse reads of the bad ranges the way a disk does.
using FaultyIo = DamageTest;
TEST_F(FaultyIo, SeesEveryOpenAndFailsReadsInBadRanges) {
    const std::string path = Out("disk.img");
    std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
    faulty_io::Reset();
    const int writable = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writable, 0);
    close(writable);
    ASSERT_EQ(faulty_io::OpenFlagsOf(path).size(), 1u);
    EXPECT_EQ(faulty_io::OpenFlagsOf(path)[0] & O_ACCMODE, O_RDWR);

    faulty_io::FailReads(path, {{4096, 4608}});
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[8192];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 4096);  // stops short of the bad sector
    errno = 0;
    EXPECT_EQ(pread(fd, buf, 512, 4096), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pread(fd, buf, 512, 4608), 512);  // the sector after it reads again
    lseek(fd, 4096, SEEK_SET);
    EXPECT_EQ(read(fd, buf, 512), -1);
    close(fd);
    EXPECT_EQ(faulty_io::RefusedReads(), 2u);
}

}  // namespace
