#include "store/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    std::replace(name.begin(), name.end(), u'/', u'_');
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

int WriteRecordFile(const std::u16string& target, uint64_t u64Size, const DATA_SOURCE& source,
                    const std::function<int(int nPercent, int nError)>& report) {
    const int fd = open(WideToUtf8(target).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    if (result == 0 && u64Size == 0) return CancelOf(report(100, 0));
    if (result != 0 && !cancelled) report(100, result);
    return result;
}
