#include "foundation/system_utils.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "foundation/disk_table.h"

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr) {
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (pAttr == nullptr) return 0;
    std::memset(pAttr, 0, sizeof *pAttr);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    pAttr->uMode = st.st_mode;
    pAttr->uOwner = st.st_uid;
    pAttr->uGroup = st.st_gid;
    pAttr->uSizeHigh = static_cast<uint32_t>(size >> 32);
    pAttr->uSizeLow = static_cast<uint32_t>(size);
    pAttr->u64AccessTime = static_cast<uint32_t>(st.st_atime);
    pAttr->u64ModifyTime = static_cast<uint32_t>(st.st_mtime);
    pAttr->u64ChangeTime = static_cast<uint32_t>(st.st_ctime);
    pAttr->uDevice = static_cast<uint32_t>(st.st_rdev);
    pAttr->u64Inode = st.st_ino;
    pAttr->uLinkCount = static_cast<uint32_t>(st.st_nlink);
    return 0;
}

int rsb_getFileSizeH(int fd, int* pnLow, int* pnHigh) {
    struct stat st;
    if (fd == -1 || pnLow == nullptr || fstat(fd, &st) != 0) return -1;
    // A block device reports st_size 0; its real size comes from the device itself.
    const uint64_t size = GetDeviceSizeBytes(fd);
    *pnLow = static_cast<int>(static_cast<uint32_t>(size));
    if (pnHigh != nullptr) *pnHigh = static_cast<int>(static_cast<uint32_t>(size >> 32));
    return 0;
}

int rsb_getFreeSpace(char* pszPath, int, unsigned int* puHigh, unsigned int* puLow) {
    if (puHigh != nullptr) *puHigh = 0;
    if (puLow != nullptr) *puLow = 0;
    if (pszPath == nullptr || pszPath[0] != '/') return 0;
    for (;;) {
        struct statvfs vfs;
        if (statvfs(pszPath, &vfs) == 0) {
            const uint64_t freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
            if (puHigh != nullptr) *puHigh = static_cast<unsigned int>(freeBytes >> 32);
            if (puLow != nullptr) *puLow = static_cast<unsigned int>(freeBytes);
            return 0;
        }
        if (std::strlen(pszPath) < 2) return -1;
        char* lastSlash = std::strrchr(pszPath, '/');
        if (lastSlash == pszPath)
            lastSlash[1] = '\0';  // keep "/" alone
        else
            *lastSlash = '\0';
    }
}

unsigned int rsb_getTickCount() {
    // The coarse monotonic clock is read from memory the kernel shares with the process: no
    // system call, so a scan may look at it once per block. Its few milliseconds of resolution
    // are plenty for progress and estimates.
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned int>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                     static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void rsb_msleep(int nMilliseconds) {
    if (nMilliseconds <= 0) return;
    timespec request{nMilliseconds / 1000, static_cast<long>(nMilliseconds % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0) request = remaining;
}

namespace {
void FillSystemTime(const tm& broken, long microseconds, SYSTEMTIME* pTime) {
    pTime->wYear = static_cast<uint16_t>(broken.tm_year + 1900);
    pTime->wMonth = static_cast<uint16_t>(broken.tm_mon + 1);
    pTime->wDay = static_cast<uint16_t>(broken.tm_mday);
    pTime->wDayOfWeek = static_cast<uint16_t>(broken.tm_wday);
    pTime->wHour = static_cast<uint16_t>(broken.tm_hour);
    pTime->wMinute = static_cast<uint16_t>(broken.tm_min);
    pTime->wSecond = static_cast<uint16_t>(broken.tm_sec);
    pTime->wMilliseconds = static_cast<uint16_t>(microseconds / 1000);
}

int GetTime(SYSTEMTIME* pTime, bool local) {
    if (pTime == nullptr) return 34;
    timeval now;
    gettimeofday(&now, nullptr);
    tm broken;
    const time_t seconds = now.tv_sec;
    if ((local ? localtime_r(&seconds, &broken) : gmtime_r(&seconds, &broken)) == nullptr) {
        return 34;
    }
    FillSystemTime(broken, now.tv_usec, pTime);
    return 0;
}
}  // namespace

int rsb_getLocalTime(SYSTEMTIME* pTime) {
    return GetTime(pTime, true);
}
int rsb_getSystemTime(SYSTEMTIME* pTime) {
    return GetTime(pTime, false);
}
