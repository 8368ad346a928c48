#include "store/preview.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

bool IsPhotoName(const char* pszName, char (&ext)[256]) {
    return GetExtendName(pszName, ext, sizeof ext) == 0 &&
           (GetCharLowerA(ext), IsPhotoExtension(ext));
}

// Opens the temporary file of a picture preview and writes its path into pszTmpPath; -1 (with
// nothing written) when the path does not fit, -1 with errno when the file cannot be made.
int OpenPreviewFile(const char* pszExt, char16_t* pszTmpPath, int nTmpPathChars,
                    std::string& tmpPath) {
    const std::string root = GetScanLogRootPath();
    MakeFolderPath(root);
    tmpPath = root + "tmp." + pszExt;
    const std::u16string wide = Utf8ToWide(tmpPath.c_str());
    if (tmpPath.size() >= 256 || wide.size() >= static_cast<size_t>(nTmpPathChars)) {
        errno = 0;
        return -1;
    }
    std::copy(wide.c_str(), wide.c_str() + wide.size() + 1, pszTmpPath);
    unlink(tmpPath.c_str());
    return open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

}  // namespace

int PreviewRecord(const _FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                  unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx,
                  const DATA_SOURCE& source) {
    const int bufferSize = nBufLen;
    nBufLen = 0;
    auto finish = [&](int result) {
        if (cb != nullptr) cb(ctx, 100, result);
        return result;
    };
    if (pNode == nullptr) return finish(RESULT_INVALID_ARGUMENT);

    char ext[256] = {};
    std::string tmpPath;
    int fd = -1;
    if (IsPhotoName(pNode->szFileName, ext) && pszTmpPath != nullptr && nTmpPathChars > 0) {
        fd = OpenPreviewFile(ext, pszTmpPath, nTmpPathChars, tmpPath);
        if (fd < 0 && errno != 0) return finish(errno);
    }
    const bool toFile = fd >= 0;
    if (!toFile && pBuf == nullptr) return finish(RESULT_INVALID_ARGUMENT);
    const uint64_t total = toFile
                               ? pNode->u64FileSize
                               : std::min<uint64_t>(pNode->u64FileSize,
                                                    static_cast<uint64_t>(std::max(bufferSize, 0)));
    uint64_t done = 0;
    int result = source(total, [&](const unsigned char* p, uint32_t n) {
        if (toFile) {
            const int error = WriteAll(fd, p, n);
            if (error != 0) return error;
        } else {
            std::memcpy(pBuf + done, p, n);
        }
        done += n;
        return cb != nullptr ? CancelOf(cb(ctx, PercentOf(done, total), 0)) : 0;
    });
    if (toFile) {
        if (close(fd) != 0 && result == 0) result = errno;
        if (result != 0) unlink(tmpPath.c_str());
    } else {
        nBufLen = static_cast<int>(done);
    }
    return finish(result);
}
