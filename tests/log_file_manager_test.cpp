// The scan-log index: where the log root lies, loading "config" (also torn or half rewritten),
// checkpoints, resume checks, and scan folders, which are deleted only inside the root.
#include "store/log_file_manager.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/debug_log.h"
#include "foundation/result.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;
namespace fs = std::filesystem;

// A device text for which no free space can be had: its fingerprint is always 0, so that
// checkpoints in these tests do not depend on how full the test machine's disks are.
constexpr char kStableDevice[] = "not-a-path";

std::vector<std::string> g_messages;
void CaptureMessage(const char* message) {
    g_messages.push_back(message);
}

_LOG_FILE_INFO_ Entry(uint32_t disk, uint64_t start, uint64_t count, const std::string& dir,
                      uint64_t fingerprint = 0) {
    _LOG_FILE_INFO_ info;
    std::memset(&info, 0, sizeof info);
    info.nDiskNumber = disk;
    info.uRecordCodec = kRecordCodecUtf8;
    info.u64StartSector = start;
    info.u64SectorCount = count;
    info.u64RangeStart = 11;
    info.u64FilesFound = 42;
    info.u64Fingerprint = fingerprint;
    std::strncpy(info.szLogDirPath, dir.c_str(), sizeof info.szLogDirPath - 1);
    return info;
}

void MakeFile(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "data";
}

class LogIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        root_ = dir_.path() + "/Ferrowen/ScanLog/";
        manager_ = CLogFileManager::GetInstance();
        manager_->Init();
        g_messages.clear();
        SetDebugSink(CaptureMessage);
    }
    void TearDown() override { SetDebugSink(nullptr); }

    // Writes the index file and loads it.
    void Index(long long counter, const std::vector<_LOG_FILE_INFO_>& entries,
               const char* name = "config", size_t extraBytes = 0) {
        std::ofstream out(root_ + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(&counter), sizeof counter);
        for (const auto& e : entries) out.write(reinterpret_cast<const char*>(&e), sizeof e);
        out << std::string(extraBytes, 'x');
        out.close();
        ASSERT_EQ(manager_->Init(), 0);
    }
    std::string DirPath() {
        char path[256];
        EXPECT_EQ(manager_->GetLogFileDirPath(path, sizeof path), 0);
        return path;
    }
    int Checkpoint(uint32_t disk, uint64_t count, const std::string& folder,
                   const char* devicePath = "") {
        return manager_->SaveLogFileInfo(kStableDevice, disk, 2048, count, 5, 50, 7, 90, 3,
                                         folder.c_str(), devicePath);
    }
    const std::vector<_LOG_FILE_INFO_>& Entries() { return manager_->GetLogFileInfos(); }

    TempDir dir_;
    std::string root_;
    CLogFileManager* manager_ = nullptr;
};

TEST_F(LogIndexTest, RootLiesUnderXdgDataHomeOrHomeAndIsCreated) {
    EXPECT_EQ(manager_->GetLogRootPath(), root_);
    EXPECT_TRUE(fs::is_directory(root_));
    EXPECT_EQ(DirPath(), root_ + "0/");
    char small[8];
    EXPECT_EQ(manager_->GetLogFileDirPath(small, sizeof small), RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(manager_->GetLogFileDirPath(small, 0), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(manager_->GetLogFileDirPath(nullptr, 8), RESULT_INVALID_ARGUMENT);

    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    ::setenv("HOME", "/home/someone/", 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);  // ignored, as the standard asks
    EXPECT_EQ(GetScanLogRootPath(), "/home/someone/.local/share/Ferrowen/ScanLog/");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(GetScanLogRootPath(), "/home/someone/.local/share/Ferrowen/ScanLog/");
    ::setenv("XDG_DATA_HOME", "/data/", 1);
    EXPECT_EQ(GetScanLogRootPath(), "/data/Ferrowen/ScanLog/");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
}

TEST_F(LogIndexTest, IndexLoadsEveryWholeEntryOfWhateverIsOnDisk) {
    EXPECT_EQ(manager_->Init(), RESULT_INVALID_ARGUMENT);  // created empty by the first Init
    EXPECT_TRUE(fs::exists(root_ + "config"));
    EXPECT_EQ(manager_->GetDirIndex(), 0);
    std::ofstream(root_ + "config") << "abc";  // too short for the counter
    EXPECT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->GetDirIndex(), 0);
    EXPECT_TRUE(Entries().empty());
    // The counter, then whole entries; a torn last one is ignored.
    Index(7, {Entry(1, 2, 3, root_ + "6/"), Entry(4, 5, 6, root_ + "7/")}, "config", 100);
    EXPECT_EQ(manager_->GetDirIndex(), 7);
    ASSERT_EQ(Entries().size(), 2u);
    EXPECT_EQ(Entries()[1].u64SectorCount, 6u);
    EXPECT_EQ(DirPath(), root_ + "7/");
    // Texts without terminator are cut inside their fields.
    _LOG_FILE_INFO_ entry = Entry(1, 2, 3, "");
    std::memset(entry.szDevicePath, 'D', sizeof entry.szDevicePath);
    std::memset(entry.szLogDirPath, 'L', sizeof entry.szLogDirPath);
    Index(1, {entry});
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(std::strlen(Entries()[0].szDevicePath), 255u);
    EXPECT_EQ(std::strlen(Entries()[0].szLogDirPath), 255u);
    // An interrupted rewrite is completed.
    fs::remove(root_ + "config");
    Index(9, {Entry(1, 2, 3, root_ + "9/")}, "config.tmp");
    EXPECT_TRUE(fs::exists(root_ + "config"));
    EXPECT_FALSE(fs::exists(root_ + "config.tmp"));
    EXPECT_EQ(manager_->GetDirIndex(), 9);
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(LogIndexTest, CheckpointIsWrittenByteForByteAndUpdatesOnlyItsOwnVolumesEntry) {
    ASSERT_EQ(manager_->SaveLogFileInfo(kStableDevice, 2, 2048, 16384, 100, 200, 30, 1234, 56,
                                        (root_ + "0/").c_str(), ""),
              0);
    EXPECT_EQ(fs::file_size(root_ + "config"), 8u + 592u);
    ASSERT_EQ(manager_->Init(), 0);
    ASSERT_EQ(Entries().size(), 1u);
    _LOG_FILE_INFO_ expected = Entry(2, 2048, 16384, root_ + "0/");
    expected.u64RangeStart = 100;
    expected.u64RangeLength = 200;
    expected.u64RangeOffset = 30;
    expected.u64ScannedSectors = 1234;
    expected.u64FilesFound = 56;
    std::strcpy(expected.szDevicePath, kStableDevice);  // the device is named
    EXPECT_EQ(std::memcmp(&Entries()[0], &expected, sizeof expected), 0);

    Checkpoint(2, 200, "x");  // another volume
    Checkpoint(2, 16384, "x");
    ASSERT_EQ(Entries().size(), 2u);
    EXPECT_EQ(std::string(Entries()[0].szLogDirPath), root_ + "0/");  // kept
    EXPECT_EQ(Entries()[0].u64RangeStart, 5u);
    EXPECT_EQ(Entries()[0].u64RangeLength, 50u);
    EXPECT_EQ(Entries()[0].u64RangeOffset, 7u);
    EXPECT_EQ(Entries()[0].u64ScannedSectors, 90u);
    EXPECT_EQ(Entries()[0].u64FilesFound, 3u);
    // A device opened by path has one entry per volume too, found by its path.
    Checkpoint(128, 100, "a", "/img/a.img");
    Checkpoint(7, 100, "a", "/img/a.img");
    ASSERT_EQ(Entries().size(), 3u);
    EXPECT_STREQ(Entries()[2].szDevicePath, "/img/a.img");
    // A rewrite that fails keeps the previous index.
    fs::create_directory(root_ + "config.tmp");  // cannot be opened as a file
    EXPECT_NE(Checkpoint(9, 1, "x"), 0);
    EXPECT_EQ(fs::file_size(root_ + "config"), 8u + 3 * 592u);
}

TEST_F(LogIndexTest, CheckpointReplacesAStaleEntryAndDeletesItsFolderUnlessItIsTheOneJustFilled) {
    MakeFile(root_ + "4/Fast_0_2024101512");
    Index(5, {Entry(1, 2048, 100, root_ + "4/", 777)});
    Checkpoint(1, 100, root_ + "5/");
    EXPECT_FALSE(fs::exists(root_ + "4"));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(std::string(Entries()[0].szLogDirPath), root_ + "5/");
    // The free space of a device can change while it is scanned; the results of that very
    // scan must survive its own checkpoint.
    MakeFile(root_ + "5/Pro_Fat_0_2024101512");
    Index(5, {Entry(1, 2048, 100, root_ + "5/", 777)});
    Checkpoint(1, 100, root_ + "5/");
    EXPECT_TRUE(fs::exists(root_ + "5/Pro_Fat_0_2024101512"));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0].u64Fingerprint, 0u);
}

TEST_F(LogIndexTest, ResumeCheckFindsTheEntryOfTheSameVolumeOrDeletesAChangedOne) {
    _LOG_FILE_INFO_ older = Entry(5, 0, 8, root_ + "1/");
    older.uRecordCodec = 0;  // names of another codec would be misread: never resumed
    Index(6, {Entry(3, 2048, 4096, root_ + "2/"), Entry(3, 0, 4096, root_ + "3/", 123456), older});
    MakeFile(root_ + "1/Fast_0_2024101512");
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 5, 0, 8, nullptr), 0);
    EXPECT_FALSE(fs::exists(root_ + "1"));
    MakeFile(root_ + "3/File_Type_0_2024101512");
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2048, 4095, nullptr), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 2, 2048, 4096, nullptr), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2047, 4096, nullptr), 0);
    EXPECT_FALSE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "6/");
    EXPECT_EQ(Entries().size(), 2u);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 0, 4096, nullptr), 0);  // changed
    EXPECT_FALSE(fs::exists(root_ + "3"));
    EXPECT_EQ(Entries().size(), 1u);
    EXPECT_FALSE(manager_->IsResumed());
    _LOG_FILE_INFO_ found{};
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2048, 4096, &found), 1);
    EXPECT_EQ(found.u64FilesFound, 42u);
    EXPECT_TRUE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "2/");
    manager_->AddDirIndex();
    EXPECT_FALSE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "7/");
}

TEST_F(LogIndexTest, ScanFoldersAreEmptiedWhenTakenAndDeletedWithTheirEntryIgnoringCase) {
    MakeFile(root_ + "1/old/deeper/file");
    MakeFile(root_ + "1/Fast_0_202410151 2");
    manager_->AddDirIndex();
    EXPECT_EQ(manager_->GetDirIndex(), 1);
    EXPECT_FALSE(fs::exists(root_ + "1"));
    EXPECT_EQ(DirPath(), root_ + "1/");
    manager_->ReduceDirIndex();
    EXPECT_EQ(DirPath(), root_ + "0/");

    MakeFile(root_ + "3/a");
    std::string upper = root_ + "3/";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Index(6, {Entry(1, 0, 1, upper), Entry(2, 0, 1, root_ + "4/")});
    EXPECT_EQ(manager_->DeleteLogFileDir((root_ + "3/").c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ + "3"));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0].nDiskNumber, 2u);
    EXPECT_EQ(manager_->DeleteLogFileDir(nullptr), 0);
}

// An index entry is file content: a damaged or planted one must not name a victim, and a
// link inside a scan folder is removed, never followed.
TEST_F(LogIndexTest, NothingOutsideTheLogRootIsEverDeleted) {
    TempDir outside;
    MakeFile(outside.path() + "/precious");
    MakeFile(root_ + "keep/me");
    Index(1, {Entry(1, 0, 1, outside.path() + "/", 99)});
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 1, 0, 1, nullptr), 0);
    EXPECT_TRUE(Entries().empty());
    for (const std::string& victim :
         {root_ + "../", root_ + "keep/../../", root_, std::string("/")})
        manager_->DeleteLogFileDir(victim.c_str());
    EXPECT_TRUE(fs::exists(root_ + "keep/me"));
    fs::create_directories(root_ + "2");
    fs::create_directory_symlink(outside.path(), root_ + "2/link");
    fs::create_directory_symlink(outside.path(), root_ + "3");
    manager_->DeleteLogFileDir((root_ + "2/").c_str());
    manager_->DeleteLogFileDir((root_ + "3/").c_str());
    EXPECT_FALSE(fs::exists(root_ + "2"));
    EXPECT_TRUE(fs::exists(outside.path() + "/precious"));
}

TEST_F(LogIndexTest, StoreIsFoundByPrefixAsItsNodeFile) {
    const std::string folder = root_ + "1/";
    for (const char* name : {"Fast_0_2024101512_Relation", "Fast_0_2024101512",
                             "Fast_0_2024101512_DirInfo", "Pro_Fat_0_2024101512"})
        MakeFile(folder + name);
    char name[256] = "unchanged";
    const auto find = [&](const std::string& dir, const char* prefix, int size = 256) {
        manager_->GetLogFileNameByFileType(dir.c_str(), prefix, name, size);
        return std::string(name);
    };
    EXPECT_EQ(find(folder, kFastLogPrefix), "Fast_0_2024101512");
    EXPECT_EQ(find(folder, kProFatLogPrefix), "Pro_Fat_0_2024101512");
    std::strcpy(name, "unchanged");
    EXPECT_EQ(find(folder, kProNtfsLogPrefix), "unchanged");
    EXPECT_EQ(find(folder, kFastLogPrefix, 17), "unchanged");  // does not fit: left alone, not cut
    EXPECT_EQ(find(folder, kFastLogPrefix, 18), "Fast_0_2024101512");
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(find(root_ + "none/", ""), "Fast_0_2024101512");
    EXPECT_EQ(g_messages, std::vector<std::string>{"open dir failed\n"});
}

}  // namespace
