// What the image-based fuzz targets share: a disk image held in memory and handed to the
// engines by path, as an image named in FERROWEN_DISKS would be, and a scan-log root of the
// process's own, removed when the process exits normally (libFuzzer ends a timed run with
// exit()); a crashing run leaves it for the post-mortem. The engines' debug messages are
// dropped, not appended to "Log.txt", which would grow without bound over a campaign.
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
    MemoryImage(const uint8_t* data, size_t size)
        : m_fd(memfd_create("ferrowen-fuzz-image", MFD_CLOEXEC)) {
        for (ssize_t n = 0; m_fd >= 0 && m_size < size; m_size += static_cast<size_t>(n))
            if ((n = write(m_fd, data + m_size, size - m_size)) <= 0) break;
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

// The process's private XDG_DATA_HOME (empty when it could not be made), with the scan-log
// index loaded from it. The first call sets everything up; the root goes at exit.
inline const std::string& ScanLogRoot() {
    static struct Owner {
        std::string path;
        Owner() {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp");
            pattern += "/ferrowen-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                path = pattern;
                ::setenv("XDG_DATA_HOME", path.c_str(), 1);
            }
            SetDebugSink([](const char*) {});
            CLogFileManager::GetInstance()->Init();
        }
        ~Owner() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove_all(path, ignored);
        }
    } owner;
    return owner.path;
}

// Removes the scan folder the last scan wrote its stores into.
inline void RemoveCurrentScanFolder() {
    char folder[4096];
    std::error_code ignored;
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) == 0)
        std::filesystem::remove_all(folder, ignored);
}

// Empties the whole scan-log root (every scan folder, the checkpoint index, preview files)
// and reloads the index, so that the next run starts as on a fresh machine.
inline void ResetScanLogRoot() {
    std::error_code ignored;
    if (ScanLogRoot().empty()) return;
    std::filesystem::remove_all(ScanLogRoot() + "/Ferrowen", ignored);
    CLogFileManager::GetInstance()->Init();
}

}  // namespace ferrowen::fuzz
