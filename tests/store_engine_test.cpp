// What every engine promises alike, checked for each of them: the answers without a store, and,
// on records each engine found on the demo disk, recovery that never writes through an existing
// file or a link, a folder that cannot be made reported as a failure, a picture preview that
// never follows a link planted at its temporary path, and a cancel by any non-zero answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "carving/file_type_recovery.h"
#include "engine/file_recovery_factory.h"
#include "ext/fast_ext_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

// ---- without a store ------------------------------------------------------------------------

struct BareEngine {
    const char* name;
    std::function<std::unique_ptr<IFileRecoveryParse>()> make;
};

class WithoutAStore : public ::testing::TestWithParam<BareEngine> {};

TEST_P(WithoutAStore, EveryEngineFindsNothingAndRefusesMissingRecords) {
    std::unique_ptr<IFileRecoveryParse> engine = GetParam().make();
    std::vector<_FILE_NODE_> nodes;
    unsigned int count = 0;
    _FILE_NODE_ folder{};
    folder.bIsDir = 1;
    folder.uClusterNO = 40;
    EXPECT_EQ(engine->GetChildrenFileNode(nullptr, 0, nodes), 0);
    EXPECT_EQ(engine->GetChildrenFileNode(&folder, 1, nodes), 0);
    EXPECT_EQ(engine->GetChildrenFileNode(nullptr, 1, nodes), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine->GetChildrenFileCount(nullptr, 0, count), 0);
    EXPECT_EQ(engine->GetChildrenFileCount(nullptr, 2, count), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine->InitSearchCallBack(nullptr, nullptr), 0);
    EXPECT_EQ(engine->SearchFileNode(u"*.jpg|*.other", nodes), 0);
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(engine->GetLostFileCount(), 0u);
    char16_t path[8] = u"stale";
    EXPECT_EQ(engine->GetFileNodeParentDirPath(&folder, path, 8), 0);
    EXPECT_EQ(path[0], u'\0');
    EXPECT_EQ(engine->GetFileNodeParentDirPath(nullptr, path, 8), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine->SaveFileData(nullptr, u"/nowhere", 0), RESULT_INVALID_ARGUMENT);
    unsigned char buf[16];
    int len = sizeof buf;
    EXPECT_EQ(engine->PreView(nullptr, path, 8, buf, len, nullptr, nullptr),
              RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(engine->IsFindLogFile(), 0);
}

template <class Engine>
BareEngine Bare(const char* name) {
    return {name, [] { return std::make_unique<Engine>(); }};
}

INSTANTIATE_TEST_SUITE_P(Engines, WithoutAStore,
                         ::testing::Values(Bare<CFastFatRecovery>("QuickFat"),
                                           Bare<CFastNtfsRecovery>("QuickNtfs"),
                                           Bare<CProfessionalFatRecovery>("DeepFat"),
                                           Bare<CProfessionalNtfsRecovery>("DeepNtfs"),
                                           Bare<CFileTypeRecovery>("Carving"),
                                           Bare<CFastExtRecovery>("Ext")),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- on records each engine found ---------------------------------------------------------

// Which engine's records a case looks at, on which demo partition, and whether the partition's
// boot sector is wiped first, which leaves the volume to the deep parsers.
struct Source {
    const char* name;
    uint32_t fileSource;
    long long start, sectors;
    bool wipeBootSector;
};

constexpr long long kFatStart = 2048, kFatSectors = 36864;
constexpr long long kNtfsStart = 38912, kNtfsSectors = 32768;

struct Report {
    int percent, error;
    std::string path;
};
std::vector<Report> g_reports;
int g_answer = 0;

int RecordReport(void*, int nPercent, int, int nError, const char16_t* pszPath) {
    g_reports.push_back({nPercent, nError, pszPath != nullptr ? WideToUtf8(pszPath) : ""});
    return g_answer;
}

std::vector<int> g_searchPercents;
int RecordSearch(void*, int nPercent, const char16_t*) {
    g_searchPercents.push_back(nPercent);
    return 0;
}

std::ptrdiff_t OpenDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

class EngineContract : public ::testing::TestWithParam<Source> {
protected:
    void SetUp() override {
        image_ = UnpackFixture("demo", dir_);
        if (GetParam().wipeBootSector) {
            std::fstream file(image_, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(GetParam().start * 512);
            file.write(std::string(512, '\0').data(), 512);
        }
        hash_ = Sha256OfFile(image_);
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        descriptors_ = OpenDescriptors();
        engine_.reset(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, GetParam().start, GetParam().sectors, u'C', RECOVERY_TYPE_PROFESSIONAL));
        ASSERT_NE(engine_, nullptr);
        engine_->SetNotLoadLogFile();
        engine_->InitCallBack(nullptr, RecordReport, nullptr, 100);
        ASSERT_EQ(engine_->ScanDevice(nullptr), 0);
        g_reports.clear();
        g_answer = 0;
        CollectRecords();
    }
    void TearDown() override {
        engine_.reset();
        EXPECT_EQ(OpenDescriptors(), descriptors_) << "a descriptor was left open";
        EXPECT_EQ(Sha256OfFile(image_), hash_) << "the scanned image changed";
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    // The files and folders of the case's engine, breadth-first through the browse tree.
    void CollectRecords() {
        std::deque<std::pair<_FILE_NODE_, unsigned>> queue;
        std::vector<_FILE_NODE_> level;
        engine_->GetChildrenFileNode(nullptr, 0, level);
        for (const _FILE_NODE_& n : level) queue.push_back({n, 1});
        while (!queue.empty() && queue.size() < 5000) {
            const auto [node, depth] = queue.front();
            queue.pop_front();
            if (node.nFileSource == GetParam().fileSource && node.bIsDir) {
                folders_.push_back({node, depth});
            } else if (node.nFileSource == GetParam().fileSource) {
                files_.push_back(node);
            }
            if (!node.bIsDir || depth > 8) continue;
            _FILE_NODE_ parent = node;
            std::vector<_FILE_NODE_> children;
            engine_->GetChildrenFileNode(&parent, depth, children);
            for (const _FILE_NODE_& c : children) queue.push_back({c, depth + 1});
        }
    }
    // A file of the engine with content, a picture when asked for.
    const _FILE_NODE_* File(bool bPicture = false) const {
        for (const _FILE_NODE_& f : files_) {
            const std::string name = f.szFileName;
            const bool picture = name.size() > 4 && (name.substr(name.size() - 4) == ".jpg" ||
                                                     name.substr(name.size() - 4) == ".png");
            if (f.u64FileSize > 0 && (!bPicture || picture)) return &f;
        }
        return nullptr;
    }
    // A folder of the engine with files below it, and its depth below the root.
    const std::pair<_FILE_NODE_, unsigned>* FolderWithFiles() {
        for (auto& entry : folders_) {
            unsigned int count = 0;
            engine_->GetChildrenFileCount(&entry.first, entry.second, count);
            if (count > 0) return &entry;
        }
        return nullptr;
    }
    // Saves a folder of depth d to target: its children are listed at the level the target's
    // separators give, less the base.
    int SaveFolder(const std::pair<_FILE_NODE_, unsigned>& folder, const std::u16string& target) {
        unsigned int separators = 0;
        GetPathDirIndex(target.c_str(), separators);
        _FILE_NODE_ node = folder.first;
        return engine_->SaveFileData(&node, target.c_str(),
                                     static_cast<int>(separators - folder.second));
    }
    std::u16string Path(const std::string& name) const {
        return Utf8ToWide((dir_.path() + "/" + name).c_str());
    }

    TempDir dir_;
    std::string image_, hash_;
    std::ptrdiff_t descriptors_ = 0;
    std::unique_ptr<IFileRecoveryParse> engine_;
    std::vector<_FILE_NODE_> files_;
    std::vector<std::pair<_FILE_NODE_, unsigned>> folders_;
};

// Neither a recovery nor a picture preview writes through a file or a link already there.
TEST_P(EngineContract, RecoveryAndPreviewNeverWriteThroughAFileOrALinkAlreadyThere) {
    const _FILE_NODE_* found = File();
    ASSERT_NE(found, nullptr) << "no file of this engine on the demo disk";
    _FILE_NODE_ node = *found;
    std::ofstream(dir_.path() + "/taken") << "keep";
    EXPECT_EQ(engine_->SaveFileData(&node, Path("taken").c_str(), 0), EEXIST);
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back().percent, 100);
    EXPECT_EQ(g_reports.back().error, EEXIST);

    std::ofstream(dir_.path() + "/victim") << "victim";
    const auto victimKept = [&] {
        std::ifstream victim(dir_.path() + "/victim");
        return std::string(std::istreambuf_iterator<char>(victim), {}) == "victim";
    };
    ASSERT_EQ(symlink((dir_.path() + "/victim").c_str(), (dir_.path() + "/link").c_str()), 0);
    EXPECT_EQ(engine_->SaveFileData(&node, Path("link").c_str(), 0), EEXIST);
    EXPECT_TRUE(victimKept());

    EXPECT_EQ(engine_->SaveFileData(&node, Path("fresh").c_str(), 0), 0);
    struct stat st {};
    ASSERT_EQ(stat((dir_.path() + "/fresh").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), node.u64FileSize);

    const _FILE_NODE_* picture = File(true);
    ASSERT_NE(picture, nullptr) << "no picture of this engine on the demo disk";
    node = *picture;
    const std::string name = node.szFileName;
    const std::string root = GetScanLogRootPath();
    ASSERT_EQ(MakeFolderPath(root), 0);
    const std::string planted = root + "tmp" + name.substr(name.rfind('.'));
    ASSERT_EQ(symlink((dir_.path() + "/victim").c_str(), planted.c_str()), 0);
    char16_t tmp[512] = {};
    unsigned char buf[64];
    int len = sizeof buf;
    EXPECT_EQ(engine_->PreView(&node, tmp, 512, buf, len, nullptr, nullptr), 0);
    EXPECT_EQ(WideToUtf8(tmp), planted);
    EXPECT_TRUE(victimKept());
    ASSERT_EQ(lstat(planted.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), node.u64FileSize);
}

// A search reports its progress to the callback given last, up to 100 when all is read.
TEST_P(EngineContract, ASearchReportsItsProgressUpToTheEnd) {
    g_searchPercents.clear();
    ASSERT_EQ(engine_->InitSearchCallBack(RecordSearch, nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    EXPECT_EQ(engine_->SearchFileNode(u"*.jpg|*.png|*.txt|*.pdf|*.gif|*.other", found), 0);
    ASSERT_FALSE(g_searchPercents.empty());
    EXPECT_EQ(g_searchPercents.back(), 100);
    EXPECT_FALSE(found.empty());
}

// The path of a file's folder, given a buffer with no room for its terminator, is cut inside
// the buffer: nothing is written past it. A folder that cannot be made is a failure, reported.
TEST_P(EngineContract, FolderPathsStayInTheirBufferAndAFolderNotMadeIsAFailure) {
    if (GetParam().fileSource == FILE_SOURCE_FILE_TYPE)
        GTEST_SKIP() << "carved files have no folders";
    const auto* folder = FolderWithFiles();
    ASSERT_NE(folder, nullptr);
    _FILE_NODE_ parent = folder->first;
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine_->GetChildrenFileNode(&parent, folder->second, children), 0);
    ASSERT_FALSE(children.empty());
    char16_t whole[512] = {};
    ASSERT_EQ(engine_->GetFileNodeParentDirPath(&children[0], whole, 512), 0);
    const size_t length = std::u16string(whole).size();
    ASSERT_GT(length, 1u);
    std::vector<char16_t> exact(length + 1, u'#');
    engine_->GetFileNodeParentDirPath(&children[0], exact.data(), static_cast<int>(length));
    EXPECT_EQ(exact[length], u'#');
    EXPECT_EQ(std::u16string(exact.data()), std::u16string(whole).substr(0, length - 1));

    const std::u16string target = Path("missing/parent/folder");
    EXPECT_EQ(SaveFolder(*folder, target), ENOENT);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].percent, 100);
    EXPECT_EQ(g_reports[0].error, ENOENT);
    EXPECT_EQ(g_reports[0].path, WideToUtf8(target));
}

TEST_P(EngineContract, AnyNonZeroAnswerCancelsARecovery) {
    g_answer = 1;  // not ERROR_USER_CANCEL: any non-zero answer asks the engine to stop
    if (GetParam().fileSource != FILE_SOURCE_FILE_TYPE) {
        const auto* folder = FolderWithFiles();
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(SaveFolder(*folder, Path("cancelled")), ERROR_USER_CANCEL);
    } else {
        ASSERT_NE(File(), nullptr);
        _FILE_NODE_ node = *File();
        EXPECT_EQ(engine_->SaveFileData(&node, Path("cancelled").c_str(), 0), ERROR_USER_CANCEL);
    }
    ASSERT_FALSE(g_reports.empty());
    // The walk stops at the first file it reports on; no further file is begun.
    std::vector<std::string> begun;
    for (const Report& r : g_reports)
        if (begun.empty() || begun.back() != r.path) begun.push_back(r.path);
    EXPECT_EQ(begun.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    DemoDisk, EngineContract,
    ::testing::Values(Source{"QuickFat", FILE_SOURCE_FAST_FAT, kFatStart, kFatSectors, false},
                      Source{"QuickNtfs", FILE_SOURCE_FAST_NTFS, kNtfsStart, kNtfsSectors, false},
                      Source{"DeepFat", FILE_SOURCE_PRO_FAT, kFatStart, kFatSectors, true},
                      Source{"DeepNtfs", FILE_SOURCE_PRO_NTFS, kNtfsStart, kNtfsSectors, true},
                      Source{"Carving", FILE_SOURCE_FILE_TYPE, kFatStart, kFatSectors, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
