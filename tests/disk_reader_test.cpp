#include "foundation/disk_reader.h"
#include "foundation/result.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/disk_table.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;

// An image of `sectors` sectors in which every byte of sector i is i.
std::string MakeImage(const TempDir& dir, int sectors, const char* name = "disk.img") {
    const std::string path = dir.path() + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < sectors; ++i) {
        const std::string sector(512, static_cast<char>(i));
        out.write(sector.data(), sector.size());
    }
    return path;
}

class DiskReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = MakeImage(dir_, 16);
        ::setenv("FERROWEN_DISKS", ("/nonexistent:" + image_).c_str(), 1);
    }
    void TearDown() override { ::unsetenv("FERROWEN_DISKS"); }
    TempDir dir_;
    std::string image_;
};

TEST_F(DiskReaderTest, ReadsWholeSectorsAtAbsoluteAddresses) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 16), 0);
    std::vector<unsigned char> buf(3 * 512);
    unsigned int got = 0;
    ASSERT_EQ(reader.ReadData(buf.data(), 3, 4, 512, &got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[512], 5);
    EXPECT_EQ(buf[3 * 512 - 1], 6);
}

TEST_F(DiskReaderTest, AReadEndingAtTheLimitSucceedsAndOneSectorMoreIsRefused) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 10), 0);
    std::vector<unsigned char> buf(4 * 512, 0xEE);
    unsigned int got = 77;
    EXPECT_EQ(reader.ReadData(buf.data(), 2, 8, 512, &got), 0);
    EXPECT_EQ(got, 2u);
    got = 77;
    EXPECT_EQ(reader.ReadData(buf.data(), 3, 8, 512, &got), RESULT_OUTSIDE_VOLUME);
    EXPECT_EQ(got, 77u);  // a refused read reports nothing
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 10, 512, &got), RESULT_OUTSIDE_VOLUME);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, ~0ULL, 512, &got), RESULT_OUTSIDE_VOLUME);  // no wrap-around
}

TEST_F(DiskReaderTest, RefusesNegativeAndOversizedRequestsInsteadOfWrappingThem) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 16), 0);
    unsigned char buf[512];
    unsigned int got = 0;
    EXPECT_EQ(reader.ReadData(buf, -1, 5, 512, &got), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, 0, &got), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(reader.ReadData(buf, 1, 0, -512, &got), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(reader.ReadData(nullptr, 1, 0, 512, &got), RESULT_INVALID_ARGUMENT);
    CDiskReader big;
    ASSERT_EQ(big.Init(1, 1ULL << 40), 0);
    EXPECT_EQ(big.ReadData(buf, 1 << 22, 0, 1024, &got), RESULT_INVALID_ARGUMENT);  // 4 GiB in one request
}

TEST_F(DiskReaderTest, ZeroSectorsReadsNothingAndSucceeds) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 16), 0);
    unsigned char buf[1] = {0x5A};
    unsigned int got = 99;
    EXPECT_EQ(reader.ReadData(buf, 0, 3, 512, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buf[0], 0x5A);
}

TEST_F(DiskReaderTest, ADeviceThatEndsEarlyGivesAShortReadWithTheWholeSectorsThatArrived) {
    // The image holds 16 sectors plus half a sector, but the volume claims 40.
    {
        std::ofstream out(image_, std::ios::binary | std::ios::app);
        out << std::string(256, 'h');
    }
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 40), 0);
    std::vector<unsigned char> buf(8 * 512);
    unsigned int got = 0;
    EXPECT_EQ(reader.ReadData(buf.data(), 8, 14, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[512], 15);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 30, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 0u);
}

TEST_F(DiskReaderTest, AnUnboundOrMissingReaderRefusesEverything) {
    CDiskReader unbound;
    unsigned char buf[512];
    unsigned int got = 0;
    EXPECT_EQ(unbound.ReadData(buf, 1, 0, 512, &got), RESULT_OUTSIDE_VOLUME);

    CDiskReader missing;
    EXPECT_EQ(missing.Init(0, 16), ENOENT);
    EXPECT_EQ(missing.ReadData(buf, 1, 0, 512, &got), RESULT_OUTSIDE_VOLUME);
    EXPECT_EQ(missing.Init(7, 16), ENOENT);  // past the end of the disk table
}

TEST_F(DiskReaderTest, AReaderBoundByPathReadsTheImage) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(Utf8ToWide(image_.c_str()).c_str(), 16), 0);
    unsigned char buf[512];
    unsigned int got = 0;
    ASSERT_EQ(reader.ReadData(buf, 1, 9, 512, &got), 0);
    EXPECT_EQ(buf[100], 9);
}

TEST_F(DiskReaderTest, EveryDescriptorOnTheDeviceIsReadOnly) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 16), 0);
    const int flags = fcntl(reader.GetDescriptor(), F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(fcntl(reader.GetDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
    const int fd = OpenDiskReadOnly(1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(write(fd, "x", 1), -1);
    close(fd);
}

TEST_F(DiskReaderTest, ASeekFailureIsLoggedAndItsErrnoReturned) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::u16string pipePath =
        Utf8ToWide(("/proc/self/fd/" + std::to_string(pipeFds[0])).c_str());
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    CDiskReader reader;
    ASSERT_EQ(reader.Init(pipePath.c_str(), 16), 0);
    unsigned char buf[512];
    unsigned int got = 7;
    EXPECT_EQ(reader.ReadData(buf, 1, 1, 512, &got), ESPIPE);
    EXPECT_EQ(got, 7u);
    std::ifstream log("Log.txt");
    std::string line1, line2;
    std::getline(log, line1);
    std::getline(log, line2);
    EXPECT_EQ(line1, "Debug: lseek failed 512");
    EXPECT_EQ(line2, "");
    ASSERT_EQ(chdir(cwd), 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(DiskReaderTest, TheFreeReadLoopsOverChunksAndReportsShortData) {
    const int fd = open(image_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> buf(20 * 512);
    unsigned int got = 0;
    EXPECT_EQ(ReadData(fd, buf.data(), 3 * 512, &got), 0);
    EXPECT_EQ(got, 3u * 512);
    EXPECT_EQ(ReadData(fd, buf.data(), 20 * 512, &got), RESULT_SHORT_READ);  // 13 sectors remain
    EXPECT_EQ(got, 13u * 512);
    close(fd);
}

TEST(DiskTable, TheEnvironmentListReplacesTheSystemDisks) {
    ::setenv("FERROWEN_DISKS", "/a.img::/b.img:", 1);
    EXPECT_EQ(ListDiskPaths(), (std::vector<std::string>{"/a.img", "/b.img"}));
    EXPECT_EQ(GetDiskPath(1), "/b.img");
    EXPECT_EQ(GetDiskPath(2), "");
    EXPECT_EQ(GetDiskPath(-1), "");
    ::unsetenv("FERROWEN_DISKS");
}

TEST(DiskTable, SystemDisksAreWholeBlockDevicesWithoutRamDisks) {
    ::unsetenv("FERROWEN_DISKS");
    for (const std::string& path : ListDiskPaths()) {
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
        EXPECT_EQ(path.find("/dev/ram"), std::string::npos);
        EXPECT_EQ(path.find("/dev/zram"), std::string::npos);
    }
}

TEST(SystemUtils, FileSizeAndAttributesOfAnOpenImage) {
    TempDir dir;
    const std::string path = MakeImage(dir, 3);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int low = 0, high = -1;
    ASSERT_EQ(rsb_getFileSizeH(fd, &low, &high), 0);
    EXPECT_EQ(low, 1536);
    EXPECT_EQ(high, 0);
    EXPECT_EQ(GetDeviceSizeBytes(fd), 1536u);
    STRUCT_RSB_FILE_ATTR attr;
    ASSERT_EQ(rsb_statH(fd, &attr), 0);
    EXPECT_EQ(attr.uSizeLow, 1536u);
    EXPECT_TRUE(S_ISREG(attr.uMode));
    EXPECT_EQ(attr.uLinkCount, 1u);
    EXPECT_EQ(rsb_statH(-1, &attr), -1);
    EXPECT_EQ(rsb_statH(fd, nullptr), 0);
    close(fd);
}

TEST(SystemUtils, FreeSpaceWalksUpToTheNearestExistingFolder) {
    TempDir dir;
    std::string missing = dir.path() + "/no/such";
    unsigned int high = 1, low = 1;
    ASSERT_EQ(rsb_getFreeSpace(missing.data(), 0, &high, &low), 0);
    EXPECT_EQ(std::string(missing.c_str()), dir.path());
    EXPECT_GT((static_cast<unsigned long long>(high) << 32) | low, 0u);

    char relative[] = "relative/path";
    high = low = 1;
    EXPECT_EQ(rsb_getFreeSpace(relative, 0, &high, &low), 0);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(low, 0u);
}

TEST(SystemUtils, ClockAndCalendar) {
    const unsigned int before = rsb_getTickCount();
    rsb_msleep(30);
    const int elapsed = static_cast<int>(rsb_getTickCount() - before);
    EXPECT_GE(elapsed, 0);
    SYSTEMTIME local{}, utc{};
    ASSERT_EQ(rsb_getLocalTime(&local), 0);
    ASSERT_EQ(rsb_getSystemTime(&utc), 0);
    EXPECT_GE(utc.wYear, 2024);
    EXPECT_GE(utc.wMonth, 1);
    EXPECT_LE(utc.wMonth, 12);
    EXPECT_GE(utc.wDay, 1);
    EXPECT_LE(utc.wDayOfWeek, 6);
    EXPECT_LT(utc.wMilliseconds, 1000);
    EXPECT_EQ(rsb_getLocalTime(nullptr), 34);
}

}  // namespace
