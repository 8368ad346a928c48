#include "store/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "foundation/result.h"
#include "foundation/text.h"

namespace {
constexpr int kMaxTargetPathUnits = 4096;
}

int WriteAll(int fd, const void* p, size_t n, off_t offset) {
    const char* bytes = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t written = offset < 0 ? write(fd, bytes, n) : pwrite(fd, bytes, n, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;  // no progress: never loop for ever
        bytes += written;
        n -= static_cast<size_t>(written);
        if (offset >= 0) offset += written;
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

std::u16string SafeFileNameComponent(const char* pszName) {
    std::u16string name = Ansi2Unicode(pszName != nullptr ? pszName : "");
    // A '/' would name a sub-folder; control characters would reach a terminal listing the
    // destination raw.
    std::replace_if(
        name.begin(), name.end(), [](char16_t c) { return c == u'/' || c < 0x20 || c == 0x7F; },
        u'_');
    if (name.empty() || name == u"." || name == u"..") name = u"_";
    return name;
}

int FreeChildPath(const std::u16string& folder, const char* pszName, std::u16string& out) {
    const std::u16string wanted = folder + u"/" + SafeFileNameComponent(pszName);
    std::vector<char16_t> chosen(kMaxTargetPathUnits);
    const int result = GetRealFileName(wanted.c_str(), chosen.data(), kMaxTargetPathUnits);
    if (result != 0) return result;
    out = chosen.data();
    return 0;
}

namespace {

bool g_keepPartialFiles = false;

// Opens a new file beside target under a hidden working name: ".<name>.partial", then
// ".<name>.partial1", ... until one is free. The descriptor, or -1 with errno.
int OpenWorkingFile(const std::string& target, std::string& working) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = target.substr(slash == std::string::npos ? 0 : slash + 1);
    for (int n = 0; n < 1000; ++n) {
        working = folder + "." + name + ".partial" + (n == 0 ? "" : std::to_string(n));
        const int fd =
            open(working.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Gives the finished working file its final name, never replacing a file that took that name
// meanwhile. 0 or errno.
int MoveIntoPlace(const std::string& working, const std::string& target) {
    if (renameat2(AT_FDCWD, working.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system that cannot promise "no replace": a new link fails on an existing name.
    if (link(working.c_str(), target.c_str()) == 0) {
        unlink(working.c_str());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    struct stat st;
    if (lstat(target.c_str(), &st) == 0) return EEXIST;
    return rename(working.c_str(), target.c_str()) == 0 ? 0 : errno;
}

// What stays of a file that did not come back whole: nothing, or its bytes under
// "<name>.partial" when the user asked to keep them.
void DropWorkingFile(const std::string& working, const std::string& target) {
    if (g_keepPartialFiles) {
        const std::string kept = target + ".partial";
        if (renameat2(AT_FDCWD, working.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0)
            return;
    }
    unlink(working.c_str());
}

}  // namespace

void SetKeepPartialFiles(bool bKeep) {
    g_keepPartialFiles = bKeep;
}

int WriteRecordFile(const std::u16string& target, uint64_t u64Size, const DATA_SOURCE& source,
                    const std::function<int(int nPercent, int nError)>& report) {
    const std::string final = WideToUtf8(target);
    // The final name must be free now, and is taken only when the file is complete.
    struct stat st;
    if (lstat(final.c_str(), &st) == 0) {
        report(100, EEXIST);
        return EEXIST;
    }
    std::string working;
    const int fd = OpenWorkingFile(final, working);
    if (fd < 0) {
        const int error = errno;
        report(100, error);
        return error;
    }
    uint64_t delivered = 0;
    bool cancelled = false;
    int result = source(u64Size, [&](const unsigned char* p, uint32_t n) {
        const int error = WriteAll(fd, p, n);
        if (error != 0) return error;
        delivered += n;
        cancelled = report(PercentOf(delivered, u64Size), 0) != 0;
        return cancelled ? static_cast<int>(ERROR_USER_CANCEL) : 0;
    });
    if (close(fd) != 0 && result == 0) result = errno;
    if (result == 0) result = MoveIntoPlace(working, final);
    if (result != 0) {
        DropWorkingFile(working, final);
        if (!cancelled) report(100, result);
        return result;
    }
    if (u64Size == 0) return CancelOf(report(100, 0));
    return 0;
}
