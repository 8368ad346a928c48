// The deep scan end to end on images made by real tools: the demo disk's FAT32 and NTFS
// partitions, a raw image without a file system, a cancelled and resumed pass.
#include "engine/professional_recovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "fat/fast_fat_recovery.h"
#include "fat_deep_test_support.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::FixtureDir;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

std::set<std::string> HashesIn(const std::string& folder) {
    std::set<std::string> hashes;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        hashes.insert(Sha256OfFile(entry.path().string()));
    }
    return hashes;
}

// The demo disk's partitions: FAT32 at 2048 (36864 sectors), NTFS at 38912 (32768 sectors).
constexpr long long kFatStart = 2048, kFatSectors = 36864;
constexpr long long kNtfsStart = 38912, kNtfsSectors = 32768;

class DeepScan : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = UnpackFixture("demo", dir_);
        hash_ = Sha256OfFile(image_);
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(image_), hash_) << "the scanned image changed";
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    std::unique_ptr<IFileRecoveryParse> Engine(long long start, long long count) {
        IFileRecoveryParse* engine =
            CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
                0, start, count, u'C', RECOVERY_TYPE_PROFESSIONAL);
        return std::unique_ptr<IFileRecoveryParse>(engine);
    }
    std::vector<__SEARCH_FILE_INFO__> ScanAndSearch(IFileRecoveryParse& engine) {
        static_cast<CProfessionalRecovery&>(engine).SetNotLoadLogFile();
        engine.InitCallBack(nullptr, nullptr, nullptr, 100);
        EXPECT_EQ(engine.ScanDevice(nullptr), 0);
        std::vector<__SEARCH_FILE_INFO__> found;
        engine.SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
        return found;
    }
    // Recovers everything found and checks the manifest's files came back byte-exact in
    // their type folders under their own names.
    void RecoverAndCheck(IFileRecoveryParse& engine, const std::vector<__SEARCH_FILE_INFO__>& found,
                         int partition) {
        TempDir out;
        CRecoveryJob job(&engine, nullptr, nullptr);
        job.Attach();
        ASSERT_EQ(job.Run(std::vector<_FILE_NODE_>(found.begin(), found.end()),
                          Utf8ToWide(out.path().c_str())),
                  0);
        EXPECT_EQ(job.Summary().uFailed, 0u);
        for (const ferrowen::test::DemoFile& f : ferrowen::test::LoadDemoManifest()) {
            if (f.partition != partition) continue;
            const std::string name = f.path.substr(f.path.rfind('/') + 1);
            // A deleted 8.3 entry without a long name comes back as "!" + the rest, so the
            // file is looked for by its content within its type folder.
            const std::set<std::string> hashes =
                HashesIn(out.path() + "/" + GetDirTypeByFileName(name.c_str()));
            EXPECT_EQ(hashes.count(f.sha256), 1u) << f.path;
        }
    }

    TempDir dir_;
    std::string image_, hash_;
};

TEST_F(DeepScan, FatPartitionGivesBackItsDeletedFilesWithoutCarvedDuplicates) {
    auto engine = Engine(kFatStart, kFatSectors);
    ASSERT_NE(engine, nullptr);
    const std::vector<__SEARCH_FILE_INFO__> found = ScanAndSearch(*engine);
    // Each deleted file once: the deep parsers' and the carving engine's copies of what the
    // quick engine lists are dropped.
    size_t expected = 0;
    for (const ferrowen::test::DemoFile& f : ferrowen::test::LoadDemoManifest())
        expected += f.partition == 1;
    EXPECT_EQ(found.size(), expected);
    std::set<uint32_t> sources;
    for (const auto& f : found) sources.insert(f.nFileSource);
    EXPECT_EQ(sources, (std::set<uint32_t>{FILE_SOURCE_FAST_FAT}));
    RecoverAndCheck(*engine, found, 1);
}

// The partition does not start at sector 0: every read of a file's data, the health test's
// too, must add where the volume starts, or a deleted photo is hidden as damaged and only its
// carved copy, nameless, is listed.
TEST_F(DeepScan, NtfsPartitionGivesBackItsDeletedFilesUnderTheirNames) {
    auto engine = Engine(kNtfsStart, kNtfsSectors);
    ASSERT_NE(engine, nullptr);
    const std::vector<__SEARCH_FILE_INFO__> found = ScanAndSearch(*engine);
    std::set<std::string> names;
    for (const auto& f : found) {
        if (f.nFileSource == FILE_SOURCE_FAST_NTFS) names.insert(f.szFileName);
    }
    for (const ferrowen::test::DemoFile& f : ferrowen::test::LoadDemoManifest()) {
        if (f.partition != 2) continue;
        EXPECT_EQ(names.count(f.path.substr(f.path.rfind('/') + 1)), 1u) << f.path;
    }
    RecoverAndCheck(*engine, found, 2);
}

TEST_F(DeepScan, TheBrowseTreeMergesEveryParserAndKeepsCarvedDuplicates) {
    auto engine = Engine(kFatStart, kFatSectors);
    ScanAndSearch(*engine);
    std::vector<_FILE_NODE_> roots;
    ASSERT_EQ(engine->GetChildrenFileNode(nullptr, 0, roots), 0);
    std::set<uint32_t> sources;
    for (const auto& r : roots) sources.insert(r.nFileSource);
    EXPECT_TRUE(sources.count(FILE_SOURCE_FAST_FAT));
    EXPECT_TRUE(sources.count(FILE_SOURCE_FILE_TYPE));
    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(engine->GetChildrenFileNode(nullptr, 1, none), RESULT_INVALID_ARGUMENT);
    unsigned int count = 0;
    EXPECT_EQ(engine->GetChildrenFileCount(nullptr, 0, count), 0);
    EXPECT_GT(count, 0u);
}

struct CancelAt {
    int percent;
    int seen = 0;
};
int CancelScan(void* ctx, int nPercent, int nWeight, int, uint64_t, uint64_t, uint64_t,
               const char16_t*) {
    auto* cancel = static_cast<CancelAt*>(ctx);
    if (nWeight != 90) return 0;
    cancel->seen = nPercent;
    return nPercent >= cancel->percent ? 1 : 0;
}

// A checkpoint is found again only while the free space reported for the device text is
// unchanged; an image beside the scan logs changes it with every store written, so these
// tests keep their image on a file system of its own. Test processes running side by side
// would change that one's free space too, so each holds a lock on it while it works there.
class SharedMemoryCopy {
public:
    explicit SharedMemoryCopy(const std::string& image) {
        lock_ = open("/dev/shm/ferrowen-resume.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_ >= 0) flock(lock_, LOCK_EX);
        char pattern[] = "/dev/shm/ferrowen-resume-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        path_ = folder_ + "/demo.img";
        std::filesystem::copy_file(image, path_);
        ::setenv("FERROWEN_DISKS", path_.c_str(), 1);
    }
    ~SharedMemoryCopy() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
        if (lock_ >= 0) close(lock_);  // releases the lock
    }
    SharedMemoryCopy(const SharedMemoryCopy&) = delete;
    SharedMemoryCopy& operator=(const SharedMemoryCopy&) = delete;
    bool ok() const { return !path_.empty(); }

private:
    int lock_ = -1;
    std::string folder_, path_;
};

TEST_F(DeepScan, ACancelledPassCheckpointsAndAResumedOneContinuesInTheSameFolder) {
    SharedMemoryCopy shared(image_);
    ASSERT_TRUE(shared.ok());
    std::string folder;
    uint64_t scanned = 0;
    {
        auto engine = Engine(kFatStart, kFatSectors);
        static_cast<CProfessionalRecovery&>(*engine).SetNotLoadLogFile();
        CancelAt cancel{50};  // 10 + 40 % of the pass
        engine->InitCallBack(CancelScan, nullptr, &cancel, 100);
        EXPECT_EQ(engine->ScanDevice(nullptr), ERROR_USER_CANCEL);
        const auto& entries = CLogFileManager::GetInstance()->GetLogFileInfos();
        ASSERT_EQ(entries.size(), 1u);
        folder = entries[0].szLogDirPath;
        scanned = entries[0].u64ScannedSectors;
        EXPECT_GT(scanned, 0u);
        EXPECT_LT(scanned, static_cast<uint64_t>(kFatSectors));
    }
    auto resumed = Engine(kFatStart, kFatSectors);
    auto& coordinator = static_cast<CProfessionalRecovery&>(*resumed);
    ASSERT_EQ(coordinator.IsFindLogFile(), 1);
    CancelAt never{1000};
    resumed->InitCallBack(CancelScan, nullptr, &never, 100);
    EXPECT_EQ(resumed->ScanDevice(nullptr), 0);
    const auto& entries = CLogFileManager::GetInstance()->GetLogFileInfos();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::string(entries[0].szLogDirPath), folder);
    EXPECT_GT(entries[0].u64ScannedSectors, scanned);
    std::vector<__SEARCH_FILE_INFO__> found;
    resumed->SearchFileNode(BuildSearchKey(FILE_TYPE_PHOTO).c_str(), found);
    EXPECT_FALSE(found.empty());
}

TEST_F(DeepScan, DecliningTheCheckpointStartsInANewFolder) {
    SharedMemoryCopy shared(image_);
    ASSERT_TRUE(shared.ok());
    {
        auto engine = Engine(kFatStart, kFatSectors);
        ScanAndSearch(*engine);
    }
    const std::string first = CLogFileManager::GetInstance()->GetLogFileInfos().at(0).szLogDirPath;
    auto engine = Engine(kFatStart, kFatSectors);
    auto& coordinator = static_cast<CProfessionalRecovery&>(*engine);
    ASSERT_EQ(coordinator.IsFindLogFile(), 1);
    coordinator.SetNotLoadLogFile();
    EXPECT_EQ(coordinator.IsFindLogFile(), 0);
    ScanAndSearch(*engine);
    const auto& entries = CLogFileManager::GetInstance()->GetLogFileInfos();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(std::string(entries[0].szLogDirPath), first);
}

TEST(DeepScanRaw, AnImageWithoutAFileSystemGivesBackItsFilesByCarving) {
    TempDir dir;
    const std::string image = dir.path() + "/carving.img";
    ASSERT_EQ(
        std::system(
            ("gzip -dc '" + FixtureDir() + "/carving/carving.img.gz' > '" + image + "'").c_str()),
        0);
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            Utf8ToWide(image.c_str()).c_str(), u'C', RECOVERY_TYPE_PROFESSIONAL));
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    EXPECT_GE(found.size(), 25u);
    for (const auto& f : found) EXPECT_EQ(f.nFileSource, uint32_t{FILE_SOURCE_FILE_TYPE});
    ::unsetenv("XDG_DATA_HOME");
}

// The pass reads 64 KiB chunks; every sector of a chunk is looked at, its last one too. Small
// pictures lie in the last sector of three chunks of an image without a file system.
TEST(DeepScanRaw, TheLastSectorOfEveryChunkIsParsed) {
    TempDir dir;
    const std::string image = dir.path() + "/raw.img";
    std::vector<char> bytes(1 << 20, 0);
    const std::vector<uint64_t> sectors = {127, 255, 1023};
    for (uint64_t sector : sectors) {
        char* p = bytes.data() + sector * 512;
        const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
        std::memcpy(p, head, sizeof head);
        for (int i = 16; i < 398; ++i) p[i] = static_cast<char>(0x20 + i % 64);
        p[398] = static_cast<char>(0xFF);
        p[399] = static_cast<char>(0xD9);
    }
    std::ofstream(image, std::ios::binary).write(bytes.data(), bytes.size());
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            Utf8ToWide(image.c_str()).c_str(), u'C', RECOVERY_TYPE_PROFESSIONAL));
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(u"*.jpg", found);
    std::vector<uint64_t> carved;
    for (const auto& f : found) carved.push_back(f.u64RecordSector);
    std::sort(carved.begin(), carved.end());
    EXPECT_EQ(carved, sectors);
    ::unsetenv("XDG_DATA_HOME");
}

// A video whose estimated length runs on until the next file-system sector used to swallow
// the folder stored right after it: the pass skips what a carved file covers, and a folder's
// first sector (its "." and ".." pair) did not count as file-system structure, so the deep FAT
// parser never saw the folder and its files were lost.
TEST(DeepScanRaw, AFolderRightAfterACarvedVideoIsNotSkipped) {
    using namespace ferrowen::test::deep;
    TempDir dir;
    constexpr uint32_t kSpc = 8, kBase = 64;
    HandImage image(dir, 2048, kSpc, kBase);
    std::vector<Entry> root;
    Add(root, NamedEntries(u"Docs", "DOCS       ", FAT_ATTR_DIRECTORY, 3, 0));
    Add(root, NamedEntries(u"Mail", "MAIL       ", FAT_ATTR_DIRECTORY, 4, 0));
    image.WriteFolder(2, root);
    std::vector<Entry> docs = DotPair(3, 0);
    Add(docs, NamedEntries(u"notes.txt", "NOTES   TXT", FAT_ATTR_ARCHIVE, 20, 300));
    image.WriteFolder(3, docs);
    image.WriteData(20, 300);
    std::vector<Entry> mail = DotPair(4, 0);
    Add(mail, NamedEntries(u"Inbox", "INBOX      ", FAT_ATTR_DIRECTORY, 8, 0));
    image.WriteFolder(4, mail);
    // Clusters 5-7: an MP4 without the trailer its estimator looks for, so its end is wherever
    // the next file or file-system sector starts.
    std::vector<unsigned char> video(3 * kSpc * kSector);
    uint32_t noise = 12345;
    for (unsigned char& b : video) {
        noise = noise * 1103515245u + 12345u;
        b = static_cast<unsigned char>(noise >> 16);
    }
    static const char kHeader[] =
        "\0\0\0\x20"
        "ftypisom"
        "\0\0\x02\0"
        "isomiso2avc1mp41"
        "\0\0\x2F\xE0"
        "mdat";
    std::memcpy(video.data(), kHeader, sizeof kHeader - 1);
    image.WriteBytes(image.ClusterSector(5), video.data(), video.size());
    std::vector<Entry> inbox = DotPair(8, 4);
    Add(inbox, NamedEntries(u"message 01.eml", "MESSAG~1EML", FAT_ATTR_ARCHIVE, 40, 700));
    image.WriteFolder(8, inbox);
    const std::string message = image.WriteData(40, 700);

    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            Utf8ToWide(image.path().c_str()).c_str(), u'C', RECOVERY_TYPE_PROFESSIONAL));
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    std::map<std::string, Found> tree;
    CollectTree(*engine, nullptr, 0, "", tree);

    // The video is carved, but only up to the folder.
    const Found* carved = nullptr;
    for (const auto& [path, found] : tree) {
        if (found.node.nFileSource == FILE_SOURCE_FILE_TYPE) carved = &found;
    }
    ASSERT_NE(carved, nullptr);
    EXPECT_EQ(carved->node.u64RecordSector, image.ClusterSector(5));
    EXPECT_EQ(carved->node.u64FileSize, uint64_t{3} * kSpc * kSector);

    ASSERT_EQ(tree.count("Mail/Inbox/message 01.eml"), 1u);
    _FILE_NODE_ node = tree.at("Mail/Inbox/message 01.eml").node;
    EXPECT_EQ(node.nFileSource, uint32_t{FILE_SOURCE_PRO_FAT});
    TempDir out;
    const std::string target = out.path() + "/message 01.eml";
    ASSERT_EQ(engine->SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0);
    EXPECT_EQ(ReadFile(target), message);
    EXPECT_EQ(tree.count("Docs/notes.txt"), 1u);
    ::unsetenv("XDG_DATA_HOME");
}

TEST(Factory, PicksTheEngineByFileSystemAndScanKind) {
    TempDir dir;
    const std::string fat = UnpackFixture("fat16", dir);
    const std::string blank = dir.path() + "/blank.img";
    std::ofstream(blank, std::ios::binary) << std::string(1 << 16, '\0');
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    ::setenv("FERROWEN_DISKS", (fat + ":" + blank).c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    std::unique_ptr<IFileRecoveryParse> quick(
        factory->CreateFileRecoveryInstance(0, 0, 32768, u'C', RECOVERY_TYPE_FAST));
    EXPECT_NE(dynamic_cast<CFastFatRecovery*>(quick.get()), nullptr);
    std::unique_ptr<IFileRecoveryParse> none(
        factory->CreateFileRecoveryInstance(1, 0, 128, u'C', RECOVERY_TYPE_FAST));
    EXPECT_EQ(none, nullptr);
    std::unique_ptr<IFileRecoveryParse> deep(
        factory->CreateFileRecoveryInstance(1, 0, 128, u'C', RECOVERY_TYPE_PROFESSIONAL));
    EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(deep.get()), nullptr);
    // A volume whose first 16 KiB cannot be read still gets a deep scan, never a quick one.
    std::unique_ptr<IFileRecoveryParse> tail(
        factory->CreateFileRecoveryInstance(1, 120, 8, u'C', RECOVERY_TYPE_PROFESSIONAL));
    EXPECT_NE(tail, nullptr);
    std::unique_ptr<IFileRecoveryParse> missing(
        factory->CreateFileRecoveryInstance(5, 0, 128, u'C', RECOVERY_TYPE_PROFESSIONAL));
    EXPECT_EQ(missing, nullptr);
    ::unsetenv("FERROWEN_DISKS");
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
