// What tells one disk from another for the person choosing it: the maker's name the kernel
// reads from the device, whether it is a removable medium, or that it is a disk-image file.
//
// Block devices are looked up in sysfs under <sysRoot>/class/block/<name>/. The root is a
// parameter so that the lookup can be pointed at a tree made for the purpose; everything found
// there is only text to show, so what is missing or unreadable just stays unknown.
#pragma once

#include <string>

struct DiskIdentity {
    std::string model;  // "SanDisk Ultra", "SD card SD32G"; "" when the system does not say
    bool removable = false;
    bool image = false;  // a regular file holding a disk image
};

// The disk at pszPath: an image file, or a block device looked up by its kernel name.
DiskIdentity IdentifyDisk(const std::string& path, const std::string& sysRoot = "/sys");

// The block device the kernel calls `name` ("sdb", "mmcblk0", "sdb1"). A partition is told
// apart by its own "partition" file and described by the disk holding it.
DiskIdentity IdentifyBlockDevice(const std::string& name, const std::string& sysRoot = "/sys");
