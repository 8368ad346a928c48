#include "engine/target_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <vector>

#include "engine/log_file_manager.h"
#include "engine/recovery_job.h"
#include "foundation/text.h"

namespace {
constexpr int kMaxTargetPathUnits = 4096;
}

int WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t written = write(fd, p, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += written;
        n -= static_cast<size_t>(written);
    }
    return 0;
}

int MakeTargetFolder(const std::u16string& path) {
    const std::string utf8 = WideToUtf8(path);
    if (mkdir(utf8.c_str(), 0755) == 0) return 0;
    const int error = errno;
    struct stat st;
    if (error == EEXIST && stat(utf8.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return error;
}

int FreeChildPath(const std::u16string& folder, const char* pszName, std::u16string& out) {
    const std::u16string wanted = folder + u"/" + SafeFileNameComponent(pszName);
    std::vector<char16_t> chosen(kMaxTargetPathUnits);
    const int result = GetRealFileName(wanted.c_str(), chosen.data(), kMaxTargetPathUnits);
    if (result != 0) return result;
    out = chosen.data();
    return 0;
}

void RemoveStoreFiles(const char* pszName) {
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) != 0) return;
    const std::string base = std::string(folder) + pszName;
    for (const char* suffix : {"", "_Relation", "_DirInfo"}) unlink((base + suffix).c_str());
}
