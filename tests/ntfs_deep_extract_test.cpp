// Recovery, preview and record lookups of the deep NTFS engine on the committed NTFS volume,
// and reopening its result store.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs_deep;

struct Report {
    int nPercent;
    int nError;
    std::string path;
};

// Everything the engine reports; answers ERROR_USER_CANCEL once a second file is reported.
struct Recorder {
    std::vector<Report> reports;
    bool bCancelSecondFile = false;

    static int OnRecovery(void* ctx, int nPercent, int, int nError, const char16_t* pszPath) {
        auto* self = static_cast<Recorder*>(ctx);
        const std::string path = WideToUtf8(pszPath);
        self->reports.push_back({nPercent, nError, path});
        if (self->bCancelSecondFile && path != self->reports.front().path) return ERROR_USER_CANCEL;
        return 0;
    }
    // The final (100 %) reports, in the order the files were finished.
    std::vector<Report> Finished() const {
        std::vector<Report> out;
        for (const Report& r : reports) {
            if (r.nPercent == 100) out.push_back(r);
        }
        return out;
    }
};

std::string Sha(const std::map<std::string, std::string>& shaByPath, const std::string& path) {
    return shaByPath.at(path);
}

class NtfsDeepExtract : public DeepNtfsTest {
protected:
    void SetUp() override {
        DeepNtfsTest::SetUp();
        image_ = UnpackFixture("ntfs", dir_);
        ScanImageFile(engine_, image_, ReadImage(image_));
        engine_.InitCallBack(nullptr, &Recorder::OnRecovery, &recorder_, 100);
        tree_ = BrowseTree(engine_);
        for (const ManifestEntry& entry : LoadManifest("ntfs")) {
            sha_[AsRecordPath(entry.path)] = entry.sha256;
        }
        ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
    }
    _FILE_NODE_ Node(const std::string& path) { return tree_.at(AsRecordPath(path)).node; }
    int Save(const std::string& path, const std::string& target, int nBaseDirIndex = 0) {
        _FILE_NODE_ node = Node(path);
        return engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), nBaseDirIndex);
    }
    // The base that makes the engine list a folder's children at the level it browses them.
    int BaseFor(const std::string& path, const std::string& target) {
        unsigned int separators = 0;
        GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), separators);
        return static_cast<int>(separators) -
               static_cast<int>(tree_.at(AsRecordPath(path)).uChildLevel);
    }

    std::string image_;
    CProfessionalNtfsRecovery engine_;
    Recorder recorder_;
    std::map<std::string, Browsed> tree_;
    std::map<std::string, std::string> sha_;
};

TEST_F(NtfsDeepExtract, RecoversAFolderBreadthFirstAndNeverOverwritesWhatIsThere) {
    const std::string target = Path("out/Temp");
    ASSERT_EQ(Save("Temp", target, BaseFor("Temp", target)), 0);
    const std::vector<std::string> files = {"Temp/Заметки.txt", "Temp/cache/a.tmp",
                                            "Temp/cache/deep/b.tmp", "Temp/cache/deep/preview.jpg"};
    std::vector<std::string> finished;
    for (const Report& r : recorder_.Finished()) {
        EXPECT_EQ(r.nError, 0) << r.path;
        finished.push_back(r.path);
    }
    std::vector<std::string> expected;
    for (const std::string& file : files) {
        expected.push_back(Path("out/") + file);
        EXPECT_EQ(Sha256OfFile(Path("out/") + file), Sha(sha_, AsRecordPath(file))) << file;
    }
    EXPECT_EQ(finished, expected) << "a folder's files before its sub-folders'";

    // Again into the same place: every child goes under a free name beside the first copy.
    ASSERT_EQ(Save("Temp", target, BaseFor("Temp", target)), 0);
    EXPECT_EQ(Sha256OfFile(Path("out/Temp/Заметки(1).txt")), Sha(sha_, "Temp/Заметки.txt"));
    EXPECT_EQ(Sha256OfFile(Path("out/Temp/cache(1)/deep/b.tmp")),
              Sha(sha_, "Temp/cache/deep/b.tmp"));

    // A file is never written into an existing one: that is the caller's name to choose.
    std::ofstream(Path("out/taken.txt")) << "keep";
    recorder_.reports.clear();
    EXPECT_EQ(Save("tiny.txt", Path("out/taken.txt")), EEXIST);
    ASSERT_EQ(recorder_.Finished().size(), 1u);
    EXPECT_EQ(recorder_.Finished().front().nError, EEXIST);
    std::string kept;
    std::getline(std::ifstream(Path("out/taken.txt")), kept);
    EXPECT_EQ(kept, "keep");
}

TEST_F(NtfsDeepExtract, StopsAFolderRecoveryWhenTheUserCancels) {
    recorder_.bCancelSecondFile = true;
    const std::string target = Path("out/Temp");
    EXPECT_EQ(Save("Temp", target, BaseFor("Temp", target)), ERROR_USER_CANCEL);
    struct stat st;
    EXPECT_EQ(stat(Path("out/Temp/Заметки.txt").c_str(), &st), 0);
    EXPECT_NE(stat(Path("out/Temp/cache/deep").c_str(), &st), 0) << "nothing after the cancel";
}

TEST_F(NtfsDeepExtract, EndsAFileWithItsWriteErrorAndCutsFilesAtTheirSize) {
    // An empty file is created and reported done at once.
    ASSERT_EQ(Save("empty.txt", Path("out/empty.txt")), 0);
    EXPECT_EQ(Sha256OfFile(Path("out/empty.txt")), Sha(sha_, "empty.txt"));
    ASSERT_EQ(recorder_.Finished().size(), 1u);
    EXPECT_EQ(recorder_.Finished().front().nError, 0);

    // A file system that takes only 8 KiB of the 20,000-byte report.
    recorder_.reports.clear();
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = Save("Documents/Quarterly report.txt", Path("out/report.txt"));
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(result, EFBIG);
    ASSERT_FALSE(recorder_.Finished().empty());
    EXPECT_EQ(recorder_.Finished().back().nError, EFBIG) << "the file ends with its error";
}

TEST_F(NtfsDeepExtract, PreviewsPicturesThroughATemporaryFileAndTextIntoTheBuffer) {
    std::vector<unsigned char> buffer(4096, 0xAA);
    char16_t tmp[512] = {};
    int length = static_cast<int>(buffer.size());
    _FILE_NODE_ picture = Node("Temp/cache/deep/preview.jpg");
    ASSERT_EQ(engine_.PreView(&picture, tmp, 512, buffer.data(), length, nullptr, nullptr), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(WideToUtf8(tmp), GetScanLogRootPath() + "tmp.jpg");
    EXPECT_EQ(Sha256OfFile(WideToUtf8(tmp)), Sha(sha_, "Temp/cache/deep/preview.jpg"));
    EXPECT_EQ(buffer[0], 0xAA);

    length = static_cast<int>(buffer.size());
    _FILE_NODE_ text = Node("Documents/Quarterly report.txt");
    ASSERT_EQ(engine_.PreView(&text, tmp, 512, buffer.data(), length, nullptr, nullptr), 0);
    ASSERT_EQ(length, 4096);
    ASSERT_EQ(Save("Documents/Quarterly report.txt", Path("out/report.txt")), 0);
    std::ifstream in(Path("out/report.txt"), std::ios::binary);
    std::vector<unsigned char> head(4096);
    in.read(reinterpret_cast<char*>(head.data()), 4096);
    EXPECT_EQ(buffer, head);

    length = 10;
    EXPECT_EQ(engine_.PreView(nullptr, tmp, 512, buffer.data(), length, nullptr, nullptr), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(length, 0);
}

TEST_F(NtfsDeepExtract, LooksUpRunsOfRecordsBySector) {
    RUN_LIST runs;
    const _FILE_NODE_ archive = Node("Backup/fragmented archive.zip");
    ASSERT_EQ(engine_.GetRunListInfo(archive.u64RecordSector, NTFS_ATTR_DATA, runs), 0);
    EXPECT_EQ(runs.size(), 5u);
    RUN_LIST byNode;
    ASSERT_EQ(engine_.GetFileNodeRunListInfo(&archive, NTFS_ATTR_DATA, byNode), 0);
    EXPECT_EQ(RunListClusters(byNode), RunListClusters(runs));
    EXPECT_EQ(RunListClusters(runs), (1300000 + 4095) / 4096);

    runs.clear();
    EXPECT_EQ(engine_.GetRunListInfo(0, NTFS_ATTR_DATA, runs), NTFS_NOT_A_RECORD);
    EXPECT_EQ(engine_.GetRunListInfo(Node("tiny.txt").u64RecordSector, NTFS_ATTR_DATA, runs),
              NTFS_NOT_FOUND)
        << "resident data has no runs";
    EXPECT_EQ(engine_.GetRunListInfo(kFixtureSectors + 100, NTFS_ATTR_DATA, runs), NTFS_NOT_FOUND)
        << "beyond the image";
}

// A picture whose first sector lost its signature is hidden; a document in the same state
// is still listed.
TEST_F(NtfsDeepExtract, HidesPicturesWhoseDataNoLongerStartsWithTheirSignature) {
    Image image = ReadImage(image_);
    for (const char* path : {"Documents/Фото/Отпуск.jpg", "Documents/Quarterly report.txt"}) {
        RUN_LIST runs;
        const _FILE_NODE_ node = Node(path);
        ASSERT_EQ(engine_.GetFileNodeRunListInfo(&node, NTFS_ATTR_DATA, runs), 0) << path;
        ZeroSectors(image, static_cast<uint64_t>(runs.front().offset) * 8, 1);
    }
    WriteImage(Path("damaged.img"), image);
    CProfessionalNtfsRecovery engine;
    ScanImageFile(engine, Path("damaged.img"), image);
    const std::map<std::string, Browsed> tree = BrowseTree(engine);
    EXPECT_EQ(tree.count(AsRecordPath("Documents/Фото/Отпуск.jpg")), 0u);
    EXPECT_EQ(tree.count(AsRecordPath("Documents/Фото/照片.jpg")), 1u);
    EXPECT_EQ(tree.count("Documents/Quarterly report.txt"), 1u);
}

TEST_F(NtfsDeepExtract, ReopensItsStoreByNameAndStartsAFreshOneWithout) {
    char folder[4096];
    ASSERT_EQ(CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder), 0);
    char name[256] = {};
    CLogFileManager::GetInstance()->GetLogFileNameByFileType(folder, kProNtfsLogPrefix, name,
                                                             sizeof name);
    ASSERT_EQ(std::string(name).rfind(kProNtfsLogPrefix, 0), 0u);

    CProfessionalNtfsRecovery reopened;
    ASSERT_EQ(reopened.Init(Utf8ToWide(image_.c_str()).c_str(), u'C'), 0);
    ASSERT_EQ(reopened.InitProfessionalScan(Utf8ToWide(name).c_str()), 0);
    EXPECT_EQ(reopened.GetLostFileCount(), engine_.GetLostFileCount());
    EXPECT_EQ(BrowseTree(reopened).size(), tree_.size());

    ASSERT_EQ(engine_.InitProfessionalScan(nullptr), 0);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u) << "a fresh scan does not number on";
}

TEST(NtfsDeepWithoutStore, AnswersBrowsingAndSearchWithoutFailing) {
    CProfessionalNtfsRecovery engine;
    std::vector<_FILE_NODE_> nodes;
    unsigned int count = 0;
    char16_t path[64];
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 1, nodes), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0);
    EXPECT_EQ(engine.GetChildrenFileCount(nullptr, 0, count), 0);
    EXPECT_EQ(engine.SearchFileNode(u"*.txt", nodes), 0);
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(engine.InitSearchCallBack(nullptr, nullptr), 0);
    EXPECT_EQ(engine.GetFileNodeParentDirPath(nullptr, path, 64), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine.GetLostFileCount(), 0u);
    EXPECT_EQ(engine.ParseProfessionalRecordVec(), RESULT_INVALID_ARGUMENT);
}

}  // namespace
