#include "engine/target_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "engine/log_file_manager.h"
#include "engine/recovery_job.h"
#include "engine/scan_result_file_manager.h"
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

int PreviewRecord(const _FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                  unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx,
                  const DATA_SOURCE& source) {
    const int bufferSize = nBufLen;
    nBufLen = 0;
    auto finish = [&](int result) {
        if (cb != nullptr) cb(ctx, 100, result);
        return result;
    };
    if (pNode == nullptr) return finish(87);

    char ext[256] = {};
    const bool photo = GetExtendName(pNode->szFileName, ext, sizeof ext) == 0 &&
                       (GetCharLowerA(ext), IsPhotoExtension(ext));
    std::string tmpPath;
    int fd = -1;
    if (photo && pszTmpPath != nullptr) {
        const std::string root = GetScanLogRootPath();
        MakeFolderPath(root);
        tmpPath = root + "tmp." + ext;
        const std::u16string wide = Utf8ToWide(tmpPath.c_str());
        if (tmpPath.size() < 256 && wide.size() < static_cast<size_t>(nTmpPathChars)) {
            std::copy(wide.c_str(), wide.c_str() + wide.size() + 1, pszTmpPath);
            unlink(tmpPath.c_str());
            fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0) return finish(errno);
        }
    }
    const bool toFile = fd >= 0;
    if (!toFile && pBuf == nullptr) return finish(87);
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
        return cb != nullptr ? cb(ctx, PercentOf(done, total), 0) : 0;
    });
    if (toFile) {
        if (close(fd) != 0 && result == 0) result = errno;
        if (result != 0) unlink(tmpPath.c_str());
    } else {
        nBufLen = static_cast<int>(done);
    }
    return finish(result);
}

int RecoverFolderTree(IFileRecoveryParse& engine, std::deque<__FILE_DATA_RECOVERY__>& queue,
                      int nBaseDirIndex,
                      const std::function<int(_FILE_NODE_*, const std::u16string&)>& saveOne) {
    int result = 0;
    while (!queue.empty()) {
        __FILE_DATA_RECOVERY__ item = queue.front();
        queue.pop_front();
        unsigned int separators = 0;
        GetPathDirIndex(item.strTargetPath.c_str(), separators);
        const int level = static_cast<int>(separators) - nBaseDirIndex;
        std::vector<_FILE_NODE_> children;
        const int listed = engine.GetChildrenFileNode(
            &item.node, static_cast<unsigned int>(std::max(level, 0)), children);
        if (listed != 0) {
            result = listed;
            continue;
        }
        for (_FILE_NODE_& child : children) {
            std::u16string childPath;
            result = FreeChildPath(item.strTargetPath, child.szFileName, childPath);
            if (result == 0) result = saveOne(&child, childPath);
            if (result == ERROR_USER_CANCEL) {
                queue.clear();
                return result;
            }
        }
    }
    return result;
}

int SaveRecordOrTree(IFileRecoveryParse& engine, std::deque<__FILE_DATA_RECOVERY__>& queue,
                     _FILE_NODE_* pNode, const char16_t* pszTargetPath, int nBaseDirIndex,
                     const std::function<int(_FILE_NODE_*, const std::u16string&)>& saveOne) {
    const std::u16string target = pszTargetPath != nullptr ? pszTargetPath : u"";
    if (pNode == nullptr || pszTargetPath == nullptr || pNode->bIsDir == 0) {
        return saveOne(pNode, target);
    }
    queue.clear();
    const int result = saveOne(pNode, target);
    if (result != 0) return result;
    return RecoverFolderTree(engine, queue, nBaseDirIndex, saveOne);
}

int WriteRecordFile(const std::u16string& target, uint64_t u64Size, const DATA_SOURCE& source,
                    const std::function<int(int nPercent, int nError)>& report) {
    const int fd = open(WideToUtf8(target).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        report(100, error);
        return error;
    }
    uint64_t delivered = 0;
    bool stoppedByCallback = false;
    int result = source(u64Size, [&](const unsigned char* p, uint32_t n) {
        const int error = WriteAll(fd, p, n);
        if (error != 0) return error;
        delivered += n;
        const int answer = report(PercentOf(delivered, u64Size), 0);
        stoppedByCallback = answer != 0;
        return answer;
    });
    if (close(fd) != 0 && result == 0) result = errno;
    if (result == 0 && u64Size == 0) return report(100, 0);
    if (result != 0 && !stoppedByCallback) report(100, result);
    return result;
}
