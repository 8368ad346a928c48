// The disks of the disk table described the way their owner recognises them: a maker's name or
// an image file's name, size, removable or not; and on each, the partitions as --partition
// numbers them, with the file system found there and the name the volume was given.
//
// The command line's `list` and the window's device page both show this description, so the
// two always agree. Building it only reads: every device is opened read-only, and a volume
// whose structures are damaged is described without its file system or label.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/partition_manager.h"

struct VolumeDescription {
    int number = 0;            // as --partition takes it; 0 for a disk described whole
    uint64_t startSector = 0;  // 512-byte sectors from the start of the disk
    uint64_t sectorCount = 0;
    std::string fileSystem;   // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT", "Ext"; "" none known
    std::string label;        // the volume's name; "" when it has none
    _PARTITION_ITEM_ item{};  // the partition as the engines are given it

    uint64_t Bytes() const { return sectorCount * 512; }
};

struct DiskDescription {
    int number = 0;  // in the disk table
    std::string path;
    std::string model;  // the maker's name the system reports; "" when it reports none
    std::string name;   // what to call the disk: the model, an image's file name, else the path
    uint64_t bytes = 0;
    bool removable = false;
    bool image = false;
    std::string problem;       // why the disk cannot be opened; "" when it can
    bool partitioned = false;  // a partition table lists the volumes
    // The partitions in table order; for a disk without a table that holds a file system
    // directly, that one volume (number 0); else none.
    std::vector<VolumeDescription> volumes;
};

// Every disk of the disk table, block devices identified through the sysfs tree at sysRoot.
std::vector<DiskDescription> DescribeDisks(const std::string& sysRoot = "/sys");

// The file system at the volume of disk nDisk (at path) and its label.
struct VolumeIdentity {
    std::string fileSystem;
    std::string label;
};
VolumeIdentity IdentifyVolume(int nDisk, const std::string& path, uint64_t u64StartSector,
                              uint64_t u64SectorCount);

// The whole of disk nDisk as one partition item, for a disk without a table.
_PARTITION_ITEM_ WholeDiskItem(int nDisk, const std::string& path, uint64_t u64Sectors);

// One part of a whole-disk scan: a partition the table lists, or a stretch of the disk outside
// every partition (where deleted partitions and their files may still lie).
struct DiskPart {
    int number = 0;  // the partition's number in table order, from 1; 0 for a stretch outside
    _PARTITION_ITEM_ item{};
};

// What scanning disk nDisk (at path, u64Sectors long) whole covers: each of its partitions in
// table order, then each stretch outside them of at least a MiB, in disk order; with no
// partitions, the whole disk as one part. Both the command line and the window scan a disk
// this way, so that they cover the same sectors.
std::vector<DiskPart> PartsOfDisk(int nDisk, const std::string& path, uint64_t u64Sectors,
                                  const std::vector<_PARTITION_ITEM_>& partitions);

// One volume in words, without its size: `1  FAT32  "CAMERA"`, `whole disk  NTFS`, `3  none`.
std::string VolumeCaption(const VolumeDescription& volume);
