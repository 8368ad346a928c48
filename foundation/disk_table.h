// The disk table: which path disk number N stands for.
//
// By default the whole-disk block devices under /sys/block, in name order, numbered from 0,
// leaving out RAM disks, compressed-RAM disks, loop devices without a backing file and
// devices of size 0. When FERROWEN_DISKS is set (paths separated by ':') it replaces that
// list, and an entry may be a disk-image file.
//
// Every descriptor this module opens is read-only: nothing in the program ever writes to a
// scanned device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::vector<std::string> ListDiskPaths();

// The path of disk nDisk, or "" when there is no such disk.
std::string GetDiskPath(int nDisk);

// Opens an image file or a block device read-only (O_RDONLY | O_CLOEXEC, never blocking in
// open). -1 with errno set on failure: ENOENT for an unknown disk, EISDIR for a folder,
// ENOTBLK for anything else that holds no sectors (a FIFO, /dev/zero, a socket).
int OpenDeviceReadOnly(const char* pszPath);
// The size in bytes of the image or block device at pszPath (opened as above, then closed).
// 0, or errno of the open with bytes set to 0.
int GetDeviceSizeByPath(const char* pszPath, uint64_t& bytes);
int OpenDiskReadOnly(int nDisk);

// Size in bytes of an open device or image: st_size for regular files, BLKGETSIZE64 for
// block devices. 0 when it cannot be told.
uint64_t GetDeviceSizeBytes(int fd);
