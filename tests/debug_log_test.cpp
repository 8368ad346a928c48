// What goes to the debug log: nothing unless a file is set, then one "Debug:" line per message,
// rotated past its size cap; or a sink instead.
#include "foundation/debug_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/fixture.h"

namespace {

std::string g_captured;
void CaptureSink(const char* message) {
    g_captured += message;
}

// Runs the body with the current folder set to a fresh temporary folder.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(old_, sizeof old_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        SetDebugLogPath("Log.txt");
    }
    void TearDown() override {
        SetDebugLogPath("");
        ASSERT_EQ(chdir(old_), 0);
    }
    static std::string TakeLog() {
        std::stringstream text;
        text << std::ifstream("Log.txt").rdbuf();
        unlink("Log.txt");
        return text.str();
    }
    ferrowen::test::TempDir dir_;
    char old_[4096] = {};
};

TEST_F(DebugLogTest, WritesNothingAnywhereUnlessAFileIsSetAndRotatesPastItsCap) {
    SetDebugLogPath("");
    DebugLog("dropped\n");
    EXPECT_EQ(access("Log.txt", F_OK), -1);
    SetDebugLogPath("Log.txt");
    std::ofstream("Log.txt") << std::string(kMaxDebugLogBytes + 1, 'x');
    DebugLog("fresh");
    EXPECT_EQ(TakeLog(), "Debug: fresh\n");
    EXPECT_EQ(std::ifstream("Log.txt.1").rdbuf()->pubseekoff(0, std::ios::end),
              static_cast<std::streamoff>(kMaxDebugLogBytes + 1));
}

TEST_F(DebugLogTest, AppendsOneLinePerMessageCutToTheBufferKeepingTheMessagesOwnBreak) {
    DebugLog("lseek failed %lld\n", 512LL);
    DebugLog("no break");
    EXPECT_EQ(TakeLog(), "Debug: lseek failed 512\n\nDebug: no break\n");
    DebugLog("%s", std::string(5000, 'z').c_str());
    EXPECT_EQ(TakeLog(), "Debug: " + std::string(1023, 'z') + "\n");
    g_captured.clear();
    SetDebugSink(CaptureSink);
    DebugLog("read %lld\n", 5LL);
    SetDebugSink(nullptr);
    EXPECT_EQ(g_captured, "read 5\n");
    EXPECT_EQ(access("Log.txt", F_OK), -1);
}

}  // namespace
