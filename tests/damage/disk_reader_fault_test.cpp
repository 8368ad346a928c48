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

// The debug log goes to Log.txt in the current folder; each case here works in a folder of its
// own, so that other test processes writing their logs beside it cannot add to the count.
class ReaderOnAFailingDisk : public damage::DamageTest {
protected:
    void SetUp() override {
        DamageTest::SetUp();
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        DamageTest::TearDown();
    }
    static std::string Log() {
        std::ifstream log("Log.txt");
        return std::string((std::istreambuf_iterator<char>(log)), {});
    }
    std::filesystem::path previous_;
};

// Each failed read is logged with its error until failures run on and on; then they are only
// counted, and the first read that succeeds starts the count again.
TEST_F(ReaderOnAFailingDisk, TellsTheErrorAndStopsLoggingALongRunOfFailures) {
    const std::string image = Image("fat12");
    faulty_io::FailReads(image, {{512 * 100, 512 * 400}});
    CDiskReader reader;
    ASSERT_EQ(reader.Init(Utf8ToWide(image.c_str()).c_str(), 2880), 0);
    std::vector<unsigned char> buf(512 * 4);
    unsigned int got = 0;
    for (uint64_t sector = 100; sector < 300; ++sector) {
        EXPECT_EQ(reader.ReadData(buf.data(), 1, sector, 512, &got), RESULT_SHORT_READ);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(reader.GetLastReadError(), EIO);
    }
    EXPECT_EQ(reader.ReadData(buf.data(), 4, 98, 512, &got),
              RESULT_SHORT_READ);  // runs into the bad stretch
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 500, 512, &got), 0);
    EXPECT_EQ(reader.GetLastReadError(), 0);
    EXPECT_EQ(reader.ReadData(buf.data(), 1, 200, 512, &got), RESULT_SHORT_READ);
    const std::string added = Log();
    EXPECT_EQ(Count(added, "Debug: read 5\n"), CDiskReader::kLoggedFailuresInARow + 1);
    EXPECT_EQ(Count(added, "further failures are not logged"), 1u);
}

}  // namespace
