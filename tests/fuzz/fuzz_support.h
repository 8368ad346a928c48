// What the image-based fuzz targets share: a disk image held in memory and handed to the
// engines by path, exactly as an image named in FERROWEN_DISKS would be, and a scan-log root
// of the process's own under the temporary folder.
//
// The log root is made once per process and removed when the process exits normally
// (libFuzzer ends a timed run with exit()), so a long campaign leaves no folders behind; a
// crashing run leaves its root for the post-mortem. The engines' debug messages are dropped
// instead of being appended to "Log.txt" in the current folder, which would grow without
// bound over a campaign and cost a file open per message.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/debug_log.h"
#include "store/log_file_manager.h"

namespace ferrowen::fuzz {

// A file in memory holding a copy of the bytes; closed with the object.
class MemoryImage {
public:
    MemoryImage(const uint8_t* data, size_t size) {
        m_fd = memfd_create("ferrowen-fuzz-image", MFD_CLOEXEC);
        if (m_fd < 0) return;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(m_fd, data + done, size - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        m_size = done;
    }
    ~MemoryImage() {
        if (m_fd >= 0) close(m_fd);
    }
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    size_t size() const { return m_size; }
    // The path by which the engines open it: /proc/self/fd/N.
    std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }
    // Makes it disk 0 of the disk table.
    void BecomeDiskZero() const { ::setenv("FERROWEN_DISKS", path().c_str(), 1); }

private:
    int m_fd = -1;
    size_t m_size = 0;
};

namespace detail {

inline void DropDebugMessage(const char*) {}

// Removes the root when the process exits; constructed once, by ScanLogRoot().
struct LogRootOwner {
    std::string path;
    LogRootOwner() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ferrowen-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        path = pattern;
        ::setenv("XDG_DATA_HOME", path.c_str(), 1);
    }
    ~LogRootOwner() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace detail

// The process's private XDG_DATA_HOME (empty when it could not be made), with the scan-log
// index loaded from it. The first call sets everything up.
inline const std::string& ScanLogRoot() {
    static detail::LogRootOwner owner;
    static const bool ready = [] {
        SetDebugSink(detail::DropDebugMessage);
        CLogFileManager::GetInstance()->Init();
        return true;
    }();
    (void)ready;
    return owner.path;
}

// Removes the scan folder the last scan wrote its stores into.
inline void RemoveCurrentScanFolder() {
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

// Empties the whole scan-log root (every scan folder, the checkpoint index, preview files)
// and reloads the index, so that the next run starts as on a fresh machine.
inline void ResetScanLogRoot() {
    const std::string& root = ScanLogRoot();
    if (root.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(root + "/Ferrowen", ignored);
    CLogFileManager::GetInstance()->Init();
}

}  // namespace ferrowen::fuzz
