#include "engine/recovery_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "store/file_writer.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;

std::string Key(uint32_t mask) {
    return WideToUtf8(BuildSearchKey(mask));
}

TEST(SearchKey, FollowsTheTickedTypesAndKeepsEntriesWhole) {
    EXPECT_EQ(Key(FILE_TYPE_OTHER), "*.other");
    const std::string photo = Key(FILE_TYPE_PHOTO);
    EXPECT_EQ(photo.rfind("*.bmp|*.gif|*.jpg|", 0), 0u);
    EXPECT_EQ(photo.find("*.mp3"), std::string::npos);
    // The music list has no closing bar; joining lists must not glue two entries together.
    const std::string musicAndDocs = Key(FILE_TYPE_MUSIC | FILE_TYPE_DOCUMENT);
    EXPECT_NE(musicAndDocs.find("*.snd|*.doc|"), std::string::npos);
    const std::string archive = Key(FILE_TYPE_ARCHIVE);
    EXPECT_NE(archive.find("*.dmg|*.pdf|*.doc|"), std::string::npos);  // then the office list
    const std::string all = Key(FILE_TYPE_ALL);
    EXPECT_LT(all.find("*.jpg"), all.find("*.mp3"));
    EXPECT_LT(all.find("*.mp3"), all.find("*.odt"));
    EXPECT_LT(all.find("*.odt"), all.find("*.rmvb"));
    EXPECT_EQ(all.substr(all.size() - 8), "|*.other");
}

TEST(SearchKey, ParsesTypeWords) {
    uint32_t mask = 0;
    EXPECT_TRUE(ParseFileTypes("photo,Video", mask));
    EXPECT_EQ(mask, FILE_TYPE_PHOTO | FILE_TYPE_VIDEO);
    EXPECT_TRUE(ParseFileTypes("all", mask));
    EXPECT_EQ(mask, uint32_t{FILE_TYPE_ALL});
    EXPECT_FALSE(ParseFileTypes("photo,pictures", mask));
    EXPECT_FALSE(ParseFileTypes("", mask));
}

TEST(Classification, CategoriesAndRecoveryFolders) {
    struct Case {
        const char* name;
        const char* label;
        const char* folder;
    };
    for (const Case& c : std::vector<Case>{{"IMG_0001.JPG", "Photo", "photo"},
                                           {"song.mp3", "Music", "audio"},
                                           {"letter.doc", "Office", "document"},
                                           {"clip.mp4", "Video", "video"},
                                           {"backup.zip", "Archive", "archive"},
                                           {"table.csv", "Archive", "archive"},
                                           {"voice.ra", "Music", "audio"},  // not .raw or .rar
                                           {"a.b", "Other", "others"},
                                           {"README", "Other", "others"},
                                           {"folder.jpg/inside", "Other", "others"}}) {
        EXPECT_STREQ(GetCategoryLabel(ClassifyFileName(c.name)), c.label) << c.name;
        EXPECT_STREQ(GetDirTypeByFileName(c.name), c.folder) << c.name;
    }
}

TEST(Classification, NamesFromDiskAreSafePathComponents) {
    EXPECT_EQ(SafeFileNameComponent("../../etc/passwd"), u".._.._etc_passwd");
    EXPECT_EQ(SafeFileNameComponent(".."), u"_");
    EXPECT_EQ(SafeFileNameComponent(""), u"_");
    EXPECT_EQ(SafeFileNameComponent("\xD5\xD5.jpg"), u"照.jpg");
}

// An engine that writes each record's name as its content, fails records named "bad*",
// reports nothing for records named "silent*", and cancels at records named "stop*".
class FakeEngine : public IFileRecoveryParse {
public:
    int Init(int, long long, long long, char16_t) override { return 0; }
    int Init(const char16_t*, char16_t) override { return 0; }
    int InitCallBack(SCAN_CALLBACK, RECOVERY_CALLBACK cb, void* ctx, int) override {
        cb_ = cb;
        ctx_ = ctx;
        return 0;
    }
    int ScanDevice(const char16_t*) override { return 0; }
    int GetChildrenFileNode(_FILE_NODE_*, unsigned int, std::vector<_FILE_NODE_>&) override {
        return 0;
    }
    int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
    unsigned int GetLostFileCount() override { return 0; }
    int GetFileNodeParentDirPath(_FILE_NODE_*, char16_t*, int) override { return 0; }
    int SaveFileData(_FILE_NODE_* node, const char16_t* path, int) override {
        const std::string name = node->szFileName;
        if (name.rfind("stop", 0) == 0) return cb_(ctx_, 0, 100, 0, path);
        if (name.rfind("silent", 0) == 0) return 0;
        if (name.rfind("bad", 0) == 0) {
            cb_(ctx_, 100, 100, ENOSPC, path);
            return ENOSPC;
        }
        std::ofstream(WideToUtf8(path)) << name;
        return cb_(ctx_, 100, 100, 0, path);
    }
    int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override { return 0; }
    int InitSearchCallBack(SEARCH_CALLBACK, void*) override { return 0; }
    int SearchFileNode(const char16_t*, std::vector<__SEARCH_FILE_INFO__>&) override { return 0; }
    int BuildBitMapInfo() override { return 1; }
    int PreView(_FILE_NODE_*, char16_t*, int, unsigned char*, int&, PREVIEW_CALLBACK,
                void*) override {
        return 0;
    }
    int IsFindLogFile() const override { return 0; }
    int SetNotLoadLogFile() override { return 0; }
    bool SawDamage() const override { return false; }

private:
    RECOVERY_CALLBACK cb_ = nullptr;
    void* ctx_ = nullptr;
};

_FILE_NODE_ Record(const char* name) {
    _FILE_NODE_ node{};
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name);
    return node;
}

int CancelAtStop(void*, int, int, int, const char16_t* path) {
    return WideToUtf8(path).find("stop") != std::string::npos ? ERROR_USER_CANCEL : 0;
}

TEST(RecoveryJob, SortsIntoTypeFoldersUnderFreeNamesAndCountsOutcomes) {
    TempDir dir;
    FakeEngine engine;
    CRecoveryJob job(&engine, nullptr, nullptr);
    job.Attach();
    const std::vector<_FILE_NODE_> records = {Record("a.jpg"),      Record("a.jpg"),
                                              Record("song.mp3"),   Record("bad.doc"),
                                              Record("silent.txt"), Record("../escape")};
    const std::u16string dest = Utf8ToWide((dir.path() + "/out").c_str());
    ASSERT_EQ(job.Run(records, dest), 0);
    const RECOVERY_SUMMARY& summary = job.Summary();
    EXPECT_EQ(summary.uRecovered, 4u);  // a.jpg twice, song.mp3, the escaped name
    EXPECT_EQ(summary.uFailed, 2u);     // bad.doc reported, silent.txt never written
    EXPECT_FALSE(summary.bCancelled);
    struct stat st;
    for (const char* path : {"/out/photo/a.jpg", "/out/photo/a(1).jpg", "/out/audio/song.mp3",
                             "/out/others/.._escape"}) {
        EXPECT_EQ(stat((dir.path() + path).c_str(), &st), 0) << path;
    }
    EXPECT_NE(stat((dir.path() + "/escape").c_str(), &st), 0);
    bool sawEio = false, sawNoSpace = false;
    for (const auto& [path, error] : summary.failures) {
        sawEio = sawEio || error == EIO;
        sawNoSpace = sawNoSpace || error == ENOSPC;
    }
    EXPECT_TRUE(sawEio && sawNoSpace);
}

TEST(RecoveryJob, StopsWhenTheUserCancels) {
    TempDir dir;
    FakeEngine engine;
    CRecoveryJob job(&engine, CancelAtStop, nullptr);
    job.Attach();
    const std::vector<_FILE_NODE_> records = {Record("one.txt"), Record("stop.txt"),
                                              Record("never.txt")};
    EXPECT_EQ(job.Run(records, Utf8ToWide(dir.path().c_str())), ERROR_USER_CANCEL);
    EXPECT_TRUE(job.Summary().bCancelled);
    EXPECT_EQ(job.Summary().uRecovered, 1u);
    struct stat st;
    EXPECT_NE(stat((dir.path() + "/others/never.txt").c_str(), &st), 0);
}

TEST(RecoveryJob, ADestinationThatCannotBeMadeIsReported) {
    TempDir dir;
    const std::string blocker = dir.path() + "/file";
    std::ofstream(blocker) << "x";
    FakeEngine engine;
    CRecoveryJob job(&engine, nullptr, nullptr);
    job.Attach();
    EXPECT_NE(job.Run({Record("a.jpg")}, Utf8ToWide((blocker + "/out").c_str())), 0);
    EXPECT_EQ(job.Summary().uRecovered, 0u);
}

TEST(DestinationCheck, FindsADestinationOnTheScannedDisk) {
    EXPECT_EQ(IsDestinationOnDevice("/tmp", "/nonexistent"), 0);
    TempDir dir;
    const std::string image = dir.path() + "/disk.img";
    std::ofstream(image) << "x";
    EXPECT_EQ(IsDestinationOnDevice(dir.path(), image), 0);  // images are never written
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    char resolved[PATH_MAX];
    const std::string link = "/sys/dev/block/" + std::to_string(major(root.st_dev)) + ":" +
                             std::to_string(minor(root.st_dev));
    if (realpath(link.c_str(), resolved) == nullptr)
        GTEST_SKIP() << "root is not on a block device";
    std::string disk = resolved;
    if (stat((disk + "/partition").c_str(), &root) == 0) disk = disk.substr(0, disk.rfind('/'));
    const std::string device = "/dev/" + disk.substr(disk.rfind('/') + 1);
    if (access(device.c_str(), F_OK) != 0) GTEST_SKIP() << device << " not present";
    EXPECT_EQ(IsDestinationOnDevice("/no/such/folder/below/root", device), 1);
}

}  // namespace
