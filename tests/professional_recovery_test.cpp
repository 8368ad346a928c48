// The engine layer: the deep scan end to end on images made by real tools (the demo disk's FAT32
// and NTFS partitions, raw images without a file system, a cancelled and resumed pass), the
// factory that picks the engine for a volume, and the recovery job both front ends share with
// the helpers it stands on (search keys, type words, categories, safe names, the destination
// check).
#include "engine/professional_recovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
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
#include "ntfs_deep_test_support.h"
#include "store/file_writer.h"
#include "store/log_file_manager.h"
#include "store/store_engine.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;
using Results = std::vector<__SEARCH_FILE_INFO__>;
using Engine = std::unique_ptr<IFileRecoveryParse>;

// The demo disk's partitions: FAT32 at 2048 (36864 sectors), NTFS at 38912 (32768 sectors),
// exFAT at 73728 (32768 sectors).
constexpr long long kFatStart = 2048, kFatSectors = 36864;
constexpr long long kNtfsStart = 38912, kNtfsSectors = 32768;

std::vector<DemoFile> DemoFiles(int partition) {
    std::vector<DemoFile> files = LoadDemoManifest();
    std::erase_if(files, [&](const DemoFile& f) { return f.partition != partition; });
    return files;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

Results Search(IFileRecoveryParse& engine, uint32_t types = FILE_TYPE_ALL) {
    Results found;
    engine.SearchFileNode(BuildSearchKey(types).c_str(), found);
    return found;
}

// Every deep scan is run to its end with the scan-log root of the test's own.
class Sandbox : public ntfs::NtfsTest {
protected:
    static Engine Deep(long long start, long long count) {
        return Engine(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, start, count, u'C', RECOVERY_TYPE_PROFESSIONAL));
    }
    static Engine ByPath(const std::string& image) {
        return Engine(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            Utf8ToWide(image.c_str()).c_str(), u'C', RECOVERY_TYPE_PROFESSIONAL));
    }
    // Scans afresh, without a checkpoint, and lists everything found.
    static Results Scan(IFileRecoveryParse& engine) {
        engine.SetNotLoadLogFile();
        engine.InitCallBack(nullptr, nullptr, nullptr, 100);
        EXPECT_EQ(engine.ScanDevice(nullptr), 0);
        return Search(engine);
    }
};

class DeepScan : public Sandbox {
protected:
    void SetUp() override {
        NtfsTest::SetUp();
        image_ = UnpackFixture("demo", dir_);
        hash_ = Sha256OfFile(image_);
        ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(image_), hash_) << "the scanned image changed";
        NtfsTest::TearDown();
    }
    std::string image_, hash_;
};

// Each deleted file is listed once: the deep parsers' and the carving engine's copies of what
// the quick engine lists are dropped from the search, but the browse tree keeps every parser.
// (tests/damage/cli_test.cpp recovers each partition byte-exact into its original folders.)
TEST_F(DeepScan, FatPartitionListsEachDeletedFileOnceAndBrowsesEveryParser) {
    auto engine = Deep(kFatStart, kFatSectors);
    ASSERT_NE(engine, nullptr);
    const Results found = Scan(*engine);
    EXPECT_EQ(found.size(), DemoFiles(1).size());
    for (const auto& f : found) EXPECT_EQ(f.nFileSource, uint32_t{FILE_SOURCE_FAST_FAT});

    std::vector<_FILE_NODE_> roots;
    ASSERT_EQ(engine->GetChildrenFileNode(nullptr, 0, roots), 0);
    std::set<uint32_t> sources;
    for (const auto& r : roots) sources.insert(r.nFileSource);
    EXPECT_TRUE(sources.count(FILE_SOURCE_FAST_FAT));
    EXPECT_TRUE(sources.count(FILE_SOURCE_FILE_TYPE));
    EXPECT_EQ(engine->GetChildrenFileNode(nullptr, 1, roots), RESULT_INVALID_ARGUMENT);
    unsigned int count = 0;
    EXPECT_EQ(engine->GetChildrenFileCount(nullptr, 0, count), 0);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(engine->GetChildrenFileCount(nullptr, 1, count), RESULT_INVALID_ARGUMENT);
}

// The partition does not start at sector 0: every read of a file's data, the health test's
// too, must add where the volume starts, or a deleted photo is hidden as damaged and only its
// carved copy, nameless, is listed.
TEST_F(DeepScan, NtfsPartitionListsItsDeletedFilesUnderTheirNames) {
    auto engine = Deep(kNtfsStart, kNtfsSectors);
    ASSERT_NE(engine, nullptr);
    const Results found = Scan(*engine);
    std::set<std::string> names;
    for (const auto& f : found)
        if (f.nFileSource == FILE_SOURCE_FAST_NTFS) names.insert(f.szFileName);
    for (const DemoFile& f : DemoFiles(2)) EXPECT_EQ(names.count(BaseName(f.path)), 1u) << f.path;
}

// Cancels the pass over free sectors once it reaches *ctx percent.
int CancelScan(void* ctx, int nPercent, int nWeight, int, uint64_t, uint64_t, uint64_t,
               const char16_t*) {
    return nWeight == 90 && nPercent >= *static_cast<int*>(ctx) ? 1 : 0;
}

// A checkpoint is found again only while the free space reported for the device text is
// unchanged, which the stores written beside an image change: the image goes on a file system
// of its own, which tests running side by side share under a lock.
class SharedMemoryCopy {
public:
    explicit SharedMemoryCopy(const std::string& image) {
        lock_ = open("/dev/shm/ferrowen-resume.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_ >= 0) flock(lock_, LOCK_EX);
        char pattern[] = "/dev/shm/ferrowen-resume-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder_ = pattern;
        std::filesystem::copy_file(image, folder_ + "/demo.img");
        ::setenv("FERROWEN_DISKS", (folder_ + "/demo.img").c_str(), 1);
    }
    ~SharedMemoryCopy() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
        if (lock_ >= 0) close(lock_);  // releases the lock
    }
    bool ok() const { return !folder_.empty(); }

private:
    int lock_ = -1;
    std::string folder_;
};

const _LOG_FILE_INFO_& OnlyCheckpoint() {
    const auto& entries = CLogFileManager::GetInstance()->GetLogFileInfos();
    EXPECT_EQ(entries.size(), 1u);
    return entries.at(0);
}

// Declined, the checkpoint of the finished pass goes and the next pass starts afresh.
TEST_F(DeepScan, ACancelledPassCheckpointsAndAResumedOneContinuesInTheSameFolder) {
    SharedMemoryCopy shared(image_);
    ASSERT_TRUE(shared.ok());
    auto engine = Deep(kFatStart, kFatSectors);
    engine->SetNotLoadLogFile();
    int percent = 50;  // 10 + 40 % of the pass
    engine->InitCallBack(CancelScan, nullptr, &percent, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), ERROR_USER_CANCEL);
    const std::string folder = OnlyCheckpoint().szLogDirPath;
    const uint64_t scanned = OnlyCheckpoint().u64ScannedSectors;
    EXPECT_GT(scanned, 0u);
    EXPECT_LT(scanned, static_cast<uint64_t>(kFatSectors));

    engine.reset();
    engine = Deep(kFatStart, kFatSectors);
    ASSERT_EQ(engine->IsFindLogFile(), 1);
    percent = 1000;
    engine->InitCallBack(CancelScan, nullptr, &percent, 100);
    EXPECT_EQ(engine->ScanDevice(nullptr), 0);
    EXPECT_EQ(std::string(OnlyCheckpoint().szLogDirPath), folder);
    EXPECT_GT(OnlyCheckpoint().u64ScannedSectors, scanned);
    EXPECT_FALSE(Search(*engine, FILE_TYPE_PHOTO).empty());

    engine.reset();
    engine = Deep(kFatStart, kFatSectors);
    ASSERT_EQ(engine->IsFindLogFile(), 1);
    engine->SetNotLoadLogFile();
    EXPECT_EQ(engine->IsFindLogFile(), 0);
    Scan(*engine);
    EXPECT_NE(std::string(OnlyCheckpoint().szLogDirPath), folder);
}

using DeepScanRaw = Sandbox;

// An image without a file system, opened by its path, is carved. The pass reads 64 KiB chunks;
// every sector of a chunk is looked at, its last one too: small pictures lie in the last sector
// of three chunks.
TEST_F(DeepScanRaw, TheLastSectorOfEveryChunkIsParsed) {
    const std::string image = dir_.path() + "/raw.img";
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
    auto engine = ByPath(image);
    ASSERT_NE(engine, nullptr);
    std::vector<uint64_t> carved;
    for (const auto& f : Scan(*engine)) carved.push_back(f.u64RecordSector);
    std::sort(carved.begin(), carved.end());
    EXPECT_EQ(carved, sectors);
}

// A video whose estimated length runs on until the next file-system sector used to swallow
// the folder stored right after it: the pass skips what a carved file covers, and a folder's
// first sector (its "." and ".." pair) did not count as file-system structure, so the deep FAT
// parser never saw the folder and its files were lost.
TEST_F(DeepScanRaw, AFolderRightAfterACarvedVideoIsNotSkipped) {
    using namespace ferrowen::test::deep;
    constexpr uint32_t kSpc = 8;
    HandImage image(dir_, 2048, kSpc, 64);
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
    for (unsigned char& b : video) b = (noise = noise * 1103515245u + 12345u) >> 16;
    static const char kHeader[] = "\0\0\0 ftypisom\0\0\x02\0isomiso2avc1mp41\0\0\x2F\xE0mdat";
    std::memcpy(video.data(), kHeader, sizeof kHeader - 1);
    image.WriteBytes(image.ClusterSector(5), video.data(), video.size());
    std::vector<Entry> inbox = DotPair(8, 4);
    Add(inbox, NamedEntries(u"message 01.eml", "MESSAG~1EML", FAT_ATTR_ARCHIVE, 40, 700));
    image.WriteFolder(8, inbox);
    const std::string message = image.WriteData(40, 700);

    auto engine = ByPath(image.path());
    ASSERT_NE(engine, nullptr);
    Scan(*engine);
    std::map<std::string, Found> tree;
    CollectTree(*engine, nullptr, 0, "", tree);
    // The video is carved, but only up to the folder.
    const _FILE_NODE_* carved = nullptr;
    for (const auto& [path, found] : tree)
        if (found.node.nFileSource == FILE_SOURCE_FILE_TYPE) carved = &found.node;
    ASSERT_NE(carved, nullptr);
    EXPECT_EQ(carved->u64RecordSector, image.ClusterSector(5));
    EXPECT_EQ(carved->u64FileSize, uint64_t{3} * kSpc * kSector);

    ASSERT_EQ(tree.count("Mail/Inbox/message 01.eml"), 1u);
    _FILE_NODE_ node = tree.at("Mail/Inbox/message 01.eml").node;
    EXPECT_EQ(node.nFileSource, uint32_t{FILE_SOURCE_PRO_FAT});
    const std::string target = dir_.path() + "/message 01.eml";
    ASSERT_EQ(engine->SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0);
    EXPECT_EQ(ReadFile(target), message);
    EXPECT_EQ(tree.count("Docs/notes.txt"), 1u);
}

using Factory = Sandbox;

TEST_F(Factory, PicksTheEngineByFileSystemAndScanKind) {
    const std::string fat = UnpackFixture("fat16", dir_);
    const std::string blank = dir_.path() + "/blank.img";
    std::ofstream(blank, std::ios::binary) << std::string(1 << 16, '\0');
    ::setenv("FERROWEN_DISKS", (fat + ":" + blank).c_str(), 1);
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    const auto make = [&](int disk, long long start, long long count, RECOVERY_TYPE type) {
        return std::unique_ptr<IFileRecoveryParse>(
            factory->CreateFileRecoveryInstance(disk, start, count, u'C', type));
    };
    EXPECT_NE(dynamic_cast<CFastFatRecovery*>(make(0, 0, 32768, RECOVERY_TYPE_FAST).get()),
              nullptr);
    EXPECT_EQ(make(1, 0, 128, RECOVERY_TYPE_FAST), nullptr);
    EXPECT_NE(
        dynamic_cast<CProfessionalRecovery*>(make(1, 0, 128, RECOVERY_TYPE_PROFESSIONAL).get()),
        nullptr);
    // A volume whose first 16 KiB cannot be read still gets a deep scan, never a quick one.
    EXPECT_NE(make(1, 120, 8, RECOVERY_TYPE_PROFESSIONAL), nullptr);
    EXPECT_EQ(make(5, 0, 128, RECOVERY_TYPE_PROFESSIONAL), nullptr);
}

std::string Key(uint32_t mask) {
    return WideToUtf8(BuildSearchKey(mask));
}

TEST(SearchKey, FollowsTheTickedTypesKeepsEntriesWholeAndParsesTypeWords) {
    EXPECT_EQ(Key(FILE_TYPE_OTHER), "*.other");
    const std::string photo = Key(FILE_TYPE_PHOTO);
    EXPECT_EQ(photo.rfind("*.bmp|*.gif|*.jpg|", 0), 0u);
    EXPECT_EQ(photo.find("*.mp3"), std::string::npos);
    // The music list has no closing bar; joining lists must not glue two entries together.
    EXPECT_NE(Key(FILE_TYPE_MUSIC | FILE_TYPE_DOCUMENT).find("*.mmf|*.doc|"), std::string::npos);
    EXPECT_NE(Key(FILE_TYPE_ARCHIVE).find("*.txz|*.pdf|*.doc|"), std::string::npos);
    const std::string all = Key(FILE_TYPE_ALL);
    EXPECT_LT(all.find("*.jpg"), all.find("*.mp3"));
    EXPECT_LT(all.find("*.mp3"), all.find("*.odt"));
    EXPECT_LT(all.find("*.odt"), all.find("*.rmvb"));
    EXPECT_EQ(all.substr(all.size() - 8), "|*.other");
    uint32_t mask = 0;
    EXPECT_TRUE(ParseFileTypes("photo,Video", mask));
    EXPECT_EQ(mask, FILE_TYPE_PHOTO | FILE_TYPE_VIDEO);
    EXPECT_TRUE(ParseFileTypes("all", mask));
    EXPECT_EQ(mask, uint32_t{FILE_TYPE_ALL});
    EXPECT_FALSE(ParseFileTypes("photo,pictures", mask));
    EXPECT_FALSE(ParseFileTypes("", mask));
}

TEST(Classification, CategoriesRecoveryFoldersAndSafeNames) {
    // name, category, folder: whole entries of the lists only (.ra is neither .raw nor .rar).
    for (const char* line :
         {"IMG_0001.JPG Photo photo", "song.mp3 Music audio", "letter.doc Office document",
          "clip.mp4 Video video", "backup.zip Archive archive", "table.csv Archive archive",
          "voice.ra Music audio", "a.b Other others", "README Other others",
          "folder.jpg/inside Other others"}) {
        std::istringstream words(line);
        std::string name, label, folder;
        words >> name >> label >> folder;
        EXPECT_EQ(GetCategoryLabel(ClassifyFileName(name.c_str())), label) << name;
        EXPECT_EQ(GetDirTypeByFileName(name.c_str()), folder) << name;
    }
    EXPECT_EQ(SafeFileNameComponent("../../etc/passwd"), u".._.._etc_passwd");
    EXPECT_EQ(SafeFileNameComponent(".."), u"_");
    EXPECT_EQ(SafeFileNameComponent("a\x1b[2Jb\nc\x7f"), u"a_[2Jb_c_");  // no control character
    EXPECT_EQ(SafeFileNameComponent(""), u"_");
    EXPECT_EQ(SafeFileNameComponent("\xE7\x85\xA7.jpg"), u"照.jpg");
}

// An engine that writes each record's name as its content, fails records named "bad*",
// reports nothing for records named "silent*", and cancels at records named "stop*".
class FakeEngine : public CStoreEngine {
public:
    int Init(int, long long, long long, char16_t) override { return 0; }
    int Init(const char16_t*, char16_t) override { return 0; }
    int ScanDevice(const char16_t*) override { return 0; }
    int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override { return 0; }
    int BuildBitMapInfo() override { return 1; }
    int SaveFileData(_FILE_NODE_* node, const char16_t* path, int) override {
        const std::string name = node->szFileName;
        if (name.starts_with("stop")) return ReportRecovery(0, 0, path);
        if (name.starts_with("silent")) return 0;
        if (name.starts_with("bad")) {
            ReportRecovery(100, ENOSPC, path);
            return ENOSPC;
        }
        std::ofstream(WideToUtf8(path)) << name;
        return ReportRecovery(100, 0, path);
    }
    // Records name their folder by their cluster number.
    int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* path, int n) override {
        static const std::u16string kFolders[] = {u"", u"DCIM/100CANON/", u"LostFolder7/sub/",
                                                  u"../../etc/"};
        const std::u16string& folder = kFolders[node->uClusterNO % 4];
        const size_t k = std::min(folder.size(), static_cast<size_t>(n - 1));
        folder.copy(path, k);
        path[k] = u'\0';
        return 0;
    }

protected:
    int ReadRecordData(const _FILE_NODE_&, uint64_t, const DATA_SINK&) override { return 0; }
};

class RecoveryJob : public ::testing::Test {
protected:
    // Recovers records of the given names into dest; the job's result.
    int Run(const std::vector<const char*>& names, const std::string& dest,
            RECOVERY_CALLBACK cb = nullptr) {
        std::vector<_FILE_NODE_> records(names.size());
        for (size_t i = 0; i < names.size(); ++i)
            std::snprintf(records[i].szFileName, sizeof records[i].szFileName, "%s", names[i]);
        for (size_t i = 0; i < names.size(); ++i) {
            records[i].nFileSource = source_;
            records[i].uClusterNO = static_cast<uint32_t>(i);
            records[i].ftLastChangeTime.dwLowDateTime = 1600000000u + static_cast<uint32_t>(i);
        }
        CRecoveryJob job(&engine_, cb, nullptr);
        job.SetLayout(layout_);
        job.Attach();
        const int result = job.Run(records, Utf8ToWide(dest.c_str()));
        summary_ = job.Summary();
        return result;
    }
    TempDir dir_;
    FakeEngine engine_;
    RECOVERY_SUMMARY summary_;
    RecoveryLayout layout_ = RecoveryLayout::ByType;
    uint32_t source_ = FILE_SOURCE_FAST_FAT;
};

TEST_F(RecoveryJob, SortsIntoTypeFoldersUnderFreeNamesAndCountsOutcomes) {
    ASSERT_EQ(Run({"a.jpg", "a.jpg", "song.mp3", "bad.doc", "silent.txt", "../escape"},
                  dir_.path() + "/out"),
              0);
    EXPECT_EQ(summary_.uRecovered, 4u);  // a.jpg twice, song.mp3, the escaped name
    EXPECT_EQ(summary_.uFailed, 2u);     // bad.doc reported, silent.txt never written
    EXPECT_FALSE(summary_.bCancelled);
    for (const char* path : {"/out/photo/a.jpg", "/out/photo/a(1).jpg", "/out/audio/song.mp3",
                             "/out/others/.._escape"})
        EXPECT_TRUE(std::filesystem::exists(dir_.path() + path)) << path;
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/escape"));
    std::set<int> errors;
    for (const auto& [path, error] : summary_.failures) errors.insert(error);
    EXPECT_EQ(errors, (std::set<int>{EIO, ENOSPC}));
}

// As they were: under the folder the record names (a lost one under LostFolder/, a hostile one
// kept below the destination) with its modification time; carved files by type.
TEST_F(RecoveryJob, KeepsTheOriginalFoldersAndTimesAndCarvedFilesGoByType) {
    layout_ = RecoveryLayout::Original;
    ASSERT_EQ(Run({"root.txt", "IMG_1.JPG", "lost.txt", "evil.txt"}, dir_.path() + "/out"), 0);
    for (const auto& [path, seconds] : std::vector<std::pair<const char*, time_t>>{
             {"/out/root.txt", 1600000000},
             {"/out/DCIM/100CANON/IMG_1.JPG", 1600000001},
             {"/out/LostFolder/LostFolder7/sub/lost.txt", 1600000002},
             {"/out/_/_/etc/evil.txt", 1600000003}}) {
        struct stat st {};
        ASSERT_EQ(stat((dir_.path() + path).c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtim.tv_sec, seconds) << path;
    }
    source_ = FILE_SOURCE_FILE_TYPE;
    ASSERT_EQ(Run({"f0001.jpg"}, dir_.path() + "/carved-out"), 0);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/carved-out/carved/photo/f0001.jpg"));
}

int CancelAtStop(void*, int, int, int, const char16_t* path) {
    return WideToUtf8(path).find("stop") != std::string::npos ? ERROR_USER_CANCEL : 0;
}

TEST_F(RecoveryJob, StopsWhenTheUserCancels) {
    EXPECT_EQ(Run({"one.txt", "stop.txt", "never.txt"}, dir_.path(), CancelAtStop),
              ERROR_USER_CANCEL);
    EXPECT_TRUE(summary_.bCancelled);
    EXPECT_EQ(summary_.uRecovered, 1u);
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/others/never.txt"));
}

TEST_F(RecoveryJob, EachRunOfAJobCountsOnlyItsOwnFiles) {
    CRecoveryJob job(&engine_, nullptr, nullptr);
    job.Attach();
    std::vector<_FILE_NODE_> records(1);
    std::snprintf(records[0].szFileName, sizeof records[0].szFileName, "bad.doc");
    ASSERT_EQ(job.Run(records, Utf8ToWide((dir_.path() + "/first").c_str())), 0);
    EXPECT_EQ(job.Summary().uFailed, 1u);
    std::snprintf(records[0].szFileName, sizeof records[0].szFileName, "a.jpg");
    ASSERT_EQ(job.Run(records, Utf8ToWide((dir_.path() + "/second").c_str())), 0);
    EXPECT_EQ(job.Summary().uRecovered, 1u);
    EXPECT_EQ(job.Summary().uFailed, 0u) << "the first run's failure is not this run's";
}

TEST_F(RecoveryJob, ADestinationThatCannotBeMadeIsReported) {
    std::ofstream(dir_.path() + "/file") << "x";
    EXPECT_NE(Run({"a.jpg"}, dir_.path() + "/file/out"), 0);
    EXPECT_EQ(summary_.uRecovered, 0u);
}

TEST(DestinationCheck, FindsADestinationOnTheScannedDisk) {
    EXPECT_EQ(IsDestinationOnDevice("/tmp", "/nonexistent"), 0);
    TempDir dir;
    std::ofstream(dir.path() + "/disk.img") << "x";
    EXPECT_EQ(IsDestinationOnDevice(dir.path(), dir.path() + "/disk.img"), 0);  // never written
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    char resolved[PATH_MAX];
    const std::string link = "/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" +
                             std::to_string(minor(root.st_dev));
    if (realpath(link.c_str(), resolved) == nullptr)
        GTEST_SKIP() << "root is not on a block device";
    std::string disk = resolved;
    if (std::filesystem::exists(disk + "/partition")) disk = disk.substr(0, disk.rfind('/'));
    const std::string device = "/dev/" + disk.substr(disk.rfind('/') + 1);
    if (!std::filesystem::exists(device)) GTEST_SKIP() << device << " not present";
    EXPECT_EQ(IsDestinationOnDevice("/no/such/folder/below/root", device), 1);
}

}  // namespace
