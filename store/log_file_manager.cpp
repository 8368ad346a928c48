#include "store/log_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/result.h"
#include "foundation/system_utils.h"
#include "store/file_writer.h"

namespace {

constexpr size_t kCounterBytes = sizeof(uint64_t);
constexpr size_t kEntryBytes = sizeof(_LOG_FILE_INFO_);
// An index this large is not one this program wrote; what lies beyond is ignored rather than
// letting a hostile file decide how much memory start-up takes.
constexpr size_t kMaxEntries = 1 << 16;
// Scan folders hold flat stores; anything nested deeper is not ours to walk.
constexpr int kMaxDeleteDepth = 16;

void CopyText(char* pDst, size_t nDstSize, const char* pSrc) {
    if (nDstSize == 0) return;
    const size_t n = pSrc == nullptr ? 0 : strnlen(pSrc, nDstSize - 1);
    if (n > 0) std::memcpy(pDst, pSrc, n);
    pDst[n] = '\0';
}

// A device as a checkpoint names it: its absolute path, so that a relative path given in one
// run finds the same checkpoint from another folder.
std::string CanonicalDevice(const char* pszDevice) {
    if (pszDevice == nullptr || pszDevice[0] == '\0') return "";
    char resolved[PATH_MAX];
    return realpath(pszDevice, resolved) != nullptr ? resolved : pszDevice;
}

// FNV-1a, 64 bits: enough to tell two volumes apart, not a guard against a forger.
uint64_t Fnv1a(uint64_t hash, const void* pData, size_t nBytes) {
    const auto* p = static_cast<const unsigned char*>(pData);
    for (size_t i = 0; i < nBytes; ++i) hash = (hash ^ p[i]) * 0x100000001B3ull;
    return hash;
}

// The first line of a sysfs attribute of the device's disk ("" when there is none).
std::string SysfsText(const std::string& device, const char* attribute) {
    const std::string name = device.substr(device.rfind('/') + 1);
    for (const char* up : {"/device/", "/../device/"}) {
        std::ifstream in("/sys/class/block/" + name + up + attribute);
        std::string line;
        if (in && std::getline(in, line)) return line;
    }
    return "";
}

// What tells whether a volume still holds what a kept scan saw: its place and size, its first
// and last MiB (a scan never writes them; a format, a copy of other files or another card in
// the same slot does), and the disk's model and serial where the system knows them. 0 when
// the device cannot be read.
uint64_t ReadVolumeFingerprint(const char* pszDeviceText, uint64_t u64StartSector,
                               uint64_t u64SectorCount) {
    if (pszDeviceText == nullptr || pszDeviceText[0] == '\0') return 0;
    const int fd = OpenDeviceReadOnly(pszDeviceText);
    if (fd < 0) return 0;
    constexpr uint64_t kSector = 512, kSpan = 1024 * 1024;
    uint64_t hash = Fnv1a(0xCBF29CE484222325ull, &u64StartSector, sizeof u64StartSector);
    hash = Fnv1a(hash, &u64SectorCount, sizeof u64SectorCount);
    const uint64_t bytes = u64SectorCount * kSector, start = u64StartSector * kSector;
    std::vector<unsigned char> span(kSpan);
    bool read = true;
    for (const uint64_t at : {uint64_t{0}, bytes > kSpan ? bytes - kSpan : uint64_t{0}}) {
        const ssize_t got =
            pread(fd, span.data(), std::min(kSpan, bytes), static_cast<off_t>(start + at));
        read = read && got >= 0;
        if (got > 0) hash = Fnv1a(hash, span.data(), static_cast<size_t>(got));
    }
    close(fd);
    if (!read) return 0;
    for (const char* attribute : {"model", "serial"}) {
        const std::string text = SysfsText(pszDeviceText, attribute);
        hash = Fnv1a(hash, text.data(), text.size());
    }
    return hash == 0 ? 1 : hash;
}

// The fingerprint as the volume was when this process first looked, at the start of its scan:
// a device that goes away during the scan keeps the checkpoint it earned.
uint64_t VolumeFingerprint(const char* pszDeviceText, uint64_t u64StartSector,
                           uint64_t u64SectorCount) {
    static std::map<std::tuple<std::string, uint64_t, uint64_t>, uint64_t> seen;
    const auto key = std::make_tuple(std::string(pszDeviceText != nullptr ? pszDeviceText : ""),
                                     u64StartSector, u64SectorCount);
    const auto known = seen.find(key);
    if (known != seen.end()) return known->second;
    const uint64_t fingerprint =
        ReadVolumeFingerprint(pszDeviceText, u64StartSector, u64SectorCount);
    if (fingerprint != 0) seen[key] = fingerprint;
    return fingerprint;
}

size_t ReadAll(int fd, void* pData, size_t nBytes) {
    char* p = static_cast<char*>(pData);
    size_t done = 0;
    while (done < nBytes) {
        const ssize_t n = read(fd, p + done, nBytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Removes the contents of the open folder dirFd, never following a symbolic link: a link is
// removed itself, whatever it points at.
void RemoveFolderContents(int dirFd, int nDepth) {
    DIR* dir = fdopendir(dirFd);
    if (dir == nullptr) {
        close(dirFd);
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (nDepth < kMaxDeleteDepth) {
                const int child =
                    openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0) RemoveFolderContents(child, nDepth + 1);
            }
            if (unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0) {
                DebugLog("remove folder %s failed %d\n", name, errno);
            }
        } else if (unlinkat(dirfd(dir), name, 0) != 0) {
            DebugLog("remove file %s failed %d\n", name, errno);
        }
    }
    closedir(dir);
}

void RemoveFolderTree(const std::string& path) {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;  // missing, not a folder, or a link: nothing of ours to delete
    RemoveFolderContents(fd, 0);
    if (rmdir(folder.c_str()) != 0) DebugLog("rmdir %s failed %d\n", folder.c_str(), errno);
}

}  // namespace

std::string GetScanLogRootPath() {
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;  // the XDG rules ignore a relative value
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd* pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] != '/') return {};
        base = home;
        while (!base.empty() && base.back() == '/') base.pop_back();
        base += "/.local/share";
    }
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/Ferrowen/ScanLog/";
}

std::string DebugLogPathFromEnvironment() {
    const char* value = std::getenv("FERROWEN_DEBUG_LOG");
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) return "";
    if (std::strcmp(value, "1") != 0 && std::strcmp(value, "on") != 0) return value;
    const std::string root = GetScanLogRootPath();
    if (root.empty() || MakeFolderPath(root) != 0) return "";
    return root + "Log.txt";
}

int MakeFolderPath(const std::string& path) {
    if (path.empty()) return ENOENT;
    size_t pos = 0;
    while (pos < path.size()) {
        const size_t slash = path.find('/', pos + 1);
        const std::string part = path.substr(0, slash);
        pos = slash == std::string::npos ? path.size() : slash;
        if (part.empty() || part == "/") continue;
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

CLogFileManager* CLogFileManager::GetInstance() {
    static CLogFileManager manager;
    return &manager;
}

CLogFileManager::CLogFileManager() {
    Init();
}

int CLogFileManager::Init() {
    m_vecLogFileInfo.clear();
    m_llDirIndex = 0;
    ClearResume();
    m_strLogRoot = GetScanLogRootPath();
    if (m_strLogRoot.empty()) {
        DebugLog("no home folder for the scan log\n");
        return RESULT_INVALID_ARGUMENT;
    }
    // The window creates the root at start-up, but the command line and tests have no window.
    if (MakeFolderPath(m_strLogRoot) != 0) DebugLog("mkdir %s failed\n", m_strLogRoot.c_str());

    const std::string indexPath = m_strLogRoot + "config";
    const std::string tmpPath = indexPath + ".tmp";
    // A rewrite interrupted between writing the new index and renaming it is completed.
    if (!PathExists(indexPath) && PathExists(tmpPath)) rename(tmpPath.c_str(), indexPath.c_str());
    return LoadIndexFile(indexPath);
}

int CLogFileManager::LoadIndexFile(const std::string& indexPath) {
    int fd = open(indexPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) fd = open(indexPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return RESULT_INVALID_ARGUMENT;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    if (st.st_size <= 0) {
        close(fd);
        return RESULT_INVALID_ARGUMENT;
    }
    size_t size = static_cast<size_t>(st.st_size);
    const size_t limit = kCounterBytes + kMaxEntries * kEntryBytes;
    if (size > limit) {
        DebugLog("scan log index of %zu bytes, only %zu read\n", size, limit);
        size = limit;
    }
    std::string bytes(size, '\0');
    const size_t got = ReadAll(fd, bytes.data(), size);
    close(fd);
    if (got < size) return RESULT_SHORT_READ;

    if (size < kCounterBytes) return 0;
    std::memcpy(&m_llDirIndex, bytes.data(), kCounterBytes);
    for (size_t offset = kCounterBytes; offset + kEntryBytes <= size; offset += kEntryBytes) {
        _LOG_FILE_INFO_ info;
        std::memcpy(&info, bytes.data() + offset, kEntryBytes);
        // Texts come from a file that may be damaged: they are made to end inside their field.
        info.szDevicePath[sizeof info.szDevicePath - 1] = '\0';
        info.szLogDirPath[sizeof info.szLogDirPath - 1] = '\0';
        m_vecLogFileInfo.push_back(info);
    }
    return 0;
}

int CLogFileManager::SaveLogConfigFile() {
    if (m_strLogRoot.empty()) return ENOENT;
    const std::string indexPath = m_strLogRoot + "config";
    const std::string tmpPath = indexPath + ".tmp";
    const int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int result = WriteAll(fd, &m_llDirIndex, kCounterBytes);
    for (size_t i = 0; result == 0 && i < m_vecLogFileInfo.size(); ++i) {
        result = WriteAll(fd, &m_vecLogFileInfo[i], kEntryBytes);
    }
    if (result == 0 && fsync(fd) != 0) result = errno;
    close(fd);
    if (result != 0) {
        // A half-written index must not replace a complete one.
        unlink(tmpPath.c_str());
        DebugLog("write scan log index failed %d\n", result);
        return result;
    }
    if (rename(tmpPath.c_str(), indexPath.c_str()) != 0) return errno;
    return 0;
}

int CLogFileManager::GetLogFileDirPath(char* pszPath, int nPathSize) const {
    if (pszPath == nullptr || nPathSize <= 0) return RESULT_INVALID_ARGUMENT;
    std::string path =
        m_nResume == 1 ? m_strResumeDir : m_strLogRoot + std::to_string(m_llDirIndex) + "/";
    if (m_strLogRoot.empty() && m_nResume != 1) path.clear();
    // A cut path would name another folder; an empty one makes the caller fail instead.
    if (path.empty() || path.size() >= static_cast<size_t>(nPathSize)) {
        pszPath[0] = '\0';
        return RESULT_INVALID_ARGUMENT;
    }
    std::memcpy(pszPath, path.c_str(), path.size() + 1);
    return 0;
}

void CLogFileManager::AddDirIndex() {
    // Wraps instead of overflowing when a damaged index holds the largest counter.
    m_llDirIndex = static_cast<long long>(static_cast<unsigned long long>(m_llDirIndex) + 1);
    ClearResume();
    char path[4096];
    if (GetLogFileDirPath(path, sizeof path) == 0) DeleteLogFileDir(path);
}

void CLogFileManager::ReduceDirIndex() {
    m_llDirIndex = static_cast<long long>(static_cast<unsigned long long>(m_llDirIndex) - 1);
}

int CLogFileManager::DeleteLogFileDir(const char* pszDirPath) {
    if (pszDirPath == nullptr) return 0;
    for (auto it = m_vecLogFileInfo.begin(); it != m_vecLogFileInfo.end(); ++it) {
        if (strcasecmp(it->szLogDirPath, pszDirPath) == 0) {
            m_vecLogFileInfo.erase(it);
            break;
        }
    }
    RemoveScanFolder(pszDirPath);
    return 0;
}

void CLogFileManager::RemoveScanFolder(const std::string& path) const {
    if (IsInsideLogRoot(path)) {
        RemoveFolderTree(path);
    } else if (!path.empty()) {
        DebugLog("not deleting %s: outside the scan log\n", path.c_str());
    }
}

bool CLogFileManager::IsInsideLogRoot(const std::string& path) const {
    // Index entries come from a file that may be damaged or planted; only a direct sub-folder
    // of the log root is ever deleted, so a bad entry cannot take anything else with it.
    if (m_strLogRoot.empty() || path.size() <= m_strLogRoot.size()) return false;
    if (path.compare(0, m_strLogRoot.size(), m_strLogRoot) != 0) return false;
    std::string rest = path.substr(m_strLogRoot.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    return !rest.empty() && rest != "." && rest != ".." && rest.find('/') == std::string::npos;
}

int CLogFileManager::GetLogFileNameByFileType(const char* pszDirPath, const char* pszPrefix,
                                              char* pszName, int nNameSize) const {
    if (pszDirPath == nullptr || pszPrefix == nullptr || pszName == nullptr || nNameSize <= 0) {
        return 0;
    }
    DIR* dir = opendir(pszDirPath);
    if (dir == nullptr) {
        DebugLog("open dir failed\n");
        return 0;
    }
    std::string best;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (std::strstr(name, pszPrefix) == nullptr) continue;
        if (!found || std::strcmp(name, best.c_str()) < 0) {
            best = name;
            found = true;
        }
    }
    closedir(dir);
    if (found && best.size() < static_cast<size_t>(nNameSize)) {
        std::memcpy(pszName, best.c_str(), best.size() + 1);
    }
    return 0;
}

int CLogFileManager::FindEntry(const char* pszDeviceText, int nDiskNumber, uint64_t u64StartSector,
                               uint64_t u64SectorCount) const {
    const std::string device = pszDeviceText != nullptr ? pszDeviceText : "";
    for (size_t i = 0; i < m_vecLogFileInfo.size(); ++i) {
        const _LOG_FILE_INFO_& info = m_vecLogFileInfo[i];
        // A checkpoint that names its device belongs to that device only, whatever number the
        // disk table gives it this time.
        const bool sameDevice = info.szDevicePath[0] != '\0'
                                    ? device == info.szDevicePath
                                    : info.nDiskNumber == static_cast<uint32_t>(nDiskNumber);
        if (sameDevice && info.u64StartSector == u64StartSector &&
            info.u64SectorCount == u64SectorCount) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CLogFileManager::ClearResume() {
    m_nResume = 0;
    m_strResumeDir.clear();
}

int CLogFileManager::LoadRecoveryLogInfo(const char* pszDeviceText, int nDiskNumber,
                                         uint64_t u64StartSector, uint64_t u64SectorCount,
                                         _LOG_FILE_INFO_* pInfo) {
    const std::string device = CanonicalDevice(pszDeviceText);
    const uint64_t fingerprint = VolumeFingerprint(device.c_str(), u64StartSector, u64SectorCount);
    const int index = FindEntry(device.c_str(), nDiskNumber, u64StartSector, u64SectorCount);
    if (index < 0) {
        ClearResume();
        return 0;
    }
    const _LOG_FILE_INFO_ entry = m_vecLogFileInfo[index];
    if (entry.u64Fingerprint == fingerprint && entry.uRecordCodec == kRecordCodecUtf8) {
        m_nResume = 1;
        m_strResumeDir = entry.szLogDirPath;
        if (pInfo != nullptr) *pInfo = entry;
        return 1;
    }
    // The device changed since the checkpoint, so its results no longer describe it; or they
    // were written with another name codec and would be misread.
    m_vecLogFileInfo.erase(m_vecLogFileInfo.begin() + index);
    RemoveScanFolder(entry.szLogDirPath);
    ClearResume();
    return 0;
}

int CLogFileManager::SaveLogFileInfo(const char* pszDeviceText, int nDiskNumber,
                                     uint64_t u64StartSector, uint64_t u64SectorCount,
                                     uint64_t u64RangeStart, uint64_t u64RangeLength,
                                     uint64_t u64RangeOffset, uint64_t u64ScannedSectors,
                                     uint64_t u64FilesFound, const char* pszLogDirPath,
                                     const char* pszDevicePath) {
    const std::string device = CanonicalDevice(
        pszDevicePath != nullptr && pszDevicePath[0] != '\0' ? pszDevicePath : pszDeviceText);
    const uint64_t fingerprint = VolumeFingerprint(device.c_str(), u64StartSector, u64SectorCount);
    const int index = FindEntry(device.c_str(), nDiskNumber, u64StartSector, u64SectorCount);
    if (index >= 0 && m_vecLogFileInfo[index].u64Fingerprint == fingerprint &&
        m_vecLogFileInfo[index].uRecordCodec == kRecordCodecUtf8) {
        _LOG_FILE_INFO_& entry = m_vecLogFileInfo[index];
        entry.u64RangeStart = u64RangeStart;
        entry.u64RangeLength = u64RangeLength;
        entry.u64RangeOffset = u64RangeOffset;
        entry.u64ScannedSectors = u64ScannedSectors;
        entry.u64FilesFound = u64FilesFound;
        return SaveLogConfigFile();
    }
    if (index >= 0) {
        const _LOG_FILE_INFO_ stale = m_vecLogFileInfo[index];
        m_vecLogFileInfo.erase(m_vecLogFileInfo.begin() + index);
        // The stale entry may name the very folder this scan has just filled (the first MiB
        // of a device in use can change while it is scanned); that folder is kept.
        if (pszLogDirPath == nullptr || strcasecmp(stale.szLogDirPath, pszLogDirPath) != 0) {
            RemoveScanFolder(stale.szLogDirPath);
        }
    }
    _LOG_FILE_INFO_ entry;
    std::memset(&entry, 0, sizeof entry);
    entry.nDiskNumber = static_cast<uint32_t>(nDiskNumber);
    entry.uRecordCodec = kRecordCodecUtf8;
    entry.u64StartSector = u64StartSector;
    entry.u64SectorCount = u64SectorCount;
    entry.u64RangeStart = u64RangeStart;
    entry.u64RangeLength = u64RangeLength;
    entry.u64RangeOffset = u64RangeOffset;
    entry.u64ScannedSectors = u64ScannedSectors;
    entry.u64FilesFound = u64FilesFound;
    entry.u64Fingerprint = fingerprint;
    // The device is named even for a disk-table scan, so that the checkpoint follows the
    // device and not the number the table gave it.
    CopyText(entry.szDevicePath, sizeof entry.szDevicePath, device.c_str());
    CopyText(entry.szLogDirPath, sizeof entry.szLogDirPath, pszLogDirPath);
    m_vecLogFileInfo.push_back(entry);
    return SaveLogConfigFile();
}
