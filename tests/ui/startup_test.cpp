// Start-up pieces: the debug log handler, the removal of temporary preview files, and the
// launcher's elevation command.
#include "ui/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QtGlobal>
#include <fstream>
#include <map>
#include <sstream>

#include "foundation/debug_log.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

TEST(MessageHandlerTest, DebugMessagesBecomeLinesOfTheLogAndOthersAreDropped) {
    SandboxedHome home;
    const QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    qDebug("lseek failed %d\n", 512);
    qWarning("not logged");
    qDebug("second");
    qInstallMessageHandler(previous);
    EXPECT_EQ(ReadAll(home.WorkDir() + "/Log.txt"), "Debug: lseek failed 512\n\nDebug: second\n");
}

TEST(MessageHandlerTest, NonAsciiTextIsLoggedInTheCStringEncoding) {
    SandboxedHome home;
    const QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    qDebug().noquote() << QString::fromUtf8("照片");
    qInstallMessageHandler(previous);
    EXPECT_EQ(ReadAll(home.WorkDir() + "/Log.txt"), "Debug: \xD5\xD5\xC6\xAC\n");  // GB2312
}

TEST(DeleteTmpFileTest, RemovesEveryNameHoldingTheMarkAndNothingElse) {
    TempDir dir;
    for (const char* name : {"tmp.jpg", "mytmp.txt", "Fast_0_2024101512", "config", "tmpjpg"}) {
        Touch(dir.path() + "/" + name);
    }
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    EXPECT_EQ(DeleteTmpFile(dir.path().c_str()), 1);
    EXPECT_FALSE(Exists(dir.path() + "/tmp.jpg"));
    EXPECT_FALSE(Exists(dir.path() + "/mytmp.txt"));
    EXPECT_TRUE(Exists(dir.path() + "/Fast_0_2024101512"));
    EXPECT_TRUE(Exists(dir.path() + "/config"));
    EXPECT_TRUE(Exists(dir.path() + "/tmpjpg"));
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);
}

TEST(DeleteTmpFileTest, AFolderThatCannotBeListedIsReported) {
    SandboxedHome home;
    SetDebugSink(nullptr);
    EXPECT_EQ(DeleteTmpFile((home.WorkDir() + "/missing").c_str()), 0);
    EXPECT_EQ(ReadAll(home.WorkDir() + "/Log.txt"), "Debug: open dir failed\n\n");
}

TEST(ElevationTest, PkexecRunsEnvWithTheSessionThenTheProgramWithStart) {
    const std::map<std::string, std::string> session = {
        {"DISPLAY", ":1"}, {"XAUTHORITY", "/home/u/.Xauthority"}, {"XDG_DATA_HOME", "/home/u/d"}};
    const auto getEnv = [&session](const char* name) -> const char* {
        const auto found = session.find(name);
        return found != session.end() ? found->second.c_str() : nullptr;
    };
    EXPECT_EQ(BuildElevationCommand("/usr/bin/ferrowen", "/home/u", getEnv),
              (std::vector<std::string>{"pkexec", "/usr/bin/env", "--chdir=/home/u", "DISPLAY=:1",
                                        "XAUTHORITY=/home/u/.Xauthority", "XDG_DATA_HOME=/home/u/d",
                                        "/usr/bin/ferrowen", "start"}));
}

}  // namespace
}  // namespace ferrowen::test
