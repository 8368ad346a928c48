#include "foundation/disk_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace {

std::vector<std::string> SplitColonList(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(':', start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// /sys/block/X/size counts 512-byte units whatever the device's sector size.
bool HasZeroSize(const std::string& sysDir) {
    std::ifstream in(sysDir + "/size");
    unsigned long long sectors = 0;
    return !(in >> sectors) || sectors == 0;
}

bool IsListedBlockDevice(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    if (StartsWith(name, "ram") || StartsWith(name, "zram")) return false;
    const std::string sysDir = "/sys/block/" + name;
    if (StartsWith(name, "loop") && !FileExists(sysDir + "/loop/backing_file")) return false;
    return !HasZeroSize(sysDir);
}

std::vector<std::string> ListBlockDevices() {
    std::vector<std::string> names;
    DIR* dir = opendir("/sys/block");
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (IsListedBlockDevice(name)) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (std::string& name : names) {
        // The kernel writes '/' in device names as '!' under /sys/block.
        std::replace(name.begin(), name.end(), '!', '/');
        paths.push_back("/dev/" + name);
    }
    return paths;
}

}  // namespace

std::vector<std::string> ListDiskPaths() {
    const char* overrideList = std::getenv("FERROWEN_DISKS");
    if (overrideList != nullptr) return SplitColonList(overrideList);
    return ListBlockDevices();
}

std::string GetDiskPath(int nDisk) {
    if (nDisk < 0) return {};
    const std::vector<std::string> disks = ListDiskPaths();
    return static_cast<size_t>(nDisk) < disks.size() ? disks[nDisk] : std::string();
}

int OpenDeviceReadOnly(const char* pszPath) {
    if (pszPath == nullptr || *pszPath == '\0') {
        errno = ENOENT;
        return -1;
    }
    // Without O_NONBLOCK a FIFO would hold the open for ever; only what holds sectors (an
    // image file or a block device) is a disk at all.
    const int fd = open(pszPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int GetDeviceSizeByPath(const char* pszPath, uint64_t& bytes) {
    bytes = 0;
    const int fd = OpenDeviceReadOnly(pszPath);
    if (fd < 0) return errno;
    bytes = GetDeviceSizeBytes(fd);
    close(fd);
    return 0;
}

int OpenDiskReadOnly(int nDisk) {
    return OpenDeviceReadOnly(GetDiskPath(nDisk).c_str());
}

uint64_t GetDeviceSizeBytes(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 0;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        return ioctl(fd, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
    }
    return st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}
