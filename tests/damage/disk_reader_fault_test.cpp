// The raw reader on a failing disk: what it reports and what it writes to the debug log.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "damage_support.h"
#include "faulty_io.h"
#include "foundation/disk_reader.h"
#include "foundation/text.h"

namespace {

using namespace ferrowen::test;

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

std::string LogAddedSince(uintmax_t offset) {
    std::ifstream log("Log.txt");
    log.seekg(static_cast<std::streamoff>(offset));
    return std::string((std::istreambuf_iterator<char>(log)), {});
}

using ReaderOnAFailingDisk = damage::DamageTest;

// Each failed read is logged with its error until failures run on and on; then they are only
// counted, and the first read that succeeds starts the count again.
TEST_F(ReaderOnAFailingDisk, TellsTheErrorAndStopsLoggingALongRunOfFailures) {
    const std::string image = Image("fat12");
    faulty_io::FailReads(image, {{512 * 100, 512 * 400}});
    CDiskReader reader;
    ASSERT_EQ(reader.Init(Utf8ToWide(image.c_str()).c_str(), 2880), 0);
    std::vector<unsigned char> buf(512 * 4);
    const uintmax_t before =
        std::filesystem::exists("Log.txt") ? std::filesystem::file_size("Log.txt") : 0;
    unsigned int got = 0;
    for (uint64_t sector = 100; sector < 300; ++sector) {
        EXPECT_EQ(reader.ReadData(buf.data(), 1, sector, 512, &got), 30);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(reader.GetLastReadError(), EIO);
    }
    EXPECT_EQ(reader.ReadData(buf.data(), 4, 98, 512, &got), 30);  // runs into the bad stretch
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 500, 512, &got), 0);
    EXPECT_EQ(reader.GetLastReadError(), 0);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 200, 512, &got), 30);
    const std::string added = LogAddedSince(before);
    EXPECT_EQ(Count(added, "Debug: read 5\n"), CDiskReader::kLoggedFailuresInARow + 1);
    EXPECT_EQ(Count(added, "further failures are not logged"), 1u);
}

}  // namespace
