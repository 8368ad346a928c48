#include "foundation/debug_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/fixture.h"

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the body with the current folder set to a fresh temporary folder.
class InTempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(old_, sizeof old_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_), 0); }
    ferrowen::test::TempDir dir_;
    char old_[4096] = {};
};

using DebugLogTest = InTempFolder;

TEST_F(DebugLogTest, AppendsOneDebugLinePerMessageKeepingTheMessagesOwnBreak) {
    DebugLog("lseek failed %lld\n", 512LL);
    DebugLog("no break");
    EXPECT_EQ(ReadWhole("Log.txt"), "Debug: lseek failed 512\n\nDebug: no break\n");
}

std::string g_captured;
void CaptureSink(const char* message) {
    g_captured += message;
}

TEST_F(DebugLogTest, AnInstalledSinkReceivesTheFormattedMessage) {
    g_captured.clear();
    SetDebugSink(CaptureSink);
    DebugLog("read %lld\n", 5LL);
    SetDebugSink(nullptr);
    EXPECT_EQ(g_captured, "read 5\n");
    EXPECT_EQ(access("Log.txt", F_OK), -1);
}

TEST_F(DebugLogTest, AnOverlongMessageIsCutNotOverflowed) {
    const std::string big(5000, 'z');
    DebugLog("%s", big.c_str());
    const std::string text = ReadWhole("Log.txt");
    EXPECT_GT(text.size(), 1000u);
    EXPECT_LT(text.size(), 1100u);
}

}  // namespace
