// The quick and the deep NTFS engines on small volumes built byte by byte
// (tests/ntfs_test_image.h) in the shapes real volumes take rarely or only when damaged: DOS
// names first, parent records reused, lost or looping, attribute lists, holes, $MFT runs that
// split records, data that ends early. Where the engines behave alike a case runs on both
// (the deep engine also lists files still in use); then what only the quick scan does. File
// data lives from cluster 100 on.
#include <gtest/gtest.h>

#include <algorithm>

#include "ntfs_deep_test_support.h"
#include "store/file_writer.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs;

constexpr uint16_t kDeletedFolder = NTFS_RECORD_IS_FOLDER;
constexpr uint16_t kLiveFile = NTFS_RECORD_IN_USE;
constexpr uint16_t kDeletedFile = 0;

// A file that starts the way a JFIF picture does.
Bytes Jpeg(size_t n, unsigned char seed) {
    Bytes b = Pattern(n, seed);
    const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    std::copy(std::begin(head), std::end(head), b.begin());
    return b;
}

class BothEngines : public EitherEngine {};

// Files under the folders above them, each shown by its long name whichever name comes first.
TEST_P(BothEngines, FilesAreFiledByDepthUnderTheFoldersAboveThemByTheirLongNames) {
    File(7, 5, u"system leftover.txt", "x");
    Folder(30, 5, u"A");
    Folder(40, 30, u"B");
    File(41, 40, u"x.txt", "hello");
    File(42, 40, u"live.txt", "live", kLiveFile);
    File(43, 5, u"root.txt", "root");
    Folder(44, 5, u"Nothing deleted below");
    v_.PutRecord(50, kDeletedFolder,
                 {Name(5, u"LONGFO~1", NTFS_NAMESPACE_DOS), Name(5, u"long folder name")});
    v_.PutRecord(51, kDeletedFile,
                 {Name(50, u"REPORT~1.TXT", NTFS_NAMESPACE_DOS), Name(50, u"report.txt")});
    v_.PutRecord(52, kDeletedFile,
                 {Name(50, u"posix name.txt", NTFS_NAMESPACE_POSIX),
                  Name(50, u"POSIXN~1.TXT", NTFS_NAMESPACE_DOS)});
    Scan();

    std::vector<std::string> paths, expected = {"A",
                                                "A/B",
                                                "A/B/x.txt",
                                                "long folder name",
                                                "long folder name/posix name.txt",
                                                "long folder name/report.txt",
                                                "root.txt"};
    for (const auto& [path, found] : tree_) paths.push_back(path);
    if (Deep()) expected.insert(expected.begin() + 2, "A/B/live.txt");
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(tree_["A/B"].uChildLevel, 2u);
    _FILE_NODE_ x = tree_["A/B/x.txt"].node;
    EXPECT_EQ(x.uClusterNO, 41u);
    EXPECT_EQ(x.u64RecordSector, v_.RecordSector(41));
    EXPECT_EQ(x.ftCreateTime.dwHighDateTime, static_cast<uint32_t>(132000000000000000ull >> 32));
    // Folder 40 sits two folders down: its children are keyed (2 << 32) | 40 and nowhere else.
    std::vector<_FILE_NODE_> wrongLevel;
    ASSERT_EQ(engine_->GetChildrenFileNode(&tree_["A/B"].node, 1, wrongLevel), 0);
    EXPECT_TRUE(wrongLevel.empty());
    EXPECT_EQ(engine_->GetLostFileCount(), Deep() ? 8u : 7u);
    unsigned int files = 0;
    ASSERT_EQ(engine_->GetChildrenFileCount(nullptr, 0, files), 0);
    EXPECT_EQ(files, Deep() ? 5u : 4u);
    // The resident value read counts the attribute's alignment bytes; the file's size cuts them.
    Bytes value(1024);
    uint32_t length = 0;
    ASSERT_EQ(Deep() ? deep_->GetFileNodeAttr0x80Data(&x, value.data(), length)
                     : quick_->GetAttr0x80Data(x.u64RecordSector, value.data(), length),
              0);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(Recover("A/B/x.txt"), Text("hello"));
}

// Parents reused by a file, unreadable, nameless, renumbered or beyond the table, and a loop
// of two folders: every file stays reachable below a lost folder or by search.
TEST_P(BothEngines, FoldersWhoseRecordsNoLongerDescribeThemBecomeLostFolders) {
    File(50, 51, u"under reused.txt", "a");
    File(51, 5, u"now a file.bin", "b", kLiveFile);
    File(52, 53, u"under garbage.txt", "c");
    v_.PutRaw(53, Bytes(1024, 0xEE));
    File(54, 55, u"under nameless.txt", "d");
    v_.PutRecord(55, kLiveFile, {v_.Resident(0x10, Bytes(48, 0))});
    File(56, 57, u"deep.txt", "e");
    Folder(57, 51, u"Inner");
    File(58, 59, u"under renumbered.txt", "f");
    v_.PutRaw(59, NtfsVolumeBuilder::OnDisk(
                      NtfsVolumeBuilder::RecordBytes(99, kDeletedFolder, {Name(5, u"other")})));
    File(60, 0x7FFFFFF0, u"far.txt", "g");
    Folder(20, 21, u"ping");
    Folder(21, 20, u"pong");
    File(22, 20, u"caught.txt", "loop");
    File(23, 23, u"own parent.txt", "s");
    Scan();
    for (const char* path : {"LostFolder51/under reused.txt", "LostFolder51/Inner/deep.txt",
                             "LostFolder53/under garbage.txt", "LostFolder55/under nameless.txt",
                             "LostFolder2147483632/far.txt", "LostFolder23/own parent.txt"}) {
        EXPECT_EQ(tree_.count(path), 1u) << path;
    }
    // Only the deep engine checks that a folder record still carries its own number.
    EXPECT_EQ(
        tree_.count(Deep() ? "LostFolder59/under renumbered.txt" : "other/under renumbered.txt"),
        1u);
    const _FILE_NODE_& lost = tree_["LostFolder51"].node;
    EXPECT_EQ(lost.bIsDir, 1u);
    EXPECT_EQ(lost.uClusterNO, 51u);
    EXPECT_EQ(lost.u64RecordSector, 0u);
    EXPECT_EQ(lost.uClusterBytes, Deep() ? 4096u : 0xFFFFFFFFu);
    // The quick engine marks the lost folders whose record could not be read at all.
    EXPECT_EQ(lost.bDataHealth, Deep() ? 1u : 0u);
    EXPECT_EQ(tree_["LostFolder53"].node.bDataHealth, 1u);
    EXPECT_EQ(Recover("LostFolder51/Inner/deep.txt"), Text("e"));
    std::vector<__SEARCH_FILE_INFO__> found;
    engine_->SearchFileNode(u"*.txt", found);
    EXPECT_EQ(found.size(), 8u);
    EXPECT_EQ(engine_->GetLostFileCount(), Deep() ? 18u : 17u);
}

TEST_P(BothEngines, APictureWithoutItsSignatureIsHiddenWhileADocumentStaysListed) {
    v_.WriteBytes(100, Jpeg(6000, 1));
    v_.WriteBytes(110, Pattern(6000, 2));  // no JPEG or PDF signature
    for (const auto& [n, name, lcn] : std::vector<std::tuple<int, std::u16string, int>>{
             {30, u"good.jpg", 100}, {31, u"bad.jpg", 110}, {32, u"bad.pdf", 110}}) {
        v_.PutRecord(n, kDeletedFile, {Name(5, name), v_.NonResident(0x80, {{lcn, 2}}, 6000)});
    }
    File(33, 5, u"tiny.jpg", "not a jpeg");
    File(34, 5, u"empty.dat", "");
    Scan();
    EXPECT_EQ(tree_["good.jpg"].node.bDataHealth, 1u);
    EXPECT_FALSE(tree_.count("bad.jpg"));
    EXPECT_FALSE(tree_.count("tiny.jpg"));
    ASSERT_TRUE(tree_.count("bad.pdf"));
    EXPECT_EQ(tree_["bad.pdf"].node.bDataHealth, 0u);
    ASSERT_TRUE(tree_.count("empty.dat"));
    EXPECT_EQ(tree_["empty.dat"].node.bDataHealth, 0u);  // a resident file holding no data
    unsigned int files = 0;
    engine_->GetChildrenFileCount(nullptr, 0, files);
    EXPECT_EQ(files, 5u);  // hidden pictures still count
}

TEST_P(BothEngines, FilesSpreadOverRecordsOrWithHolesComeBackWhole) {
    const Bytes data = Pattern(3 * 4096 + 100, 3);
    v_.WriteBytes(100, Bytes(data.begin(), data.begin() + 8192));
    v_.WriteBytes(200, Bytes(data.begin() + 8192, data.end()));
    v_.PutRecord(30, kDeletedFile,
                 {v_.AttributeList({{0x30, 0, 30}, {0x80, 0, 30}, {0x80, 2, 31}}),
                  Name(5, u"spread.bin"), v_.NonResident(0x80, {{100, 2}}, data.size())});
    v_.PutRecord(31, kDeletedFile, {v_.NonResident(0x80, {{200, 2}}, 0, 2)}, 30);
    const Bytes a = Pattern(4096, 4), c = Pattern(4096, 5);
    v_.WriteBytes(110, a);
    v_.WriteBytes(112, c);
    v_.PutRecord(32, kDeletedFile,
                 {Name(5, u"sparse.bin"),
                  v_.NonResident(0x80, {{110, 1}, {-1, 2}, {112, 1}}, 4 * 4096 - 10)});
    Scan();
    EXPECT_EQ(tree_.size(), 2u);  // extension records describe no file of their own
    EXPECT_EQ(tree_["spread.bin"].node.u64FileSize, data.size());
    EXPECT_EQ(Recover("spread.bin"), data);
    Bytes sparse = a;
    sparse.resize(3 * 4096, 0);
    sparse.insert(sparse.end(), c.begin(), c.end() - 10);
    EXPECT_EQ(Recover("sparse.bin"), sparse);
}

// Records full of runs or links keep attributes in extension records, which describe no file of
// their own. A base record's data and second name there belong to it (the quick engine reads the
// size through the attribute list and lists the second name as a further link); a deleted file
// whose only name lies there is listed under it, and a live folder whose name lies there keeps
// its deleted children (they would otherwise land in a lost folder).
TEST_F(NtfsBuiltVolume, AttributesHeldOnlyInExtensionRecordsBelongToTheirBaseRecord) {
    v_.WriteBytes(300, Pattern(4096, 3));
    v_.PutRecord(32, kDeletedFile,
                 {v_.AttributeList({{0x30, 0, 32}, {0x30, 0, 33}, {0x80, 0, 33}}),
                  Name(5, u"elsewhere.bin")});
    v_.PutRecord(33, kDeletedFile,
                 {Name(5, u"second name.bin"), v_.NonResident(0x80, {{300, 1}}, 4096)}, 32);
    v_.PutRecord(45, NTFS_RECORD_IN_USE | NTFS_RECORD_IS_FOLDER,
                 {v_.AttributeList({{0x30, 0, 46}})});
    v_.PutRecord(46, NTFS_RECORD_IN_USE, {Name(5, u"Holiday")}, 45);
    File(47, 45, u"beach.txt", "sand");
    v_.WriteBytes(310, Pattern(4096, 7));
    v_.PutRecord(48, kDeletedFile, {v_.AttributeList({{0x30, 0, 49}, {0x80, 0, 49}})});
    v_.PutRecord(49, kDeletedFile,
                 {Name(45, u"fragmented.bin"), v_.NonResident(0x80, {{310, 1}}, 4096)}, 48);
    Scan();
    EXPECT_EQ(tree_.size(), 5u);
    EXPECT_EQ(tree_["elsewhere.bin"].node.u64FileSize, 4096u);
    EXPECT_EQ(Recover("second name.bin"), Pattern(4096, 3));
    EXPECT_EQ(Recover("elsewhere.bin"), Pattern(4096, 3));
    EXPECT_EQ(Recover("Holiday/beach.txt"), Text("sand"));
    EXPECT_EQ(Recover("Holiday/fragmented.bin"), Pattern(4096, 7));
}

// Named data streams are listed beside their file as "name:stream" and recovered on their own,
// unless the user leaves them out.
TEST_F(NtfsBuiltVolume, NamedStreamsAreListedBesideTheirFileAndRecoveredOnTheirOwn) {
    v_.WriteBytes(300, Pattern(4096, 8));
    v_.PutRecord(
        40, kDeletedFile,
        {Name(5, u"notes.txt"), v_.Resident(NTFS_ATTR_DATA, Text("main")),
         NtfsVolumeBuilder::Named(v_.Resident(NTFS_ATTR_DATA, Text("[ZoneTransfer]")),
                                  u"Zone.Identifier"),
         NtfsVolumeBuilder::Named(v_.NonResident(NTFS_ATTR_DATA, {{300, 1}}, 4000), u"thumb")});
    Scan();
    EXPECT_EQ(tree_.size(), 3u);
    EXPECT_EQ(Recover("notes.txt"), Text("main"));
    EXPECT_EQ(Recover("notes.txt:Zone.Identifier"), Text("[ZoneTransfer]"));
    Bytes thumb = Pattern(4096, 8);
    thumb.resize(4000);
    EXPECT_EQ(Recover("notes.txt:thumb"), thumb);
    SetListNamedStreams(false);
    Scan();
    SetListNamedStreams(true);
    EXPECT_EQ(tree_.size(), 1u);
}

// With 512-byte clusters a run of the table can end in the middle of a record.
TEST_P(BothEngines, RecordsSplitBetweenTableRunsAreReadWholeAndKeepTheirNumbers) {
    v_ = NtfsVolumeBuilder(4096, 1);
    v_.SetMftRuns({{40, 33}, {200, 31}, {400, 64}});
    // The quick engine is also asked for data in the record's second half; the deep engine
    // reads a record's own data from the two sectors where it found the record.
    const std::string split = Deep() ? "split" : std::string(700, 's');
    File(16, 5, u"split.txt", split);
    File(17, 5, u"after.txt", "after");
    File(31, 5, u"run end.txt", "two");
    File(50, 5, u"third run.txt", "3");
    v_.Finish(30);
    Scan(false);
    EXPECT_TRUE(Deep() || quick_->GetMftRecordCount() == 64u);
    ASSERT_EQ(tree_.size(), 4u);
    EXPECT_EQ(tree_["split.txt"].node.uClusterNO, 16u);
    EXPECT_EQ(tree_["run end.txt"].node.uClusterNO, 31u);
    EXPECT_EQ(tree_["third run.txt"].node.uClusterNO, 50u);
    EXPECT_EQ(Recover("split.txt"), Text(split));
    EXPECT_EQ(Recover("run end.txt"), Text("two"));
    EXPECT_EQ(Recover("third run.txt"), Text("3"));
}

// Data that ends before the size (here by one byte), or runs beyond the volume, end the file
// with their error in its final report; an empty file gets its one report at once.
TEST_P(BothEngines, AFileThatCannotBeReadWholeEndsWithItsError) {
    v_.WriteBytes(100, Pattern(4096, 6));
    v_.PutRecord(30, kDeletedFile, {Name(5, u"short.bin"), v_.NonResident(0x80, {{100, 1}}, 4097)});
    v_.PutRecord(31, kDeletedFile, {Name(5, u"far.bin"), v_.NonResident(0x80, {{100000, 1}}, 10)});
    File(33, 5, u"empty.txt", "");
    Scan();
    EXPECT_EQ(Recover("short.bin", RESULT_SHORT_READ), Bytes{});  // no part under the final name
    SetKeepPartialFiles(true);  // unless the user asks to keep what came
    EXPECT_EQ(Recover("short.bin", RESULT_SHORT_READ), Bytes{});
    EXPECT_EQ(ReadImage(Path("out" + std::to_string(recovered_) + ".partial")), Pattern(4096, 6));
    SetKeepPartialFiles(false);
    ASSERT_FALSE(recorder_.reports.empty());
    EXPECT_EQ(recorder_.reports.back().percent, 100);
    EXPECT_EQ(recorder_.reports.back().error, RESULT_SHORT_READ);
    recorder_.reports.clear();
    const int farResult = engine_->SaveFileData(&tree_["far.bin"].node, WidePath("far").c_str(), 0);
    EXPECT_NE(farResult, 0);
    ASSERT_FALSE(recorder_.reports.empty());
    EXPECT_EQ(recorder_.reports.back().error, farResult);
    recorder_.reports.clear();
    EXPECT_EQ(Recover("empty.txt"), Bytes{});
    ASSERT_EQ(recorder_.reports.size(), 1u);
    EXPECT_EQ(recorder_.reports[0].percent, 100);
    EXPECT_EQ(recorder_.reports[0].error, 0);
}

// A file with two hard links is listed under each name in its own folder, and each recovers
// its bytes; its DOS 8.3 alias is no further name. Recovered with its folder, an unsafe name
// gets a safe one (tests/ntfs_quick_scan_test.cpp recovers whole trees, colliding names too).
TEST_P(BothEngines, HardLinksAreListedInTheirOwnFoldersAndUnsafeNamesRecoveredSafely) {
    Folder(30, 5, u"A");
    Folder(31, 5, u"B");
    v_.PutRecord(40, kDeletedFile,
                 {Name(30, u"first link.txt"), Name(30, u"FIRSTL~1.TXT", NTFS_NAMESPACE_DOS),
                  Name(31, u"second link.txt", NTFS_NAMESPACE_POSIX),
                  v_.Resident(NTFS_ATTR_DATA, Text("linked"))});
    File(36, 30, u"../escape", "esc");
    Scan();
    EXPECT_EQ(Recover("A/first link.txt"), Text("linked"));
    EXPECT_EQ(Recover("B/second link.txt"), Text("linked"));
    EXPECT_EQ(tree_.count("A/FIRSTL~1.TXT"), 0u);
    ASSERT_EQ(engine_->SaveFileData(&tree_["A"].node, WidePath("A").c_str(),
                                    FolderBase(Path("A"), tree_["A"].uChildLevel)),
              0);
    EXPECT_EQ(ReadImage(Path("A/.._escape")), Text("esc"));
}

INSTANTIATE_TEST_SUITE_P(Engines, BothEngines, ::testing::Values(Engine::Quick, Engine::Deep),
                         ::testing::PrintToStringParamName());

// ---- What only the quick scan does ---------------------------------------------------------

std::vector<int> g_percents;
int g_stopAt = -1;
int RecordScan(void*, int percent, int weight, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    g_percents.push_back(percent);
    EXPECT_EQ(weight, 9);
    return g_stopAt >= 0 && percent >= g_stopAt ? 77 : 0;
}

TEST_F(NtfsBuiltVolume, ProgressEndsAtOneHundredAndACallbackStopIsReturnedWithFoldersKept) {
    Folder(30, 5, u"Kept");
    File(31, 30, u"found.txt", "f");
    Scan();
    g_percents.clear();
    g_stopAt = -1;
    quick_->InitCallBack(RecordScan, nullptr, nullptr, 9);
    ASSERT_EQ(quick_->ScanDevice(nullptr), 0);
    ASSERT_FALSE(g_percents.empty());
    EXPECT_EQ(g_percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(g_percents.begin(), g_percents.end()));

    g_percents.clear();
    g_stopAt = 0;
    EXPECT_EQ(quick_->ScanDevice(nullptr), ERROR_USER_CANCEL);
    g_stopAt = -1;
    EXPECT_EQ(g_percents.size(), 1u);
    // The folder pass still ran: what was found browses under its folder.
    EXPECT_EQ(BrowseTree(*quick_).count("Kept/found.txt"), 1u);
}

TEST_F(NtfsBuiltVolume, AVolumeWhoseTableCannotBeFoundYieldsAnEmptyStoreAndAFullReport) {
    v_.Finish(20);
    std::fill(v_.image().begin() + 4 * 4096, v_.image().begin() + 20 * 4096, 0);  // table gone
    v_.Save(Path("volume.img"));
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.Init(WidePath("volume.img").c_str(), u'C'), 0);
    EXPECT_TRUE(engine.GetMftRunList().empty());
    g_percents.clear();
    engine.InitCallBack(RecordScan, nullptr, nullptr, 9);
    EXPECT_EQ(engine.ScanDevice(nullptr), 0);
    EXPECT_EQ(g_percents, (std::vector<int>{100}));
    EXPECT_EQ(engine.GetLostFileCount(), 0u);
    EXPECT_NE(engine.BuildBitMapInfo(), 0);
    unsigned long long start = 0, count = 1;
    engine.GetUnUsedSectorCount(start, count);
    EXPECT_EQ(count, 0u);
    // A record sector that holds no FILE record is no resident data and no record.
    Bytes data(1024);
    uint32_t length = 99;  // what a caller held before must not pass for the data's length
    uint64_t size = 0;
    EXPECT_EQ(engine.GetAttr0x80Data(0, data.data(), length), NTFS_NOT_FOUND);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(engine.GetBitMapRealBytesSize(0, size), NTFS_NOT_A_RECORD);
}

TEST_F(NtfsBuiltVolume, InitRefusesWhatNoNtfsVolumeLooksLikeAndTakesTheLargestClusters) {
    v_.Finish(20);
    v_.image()[0x0D] = 3;  // sectors per cluster
    v_.Save(Path("volume.img"));
    CFastNtfsRecovery odd;
    EXPECT_EQ(odd.Init(WidePath("volume.img").c_str(), u'C'), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(odd.Init(WidePath("volume.img").c_str(), u'C'), RESULT_INVALID_ARGUMENT)
        << "still unbound";
    std::ofstream(Path("tiny.img")) << "NTFS";
    CFastNtfsRecovery shortVolume;
    EXPECT_EQ(shortVolume.Init(WidePath("tiny.img").c_str(), u'C'), RESULT_SHORT_READ);
    CFastNtfsRecovery missing;
    EXPECT_EQ(missing.Init(WidePath("none").c_str(), u'C'), ENOENT);
    NtfsVolumeBuilder largest(4096, 128);  // 64 KiB clusters: the largest there are
    largest.SetMftRuns({{1, 1}});
    largest.Finish(2);
    largest.Save(Path("largest.img"));
    CFastNtfsRecovery bound;
    EXPECT_EQ(bound.Init(WidePath("largest.img").c_str(), u'C'), 0);
}

TEST_F(NtfsBuiltVolume, FreeExtentsStartOnClusterBoundariesAndStopAtTheVolumeEnd) {
    v_.MarkUsed(100, 3);
    v_.MarkUsed(500, 12);  // runs past the 512 clusters of the volume
    Scan();
    ASSERT_EQ(quick_->BuildBitMapInfo(), 0);
    EXPECT_EQ(quick_->GetBitMap().size(), 64u);
    // (start asked, start found, sectors found)
    const std::vector<std::tuple<unsigned long long, unsigned long long, unsigned long long>>
        extents = {
            {0, 8, 3 * 8},                 // the boot cluster in use, the next three free
            {32, 21 * 8, (100 - 21) * 8},  // past the table and the bitmap
            {100 * 8 + 3, 103 * 8, (500 - 103) * 8},  // inside a used cluster: the next free one
            {103 * 8 + 5, 103 * 8 + 5, (500 - 103) * 8 - 5},  // inside a free one: what follows
            {500 * 8, 500 * 8, 0},                            // no free cluster follows
            {5000, 4096, 0},                                  // beyond the volume
        };
    for (const auto& [asked, first, sectors] : extents) {
        unsigned long long start = asked, count = 99;
        quick_->GetUnUsedSectorCount(start, count);
        EXPECT_EQ(count, sectors) << asked;
        EXPECT_EQ(start, first) << asked;
    }
}

}  // namespace
