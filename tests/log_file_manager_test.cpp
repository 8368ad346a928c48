#include "foundation/result.h"
#include "store/log_file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/debug_log.h"
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

_LOG_FILE_INFO_ MakeEntry(uint32_t disk, uint64_t start, uint64_t count, const std::string& dir,
                          uint64_t freeSpace = 0) {
    _LOG_FILE_INFO_ info;
    std::memset(&info, 0, sizeof info);
    info.nDiskNumber = disk;
    info.u64StartSector = start;
    info.u64SectorCount = count;
    info.u64RangeStart = 11;
    info.u64FilesFound = 42;
    info.u64FreeSpace = freeSpace;
    std::strncpy(info.szLogDirPath, dir.c_str(), sizeof info.szLogDirPath - 1);
    return info;
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

    void WriteIndex(const std::string& name, long long counter,
                    const std::vector<_LOG_FILE_INFO_>& entries, size_t extraBytes = 0) {
        std::ofstream out(root_ + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(&counter), sizeof counter);
        for (const auto& e : entries) out.write(reinterpret_cast<const char*>(&e), sizeof e);
        out << std::string(extraBytes, 'x');
    }
    void MakeFile(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "data";
    }
    std::string DirPath() {
        char path[256];
        EXPECT_EQ(manager_->GetLogFileDirPath(path, sizeof path), 0);
        return path;
    }

    TempDir dir_;
    std::string root_;
    CLogFileManager* manager_ = nullptr;
};

TEST_F(LogIndexTest, RootLiesUnderXdgDataHomeAndIsCreated) {
    EXPECT_EQ(manager_->GetLogRootPath(), root_);
    EXPECT_TRUE(fs::is_directory(root_));
    EXPECT_EQ(DirPath(), root_ + "0/");
    char small[8];
    EXPECT_EQ(manager_->GetLogFileDirPath(small, sizeof small), RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(small, "");
}

TEST(ScanLogRootTest, FallsBackToHomeAndIgnoresARelativeXdgDataHome) {
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::string xdg = savedXdg != nullptr ? savedXdg : "";
    const char* savedHome = std::getenv("HOME");
    const std::string home = savedHome != nullptr ? savedHome : "";
    ::setenv("HOME", "/home/someone/", 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(GetScanLogRootPath(), "/home/someone/.local/share/Ferrowen/ScanLog/");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(GetScanLogRootPath(), "/home/someone/.local/share/Ferrowen/ScanLog/");
    ::setenv("XDG_DATA_HOME", "/data/", 1);
    EXPECT_EQ(GetScanLogRootPath(), "/data/Ferrowen/ScanLog/");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
}

// --- loading the index

TEST_F(LogIndexTest, IndexLoadsTheCounterAndEveryWholeEntry) {
    WriteIndex("config", 7, {MakeEntry(1, 2, 3, root_ + "6/"), MakeEntry(4, 5, 6, root_ + "7/")});
    EXPECT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->GetDirIndex(), 7);
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 2u);
    EXPECT_EQ(manager_->GetLogFileInfos()[1].u64SectorCount, 6u);
    EXPECT_EQ(DirPath(), root_ + "7/");
}

TEST_F(LogIndexTest, TornLastEntryIsIgnored) {
    WriteIndex("config", 3, {MakeEntry(1, 2, 3, root_ + "3/")}, 100);
    EXPECT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->GetDirIndex(), 3);
    EXPECT_EQ(manager_->GetLogFileInfos().size(), 1u);
}

TEST_F(LogIndexTest, MissingEmptyOrTinyIndexStartsWithNothing) {
    EXPECT_EQ(manager_->Init(), RESULT_INVALID_ARGUMENT);  // created empty by the first Init
    EXPECT_TRUE(fs::exists(root_ + "config"));
    EXPECT_EQ(manager_->GetDirIndex(), 0);
    std::ofstream(root_ + "config") << "abc";
    EXPECT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->GetDirIndex(), 0);
    EXPECT_TRUE(manager_->GetLogFileInfos().empty());
}

TEST_F(LogIndexTest, InterruptedRewriteIsCompletedAtStart) {
    fs::remove(root_ + "config");
    WriteIndex("config.tmp", 9, {MakeEntry(1, 2, 3, root_ + "9/")});
    EXPECT_EQ(manager_->Init(), 0);
    EXPECT_TRUE(fs::exists(root_ + "config"));
    EXPECT_FALSE(fs::exists(root_ + "config.tmp"));
    EXPECT_EQ(manager_->GetDirIndex(), 9);
    EXPECT_EQ(manager_->GetLogFileInfos().size(), 1u);
}

TEST_F(LogIndexTest, UnterminatedTextsAreCutInsideTheirFields) {
    _LOG_FILE_INFO_ entry = MakeEntry(1, 2, 3, "");
    std::memset(entry.szDevicePath, 'D', sizeof entry.szDevicePath);
    std::memset(entry.szLogDirPath, 'L', sizeof entry.szLogDirPath);
    WriteIndex("config", 1, {entry});
    EXPECT_EQ(manager_->Init(), 0);
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 1u);
    EXPECT_EQ(std::strlen(manager_->GetLogFileInfos()[0].szDevicePath), 255u);
    EXPECT_EQ(std::strlen(manager_->GetLogFileInfos()[0].szLogDirPath), 255u);
}

// --- checkpoints

TEST_F(LogIndexTest, CheckpointIsWrittenAndReadBackByteForByte) {
    ASSERT_EQ(manager_->SaveLogFileInfo(kStableDevice, 2, 2048, 16384, 100, 200, 30, 1234, 56,
                                        (root_ + "0/").c_str(), ""),
              0);
    EXPECT_EQ(fs::file_size(root_ + "config"), 8u + 592u);
    ASSERT_EQ(manager_->Init(), 0);
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 1u);
    const _LOG_FILE_INFO_& e = manager_->GetLogFileInfos()[0];
    EXPECT_EQ(e.nDiskNumber, 2u);
    EXPECT_EQ(e.u64StartSector, 2048u);
    EXPECT_EQ(e.u64SectorCount, 16384u);
    EXPECT_EQ(e.u64RangeStart, 100u);
    EXPECT_EQ(e.u64RangeLength, 200u);
    EXPECT_EQ(e.u64RangeOffset, 30u);
    EXPECT_EQ(e.u64ScannedSectors, 1234u);
    EXPECT_EQ(e.u64FilesFound, 56u);
    EXPECT_EQ(e.u64FreeSpace, 0u);
    EXPECT_EQ(e.uReserved, 0u);
    EXPECT_EQ(e.u64Reserved, 0u);
    EXPECT_STREQ(e.szDevicePath, "");
    EXPECT_EQ(std::string(e.szLogDirPath), root_ + "0/");
}

TEST_F(LogIndexTest, SecondCheckpointOfTheSameVolumeUpdatesItsEntry) {
    const std::string folder = root_ + "0/";
    manager_->SaveLogFileInfo(kStableDevice, 1, 0, 100, 0, 10, 1, 1, 1, folder.c_str(), "");
    manager_->SaveLogFileInfo(kStableDevice, 1, 0, 200, 0, 10, 1, 1, 1, folder.c_str(), "");
    manager_->SaveLogFileInfo(kStableDevice, 1, 0, 100, 5, 50, 7, 90, 3, folder.c_str(), "");
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 2u);
    const _LOG_FILE_INFO_& e = manager_->GetLogFileInfos()[0];
    EXPECT_EQ(e.u64RangeStart, 5u);
    EXPECT_EQ(e.u64RangeLength, 50u);
    EXPECT_EQ(e.u64RangeOffset, 7u);
    EXPECT_EQ(e.u64ScannedSectors, 90u);
    EXPECT_EQ(e.u64FilesFound, 3u);
}

TEST_F(LogIndexTest, DeviceOpenedByPathAlwaysGetsANewEntry) {
    manager_->SaveLogFileInfo(kStableDevice, 128, 0, 100, 0, 0, 0, 0, 0, "a", "/img/a.img");
    manager_->SaveLogFileInfo(kStableDevice, 128, 0, 100, 0, 0, 0, 0, 0, "a", "/img/a.img");
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 2u);
    EXPECT_STREQ(manager_->GetLogFileInfos()[1].szDevicePath, "/img/a.img");
}

TEST_F(LogIndexTest, CheckpointReplacesAStaleEntryAndDeletesItsFolder) {
    MakeFile(root_ + "4/Fast_0_2024101512");
    WriteIndex("config", 5, {MakeEntry(1, 0, 100, root_ + "4/", 777)});
    ASSERT_EQ(manager_->Init(), 0);
    manager_->SaveLogFileInfo(kStableDevice, 1, 0, 100, 0, 0, 0, 0, 0, (root_ + "5/").c_str(), "");
    EXPECT_FALSE(fs::exists(root_ + "4"));
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 1u);
    EXPECT_EQ(std::string(manager_->GetLogFileInfos()[0].szLogDirPath), root_ + "5/");
}

TEST_F(LogIndexTest, StaleEntryNamingTheFolderJustFilledKeepsTheFolder) {
    // The free space of a device can change while it is scanned; the results of that very
    // scan must survive its own checkpoint.
    MakeFile(root_ + "5/Pro_Fat_0_2024101512");
    WriteIndex("config", 5, {MakeEntry(1, 0, 100, root_ + "5/", 777)});
    ASSERT_EQ(manager_->Init(), 0);
    manager_->SaveLogFileInfo(kStableDevice, 1, 0, 100, 0, 0, 0, 0, 0, (root_ + "5/").c_str(), "");
    EXPECT_TRUE(fs::exists(root_ + "5/Pro_Fat_0_2024101512"));
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 1u);
    EXPECT_EQ(manager_->GetLogFileInfos()[0].u64FreeSpace, 0u);
}

TEST_F(LogIndexTest, FailedRewriteKeepsThePreviousIndex) {
    WriteIndex("config", 3, {MakeEntry(1, 2, 3, root_ + "3/")});
    ASSERT_EQ(manager_->Init(), 0);
    fs::create_directory(root_ + "config.tmp");  // cannot be opened as a file
    EXPECT_NE(manager_->SaveLogFileInfo(kStableDevice, 9, 0, 1, 0, 0, 0, 0, 0, "x", ""), 0);
    EXPECT_EQ(fs::file_size(root_ + "config"), 8u + 592u);
}

// --- resuming

TEST_F(LogIndexTest, ResumeCheckFindsTheEntryAndNamesItsFolder) {
    WriteIndex("config", 6, {MakeEntry(3, 2048, 4096, root_ + "2/")});
    ASSERT_EQ(manager_->Init(), 0);
    _LOG_FILE_INFO_ found{};
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2048, 4096, &found), 1);
    EXPECT_EQ(found.u64FilesFound, 42u);
    EXPECT_TRUE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "2/");
    manager_->AddDirIndex();
    EXPECT_FALSE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "7/");
}

TEST_F(LogIndexTest, ResumeCheckForAnotherVolumeFindsNothing) {
    WriteIndex("config", 6, {MakeEntry(3, 2048, 4096, root_ + "2/")});
    ASSERT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2048, 4095, nullptr), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 2, 2048, 4096, nullptr), 0);
    EXPECT_FALSE(manager_->IsResumed());
    EXPECT_EQ(DirPath(), root_ + "6/");
    EXPECT_EQ(manager_->GetLogFileInfos().size(), 1u);
}

TEST_F(LogIndexTest, ResumeCheckOfAChangedVolumeDeletesItsFolder) {
    MakeFile(root_ + "2/File_Type_0_2024101512");
    WriteIndex("config", 6, {MakeEntry(3, 2048, 4096, root_ + "2/", 123456)});
    ASSERT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 3, 2048, 4096, nullptr), 0);
    EXPECT_FALSE(fs::exists(root_ + "2"));
    EXPECT_TRUE(manager_->GetLogFileInfos().empty());
    EXPECT_FALSE(manager_->IsResumed());
}

// --- folders

TEST_F(LogIndexTest, AddDirIndexEmptiesAFolderLeftByAnOlderRun) {
    MakeFile(root_ + "1/old/deeper/file");
    MakeFile(root_ + "1/Fast_0_202410151 2");
    manager_->AddDirIndex();
    EXPECT_EQ(manager_->GetDirIndex(), 1);
    EXPECT_FALSE(fs::exists(root_ + "1"));
    EXPECT_EQ(DirPath(), root_ + "1/");
    manager_->ReduceDirIndex();
    EXPECT_EQ(DirPath(), root_ + "0/");
}

TEST_F(LogIndexTest, DeleteLogFileDirDropsTheEntryIgnoringCase) {
    MakeFile(root_ + "3/a");
    std::string upper = root_ + "3/";
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    WriteIndex("config", 6, {MakeEntry(1, 0, 1, upper), MakeEntry(2, 0, 1, root_ + "4/")});
    ASSERT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->DeleteLogFileDir((root_ + "3/").c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ + "3"));
    ASSERT_EQ(manager_->GetLogFileInfos().size(), 1u);
    EXPECT_EQ(manager_->GetLogFileInfos()[0].nDiskNumber, 2u);
    EXPECT_EQ(manager_->DeleteLogFileDir(nullptr), 0);
}

TEST_F(LogIndexTest, FoldersOutsideTheLogRootAreNeverDeleted) {
    // An index entry is file content: a damaged or planted one must not name a victim.
    TempDir outside;
    MakeFile(outside.path() + "/precious");
    MakeFile(root_ + "keep/me");
    WriteIndex("config", 1, {MakeEntry(1, 0, 1, outside.path() + "/", 99)});
    ASSERT_EQ(manager_->Init(), 0);
    EXPECT_EQ(manager_->LoadRecoveryLogInfo(kStableDevice, 1, 0, 1, nullptr), 0);
    manager_->DeleteLogFileDir((root_ + "../").c_str());
    manager_->DeleteLogFileDir((root_ + "keep/../../").c_str());
    manager_->DeleteLogFileDir(root_.c_str());
    manager_->DeleteLogFileDir("/");
    EXPECT_TRUE(fs::exists(outside.path() + "/precious"));
    EXPECT_TRUE(fs::exists(root_ + "keep/me"));
    EXPECT_TRUE(manager_->GetLogFileInfos().empty());
}

TEST_F(LogIndexTest, DeletingAScanFolderNeverFollowsALink) {
    TempDir outside;
    MakeFile(outside.path() + "/precious");
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
    MakeFile(folder + "Fast_0_2024101512_Relation");
    MakeFile(folder + "Fast_0_2024101512");
    MakeFile(folder + "Fast_0_2024101512_DirInfo");
    MakeFile(folder + "Pro_Fat_0_2024101512");
    char name[256] = "unchanged";
    manager_->GetLogFileNameByFileType(folder.c_str(), kFastLogPrefix, name, sizeof name);
    EXPECT_STREQ(name, "Fast_0_2024101512");
    manager_->GetLogFileNameByFileType(folder.c_str(), kProFatLogPrefix, name, sizeof name);
    EXPECT_STREQ(name, "Pro_Fat_0_2024101512");

    std::strcpy(name, "unchanged");
    manager_->GetLogFileNameByFileType(folder.c_str(), kProNtfsLogPrefix, name, sizeof name);
    EXPECT_STREQ(name, "unchanged");
    manager_->GetLogFileNameByFileType(folder.c_str(), kFastLogPrefix, name, 5);
    EXPECT_STREQ(name, "unchanged");  // does not fit: left alone rather than cut
    EXPECT_TRUE(g_messages.empty());
    manager_->GetLogFileNameByFileType((root_ + "none/").c_str(), "", name, sizeof name);
    EXPECT_STREQ(name, "unchanged");
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "open dir failed\n");
}

}  // namespace
