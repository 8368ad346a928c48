// The deep FAT parser on small volumes built entry by entry: geometry inferred from folder
// pairs, long names cut by sector and cluster boundaries in either order of arrival, files
// found before any geometry, lost folders, and the contiguous reading of extraction.
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fat_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

constexpr uint64_t kImageSectors = 4096;
constexpr uint32_t kSpc = 4;
constexpr uint64_t kBase = 200;  // sector of cluster 2
constexpr uint32_t kClusterBytes = kSpc * kSector;

std::vector<Entry> File(const std::string& longName, const char* short11, uint32_t cluster,
                        uint32_t size, bool deleted = false) {
    return NamedEntries(Utf8ToWide(longName.c_str()), short11, FAT_ATTR_ARCHIVE,
                        size == 0 ? 0 : cluster, size, deleted);
}
std::vector<Entry> Folder(const std::string& longName, const char* short11, uint32_t cluster) {
    return NamedEntries(Utf8ToWide(longName.c_str()), short11, FAT_ATTR_DIRECTORY, cluster, 0);
}
std::vector<Entry> Join(std::initializer_list<std::vector<Entry>> parts) {
    std::vector<Entry> out;
    for (const std::vector<Entry>& part : parts) Add(out, part);
    return out;
}
// `count` files without data, named <tag>001~1.TXT and on.
std::vector<Entry> Fillers(char tag, int count) {
    std::vector<Entry> out;
    for (int i = 1; i <= count; ++i) {
        const std::string name = tag + std::string(i < 10 ? "00" : "0") + std::to_string(i);
        out.push_back(ShortEntry((name + "~1  TXT").c_str(), FAT_ATTR_ARCHIVE, 0, 0));
    }
    return out;
}
// A sector that opens with the dot pair of folder `self`.
std::vector<Entry> DotSector(uint32_t self, uint32_t parent) {
    std::vector<Entry> sector = DotPair(self, parent);
    sector.resize(kSector / sizeof(Entry));
    return sector;
}

class FatDeepHand : public ::testing::Test {
protected:
    void StartEngine() {
        env_.emplace(dir_, image_.path());
        ASSERT_EQ(engine_.Init(0, 0, static_cast<long long>(kImageSectors), u'C'), 0);
        ASSERT_EQ(engine_.ClearProfessionalVec(nullptr), 0);
        ASSERT_EQ(engine_.InitVirtualDbrInfo(), 0);
    }
    // Two empty folders low on the volume fix the geometry before anything else is seen.
    void WriteGeometryFolders() {
        image_.WriteFolder(3, DotPair(3, 0));
        image_.WriteFolder(5, DotPair(5, 0));
    }
    void WriteRoot(const std::vector<Entry>& entries) {
        image_.WriteFolder(
            2, Join({{ShortEntry("HANDVOL    ", FAT_ATTR_VOLUME_LABEL, 0, 0)}, entries}));
    }
    void Rebuild() {
        ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
        tree_.clear();
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    void FeedAndRebuild() {
        FeedImage(engine_, image_.path());
        Rebuild();
    }
    ::testing::AssertionResult Has(const std::string& path) const {
        if (tree_.count(path) != 0) return ::testing::AssertionSuccess();
        auto failure = ::testing::AssertionFailure() << path << " is not among:";
        for (const auto& [p, found] : tree_) failure << "\n  " << p;
        return failure;
    }
    std::string Recover(const std::string& path) {
        const std::string target = out_.path() + "/r" + std::to_string(++recovered_);
        if (!Has(path)) return "<not listed>";
        return Save(engine_, tree_.at(path), target) == 0 ? ReadFile(target) : "<not recovered>";
    }

    TempDir dir_, out_;
    HandImage image_{dir_, kImageSectors, kSpc, kBase};
    std::optional<ScanEnvironment> env_;
    CProfessionalFatRecovery engine_;
    Tree tree_;
    int recovered_ = 0;
};

// ---- geometry -----------------------------------------------------------------------------

TEST_F(FatDeepHand, TwoFolderObservationsGiveClusterSizeAndDataStartOnlyWhenPossible) {
    StartEngine();
    EXPECT_EQ(engine_.CalcVirtualDbr(13, 10009, 10, 10000), 0) << "3 sectors per cluster";
    EXPECT_EQ(engine_.CalcVirtualDbr(14, 10010, 10, 10000), 0) << "not a whole number";
    EXPECT_EQ(engine_.CalcVirtualDbr(1001, 108, 1000, 100), 0) << "data area before sector 0";
    EXPECT_EQ(engine_.CalcVirtualDbr(10, 10080, 10, 10000), 0) << "one cluster twice";
    EXPECT_EQ(engine_.CalcVirtualDbr(20, 10000, 10, 10000), 0) << "no sectors between";
    EXPECT_EQ(engine_.CalcVirtualDbr(10, 10000, 1, 9928), 0) << "cluster 1 holds no data";
    // A higher cluster found at a lower sector pairs with nothing, however the two are ordered.
    engine_.ParseFatFileRecord(DotSector(20, 0)[0].data(), 10000);
    engine_.ParseFatFileRecord(DotSector(10, 0)[0].data(), 10080);
    // Corrupt folder sectors are skipped: a "." naming cluster 1, and no sector at all.
    EXPECT_EQ(engine_.ParseFatFileRecord(DotSector(1, 0)[0].data(), 300), 0);
    EXPECT_EQ(engine_.ParseFatFileRecord(nullptr, 300), 0);
    EXPECT_EQ(engine_.ParseFDTFileRecord(nullptr, 300), 0);
    EXPECT_EQ(engine_.GetObservationCount(), 2u);
    EXPECT_TRUE(engine_.GetVirtualDbrList().empty());

    // The pair that works (tests/fat_deep_rebuild_test.cpp infers whole volumes from folders).
    EXPECT_EQ(engine_.CalcVirtualDbr(20, 10080, 10, 10000), 1);
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 1u);
    EXPECT_EQ(engine_.ClusterSector(engine_.GetVirtualDbrList()[0], 10), 10000u);
}

// ---- long names cut by a boundary, of live and of deleted files -----------------------------

class FatDeepLongNames : public FatDeepHand, public ::testing::WithParamInterface<bool> {
protected:
    std::vector<Entry> Named(const std::string& name, const std::string& short11, uint32_t cluster,
                             uint32_t size) {
        return File(name, short11.c_str(), cluster, size, GetParam());
    }
    const std::string cut_ = "A rather long file name that is cut in two.txt";
};

// Folder 10 holds four files, then one whose five entries are cut after the second by the end
// of the folder's first sector, then one more. It is fed in pass order, then once more with
// its second sector before its first.
TEST_P(FatDeepLongNames, NameCutBySectorEndIsJoinedInEitherOrderOfArrival) {
    WriteGeometryFolders();
    std::vector<Entry> a = DotPair(10, 0);
    for (int i = 1; i <= 4; ++i) {
        const std::string n = std::to_string(i);
        Add(a, Named("Alpha report " + n + ".txt", "A00" + n + "~1  TXT", 100 + i, 700));
    }
    Add(a, Join({Named(cut_, "ARATHE~1TXT", 120, 3000),
                 Named("after the cut.txt", "AFTERT~1TXT", 125, 900)}));
    ASSERT_EQ(a.size(), 2u + 12u + 5u + 3u);
    image_.WriteFolder(10, a);
    WriteRoot(Folder("Alpha folder", "ALPHAF~1   ", 10));
    const std::string data = image_.WriteData(120, 3000);
    const uint64_t at = image_.ClusterSector(10);
    for (bool secondFirst : {false, true}) {
        SCOPED_TRACE(secondFirst ? "second sector first" : "in pass order");
        StartEngine();
        FeedImage(engine_, image_.path(), 0, secondFirst ? at : UINT64_MAX);
        if (secondFirst) {
            const size_t waiting = engine_.GetUnDealSectorCount();  // the root, before geometry
            FeedImage(engine_, image_.path(), at + 1, at + 2);
            EXPECT_EQ(engine_.GetUnDealSectorCount(), waiting + 1)
                << "a sector that starts inside a name waits for its head";
            FeedImage(engine_, image_.path(), at, at + 1);
        }
        EXPECT_EQ(engine_.GetPendingLongNameCount(), 0u);
        Rebuild();
        EXPECT_EQ(tree_.size(), 7u);  // the folder and its six files
        EXPECT_EQ(Recover("Alpha folder/" + cut_), data);
        EXPECT_TRUE(Has("Alpha folder/Alpha report 1.txt"));
        EXPECT_TRUE(Has("Alpha folder/after the cut.txt"));
    }
}

// Folders 12 and 14 fill their clusters, and the last name of each is cut by the cluster's
// end; it goes on in cluster 30 (after the folder) and 8 (before it), with two more files.
TEST_P(FatDeepLongNames, ClusterThatContinuesANameJoinsItsFolderWhetherItComesBeforeOrAfter) {
    WriteGeometryFolders();
    std::map<std::string, std::string> data;
    for (const auto& [folder, next, base, name] :
         {std::tuple{12u, 30u, 200u, "After"}, std::tuple{14u, 8u, 500u, "Before"}}) {
        std::vector<Entry> c = DotPair(folder, 0);
        for (uint32_t i = 101; i <= 120; ++i) {
            const std::string n = std::to_string(i);
            Add(c, Named("C file " + n + ".txt", "C" + n + "~1  TXT", base + i, 100));
        }
        const std::string cutName = name[0] + cut_.substr(1);  // distinct, of one length
        const std::vector<Entry> cut =
            Named(cutName, name[0] + std::string("RATHE~1TXT"), base + 50, 5000);
        c.insert(c.end(), cut.begin(), cut.begin() + 2);
        ASSERT_EQ(c.size(), 64u);
        image_.WriteFolder(folder, c);
        std::vector<Entry> rest(cut.begin() + 2, cut.end());
        Add(rest, Join({Named("in the next cluster.txt", "INTHEN~1TXT", base + 60, 1500),
                        Named("also there.txt", "ALSOTH~1TXT", base + 62, 200)}));
        image_.WriteFolder(next, rest);
        // The continuation cluster's second sector, read on its own, belongs there too.
        image_.WriteEntries(image_.ClusterSector(next) + 1,
                            Named("second sector.txt", "SECOND~1TXT", base + 64, 100));
        data[std::string(name) + "/" + cutName] = image_.WriteData(base + 50, 5000);
        data[std::string(name) + "/in the next cluster.txt"] = image_.WriteData(base + 60, 1500);
        data[std::string(name) + "/also there.txt"] = std::string(200, '\0');
        data[std::string(name) + "/second sector.txt"] = std::string(100, '\0');
    }
    WriteRoot(Join({Folder("After", "AFTER      ", 12), Folder("Before", "BEFORE     ", 14)}));
    StartEngine();
    FeedAndRebuild();
    for (const auto& [path, content] : data) EXPECT_EQ(Recover(path), content);
    for (const auto& [path, found] : tree_) EXPECT_EQ(path.find("LostFolder"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(LiveAndDeleted, FatDeepLongNames, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Deleted" : "Live"; });

// A chain open over more than one sector (here 17 pieces, 544 bytes, before the last sector
// arrives) is still joined: a pending chain holds the 20 pieces a name can have. A longer one
// is garbage: the name is dropped and the short name kept.
TEST_F(FatDeepHand, DeletedNamesOfTwentyPiecesAreJoinedAndLongerChainsDropped) {
    WriteGeometryFolders();
    std::string longest;
    for (int i = 0; longest.size() < 250; ++i) longest += static_cast<char>('a' + i % 26);
    longest += ".txt";  // 254 characters: 20 pieces
    const std::vector<Entry> name = File(longest, "AAAAAA~1TXT", 400, 2000, true);
    ASSERT_EQ(name.size(), 21u);
    // Piece 20 ends sector 1, 19..4 fill sector 2, 3..1 and the 8.3 entry follow.
    image_.WriteFolder(10, Join({DotPair(10, 0), Fillers('P', 13), name}));
    const std::vector<Entry> garbage =
        File(std::string(270, 'x') + ".txt", "XXXXXX~1TXT", 0, 0, true);
    ASSERT_EQ(garbage.size(), 23u);
    image_.WriteFolder(12, Join({DotPair(12, 0), garbage}));
    WriteRoot(
        Join({Folder("Long names", "LONGNA~1   ", 10), Folder("Garbage", "GARBAGE    ", 12)}));
    const std::string data = image_.WriteData(400, 2000);
    StartEngine();
    // Folder 12 is fed by hand: the recogniser would refuse such a chain before the parser.
    const uint64_t at = image_.ClusterSector(12);
    FeedImage(engine_, image_.path(), 0, at);
    const std::string two = ReadFile(image_.path()).substr(at * kSector, 2 * kSector);
    engine_.ParseFatFileRecord(reinterpret_cast<const unsigned char*>(two.data()), at);
    engine_.ParseFDTFileRecord(reinterpret_cast<const unsigned char*>(two.data()) + kSector,
                               at + 1);
    Rebuild();
    EXPECT_EQ(Recover("Long names/" + longest), data);
    EXPECT_TRUE(Has("Garbage/!XXXXX~1.TXT"));
}

// A run holds the 20 pieces of the longest name and one sector, and refuses more.
TEST(FatDirEntryRun, HoldsTheLongestChainAndOneSectorAndRefusesMore) {
    const std::vector<Entry> sector = Fillers('S', 16);
    __DIR_ENTRY_RUN__ run;
    for (int piece = 0; piece < 20; ++piece) EXPECT_TRUE(run.Append(sector[0].data(), 1, 7));
    EXPECT_TRUE(run.Append(sector[0].data(), 16, 8));
    EXPECT_FALSE(run.Append(sector[0].data(), 1, 9));
    EXPECT_EQ(run.uCount, 36u);
    EXPECT_EQ(run.u64EntrySector[35], 8u);
}

// Open chains nobody continues are kept up to a cap; past it the oldest is dropped.
TEST_F(FatDeepHand, OpenLongNamesWaitingForTheirContinuationAreCapped) {
    WriteGeometryFolders();
    StartEngine();
    FeedImage(engine_, image_.path());
    const std::vector<Entry> name = File(std::string(30, 'n') + ".txt", "NNNNNN~1TXT", 0, 0);
    std::vector<Entry> sector = Join({Fillers('F', 14), {name[0], name[1]}});
    const size_t cap = CProfessionalFatRecovery::kMaxPendingLongNames;
    for (uint32_t c = 100; c <= 100 + cap; ++c) {
        engine_.ParseFDTFileRecord(sector[0].data(), image_.ClusterSector(c));
    }
    EXPECT_EQ(engine_.GetPendingLongNameCount(), cap);
}

// ---- placement ----------------------------------------------------------------------------

// Bound by path, once. The file of folder 10 waits until folder 20 fixes the geometry and is
// placed then; folder 30 agrees with that geometry and is parsed at once, without an
// observation of its own.
TEST_F(FatDeepHand, FileFoundBeforeAnyGeometryWaitsAndLaterFoldersAreParsedAtOnce) {
    image_.WriteFolder(10,
                       Join({DotPair(10, 0), File("early.txt", "EARLY   TXT", 100, 3000, true)}));
    image_.WriteFolder(20, Join({DotPair(20, 0), File("late.txt", "LATE    TXT", 110, 500)}));
    image_.WriteFolder(30, Join({DotPair(30, 0), File("third.txt", "THIRD   TXT", 120, 10)}));
    WriteRoot(Join({Folder("Early", "EARLY      ", 10), Folder("Late", "LATE       ", 20)}));
    const std::string data = image_.WriteData(100, 3000);
    env_.emplace(dir_, image_.path());
    ASSERT_EQ(engine_.Init(Utf8ToWide(image_.path().c_str()).c_str(), u'C'), 0);
    EXPECT_EQ(engine_.Init(u"/no/such/image", u'C'), 0) << "a bound parser stays bound";
    ASSERT_EQ(engine_.ClearProfessionalVec(nullptr), 0);
    FeedImage(engine_, image_.path(), 0, image_.ClusterSector(20));
    EXPECT_TRUE(engine_.GetVirtualDbrList().empty());
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 1u);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u);
    FeedImage(engine_, image_.path(), image_.ClusterSector(20), image_.ClusterSector(30));
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 1u);
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 0u) << "placed as soon as the geometry was known";
    EXPECT_EQ(engine_.GetLostFileCount(), 2u);
    FeedImage(engine_, image_.path(), image_.ClusterSector(30));
    EXPECT_EQ(engine_.GetObservationCount(), 2u);
    EXPECT_EQ(engine_.GetLostFileCount(), 3u) << "recorded before the pass is over";
    Rebuild();
    ASSERT_TRUE(Has("Early/early.txt"));
    EXPECT_EQ(tree_.at("Early/early.txt").node.u64DataStartSector, kBase);
    EXPECT_EQ(tree_.at("Early/early.txt").node.uClusterBytes, kClusterBytes);
    EXPECT_EQ(Recover("Early/early.txt"), data);
    EXPECT_TRUE(Has("Late/late.txt"));
    EXPECT_TRUE(Has("LostFolder30/third.txt"));
    CProfessionalFatRecovery unbound;
    EXPECT_EQ(unbound.Init(u"/no/such/image", u'C'), ENOENT);
    EXPECT_EQ(unbound.Init(nullptr, u'C'), RESULT_INVALID_ARGUMENT);
}

TEST_F(FatDeepHand, WaitingFileNoGeometryExplainsGoesWithTheOnlyOne) {
    // A folder sector that sits one sector off its cluster: no geometry will ever explain it.
    image_.WriteEntries(image_.ClusterSector(10) + 1,
                        Join({DotPair(10, 0), File("odd one.txt", "ODDONE~1TXT", 100, 100)}));
    image_.WriteFolder(20, DotPair(20, 0));
    image_.WriteFolder(30, DotPair(30, 0));
    StartEngine();
    FeedImage(engine_, image_.path());
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 1u);
    Rebuild();
    ASSERT_TRUE(Has("LostFolder10/odd one.txt"));
    EXPECT_EQ(tree_.at("LostFolder10/odd one.txt").node.u64DataStartSector, kBase);
}

TEST_F(FatDeepHand, WaitingFileBelowEveryOneOfSeveralGeometriesIsDropped) {
    // Two volumes' worth of folders far above a folder that fits neither.
    image_.WriteEntries(500, Join({DotPair(50, 0), File("too low.txt", "TOOLOW~1TXT", 100, 100)}));
    for (uint64_t volume : {1032, 2032}) {
        image_.WriteEntries(volume, DotPair(10, 0));
        image_.WriteEntries(volume + 8, DotPair(12, 0));
    }
    image_.WriteEntries(2048, Join({DotPair(14, 0), File("kept.txt", "KEPT    TXT", 100, 100)}));
    StartEngine();
    FeedImage(engine_, image_.path());
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 2u);
    Rebuild();
    EXPECT_TRUE(Has("LostFolder14/kept.txt"));
    EXPECT_EQ(tree_.size(), 2u) << "nothing but LostFolder14 and its file";
}

// Folders are tied to their parents by their ".." entries. Cluster 40 goes on with folder 10's
// entries: only the ".." of a sub-folder listed in its second sector says so, after the files
// of its first sector have been read. The entry of folder 30 is gone: it is lost below its
// parent. Folders 60 and 70 name each other as parents: both stay reachable.
TEST_F(FatDeepHand, FoldersAreTiedToTheirParentsByTheirDotDotEntries) {
    WriteRoot(Folder("Parent folder", "PARENT~1   ", 10));
    image_.WriteFolder(10, Join({DotPair(10, 0), File("first.txt", "FIRST   TXT", 100, 100)}));
    image_.WriteFolder(40, Join({File("further on.txt", "FURTHE~1TXT", 110, 700), Fillers('R', 13),
                                 Folder("Child", "CHILD      ", 50)}));
    image_.WriteFolder(50, Join({DotPair(50, 10), File("deep.txt", "DEEP    TXT", 120, 300)}));
    image_.WriteFolder(30,
                       Join({DotPair(30, 10), File("orphan.txt", "ORPHAN  TXT", 130, 1000, true)}));
    image_.WriteFolder(60, Join({DotPair(60, 70), File("in 60.txt", "IN60    TXT", 140, 10)}));
    image_.WriteFolder(70, Join({DotPair(70, 60), File("in 70.txt", "IN70    TXT", 150, 10)}));
    const std::string further = image_.WriteData(110, 700), orphan = image_.WriteData(130, 1000);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Parent folder/further on.txt"), further);
    EXPECT_TRUE(Has("Parent folder/R013~1.TXT"));
    EXPECT_TRUE(Has("Parent folder/Child/deep.txt"));
    ASSERT_TRUE(Has("Parent folder/LostFolder30"));
    const _FILE_NODE_& lost = tree_.at("Parent folder/LostFolder30").node;
    EXPECT_EQ(lost.bIsDir, 1u);
    EXPECT_EQ(lost.uClusterNO, 30u);
    EXPECT_EQ(lost.nFileSource, uint32_t{FILE_SOURCE_PRO_FAT});
    EXPECT_EQ(Recover("Parent folder/LostFolder30/orphan.txt"), orphan);
    EXPECT_TRUE(Has("LostFolder60/in 60.txt"));
    EXPECT_TRUE(Has("LostFolder60/LostFolder70/in 70.txt"));
    EXPECT_EQ(tree_.size(), 24u) << "nothing listed twice, no other lost folder";
}

// A deleted numbered clip found in a folder sector takes the first letter of its live sibling;
// a clip whose archive bit was cleared is listed all the same.
TEST_F(FatDeepHand, ADeletedNumberedNameTakesItsFirstLetterFromItsSiblings) {
    WriteGeometryFolders();
    WriteRoot(Folder("Clips", "CLIPS      ", 10));
    image_.WriteFolder(10, Join({DotPair(10, 0),
                                 {ShortEntry("MVI_0002MOV", FAT_ATTR_ARCHIVE, 100, 100),
                                  ShortEntry("MVI_0001MOV", FAT_ATTR_ARCHIVE, 110, 100, true),
                                  ShortEntry("MVI_0003MOV", 0, 120, 100)}}));
    StartEngine();
    FeedAndRebuild();
    EXPECT_TRUE(Has("Clips/MVI_0001.MOV"));
    EXPECT_TRUE(Has("Clips/MVI_0003.MOV"));
}

// Cluster 40 continues folder 10, and its sectors wait until the pass is over. Its second
// sector ties it to folder 10 through the ".." of Child; the third lists Stale, whose cluster
// a folder of folder 20 took since: the first tie holds for the sectors after it.
TEST_F(FatDeepHand, FirstTieOfAContinuationClusterHoldsForItsLaterSectors) {
    image_.WriteFolder(10, DotPair(10, 0));
    const uint64_t at = image_.ClusterSector(40);
    image_.WriteEntries(at, File("a.txt", "A       TXT", 100, 10));
    image_.WriteEntries(
        at + 1, Join({Folder("Child", "CHILD      ", 50), File("b.txt", "B       TXT", 101, 10)}));
    image_.WriteEntries(
        at + 2, Join({Folder("Stale", "STALE      ", 70), File("c.txt", "C       TXT", 102, 10)}));
    image_.WriteFolder(50, DotPair(50, 10));
    image_.WriteFolder(70, DotPair(70, 20));
    StartEngine();
    FeedAndRebuild();
    for (const char* file : {"a.txt", "b.txt", "c.txt"}) {
        EXPECT_TRUE(Has(std::string("LostFolder10/") + file));
    }
}

// ---- extraction ---------------------------------------------------------------------------

using Reports = std::vector<std::pair<int, int>>;  // percent and error of each report
int Record(void* ctx, int percent, int weight, int error, const char16_t*) {
    EXPECT_EQ(weight, 100);
    static_cast<Reports*>(ctx)->push_back({percent, error});
    return 0;
}

// The parser has no FAT: a file's clusters are read one after another from its first, up to
// the end of the volume; a folder is recovered with every file of it that can be. The folder's
// 8.3 name is one letter and spaces, which is no "." entry; every record carries the drive
// letter the parser was started with.
TEST_F(FatDeepHand, FilesAreFoundBySearchAndReadAsClustersInARowUpToTheVolumeEnd) {
    WriteGeometryFolders();
    image_.WriteFolder(
        10,
        Join({DotPair(10, 0), File("four.bin", "FOUR    BIN", 100, 4 * kClusterBytes),
              File("empty.txt", "EMPTY   TXT", 0, 0), File("photo.jpg", "PHOTO   JPG", 110, 3000),
              File("past.bin", "PAST    BIN", 1100, 3 * kClusterBytes)}));
    WriteRoot({ShortEntry("X          ", FAT_ATTR_DIRECTORY, 10, 0)});
    std::string four;  // clusters 100..103 in a row, whatever a FAT said about its fragments
    for (uint32_t c = 100; c < 104; ++c) four += image_.WriteData(c, kClusterBytes);
    std::string photo("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01", 13);  // a JPEG, as its name says
    photo.resize(3000, 'j');
    image_.WriteBytes(image_.ClusterSector(110), photo.data(), photo.size());
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(tree_.size(), 5u);  // X and its four files
    EXPECT_EQ(tree_.at("X/four.bin").node.wcDriveLetter, u'C');
    Reports reports;
    engine_.InitCallBack(nullptr, Record, &reports, 100);
    EXPECT_EQ(Recover("X/four.bin"), four);
    EXPECT_EQ(reports, (Reports{{25, 0}, {50, 0}, {75, 0}, {100, 0}}));
    reports.clear();
    EXPECT_EQ(Recover("X/empty.txt"), "");
    EXPECT_EQ(reports, (Reports{{100, 0}})) << "an empty file gets one final report";
    EXPECT_EQ(Recover("X/past.bin"), "<not recovered>");
    EXPECT_EQ(reports.back(), std::pair(100, int{RESULT_OUTSIDE_VOLUME}));
    const std::string target = out_.path() + "/X";
    Save(engine_, tree_.at("X"), target);
    EXPECT_EQ(ReadFile(target + "/four.bin"), four);
    EXPECT_EQ(ReadFile(target + "/photo.jpg"), photo);
    EXPECT_EQ(access((target + "/empty.txt").c_str(), F_OK), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine_.SearchFileNode(u"*.jpg", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_STREQ(found[0].szFileName, "photo.jpg");
    char16_t path[256] = {};
    ASSERT_EQ(engine_.GetFileNodeParentDirPath(&found[0], path, 256), 0);
    EXPECT_EQ(WideToUtf8(path), "X/");
}

}  // namespace
