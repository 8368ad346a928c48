// Thin wrappers over the operating system used across the program: file attributes and
// sizes, free space, a millisecond tick counter, sleeping and the current date.
#pragma once

#include <cstdint>

// The attribute record filled by rsb_statH; 72 bytes, zero except for what is filled in.
struct STRUCT_RSB_FILE_ATTR {
    uint32_t uReserved;  // always 0
    uint32_t uMode;
    uint32_t uOwner;
    uint32_t uGroup;
    uint32_t uSizeHigh;
    uint32_t uSizeLow;
    uint64_t u64AccessTime;  // seconds since 1970, low 32 bits only
    uint64_t u64ModifyTime;
    uint64_t u64ChangeTime;
    uint32_t uReserved2;  // always 0
    uint32_t uDevice;     // device id of a special file
    uint64_t u64Inode;
    uint32_t uLinkCount;
    uint32_t uPadding;
};
static_assert(sizeof(STRUCT_RSB_FILE_ATTR) == 72);

// Year, month, day of the month, day of the week (0 = Sunday), hour, minute, second, ms.
// The day of the month comes before the day of the week.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDay;
    uint16_t wDayOfWeek;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr);
// Size of the open file or block device as two halves; pnHigh may be null.
int rsb_getFileSizeH(int fd, int* pnLow, int* pnHigh);
// Free bytes for unprivileged users on the file system holding pszPath, walking up to the
// nearest existing folder. pszPath is shortened in place while walking. 0, or -1.
int rsb_getFreeSpace(char* pszPath, int nUnused, unsigned int* puHigh, unsigned int* puLow);
// Milliseconds from an arbitrary origin; only 32-bit signed differences are meaningful.
unsigned int rsb_getTickCount();
void rsb_msleep(int nMilliseconds);
int rsb_getLocalTime(SYSTEMTIME* pTime);   // 0, or 34 when the conversion fails
int rsb_getSystemTime(SYSTEMTIME* pTime);  // the same in UTC
