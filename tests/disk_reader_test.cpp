// The raw sector reader and the disk table.
#include "foundation/disk_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/disk_table.h"
#include "foundation/result.h"
#include "foundation/text.h"
#include "support/fixture.h"

namespace {

// Disk 1 of the table is an image of 16 sectors in which every byte of sector i is i; disk 0
// does not exist.
class DiskReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream out(image_, std::ios::binary);
        for (int i = 0; i < 16; ++i) out << std::string(512, static_cast<char>(i));
        ::setenv("FERROWEN_DISKS", ("/nonexistent:" + image_).c_str(), 1);
    }
    void TearDown() override { ::unsetenv("FERROWEN_DISKS"); }
    ferrowen::test::TempDir dir_;
    std::string image_ = dir_.path() + "/disk.img";
    std::vector<unsigned char> buf_ = std::vector<unsigned char>(8 * 512, 0xEE);
};

TEST_F(DiskReaderTest, ReadsWholeSectorsUpToTheLimitAndRefusesWhatMakesNoSense) {
    CDiskReader reader, unbound, missing, huge;
    ASSERT_EQ(reader.Init(1, 10), 0);
    ASSERT_EQ(huge.Init(1, 1ULL << 40), 0);
    EXPECT_EQ(missing.Init(0, 16), ENOENT);
    EXPECT_EQ(missing.Init(7, 16), ENOENT);  // past the end of the disk table
    const struct {
        CDiskReader& reader;
        int sectors;
        uint64_t start;
        int bytes, rc;
        unsigned got;  // 77: not reported
    } reads[] = {
        {reader, 3, 4, 512, 0, 3},
        {reader, 2, 8, 512, 0, 2},  // ends at the limit
        {reader, 0, 3, 512, 0, 0},
        {reader, 3, 8, 512, RESULT_OUTSIDE_VOLUME, 77},
        {reader, 1, 10, 512, RESULT_OUTSIDE_VOLUME, 77},
        {reader, 1, ~0ULL, 512, RESULT_OUTSIDE_VOLUME, 77},  // no wrap-around
        {unbound, 1, 0, 512, RESULT_OUTSIDE_VOLUME, 77},
        {missing, 1, 0, 512, RESULT_OUTSIDE_VOLUME, 77},
        {huge, -1, 5, 512, RESULT_INVALID_ARGUMENT, 77},
        {huge, 1, 0, 0, RESULT_INVALID_ARGUMENT, 77},
        {huge, 1, 0, -512, RESULT_INVALID_ARGUMENT, 77},
        {huge, 1 << 22, 0, 1024, RESULT_INVALID_ARGUMENT, 77},  // 4 GiB in one request
    };
    for (const auto& r : reads) {
        unsigned int got = 77;
        EXPECT_EQ(r.reader.ReadData(buf_.data(), r.sectors, r.start, r.bytes, &got), r.rc)
            << r.start;
        EXPECT_EQ(got, r.got) << r.start;
    }
    // Sectors 4-6, then 8-9 over them; nothing else touched the buffer.
    for (auto [at, value] :
         {std::pair{0, 8}, {511, 8}, {512, 9}, {1024, 6}, {1535, 6}, {1536, 0xEE}})
        EXPECT_EQ(buf_[at], value) << at;
    EXPECT_EQ(huge.ReadData(nullptr, 1, 0, 512, nullptr), RESULT_INVALID_ARGUMENT);
}

TEST_F(DiskReaderTest, ADeviceThatEndsEarlyGivesAShortReadWithTheWholeSectorsThatArrived) {
    std::ofstream(image_, std::ios::binary | std::ios::app) << std::string(256, 'h');
    CDiskReader reader;  // 16 and a half sectors, but the volume claims 40
    ASSERT_EQ(reader.Init(Utf8ToWide(image_.c_str()).c_str(), 40), 0);
    EXPECT_EQ(reader.Init(nullptr, 40), EINVAL);
    unsigned int got = 77;
    EXPECT_EQ(reader.ReadData(buf_.data(), 8, 14, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf_[512], 15);
    EXPECT_EQ(reader.ReadData(buf_.data(), 1, 30, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 0u);
    // The free read of a descriptor too.
    const int fd = open(image_.c_str(), O_RDONLY);
    std::vector<unsigned char> buf(20 * 512);
    EXPECT_EQ(ReadData(fd, buf.data(), 3 * 512, &got), 0);
    EXPECT_EQ(got, 3u * 512);
    EXPECT_EQ(ReadData(fd, buf.data(), 20 * 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 13u * 512 + 256);
    EXPECT_EQ(ReadData(fd, nullptr, 512, &got), RESULT_SHORT_READ);
    EXPECT_EQ(got, 0u);
    close(fd);
}

TEST_F(DiskReaderTest, EveryDescriptorOnTheDeviceIsReadOnly) {
    CDiskReader reader;
    ASSERT_EQ(reader.Init(1, 16), 0);
    EXPECT_EQ(fcntl(reader.GetDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(fcntl(reader.GetDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
    const int fd = OpenDiskReadOnly(1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(write(fd, "x", 1), -1);
    close(fd);
}

TEST(DiskTable, TheEnvironmentListReplacesTheSystemDisksWhichAreWholeDevicesWithoutRamDisks) {
    ::setenv("FERROWEN_DISKS", "/a.img::/b.img:", 1);
    EXPECT_EQ(ListDiskPaths(), (std::vector<std::string>{"/a.img", "/b.img"}));
    EXPECT_EQ(GetDiskPath(1), "/b.img");
    EXPECT_EQ(GetDiskPath(2), "");
    EXPECT_EQ(GetDiskPath(-1), "");
    ::unsetenv("FERROWEN_DISKS");
    for (const std::string& path : ListDiskPaths()) {
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
        EXPECT_EQ(path.find("/dev/ram"), std::string::npos);
        EXPECT_EQ(path.find("/dev/zram"), std::string::npos);
    }
}

}  // namespace
