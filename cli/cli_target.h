// What a command line names as the thing to scan: a disk of the disk table, a block device or
// an image file, optionally one partition of it, turned into a deep-scan engine.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/recovery_parse.h"

struct ScanTarget {
    std::string text;        // as given
    std::string devicePath;  // the device or image it resolves to
    int nDisk = -1;          // disk-table number when scanned through the table, else -1
    long long llStart = 0;   // first sector of the volume (512-byte sectors)
    long long llCount = 0;   // sectors of the volume
    std::string label;       // "disk 0", "Partition 2", ... for messages
    std::string folder;      // where a whole-disk recovery puts this part: "p2", "unpartitioned"
};

// Resolves TARGET [--partition K] (nPartition 0 for none). On failure returns false with a
// message for the user in error; nothing is opened for writing either way.
bool ResolveTarget(const std::string& text, int nPartition, ScanTarget& target, std::string& error);

// TARGET [--partition K] as the volumes to scan: the one volume asked for; or, for a target
// with a partition table and no --partition, each partition it lists (folder "p<K>") and each
// stretch of at least a MiB outside them (folder "unpartitioned"), in disk order; or the whole
// target as one volume.
bool ResolveTargets(const std::string& text, int nPartition, std::vector<ScanTarget>& targets,
                    std::string& error);

// A deep-scan engine bound to the target; null (with error) when none can be made.
// The deep engine for a target. With bResume it takes up the volume's kept scan, when there is
// one that still matches the volume; without, a kept scan of the volume is replaced.
std::unique_ptr<IFileRecoveryParse> MakeDeepEngine(const ScanTarget& target, bool bResume,
                                                   std::string& error);

// Prints every disk with its partitions as the device page describes them: the disk's name,
// size and kind, each partition's number, file system, label and size.
int ListDevices(bool bJson);
