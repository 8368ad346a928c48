// The quick NTFS engine on small volumes built byte by byte (tests/ntfs_test_image.h) in the
// shapes real volumes take rarely or only when damaged: DOS names first, parent records
// reused, loops, attribute lists, holes, $MFT runs that split records, short runs, and
// destinations that refuse writes.
//
// The default volume: 2 MiB, 4 KiB clusters, the $MFT at clusters 4-19 (64 records), $Bitmap
// at cluster 20. File data lives from cluster 100 on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs_test_image.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::Bytes;
using ferrowen::test::NtfsVolumeBuilder;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::TestRun;

constexpr uint16_t kDeletedFolder = NTFS_RECORD_IS_FOLDER;
constexpr uint16_t kLiveFile = NTFS_RECORD_IN_USE;
constexpr uint16_t kDeletedFile = 0;

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Pattern(size_t n, unsigned char seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + i * 7 + i / 251);
    return b;
}

// A file that starts the way a JFIF picture does.
Bytes Jpeg(size_t n, unsigned char seed) {
    Bytes b = Pattern(n, seed);
    const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    std::copy(std::begin(head), std::end(head), b.begin());
    return b;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

std::string Utf8Name(const _FILE_NODE_& node) {
    return WideToUtf8(Ansi2Unicode(node.szFileName));
}

struct Report {
    int percent, weight, error;
    std::string path;
};

int RecordRecovery(void* ctx, int percent, int weight, int error, const char16_t* path) {
    static_cast<std::vector<Report>*>(ctx)->push_back({percent, weight, error, WideToUtf8(path)});
    return 0;
}

class NtfsCorner : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    void TearDown() override { ::unsetenv("XDG_DATA_HOME"); }

    static NtfsVolumeBuilder DefaultVolume() {
        NtfsVolumeBuilder v(4096, 8);
        v.SetMftRuns({{4, 16}});
        return v;
    }
    // Writes the volume, binds a fresh engine to it and scans.
    void Scan(NtfsVolumeBuilder& v, bool finish = true) {
        if (finish) v.Finish(20);
        image_ = dir_.path() + "/volume.img";
        v.Save(image_);
        engine_ = std::make_unique<CFastNtfsRecovery>();
        ASSERT_EQ(engine_->Init(Utf8ToWide(image_.c_str()).c_str(), u'E'), 0);
        engine_->InitCallBack(nullptr, RecordRecovery, &reports_, 100);
        ASSERT_EQ(engine_->ScanDevice(nullptr), 0);
        tree_.clear();
        Collect(nullptr, 0, "");
    }
    void Collect(_FILE_NODE_* parent, unsigned int level, const std::string& prefix) {
        std::vector<_FILE_NODE_> children;
        ASSERT_EQ(engine_->GetChildrenFileNode(parent, level, children), 0);
        for (const _FILE_NODE_& child : children) {
            const std::string path = prefix + Utf8Name(child);
            tree_[path] = child;
            levels_[path] = level + 1;
            if (child.bIsDir) {
                _FILE_NODE_ copy = child;
                Collect(&copy, level + 1, path + "/");
            }
        }
    }
    // Recovers one listed file to a fresh path and returns its bytes.
    Bytes Recover(const std::string& treePath, int expected = 0) {
        EXPECT_TRUE(tree_.count(treePath)) << treePath;
        _FILE_NODE_ node = tree_[treePath];
        const std::string target = dir_.path() + "/out" + std::to_string(++recovered_);
        EXPECT_EQ(engine_->SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), expected);
        return ReadFile(target);
    }

    TempDir dir_;
    std::string image_;
    std::unique_ptr<CFastNtfsRecovery> engine_;
    std::map<std::string, _FILE_NODE_> tree_;
    std::map<std::string, unsigned int> levels_;
    std::vector<Report> reports_;
    int recovered_ = 0;
};

TEST_F(NtfsCorner, FilesDeletedFoldersAndTheFoldersAboveThemAreFiledByDepth) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(7, kDeletedFile,
                {v.FileName(5, u"system leftover.txt"), v.Resident(0x80, Text("x"))});
    v.PutRecord(30, kDeletedFolder, {v.FileName(5, u"A")});
    v.PutRecord(40, kDeletedFolder, {v.FileName(30, u"B")});
    v.PutRecord(41, kDeletedFile, {v.FileName(40, u"x.txt"), v.Resident(0x80, Text("hello"))});
    v.PutRecord(42, kLiveFile, {v.FileName(40, u"live.txt"), v.Resident(0x80, Text("live"))});
    v.PutRecord(43, kDeletedFile, {v.FileName(5, u"root.txt"), v.Resident(0x80, Text("root"))});
    v.PutRecord(44, kDeletedFolder, {v.FileName(5, u"Nothing deleted below")});
    Scan(v);

    std::vector<std::string> paths;
    for (const auto& [path, node] : tree_) paths.push_back(path);
    EXPECT_EQ(paths, (std::vector<std::string>{"A", "A/B", "A/B/x.txt", "root.txt"}));
    EXPECT_EQ(levels_["A/B/x.txt"], 3u);
    const _FILE_NODE_& x = tree_["A/B/x.txt"];
    EXPECT_EQ(x.uClusterNO, 41u);
    EXPECT_EQ(x.u64FileSize, 5u);
    EXPECT_EQ(x.wcDriveLetter, uint32_t{u'E'});
    EXPECT_EQ(x.uClusterBytes, 4096u);
    EXPECT_EQ(x.u64RecordSector, v.RecordSector(41));
    EXPECT_EQ(x.ftCreateTime.dwHighDateTime, static_cast<uint32_t>(132000000000000000ull >> 32));
    EXPECT_EQ(tree_["A"].bDataHealth, 0u);
    // Folder 40 sits two folders down: its children are keyed (2 << 32) | 40 and nowhere else.
    _FILE_NODE_ b = tree_["A/B"];
    std::vector<_FILE_NODE_> wrongLevel;
    ASSERT_EQ(engine_->GetChildrenFileNode(&b, 1, wrongLevel), 0);
    EXPECT_TRUE(wrongLevel.empty());
    char16_t parentPath[256];
    ASSERT_EQ(engine_->GetFileNodeParentDirPath(&tree_["A/B/x.txt"], parentPath, 256), 0);
    EXPECT_EQ(WideToUtf8(parentPath), "A/B/");
    EXPECT_EQ(engine_->GetLostFileCount(), 4u);
    unsigned int files = 0;
    ASSERT_EQ(engine_->GetChildrenFileCount(nullptr, 0, files), 0);
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(Recover("A/B/x.txt"), Text("hello"));
}

TEST_F(NtfsCorner, TheLongNameIsShownWhicheverNameComesFirst) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFolder,
                {v.FileName(5, u"LONGFO~1", NTFS_NAMESPACE_DOS),
                 v.FileName(5, u"long folder name", NTFS_NAMESPACE_WIN32)});
    v.PutRecord(31, kDeletedFile,
                {v.FileName(30, u"REPORT~1.TXT", NTFS_NAMESPACE_DOS),
                 v.FileName(30, u"report for the year.txt", NTFS_NAMESPACE_WIN32),
                 v.Resident(0x80, Text("year"))});
    v.PutRecord(32, kDeletedFile,
                {v.FileName(30, u"posix name.txt", NTFS_NAMESPACE_POSIX),
                 v.FileName(30, u"POSIXN~1.TXT", NTFS_NAMESPACE_DOS), v.Resident(0x80, Text("p"))});
    Scan(v);
    ASSERT_TRUE(tree_.count("long folder name/report for the year.txt"));
    ASSERT_TRUE(tree_.count("long folder name/posix name.txt"));
    char16_t parentPath[256];
    ASSERT_EQ(engine_->GetFileNodeParentDirPath(&tree_["long folder name/posix name.txt"],
                                                parentPath, 256),
              0);
    EXPECT_EQ(WideToUtf8(parentPath), "long folder name/");
}

// The resident value read counts the attribute's alignment bytes; the file's size cuts them.
TEST_F(NtfsCorner, ResidentDataIsReadWithItsAlignmentAndWrittenToItsSize) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFile, {v.FileName(5, u"five.txt"), v.Resident(0x80, Text("12345"))});
    v.PutRecord(31, kDeletedFile, {v.FileName(5, u"300.txt"), v.Resident(0x80, Pattern(300, 7))});
    Scan(v);
    std::vector<unsigned char> data(1024);
    uint32_t length = 0;
    ASSERT_EQ(engine_->GetAttr0x80Data(tree_["five.txt"].u64RecordSector, data.data(), length), 0);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(tree_["five.txt"].u64FileSize, 5u);
    EXPECT_EQ(Recover("five.txt"), Text("12345"));
    EXPECT_EQ(Recover("300.txt"), Pattern(300, 7));
    // A record sector that holds no FILE record is no resident data.
    EXPECT_EQ(engine_->GetAttr0x80Data(0, data.data(), length), NTFS_NOT_FOUND);
    uint64_t size = 0;
    EXPECT_EQ(engine_->GetBitMapRealBytesSize(0, size), NTFS_NOT_A_RECORD);
}

TEST_F(NtfsCorner, FoldersWhoseRecordsNoLongerDescribeThemBecomeLostFolders) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(50, kDeletedFile,
                {v.FileName(51, u"under reused.txt"), v.Resident(0x80, Text("a"))});
    v.PutRecord(51, kLiveFile, {v.FileName(5, u"now a file.bin"), v.Resident(0x80, Text("b"))});
    v.PutRecord(52, kDeletedFile,
                {v.FileName(53, u"under garbage.txt"), v.Resident(0x80, Text("c"))});
    v.PutRaw(53, Bytes(1024, 0xEE));
    v.PutRecord(54, kDeletedFile,
                {v.FileName(55, u"under nameless.txt"), v.Resident(0x80, Text("d"))});
    v.PutRecord(55, kLiveFile, {v.Resident(0x10, Bytes(48, 0))});
    // A deleted folder above a reused one: it is filed under the lost folder.
    v.PutRecord(56, kDeletedFile, {v.FileName(57, u"deep.txt"), v.Resident(0x80, Text("e"))});
    v.PutRecord(57, kDeletedFolder, {v.FileName(51, u"Inner")});
    Scan(v);
    ASSERT_TRUE(tree_.count("LostFolder51/under reused.txt"));
    ASSERT_TRUE(tree_.count("LostFolder53/under garbage.txt"));
    ASSERT_TRUE(tree_.count("LostFolder55/under nameless.txt"));
    ASSERT_TRUE(tree_.count("LostFolder51/Inner/deep.txt"));
    EXPECT_EQ(levels_["LostFolder51/under reused.txt"], 2u);
    const _FILE_NODE_& lost = tree_["LostFolder51"];
    EXPECT_EQ(lost.bIsDir, 1u);
    EXPECT_EQ(lost.uClusterNO, 51u);
    EXPECT_EQ(lost.uClusterBytes, 0xFFFFFFFFu);
    EXPECT_EQ(lost.u64RecordSector, 0u);
    EXPECT_EQ(lost.bDataHealth, 0u);
    EXPECT_EQ(tree_["LostFolder53"].bDataHealth, 1u);  // unreadable
    EXPECT_EQ(Recover("LostFolder51/Inner/deep.txt"), Text("e"));
}

TEST_F(NtfsCorner, ALoopInTheParentChainEndsTheClimb) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(20, kDeletedFolder, {v.FileName(21, u"ping")});
    v.PutRecord(21, kDeletedFolder, {v.FileName(20, u"pong")});
    v.PutRecord(22, kDeletedFile, {v.FileName(20, u"caught.txt"), v.Resident(0x80, Text("loop"))});
    v.PutRecord(23, kDeletedFile, {v.FileName(23, u"own parent.txt"), v.Resident(0x80, Text("s"))});
    Scan(v);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine_->SearchFileNode(u"*.txt", found);
    ASSERT_EQ(found.size(), 2u);
    // The two files, the two folders, and the file that names itself as its folder, which
    // is no folder and so becomes a lost one.
    EXPECT_EQ(engine_->GetLostFileCount(), 5u);
    EXPECT_TRUE(tree_.count("LostFolder23/own parent.txt"));
}

TEST_F(NtfsCorner, APictureWithoutItsSignatureIsHiddenWhileADocumentStaysListed) {
    NtfsVolumeBuilder v = DefaultVolume();
    const Bytes jpeg = Jpeg(6000, 1);
    v.WriteBytes(100, jpeg);
    v.WriteBytes(110, Pattern(6000, 2));  // no JPEG or PDF signature
    v.PutRecord(30, kDeletedFile,
                {v.FileName(5, u"good.jpg"), v.NonResident(0x80, {{100, 2}}, 6000)});
    v.PutRecord(31, kDeletedFile,
                {v.FileName(5, u"bad.jpg"), v.NonResident(0x80, {{110, 2}}, 6000)});
    v.PutRecord(32, kDeletedFile,
                {v.FileName(5, u"bad.pdf"), v.NonResident(0x80, {{110, 2}}, 6000)});
    v.PutRecord(33, kDeletedFile,
                {v.FileName(5, u"tiny.jpg"), v.Resident(0x80, Text("not a jpeg"))});
    v.PutRecord(34, kDeletedFile, {v.FileName(5, u"empty.dat"), v.Resident(0x80, {})});
    Scan(v);
    EXPECT_TRUE(tree_.count("good.jpg"));
    EXPECT_EQ(tree_["good.jpg"].bDataHealth, 1u);
    EXPECT_FALSE(tree_.count("bad.jpg"));
    EXPECT_FALSE(tree_.count("tiny.jpg"));
    ASSERT_TRUE(tree_.count("bad.pdf"));
    EXPECT_EQ(tree_["bad.pdf"].bDataHealth, 0u);
    ASSERT_TRUE(tree_.count("empty.dat"));
    EXPECT_EQ(tree_["empty.dat"].bDataHealth, 0u);  // a resident file holding no data
    unsigned int files = 0;
    engine_->GetChildrenFileCount(nullptr, 0, files);
    EXPECT_EQ(files, 5u);  // hidden pictures still count
}

TEST_F(NtfsCorner, AFileSpreadOverTwoRecordsComesBackWhole) {
    NtfsVolumeBuilder v = DefaultVolume();
    const Bytes data = Pattern(3 * 4096 + 100, 3);
    v.WriteBytes(100, Bytes(data.begin(), data.begin() + 8192));
    v.WriteBytes(200, Bytes(data.begin() + 8192, data.end()));
    Bytes first = v.NonResident(0x80, {{100, 2}}, data.size());
    v.PutRecord(30, kDeletedFile,
                {v.AttributeList({{0x30, 0, 30}, {0x80, 0, 30}, {0x80, 2, 31}}),
                 v.FileName(5, u"spread.bin"), first});
    v.PutRecord(31, kDeletedFile, {v.NonResident(0x80, {{200, 2}}, 0, 2)}, 30);
    // The second piece alone tells the size when the base record holds none of the data.
    v.WriteBytes(300, Bytes(data.begin(), data.begin() + 4096));
    v.PutRecord(32, kDeletedFile,
                {v.AttributeList({{0x30, 0, 32}, {0x80, 0, 33}}), v.FileName(5, u"elsewhere.bin")});
    v.PutRecord(33, kDeletedFile, {v.NonResident(0x80, {{300, 1}}, 4096)}, 32);
    Scan(v);
    ASSERT_TRUE(tree_.count("spread.bin"));
    EXPECT_EQ(tree_.size(), 2u);  // extension records describe no file of their own
    EXPECT_EQ(tree_["spread.bin"].u64FileSize, data.size());
    EXPECT_EQ(Recover("spread.bin"), data);
    EXPECT_EQ(tree_["elsewhere.bin"].u64FileSize, 4096u);
    EXPECT_EQ(Recover("elsewhere.bin"), Bytes(data.begin(), data.begin() + 4096));
}

TEST_F(NtfsCorner, HolesOfASparseFileReadAsZeros) {
    NtfsVolumeBuilder v = DefaultVolume();
    const Bytes a = Pattern(4096, 4), c = Pattern(4096, 5);
    v.WriteBytes(110, a);
    v.WriteBytes(112, c);
    v.PutRecord(30, kDeletedFile,
                {v.FileName(5, u"sparse.bin"),
                 v.NonResident(0x80, {{110, 1}, {-1, 2}, {112, 1}}, 4 * 4096 - 10)});
    Scan(v);
    Bytes want = a;
    want.resize(3 * 4096, 0);
    want.insert(want.end(), c.begin(), c.end() - 10);
    EXPECT_EQ(Recover("sparse.bin"), want);
}

// With 512-byte clusters a run of the table can end in the middle of a record.
TEST_F(NtfsCorner, RecordsSplitBetweenTableRunsAreReadWholeAndKeepTheirNumbers) {
    NtfsVolumeBuilder v(4096, 1);
    v.SetMftRuns({{40, 33}, {200, 31}, {400, 64}});
    v.PutRecord(16, kDeletedFile, {v.FileName(5, u"split.txt"), v.Resident(0x80, Text("split"))});
    v.PutRecord(17, kDeletedFile, {v.FileName(5, u"after.txt"), v.Resident(0x80, Text("after"))});
    v.PutRecord(31, kDeletedFile, {v.FileName(5, u"split2.txt"), v.Resident(0x80, Text("two"))});
    v.PutRecord(50, kDeletedFile, {v.FileName(5, u"third run.txt"), v.Resident(0x80, Text("3"))});
    v.Finish(30);
    Scan(v, false);
    EXPECT_EQ(engine_->GetMftRecordCount(), 64u);
    ASSERT_EQ(tree_.size(), 4u);
    EXPECT_EQ(tree_["split.txt"].uClusterNO, 16u);
    EXPECT_EQ(tree_["split2.txt"].uClusterNO, 31u);
    EXPECT_EQ(tree_["third run.txt"].uClusterNO, 50u);
    EXPECT_EQ(Recover("split.txt"), Text("split"));
    EXPECT_EQ(Recover("split2.txt"), Text("two"));
    EXPECT_EQ(Recover("third run.txt"), Text("3"));
}

TEST_F(NtfsCorner, DataThatEndsBeforeTheSizeIsAFailureWithAFinalReport) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.WriteBytes(100, Pattern(4096, 6));
    v.PutRecord(30, kDeletedFile,
                {v.FileName(5, u"short.bin"), v.NonResident(0x80, {{100, 1}}, 10000)});
    v.PutRecord(31, kDeletedFile,
                {v.FileName(5, u"far.bin"), v.NonResident(0x80, {{100000, 1}}, 10)});
    Scan(v);
    reports_.clear();
    EXPECT_EQ(Recover("short.bin", RESULT_SHORT_READ), Pattern(4096, 6));
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().percent, 100);
    EXPECT_EQ(reports_.back().error, RESULT_SHORT_READ);
    reports_.clear();
    const int farResult = [&] {
        _FILE_NODE_ node = tree_["far.bin"];
        return engine_->SaveFileData(&node, Utf8ToWide((dir_.path() + "/far").c_str()).c_str(), 0);
    }();
    EXPECT_NE(farResult, 0);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().error, farResult);
}

TEST_F(NtfsCorner, RecoveryNeverWritesIntoAnExistingFile) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFile, {v.FileName(5, u"a.txt"), v.Resident(0x80, Text("new"))});
    Scan(v);
    const std::string target = dir_.path() + "/taken";
    std::ofstream(target) << "precious";
    reports_.clear();
    _FILE_NODE_ node = tree_["a.txt"];
    EXPECT_EQ(engine_->SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), EEXIST);
    EXPECT_EQ(ReadFile(target), Text("precious"));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].error, EEXIST);
}

TEST_F(NtfsCorner, FolderRecoveryIsBreadthFirstAndGivesCollidingNamesFreeNames) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFolder, {v.FileName(5, u"A")});
    v.PutRecord(31, kDeletedFolder, {v.FileName(30, u"B")});
    v.PutRecord(32, kDeletedFile, {v.FileName(31, u"y.txt"), v.Resident(0x80, Text("why"))});
    v.PutRecord(33, kDeletedFile, {v.FileName(30, u"x.txt"), v.Resident(0x80, Text("ex"))});
    v.PutRecord(34, kDeletedFile, {v.FileName(30, u"dup.txt"), v.Resident(0x80, Text("one"))});
    v.PutRecord(35, kDeletedFile, {v.FileName(30, u"dup.txt"), v.Resident(0x80, Text("two"))});
    v.PutRecord(36, kDeletedFile, {v.FileName(30, u"../escape"), v.Resident(0x80, Text("esc"))});
    Scan(v);
    const std::string dest = dir_.path() + "/dest/A";
    ::mkdir((dir_.path() + "/dest").c_str(), 0755);
    unsigned int separators = 0;
    GetPathDirIndex(Utf8ToWide(dest.c_str()).c_str(), separators);
    reports_.clear();
    _FILE_NODE_ a = tree_["A"];
    ASSERT_EQ(engine_->SaveFileData(&a, Utf8ToWide(dest.c_str()).c_str(),
                                    static_cast<int>(separators) - 1),
              0);
    EXPECT_EQ(ReadFile(dest + "/x.txt"), Text("ex"));
    EXPECT_EQ(ReadFile(dest + "/B/y.txt"), Text("why"));
    const Bytes d0 = ReadFile(dest + "/dup.txt"), d1 = ReadFile(dest + "/dup(1).txt");
    EXPECT_TRUE((d0 == Text("one") && d1 == Text("two")) ||
                (d0 == Text("two") && d1 == Text("one")));
    EXPECT_EQ(ReadFile(dest + "/.._escape"), Text("esc"));
    struct stat st;
    ASSERT_EQ(stat((dest + "/B").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // Every file of A is written before the file of B.
    std::vector<std::string> finished;
    for (const Report& r : reports_) {
        EXPECT_EQ(r.weight, 100);
        EXPECT_EQ(r.error, 0) << r.path;
        if (r.percent == 100) finished.push_back(r.path.substr(dest.size()));
    }
    ASSERT_EQ(finished.size(), 5u);
    EXPECT_EQ(finished.back(), "/B/y.txt");
}

TEST_F(NtfsCorner, ACancelWhileTheSecondFileIsWrittenEndsTheFolderRecovery) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFolder, {v.FileName(5, u"A")});
    for (int i = 0; i < 3; ++i) {
        const std::u16string name = u"f" + std::u16string(1, static_cast<char16_t>(u'1' + i));
        v.PutRecord(31 + i, kDeletedFile, {v.FileName(30, name), v.Resident(0x80, Text("z"))});
    }
    Scan(v);
    struct Counter {
        int files = 0;
    } counter;
    engine_->InitCallBack(
        nullptr,
        [](void* ctx, int, int, int, const char16_t*) {
            return ++static_cast<Counter*>(ctx)->files == 2 ? ERROR_USER_CANCEL : 0;
        },
        &counter, 100);
    const std::string dest = dir_.path() + "/A";
    unsigned int separators = 0;
    GetPathDirIndex(Utf8ToWide(dest.c_str()).c_str(), separators);
    _FILE_NODE_ a = tree_["A"];
    EXPECT_EQ(engine_->SaveFileData(&a, Utf8ToWide(dest.c_str()).c_str(),
                                    static_cast<int>(separators) - 1),
              ERROR_USER_CANCEL);
    EXPECT_EQ(access((dest + "/f1").c_str(), F_OK), 0);
    EXPECT_EQ(access((dest + "/f3").c_str(), F_OK), -1);
}

std::vector<int> g_percents;
int g_stopAt = -1;
int RecordScan(void*, int percent, int weight, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    g_percents.push_back(percent);
    EXPECT_EQ(weight, 9);
    return g_stopAt >= 0 && percent >= g_stopAt ? 77 : 0;
}

TEST_F(NtfsCorner, ProgressEndsAtOneHundredAndACallbackStopIsReturnedWithFoldersKept) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.PutRecord(30, kDeletedFolder, {v.FileName(5, u"Kept")});
    v.PutRecord(31, kDeletedFile, {v.FileName(30, u"found.txt"), v.Resident(0x80, Text("f"))});
    v.Finish(20);
    image_ = dir_.path() + "/volume.img";
    v.Save(image_);
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), 0);
    g_percents.clear();
    g_stopAt = -1;
    engine.InitCallBack(RecordScan, nullptr, nullptr, 9);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0);
    ASSERT_FALSE(g_percents.empty());
    EXPECT_EQ(g_percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(g_percents.begin(), g_percents.end()));

    g_percents.clear();
    g_stopAt = 0;
    EXPECT_EQ(engine.ScanDevice(nullptr), ERROR_USER_CANCEL);
    EXPECT_EQ(g_percents.size(), 1u);
    std::vector<_FILE_NODE_> root;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_STREQ(root[0].szFileName, "Kept");
    g_stopAt = -1;

    CFastNtfsRecovery quiet;
    ASSERT_EQ(quiet.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), 0);
    EXPECT_EQ(quiet.ScanDevice(nullptr), 0);
    EXPECT_EQ(quiet.GetLostFileCount(), 2u);
}

TEST_F(NtfsCorner, AVolumeWhoseTableCannotBeFoundYieldsAnEmptyStoreAndAFullReport) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.Finish(20);
    Bytes& image = v.image();
    for (size_t i = 4 * 4096; i < 20 * 4096; ++i) image[i] = 0;  // the whole table gone
    image_ = dir_.path() + "/volume.img";
    v.Save(image_);
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), 0);
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
}

TEST_F(NtfsCorner, InitRefusesWhatNoNtfsVolumeLooksLike) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.Finish(20);
    image_ = dir_.path() + "/volume.img";
    v.image()[0x0D] = 3;  // sectors per cluster
    v.Save(image_);
    CFastNtfsRecovery odd;
    EXPECT_EQ(odd.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(odd.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), RESULT_INVALID_ARGUMENT);  // still unbound
    const std::string tiny = dir_.path() + "/tiny.img";
    std::ofstream(tiny) << "NTFS";
    CFastNtfsRecovery shortVolume;
    EXPECT_EQ(shortVolume.Init(Utf8ToWide(tiny.c_str()).c_str(), u'C'), RESULT_SHORT_READ);
    CFastNtfsRecovery missing;
    EXPECT_EQ(missing.Init(Utf8ToWide((dir_.path() + "/none").c_str()).c_str(), u'C'), ENOENT);
    CFastNtfsRecovery unbound;
    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(unbound.GetChildrenFileNode(nullptr, 0, none), 0);
    EXPECT_EQ(unbound.GetChildrenFileNode(nullptr, 1, none), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(unbound.InitSearchCallBack(nullptr, nullptr), 0);
    char16_t path[8];
    EXPECT_EQ(unbound.GetFileNodeParentDirPath(nullptr, path, 8), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(unbound.SearchFileNode(u"*.txt", none), 0);
}

TEST_F(NtfsCorner, FreeExtentsStartOnClusterBoundariesAndStopAtTheVolumeEnd) {
    NtfsVolumeBuilder v = DefaultVolume();
    v.MarkUsed(100, 3);
    v.MarkUsed(500, 12);  // runs past the 512 clusters of the volume
    Scan(v);
    ASSERT_EQ(engine_->BuildBitMapInfo(), 0);
    EXPECT_EQ(engine_->GetBitMap().size(), 64u);
    unsigned long long start = 0, count = 0;
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(start, 8u);  // the boot cluster is in use, the three after it are not
    EXPECT_EQ(count, 3u * 8);
    start += count;
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(start, 21u * 8);  // past the table and the bitmap
    EXPECT_EQ(count, (100u - 21) * 8);
    start = 100 * 8 + 3;  // inside a used cluster: moves to the next free one
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(start, 103u * 8);
    EXPECT_EQ(count, (500u - 103) * 8);
    start = 103 * 8 + 5;  // inside a free cluster: only what follows counts
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(start, 103u * 8 + 5);
    EXPECT_EQ(count, (500u - 103) * 8 - 5);
    start = 500 * 8;
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(count, 0u);
    start = 5000;
    engine_->GetUnUsedSectorCount(start, count);
    EXPECT_EQ(start, 4096u);
    EXPECT_EQ(count, 0u);
}

TEST_F(NtfsCorner, PreviewsFillTheBufferOrAPhotoFileAndEmptyFilesGetOneReport) {
    NtfsVolumeBuilder v = DefaultVolume();
    const Bytes jpeg = Jpeg(9000, 8);
    v.WriteBytes(100, jpeg);
    v.WriteBytes(110, Pattern(9000, 9));
    v.PutRecord(30, kDeletedFile,
                {v.FileName(5, u"photo.jpg"), v.NonResident(0x80, {{100, 3}}, 9000)});
    v.PutRecord(31, kDeletedFile,
                {v.FileName(5, u"notes.txt"), v.NonResident(0x80, {{110, 3}}, 9000)});
    v.PutRecord(32, kDeletedFile, {v.FileName(5, u"empty.txt"), v.Resident(0x80, {})});
    Scan(v);
    char16_t tmp[512] = {};
    Bytes buf(4096, 0xAB);
    int len = static_cast<int>(buf.size());
    _FILE_NODE_ photo = tree_["photo.jpg"];
    ASSERT_EQ(engine_->PreView(&photo, tmp, 512, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf, Bytes(4096, 0xAB));
    EXPECT_EQ(ReadFile(WideToUtf8(tmp)), jpeg);
    EXPECT_NE(WideToUtf8(tmp).find("/Ferrowen/ScanLog/tmp.jpg"), std::string::npos);

    std::vector<int> percents;
    len = static_cast<int>(buf.size());
    _FILE_NODE_ notes = tree_["notes.txt"];
    ASSERT_EQ(engine_->PreView(
                  &notes, tmp, 512, buf.data(), len,
                  [](void* ctx, int percent, int) {
                      static_cast<std::vector<int>*>(ctx)->push_back(percent);
                      return 0;
                  },
                  &percents),
              0);
    EXPECT_EQ(len, 4096);
    const Bytes notesData = Pattern(9000, 9);
    EXPECT_EQ(buf, Bytes(notesData.begin(), notesData.begin() + 4096));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    len = 16;
    EXPECT_EQ(engine_->PreView(nullptr, tmp, 512, buf.data(), len, nullptr, nullptr), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(len, 0);

    reports_.clear();
    EXPECT_EQ(Recover("empty.txt"), Bytes{});
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].percent, 100);
    EXPECT_EQ(reports_[0].error, 0);
}

}  // namespace
