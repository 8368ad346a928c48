#include "ui/startup.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDebug>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/recovery_job.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "ui/drui.h"

extern char** environ;

namespace {

constexpr char kTmpMark[] = "tmp.";
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAuthenticate = 127;

// Variables of the user's session that the elevated window needs: pkexec clears them.
const char* const kSessionVariables[] = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY",
                                         "XDG_RUNTIME_DIR", "XDG_DATA_HOME"};

// The engines' debug messages take the same road as the window's own. They are C strings in
// UTF-8, and the handler writes UTF-8 again, so that a record name reaches the log as the
// bytes the engine logged.
void ForwardDebugLogToQt(const char* pszMessage) {
    QMessageLogger().debug().noquote() << QString::fromStdU16String(Ansi2Unicode(pszMessage));
}

std::string OwnExecutable() {
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string CurrentFolder() {
    char path[PATH_MAX] = {};
    return getcwd(path, sizeof path) != nullptr ? std::string(path) : std::string("/");
}

int RunLauncher() {
    const std::string exe = OwnExecutable();
    if (exe.empty()) {
        std::fprintf(stderr, "ferrowen: cannot find its own program file; nothing started.\n");
        return 0;
    }
    const std::vector<std::string> command =
        BuildElevationCommand(exe, CurrentFolder(), [](const char* name) { return getenv(name); });
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr,
                     "ferrowen: reading disks needs administrator rights, and pkexec (which asks"
                     " for them) is not installed.\nInstall the pkexec package, or start the"
                     " window as root with: sudo %s start\n",
                     exe.c_str());
        return 0;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecNotAuthorized) {
        std::fprintf(stderr, "ferrowen: administrator rights were not granted; nothing started.\n");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecCannotAuthenticate) {
        std::fprintf(stderr,
                     "ferrowen: administrator rights could not be asked for (is a polkit"
                     " authentication agent running?); nothing started.\n");
    }
    return 0;
}

// Standard error goes into "Out.txt" in the log root (never the current folder, which may lie
// on the disk being scanned) while the window runs; the original is kept to be put back at
// the end.
struct ErrorRedirect {
    int nOutFd = -1;
    int nSavedFd = -1;
    std::string path;

    void Begin() {
        const std::string root = GetScanLogRootPath();
        if (root.empty() || MakeFolderPath(root) != 0) return;
        path = root + "Out.txt";
        nOutFd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (nOutFd < 0) return;
        nSavedFd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        dup2(nOutFd, STDERR_FILENO);
    }
    void End() {
        if (nSavedFd >= 0) {
            dup2(nSavedFd, STDERR_FILENO);
            close(nSavedFd);
        }
        if (nOutFd >= 0) {
            close(nOutFd);
            unlink(path.c_str());
        }
    }
};

int RunApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    qInstallMessageHandler(customMessageHandler);
    SetDebugLogPath(DebugLogPathFromEnvironment());
    SetDebugSink(ForwardDebugLogToQt);
    ErrorRedirect redirect;
    redirect.Begin();
    if (inner_initUnicodeMap("UTF-8") != 0) DebugLog("inner_initUnicodeMap failed\n");
    {
        DRUI window;
        window.Init();
        window.show();
        app.exec();
    }
    const std::string logRoot = GetScanLogRootPath();
    if (!logRoot.empty()) DeleteTmpFile(logRoot.c_str());
    // The log lives in the user's folder: an elevated run leaves it to that user.
    if (!GetDebugLogPath().empty()) HandToElevatingUser(GetDebugLogPath());
    redirect.End();
    SetDebugSink(nullptr);
    qInstallMessageHandler(nullptr);
    return 0;
}

}  // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext& /*context*/,
                          const QString& msg) {
    if (type != QtDebugMsg) return;
    // The engines' log file, when the user asked for one; one append per message, so lines of
    // the two threads interleave whole.
    AppendDebugLine(msg.toStdString().c_str());
}

int DeleteTmpFile(const char* pszDir) {
    if (pszDir == nullptr) return 0;
    DIR* dir = opendir(pszDir);
    if (dir == nullptr) {
        DebugLog("open dir failed\n");
        return 0;
    }
    const int fd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        if (std::strstr(entry->d_name, kTmpMark) != nullptr) unlinkat(fd, entry->d_name, 0);
    }
    closedir(dir);
    return 1;
}

std::vector<std::string> BuildElevationCommand(
    const std::string& strExe, const std::string& strCwd,
    const std::function<const char*(const char*)>& getEnv) {
    std::vector<std::string> command = {"pkexec", "/usr/bin/env", "--chdir=" + strCwd};
    for (const char* name : kSessionVariables) {
        const char* value = getEnv(name);
        if (value != nullptr && *value != '\0') command.push_back(std::string(name) + "=" + value);
    }
    command.push_back(strExe);
    command.push_back("start");
    return command;
}

int FerrowenMain(int argc, char** argv) {
    if (argc == 2) return RunApplication(argc, argv);
    if (geteuid() == 0) {
        char start[] = "start";
        char* args[] = {argv[0], start, nullptr};
        return RunApplication(2, args);
    }
    return RunLauncher();
}
