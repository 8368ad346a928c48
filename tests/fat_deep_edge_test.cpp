// The deep FAT parser on small volumes built entry by entry: geometry inferred from folder
// pairs, long names cut by sector and cluster boundaries in either order of arrival, files
// found before any geometry, lost folders, and the contiguous reading of extraction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
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

std::vector<Entry> Folder(const std::string& longName, const char* short11, uint32_t cluster,
                          bool deleted = false) {
    return NamedEntries(Utf8ToWide(longName.c_str()), short11, FAT_ATTR_DIRECTORY, cluster, 0,
                        deleted);
}

std::string ShortName(char tag, int n) {
    char name[12];
    std::snprintf(name, sizeof name, "%c%03d~1  TXT", tag, n);
    return name;
}

class FatDeepHand : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = std::make_unique<HandImage>(dir_, kImageSectors, kSpc, kBase);
    }
    void StartEngine() {
        env_ = std::make_unique<ScanEnvironment>(dir_, image_->path());
        ASSERT_EQ(engine_.Init(0, 0, static_cast<long long>(kImageSectors), u'C'), 0);
        ASSERT_EQ(engine_.ClearProfessionalVec(nullptr), 0);
        ASSERT_EQ(engine_.InitVirtualDbrInfo(), 0);
    }
    // Two empty folders low on the volume fix the geometry before anything else is seen.
    void WriteGeometryFolders() {
        image_->WriteFolder(3, DotPair(3, 0));
        image_->WriteFolder(5, DotPair(5, 0));
    }
    void WriteRoot(const std::vector<Entry>& entries) {
        std::vector<Entry> root = {ShortEntry("HANDVOL    ", FAT_ATTR_VOLUME_LABEL, 0, 0)};
        Add(root, entries);
        image_->WriteFolder(2, root);
    }
    void FeedAndRebuild() {
        FeedImage(engine_, image_->path());
        ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
        tree_.clear();
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    const Found* At(const std::string& path) const {
        const auto it = tree_.find(path);
        return it == tree_.end() ? nullptr : &it->second;
    }
    std::string Recover(const std::string& path) {
        const Found* found = At(path);
        if (found == nullptr) return "<not listed>";
        _FILE_NODE_ node = found->node;
        const std::string target = out_.path() + "/r" + std::to_string(++recovered_);
        if (engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0) != 0) {
            return "<not recovered>";
        }
        return ReadFile(target);
    }
    std::string TreeText() const {
        std::string text;
        for (const auto& [path, found] : tree_) text += path + "\n";
        return text;
    }

    TempDir dir_;
    TempDir out_;
    std::unique_ptr<HandImage> image_;
    std::unique_ptr<ScanEnvironment> env_;
    CProfessionalFatRecovery engine_;
    std::map<std::string, Found> tree_;
    int recovered_ = 0;
};

// ---- geometry -----------------------------------------------------------------------------

TEST_F(FatDeepHand, TwoFolderObservationsGiveClusterSizeAndDataStart) {
    StartEngine();
    EXPECT_EQ(engine_.CalcVirtualDbr(20, 10080, 10, 10000), 1);
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 1u);
    const __VIRTUAL_DBR_INFO__ d = engine_.GetVirtualDbrList()[0];
    EXPECT_EQ(d.uSectorsPerCluster, 8u);
    EXPECT_EQ(d.uFirstDataSector + d.u64VolumeStartSector, 9936u);
    EXPECT_EQ(engine_.ClusterSector(d, 10), 10000u);
    // The same geometry again is not listed twice.
    EXPECT_EQ(engine_.CalcVirtualDbr(30, 10160, 20, 10080), 1);
    EXPECT_EQ(engine_.GetVirtualDbrList().size(), 1u);
}

TEST_F(FatDeepHand, ImpossibleObservationPairsGiveNoGeometry) {
    StartEngine();
    EXPECT_EQ(engine_.CalcVirtualDbr(13, 10009, 10, 10000), 0) << "3 sectors per cluster";
    EXPECT_EQ(engine_.CalcVirtualDbr(14, 10010, 10, 10000), 0) << "not a whole number";
    EXPECT_EQ(engine_.CalcVirtualDbr(1001, 108, 1000, 100), 0) << "data area before sector 0";
    EXPECT_EQ(engine_.CalcVirtualDbr(10, 10080, 10, 10000), 0) << "one cluster twice";
    EXPECT_EQ(engine_.CalcVirtualDbr(20, 10000, 10, 10000), 0) << "no sectors between";
    EXPECT_EQ(engine_.CalcVirtualDbr(10, 10000, 1, 9000), 0) << "cluster 1 holds no data";
    EXPECT_TRUE(engine_.GetVirtualDbrList().empty());
    // A higher cluster found at a lower sector pairs with nothing, however the two are ordered.
    unsigned char sector[kSector] = {};
    std::vector<Entry> high = DotPair(20, 0), low = DotPair(10, 0);
    std::memcpy(sector, high.data(), 64);
    engine_.ParseFatFileRecord(sector, 10000);
    std::memcpy(sector, low.data(), 64);
    engine_.ParseFatFileRecord(sector, 10080);
    EXPECT_EQ(engine_.GetObservationCount(), 2u);
    EXPECT_TRUE(engine_.GetVirtualDbrList().empty());
}

TEST_F(FatDeepHand, FoldersAgreeingWithAKnownGeometryAreParsedAtOnce) {
    WriteGeometryFolders();
    std::vector<Entry> a = DotPair(10, 0);
    Add(a, File("first file.txt", "FIRSTF~1TXT", 100, 10));
    image_->WriteFolder(10, a);
    StartEngine();
    FeedImage(engine_, image_->path());
    EXPECT_EQ(engine_.GetObservationCount(), 2u) << "the third folder needs no observation";
    EXPECT_EQ(engine_.GetLostFileCount(), 1u) << "recorded before the pass is over";
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 0u);
}

TEST_F(FatDeepHand, BindsToAnImageByPathOnce) {
    WriteGeometryFolders();
    std::vector<Entry> a = DotPair(10, 0);
    Add(a, File("by path.txt", "BYPATH~1TXT", 100, 10));
    image_->WriteFolder(10, a);
    env_ = std::make_unique<ScanEnvironment>(dir_, image_->path());
    const std::u16string path = Utf8ToWide(image_->path().c_str());
    ASSERT_EQ(engine_.Init(path.c_str(), u'C'), 0);
    EXPECT_EQ(engine_.Init(u"/no/such/image", u'C'), 0) << "a bound parser stays bound";
    ASSERT_EQ(engine_.ClearProfessionalVec(nullptr), 0);
    FeedAndRebuild();
    EXPECT_NE(At("LostFolder10/by path.txt"), nullptr) << TreeText();
    CProfessionalFatRecovery unbound;
    EXPECT_EQ(unbound.Init(u"/no/such/image", u'C'), ENOENT);
    EXPECT_EQ(unbound.Init(nullptr, u'C'), RESULT_INVALID_ARGUMENT);
}

TEST(FatDeepOwnBootSector, IntactVolumeYieldsItsBootSectorBeforeThePass) {
    TempDir dir;
    const std::string image = UnpackFixture("fat32", dir);
    ScanEnvironment env(dir, image);
    CProfessionalFatRecovery engine;
    std::ifstream in(image, std::ios::binary | std::ios::ate);
    ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(in.tellg()) / 512, u'C'), 0);
    ASSERT_EQ(engine.ClearProfessionalVec(nullptr), 0);
    ASSERT_EQ(engine.InitVirtualDbrInfo(), 0);
    ASSERT_EQ(engine.GetVirtualDbrList().size(), 1u);
    const __VIRTUAL_DBR_INFO__ own = engine.GetVirtualDbrList()[0];
    EXPECT_EQ(own.uSectorsPerCluster, 1u);  // made with -s 1
    FeedImage(engine, image);
    EXPECT_EQ(engine.GetObservationCount(), 0u) << "every folder agreed with the boot sector";
    EXPECT_GT(engine.GetLostFileCount(), 200u);
    EXPECT_EQ(engine.GetVirtualDbrList().size(), 1u);
}

// ---- long names cut by a boundary -----------------------------------------------------------

class FatDeepLongNames : public FatDeepHand {
protected:
    // Folder 10 holds four files, then one whose five entries are cut after the second by the
    // end of the folder's first sector, then one more.
    void WriteFolderCutInsideACluster(bool deleted) {
        std::vector<Entry> a = DotPair(10, 0);
        for (int i = 1; i <= 4; ++i) {
            Add(a, File("Alpha report " + std::to_string(i) + ".txt", ShortName('A', i).c_str(),
                        100 + i, 700, deleted));
        }
        Add(a, File(cut_, "ARATHE~1TXT", 120, 3000, deleted));
        Add(a, File("after the cut.txt", "AFTERT~1TXT", 125, 900, deleted));
        ASSERT_EQ(a.size(), 2u + 12u + 5u + 3u);
        image_->WriteFolder(10, a);
        WriteRoot(Folder("Alpha folder", "ALPHAF~1   ", 10));
        data_ = image_->WriteData(120, 3000);
    }
    // Folder 12 fills its cluster; its last name is cut by the cluster's end and goes on in
    // cluster `next`, which also holds two more files.
    void WriteFolderCutAtAClusterEnd(uint32_t next) {
        std::vector<Entry> c = DotPair(12, 0);
        for (int i = 1; i <= 20; ++i) {
            Add(c, File("C file " + std::to_string(100 + i) + ".txt", ShortName('C', i).c_str(),
                        200 + i, 100));
        }
        std::vector<Entry> cut = File(cut_, "CRATHE~1TXT", 300, 5000);
        ASSERT_EQ(cut.size(), 5u);
        c.insert(c.end(), cut.begin(), cut.begin() + 2);
        ASSERT_EQ(c.size(), 64u);
        image_->WriteFolder(12, c);
        std::vector<Entry> rest(cut.begin() + 2, cut.end());
        Add(rest, File("in the next cluster.txt", "INTHEN~1TXT", 310, 1500));
        Add(rest, File("also there.txt", "ALSOTH~1TXT", 312, 200));
        image_->WriteFolder(next, rest);
        WriteRoot(Folder("Cut folder", "CUTFOL~1   ", 12));
        data_ = image_->WriteData(300, 5000);
        next_ = image_->WriteData(310, 1500);
    }

    const std::string cut_ = "A rather long file name that is cut in two.txt";
    std::string data_, next_;
};

TEST_F(FatDeepLongNames, NameCutBySectorEndIsJoinedInPassOrder) {
    WriteGeometryFolders();
    WriteFolderCutInsideACluster(false);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Alpha folder/" + cut_), data_) << TreeText();
    EXPECT_NE(At("Alpha folder/after the cut.txt"), nullptr) << TreeText();
    EXPECT_EQ(engine_.GetPendingLongNameCount(), 0u);
}

TEST_F(FatDeepLongNames, NameCutBySectorEndIsJoinedWhenTheSecondHalfComesFirst) {
    WriteGeometryFolders();
    WriteFolderCutInsideACluster(false);
    StartEngine();
    // The two geometry folders, then the folder's second sector before its first.
    FeedImage(engine_, image_->path(), 0, image_->ClusterSector(10));
    std::vector<unsigned char> first(kSector), second(kSector);
    std::ifstream in(image_->path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(image_->ClusterSector(10) * kSector));
    in.read(reinterpret_cast<char*>(first.data()), kSector);
    in.read(reinterpret_cast<char*>(second.data()), kSector);
    ASSERT_TRUE(IsFatFDTRecord(second.data(), kSector));
    const size_t waiting = engine_.GetUnDealSectorCount();  // the root came before the geometry
    engine_.ParseFDTFileRecord(second.data(), image_->ClusterSector(10) + 1);
    EXPECT_EQ(engine_.GetUnDealSectorCount(), waiting + 1)
        << "a sector that starts inside a name waits for its head";
    engine_.ParseFatFileRecord(first.data(), image_->ClusterSector(10));
    EXPECT_EQ(engine_.GetPendingLongNameCount(), 0u);
    ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
    CollectTree(engine_, nullptr, 0, "", tree_);
    EXPECT_EQ(Recover("Alpha folder/" + cut_), data_) << TreeText();
    EXPECT_NE(At("Alpha folder/after the cut.txt"), nullptr) << TreeText();
}

TEST_F(FatDeepLongNames, DeletedNameCutBySectorEndIsJoined) {
    WriteGeometryFolders();
    WriteFolderCutInsideACluster(true);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Alpha folder/" + cut_), data_) << TreeText();
    EXPECT_NE(At("Alpha folder/Alpha report 1.txt"), nullptr) << TreeText();
}

TEST_F(FatDeepLongNames, ClusterThatContinuesANameJoinsItsFolderWhenItComesAfter) {
    WriteGeometryFolders();
    WriteFolderCutAtAClusterEnd(30);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Cut folder/" + cut_), data_) << TreeText();
    EXPECT_EQ(Recover("Cut folder/in the next cluster.txt"), next_) << TreeText();
    EXPECT_NE(At("Cut folder/also there.txt"), nullptr) << TreeText();
    EXPECT_EQ(TreeText().find("LostFolder"), std::string::npos) << TreeText();
}

TEST_F(FatDeepLongNames, ClusterThatContinuesANameJoinsItsFolderWhenItComesFirst) {
    WriteGeometryFolders();
    WriteFolderCutAtAClusterEnd(8);  // below the folder's first cluster
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Cut folder/" + cut_), data_) << TreeText();
    EXPECT_EQ(Recover("Cut folder/in the next cluster.txt"), next_) << TreeText();
    EXPECT_NE(At("Cut folder/also there.txt"), nullptr) << TreeText();
    EXPECT_EQ(TreeText().find("LostFolder"), std::string::npos) << TreeText();
}

// A chain open over more than one sector (here 17 pieces, 544 bytes, before the last sector
// arrives) is still joined: a pending chain holds up to the 20 pieces a name can have.
TEST_F(FatDeepLongNames, NameOfTwentyPiecesOverThreeSectorsIsJoined) {
    WriteGeometryFolders();
    std::string longest;
    for (int i = 0; longest.size() < 250; ++i) longest += static_cast<char>('a' + i % 26);
    longest += ".txt";  // 254 characters: 20 pieces
    std::vector<Entry> name = File(longest, "AAAAAA~1TXT", 400, 2000, true);
    ASSERT_EQ(name.size(), 21u);
    std::vector<Entry> f = DotPair(10, 0);
    for (int i = 1; i <= 13; ++i)
        f.push_back(ShortEntry(ShortName('P', i).c_str(), FAT_ATTR_ARCHIVE, 0, 0));
    Add(f, name);  // piece 20 ends sector 1, 19..4 fill sector 2, 3..1 and the 8.3 entry follow
    image_->WriteFolder(10, f);
    WriteRoot(Folder("Long names", "LONGNA~1   ", 10));
    const std::string data = image_->WriteData(400, 2000);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Long names/" + longest), data) << TreeText();
}

TEST_F(FatDeepLongNames, ChainLongerThanAnyNameIsDroppedAndTheShortNameKept) {
    WriteGeometryFolders();
    std::vector<Entry> name = File(std::string(270, 'x') + ".txt", "XXXXXX~1TXT", 400, 100, true);
    ASSERT_EQ(name.size(), 23u);
    std::vector<Entry> f = DotPair(10, 0);
    Add(f, name);
    image_->WriteFolder(10, f);
    WriteRoot(Folder("Garbage", "GARBAGE    ", 10));
    StartEngine();
    // Fed by hand: the recogniser would refuse such a chain before the parser saw it.
    std::vector<unsigned char> sectors(2 * kSector);
    std::ifstream in(image_->path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(image_->ClusterSector(10) * kSector));
    in.read(reinterpret_cast<char*>(sectors.data()), sectors.size());
    FeedImage(engine_, image_->path(), 0, image_->ClusterSector(10));
    engine_.ParseFatFileRecord(sectors.data(), image_->ClusterSector(10));
    engine_.ParseFDTFileRecord(sectors.data() + kSector, image_->ClusterSector(10) + 1);
    ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
    CollectTree(engine_, nullptr, 0, "", tree_);
    EXPECT_NE(At("Garbage/!xxxxx~1.txt"), nullptr) << TreeText();
}

// ---- placement ----------------------------------------------------------------------------

TEST_F(FatDeepHand, FileFoundBeforeAnyGeometryWaitsAndIsPlacedWhenAFolderFixesIt) {
    std::vector<Entry> a = DotPair(10, 0);
    Add(a, File("early bird.txt", "EARLYB~1TXT", 100, 3000, true));
    image_->WriteFolder(10, a);
    std::vector<Entry> b = DotPair(20, 0);
    Add(b, File("late comer.txt", "LATECO~1TXT", 110, 500));
    image_->WriteFolder(20, b);
    WriteRoot([] {
        std::vector<Entry> r = Folder("Early", "EARLY      ", 10);
        Add(r, Folder("Late", "LATE       ", 20));
        return r;
    }());
    const std::string data = image_->WriteData(100, 3000);
    StartEngine();
    FeedImage(engine_, image_->path(), 0, image_->ClusterSector(20));
    EXPECT_TRUE(engine_.GetVirtualDbrList().empty());
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 1u);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u);
    FeedImage(engine_, image_->path(), image_->ClusterSector(20));
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 1u);
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 0u) << "placed as soon as the geometry was known";
    EXPECT_EQ(engine_.GetLostFileCount(), 2u);
    ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
    CollectTree(engine_, nullptr, 0, "", tree_);
    const Found* early = At("Early/early bird.txt");
    ASSERT_NE(early, nullptr) << TreeText();
    EXPECT_EQ(early->node.u64DataStartSector, kBase);
    EXPECT_EQ(early->node.uClusterBytes, kClusterBytes);
    EXPECT_EQ(Recover("Early/early bird.txt"), data);
    EXPECT_NE(At("Late/late comer.txt"), nullptr) << TreeText();
}

TEST_F(FatDeepHand, WaitingFileNoGeometryExplainsGoesWithTheOnlyOne) {
    // A folder sector that sits one sector off its cluster: no geometry will ever explain it.
    std::vector<Entry> odd = DotPair(10, 0);
    Add(odd, File("odd one.txt", "ODDONE~1TXT", 100, 100));
    image_->WriteEntries(image_->ClusterSector(10) + 1, odd);
    image_->WriteFolder(20, DotPair(20, 0));
    image_->WriteFolder(30, DotPair(30, 0));
    StartEngine();
    FeedImage(engine_, image_->path());
    EXPECT_EQ(engine_.GetUnplacedFileCount(), 1u);
    ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
    CollectTree(engine_, nullptr, 0, "", tree_);
    const Found* odd1 = At("LostFolder10/odd one.txt");
    ASSERT_NE(odd1, nullptr) << TreeText();
    EXPECT_EQ(odd1->node.u64DataStartSector, kBase);
}

TEST_F(FatDeepHand, WaitingFileBelowEveryOneOfSeveralGeometriesIsDropped) {
    // Two volumes' worth of folders far above a folder that fits neither.
    std::vector<Entry> low = DotPair(50, 0);
    Add(low, File("too low.txt", "TOOLOW~1TXT", 100, 100));
    image_->WriteEntries(500, low);
    image_->WriteEntries(1032, DotPair(10, 0));
    image_->WriteEntries(1040, DotPair(12, 0));
    image_->WriteEntries(2032, DotPair(10, 0));
    image_->WriteEntries(2040, DotPair(12, 0));
    std::vector<Entry> kept = DotPair(14, 0);
    Add(kept, File("kept.txt", "KEPT    TXT", 100, 100));
    image_->WriteEntries(2048, kept);
    StartEngine();
    FeedImage(engine_, image_->path());
    ASSERT_EQ(engine_.GetVirtualDbrList().size(), 2u);
    ASSERT_EQ(engine_.DealProfessionalRecordVec(), 0);
    CollectTree(engine_, nullptr, 0, "", tree_);
    EXPECT_NE(At("LostFolder14/kept.txt"), nullptr) << TreeText();
    EXPECT_EQ(TreeText().find("too low"), std::string::npos) << TreeText();
}

TEST_F(FatDeepHand, FolderWhoseEntryWasNeverSeenIsALostFolderBelowItsParent) {
    WriteRoot(Folder("Parent folder", "PARENT~1   ", 10));
    image_->WriteFolder(10, DotPair(10, 0));  // the entry of folder 30 is gone
    std::vector<Entry> x = DotPair(30, 10);
    Add(x, File("orphan.txt", "ORPHAN  TXT", 100, 1000, true));
    image_->WriteFolder(30, x);
    const std::string data = image_->WriteData(100, 1000);
    StartEngine();
    FeedAndRebuild();
    const Found* lost = At("Parent folder/LostFolder30");
    ASSERT_NE(lost, nullptr) << TreeText();
    EXPECT_EQ(lost->node.bIsDir, 1u);
    EXPECT_EQ(lost->node.uClusterNO, 30u);
    EXPECT_EQ(lost->node.nFileSource, uint32_t{FILE_SOURCE_PRO_FAT});
    EXPECT_EQ(Recover("Parent folder/LostFolder30/orphan.txt"), data) << TreeText();
}

TEST_F(FatDeepHand, ContinuationClusterIsTiedToItsFolderThroughASubFolder) {
    WriteRoot(Folder("Parent folder", "PARENT~1   ", 10));
    std::vector<Entry> p = DotPair(10, 0);
    Add(p, File("in the first cluster.txt", "INTHEF~1TXT", 100, 100));
    image_->WriteFolder(10, p);
    // Cluster 40 goes on with folder 10's entries; only the ".." of a sub-folder listed in
    // its second sector says so, after the files of its first sector have been read.
    std::vector<Entry> rest = File("further on.txt", "FURTHE~1TXT", 110, 700);
    for (int i = 1; i <= 13; ++i)
        rest.push_back(ShortEntry(ShortName('R', i).c_str(), FAT_ATTR_ARCHIVE, 0, 0));
    ASSERT_EQ(rest.size(), 16u);
    Add(rest, Folder("Child", "CHILD      ", 50));
    image_->WriteFolder(40, rest);
    std::vector<Entry> child = DotPair(50, 10);
    Add(child, File("deep.txt", "DEEP    TXT", 120, 300));
    image_->WriteFolder(50, child);
    const std::string data = image_->WriteData(110, 700);
    StartEngine();
    FeedAndRebuild();
    EXPECT_EQ(Recover("Parent folder/further on.txt"), data) << TreeText();
    EXPECT_NE(At("Parent folder/r013~1.txt"), nullptr) << TreeText();
    EXPECT_NE(At("Parent folder/Child/deep.txt"), nullptr) << TreeText();
    EXPECT_EQ(TreeText().find("LostFolder"), std::string::npos) << TreeText();
}

TEST_F(FatDeepHand, FoldersWhoseParentsFormALoopStayReachable) {
    std::vector<Entry> a = DotPair(10, 20);
    Add(a, File("in ten.txt", "INTEN   TXT", 100, 10));
    image_->WriteFolder(10, a);
    std::vector<Entry> b = DotPair(20, 10);
    Add(b, File("in twenty.txt", "INTWEN~1TXT", 110, 10));
    image_->WriteFolder(20, b);
    StartEngine();
    FeedAndRebuild();
    EXPECT_NE(At("LostFolder10/in ten.txt"), nullptr) << TreeText();
    EXPECT_NE(At("LostFolder10/LostFolder20/in twenty.txt"), nullptr) << TreeText();
}

TEST_F(FatDeepHand, CorruptFolderSectorsAreSkipped) {
    StartEngine();
    std::vector<unsigned char> sector(kSector, 0);
    std::vector<Entry> bad = DotPair(1, 0);  // "." naming cluster 1
    std::memcpy(sector.data(), bad.data(), 64);
    EXPECT_EQ(engine_.ParseFatFileRecord(sector.data(), 300), 0);
    EXPECT_EQ(engine_.ParseFatFileRecord(nullptr, 300), 0);
    EXPECT_EQ(engine_.ParseFDTFileRecord(nullptr, 300), 0);
    EXPECT_EQ(engine_.GetObservationCount(), 0u);
    EXPECT_EQ(engine_.DealProfessionalRecordVec(), 0);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u);
}

// ---- extraction ---------------------------------------------------------------------------

class FatDeepExtract : public FatDeepHand {
protected:
    void SetUp() override {
        FatDeepHand::SetUp();
        WriteGeometryFolders();
        std::vector<Entry> f = DotPair(10, 0);
        Add(f, File("four clusters.bin", "FOURCL~1BIN", 100, 4 * kClusterBytes));
        Add(f, File("empty.txt", "EMPTY   TXT", 0, 0));
        Add(f, File("photo.jpg", "PHOTO   JPG", 110, 3000));
        Add(f, File("past the end.bin", "PASTTH~1BIN", 1100, 3 * kClusterBytes));
        image_->WriteFolder(10, f);
        WriteRoot(Folder("Files", "FILES      ", 10));
        // Clusters 100..103 in a row, whatever a FAT said about the file's fragments.
        for (uint32_t c = 100; c < 104; ++c) clusters_ += image_->WriteData(c, kClusterBytes);
        std::string jpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01", 13);
        jpeg.resize(3000, 'j');
        image_->WriteBytes(image_->ClusterSector(110), jpeg.data(), jpeg.size());
        jpeg_ = jpeg;
        StartEngine();
        FeedAndRebuild();
        engine_.InitCallBack(nullptr, &FatDeepExtract::Record, &reports_, 100);
    }
    struct Report {
        int percent, weight, error;
    };
    static int Record(void* ctx, int percent, int weight, int error, const char16_t*) {
        static_cast<std::vector<Report>*>(ctx)->push_back({percent, weight, error});
        return 0;
    }
    std::string clusters_, jpeg_;
    std::vector<Report> reports_;
};

TEST_F(FatDeepExtract, ReadsClustersOneAfterAnotherFromTheFirst) {
    EXPECT_EQ(Recover("Files/four clusters.bin"), clusters_);
    ASSERT_EQ(reports_.size(), 4u);
    EXPECT_EQ(reports_[0].percent, 25);
    EXPECT_EQ(reports_[3].percent, 100);
}

TEST_F(FatDeepExtract, EmptyFileGivesAnEmptyFileAndOneFinalReport) {
    EXPECT_EQ(Recover("Files/empty.txt"), "");
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].percent, 100);
    EXPECT_EQ(reports_[0].error, 0);
}

TEST_F(FatDeepExtract, NeverWritesIntoAnExistingFile) {
    const std::string target = out_.path() + "/taken";
    { std::ofstream(target) << "keep me"; }
    _FILE_NODE_ node = At("Files/four clusters.bin")->node;
    EXPECT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), EEXIST);
    EXPECT_EQ(ReadFile(target), "keep me");
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().percent, 100);
    EXPECT_EQ(reports_.back().error, EEXIST);
}

TEST_F(FatDeepExtract, DataPastTheVolumeEndsTheFileWithAnErrorReport) {
    const Found* found = At("Files/past the end.bin");
    ASSERT_NE(found, nullptr) << TreeText();
    _FILE_NODE_ node = found->node;
    const std::string target = out_.path() + "/past";
    EXPECT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0),
              RESULT_OUTSIDE_VOLUME);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().percent, 100);
    EXPECT_EQ(reports_.back().error, RESULT_OUTSIDE_VOLUME);
}

TEST_F(FatDeepExtract, NullRecordsAreRefused) {
    EXPECT_EQ(engine_.SaveFileData(nullptr, u"/tmp/x", 0), RESULT_INVALID_ARGUMENT);
    int len = 10;
    unsigned char buf[10];
    EXPECT_EQ(engine_.PreView(nullptr, nullptr, 0, buf, len, nullptr, nullptr),
              RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(len, 0);
    char16_t path[64];
    EXPECT_EQ(engine_.GetFileNodeParentDirPath(nullptr, path, 64), RESULT_INVALID_ARGUMENT);
}

TEST_F(FatDeepExtract, PreviewsAPhotoToATemporaryFileAndOtherFilesToTheBuffer) {
    _FILE_NODE_ photo = At("Files/photo.jpg")->node;
    char16_t tmp[512] = {};
    std::vector<unsigned char> buf(4096);
    int len = static_cast<int>(buf.size());
    ASSERT_EQ(engine_.PreView(&photo, tmp, 512, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ReadFile(WideToUtf8(tmp)), jpeg_);
    _FILE_NODE_ bin = At("Files/four clusters.bin")->node;
    len = 4096;
    ASSERT_EQ(engine_.PreView(&bin, tmp, 512, buf.data(), len, nullptr, nullptr), 0);
    ASSERT_EQ(len, 4096);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), clusters_.substr(0, 4096));
}

TEST_F(FatDeepExtract, RecoversAFolderWithItsFiles) {
    _FILE_NODE_ folder = At("Files")->node;
    const std::string target = out_.path() + "/Files";
    unsigned int separators = 0;
    GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), separators);
    const int base = static_cast<int>(separators) - static_cast<int>(At("Files")->level);
    // The file past the volume end fails; the others are written.
    engine_.SaveFileData(&folder, Utf8ToWide(target.c_str()).c_str(), base);
    EXPECT_EQ(ReadFile(target + "/four clusters.bin"), clusters_);
    EXPECT_EQ(ReadFile(target + "/photo.jpg"), jpeg_);
    EXPECT_EQ(access((target + "/empty.txt").c_str(), F_OK), 0);
}

TEST_F(FatDeepExtract, ListsAndSearchesThroughItsStore) {
    std::vector<_FILE_NODE_> root;
    ASSERT_EQ(engine_.GetChildrenFileNode(nullptr, 0, root), 0);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_STREQ(root[0].szFileName, "Files");
    std::vector<__SEARCH_FILE_INFO__> found;
    engine_.SearchFileNode(u"*.jpg", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_STREQ(found[0].szFileName, "photo.jpg");
    char16_t path[256] = {};
    ASSERT_EQ(engine_.GetFileNodeParentDirPath(&found[0], path, 256), 0);
    EXPECT_EQ(WideToUtf8(path), "Files/");
}

}  // namespace
