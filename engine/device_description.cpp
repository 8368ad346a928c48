#include "engine/device_description.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "disk/disk_identity.h"
#include "engine/file_recovery_factory.h"
#include "exfat/exfat_volume_label.h"
#include "exfat/fast_exfat_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "fat/fat_volume_label.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/result.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_volume_label.h"

namespace {

// Engines are bound to a volume the way a scan binds them; the drive letter means nothing here.
constexpr char16_t kNoDriveLetter = u'C';

// Binds the engine to the volume; false (said in the debug log) when its structures refuse.
template <typename Engine>
bool Bind(Engine& engine, int nDisk, uint64_t u64Start, uint64_t u64Count) {
    const int result = engine.Init(nDisk, static_cast<long long>(u64Start),
                                   static_cast<long long>(u64Count), kNoDriveLetter);
    if (result != 0) {
        DebugLog("IdentifyVolume: disk %d sector %llu cannot be bound (%d)\n", nDisk,
                 static_cast<unsigned long long>(u64Start), result);
    }
    return result == 0;
}

VolumeIdentity IdentifyFat(int nDisk, uint64_t u64Start, uint64_t u64Count) {
    CFastFatRecovery volume;
    if (!Bind(volume, nDisk, u64Start, u64Count)) return {"FAT", ""};
    return {"FAT" + std::to_string(volume.GetFatType()), FatVolumeLabel(volume)};
}

VolumeIdentity IdentifyNtfs(int nDisk, uint64_t u64Start, uint64_t u64Count) {
    CFastNtfsRecovery volume;
    if (!Bind(volume, nDisk, u64Start, u64Count)) return {"NTFS", ""};
    return {"NTFS", NtfsVolumeLabel(volume)};
}

VolumeIdentity IdentifyExfat(int nDisk, uint64_t u64Start, uint64_t u64Count) {
    CFastExfatRecovery volume;
    if (!Bind(volume, nDisk, u64Start, u64Count)) return {"exFAT", ""};
    return {"exFAT", ExfatVolumeLabel(volume)};
}

// Why the disk cannot be opened ("" when it can), and its size.
std::string OpenProblem(const std::string& path, uint64_t& bytes) {
    bytes = 0;
    const int fd = OpenDeviceReadOnly(path.c_str());
    if (fd < 0) return "cannot be opened: " + DescribeResult(errno);
    bytes = GetDeviceSizeBytes(fd);
    close(fd);
    return {};
}

VolumeDescription DescribeVolume(int nDisk, const std::string& path, int number,
                                 const _PARTITION_ITEM_& item) {
    VolumeDescription volume;
    volume.number = number;
    volume.item = item;
    volume.startSector = item.u64StartSector;  // packed: read by value
    const uint64_t end = item.u64EndSector;
    volume.sectorCount = end >= volume.startSector ? end + 1 - volume.startSector : 0;
    const VolumeIdentity identity =
        IdentifyVolume(nDisk, path, volume.startSector, volume.sectorCount);
    volume.fileSystem = identity.fileSystem;
    volume.label = identity.label;
    return volume;
}

DiskDescription DescribeDisk(int nDisk, const std::string& path, const PARTITION_MAP& partitions,
                             const std::string& sysRoot) {
    DiskDescription disk;
    disk.number = nDisk;
    disk.path = path;
    disk.problem = OpenProblem(path, disk.bytes);
    const DiskIdentity identity = IdentifyDisk(path, sysRoot);
    disk.model = identity.model;
    disk.removable = identity.removable;
    disk.image = identity.image;
    disk.name = !disk.model.empty() ? disk.model
                : disk.image        ? std::filesystem::path(path).filename().string()
                                    : path;
    if (!disk.problem.empty()) return disk;
    const auto found = partitions.find(nDisk);
    if (found != partitions.end() && !found->second.empty()) {
        disk.partitioned = true;
        for (size_t k = 0; k < found->second.size(); ++k)
            disk.volumes.push_back(
                DescribeVolume(nDisk, path, static_cast<int>(k + 1), found->second[k]));
        return disk;
    }
    const uint64_t sectors = disk.bytes / 512;
    if (sectors == 0) return disk;
    VolumeDescription whole = DescribeVolume(nDisk, path, 0, WholeDiskItem(nDisk, path, sectors));
    if (!whole.fileSystem.empty()) disk.volumes.push_back(whole);
    return disk;
}

}  // namespace

VolumeIdentity IdentifyVolume(int nDisk, const std::string& path, uint64_t u64StartSector,
                              uint64_t u64SectorCount) {
    if (u64SectorCount == 0 || u64StartSector > UINT64_MAX / 512) return {};
    const std::string fileSystem =
        CFileRecoveryFactory::NameFileSystem(path.c_str(), u64StartSector * 512);
    if (fileSystem == "FAT") return IdentifyFat(nDisk, u64StartSector, u64SectorCount);
    if (fileSystem == "NTFS") return IdentifyNtfs(nDisk, u64StartSector, u64SectorCount);
    if (fileSystem == "exFAT") return IdentifyExfat(nDisk, u64StartSector, u64SectorCount);
    return {fileSystem, ""};
}

std::vector<DiskDescription> DescribeDisks(const std::string& sysRoot) {
    const std::vector<std::string> paths = ListDiskPaths();
    CPartitionManager manager;
    PARTITION_MAP partitions;
    manager.GetPartitionItems(partitions);
    std::vector<DiskDescription> disks;
    for (size_t i = 0; i < paths.size(); ++i)
        disks.push_back(DescribeDisk(static_cast<int>(i), paths[i], partitions, sysRoot));
    return disks;
}

_PARTITION_ITEM_ WholeDiskItem(int nDisk, const std::string& path, uint64_t u64Sectors) {
    _PARTITION_ITEM_ item{};
    item.u64StartSector = 0;
    item.u64EndSector = u64Sectors > 0 ? u64Sectors - 1 : 0;
    item.nDiskNumber = static_cast<uint32_t>(nDisk);
    const std::u16string name = u"Whole Disk";
    std::copy(name.begin(), name.end(), item.szPartitionName);
    std::snprintf(item.szDiskName, sizeof item.szDiskName, "%s", path.c_str());
    return item;
}

std::string VolumeCaption(const VolumeDescription& volume) {
    std::string caption = volume.number > 0 ? std::to_string(volume.number) : "whole disk";
    caption += "  " + (volume.fileSystem.empty() ? std::string("none") : volume.fileSystem);
    if (!volume.label.empty()) caption += "  \"" + volume.label + "\"";
    return caption;
}

namespace {

_PARTITION_ITEM_ StretchItem(int nDisk, const std::string& path, uint64_t u64Start,
                             uint64_t u64End) {
    _PARTITION_ITEM_ item = WholeDiskItem(nDisk, path, u64End);
    item.u64StartSector = u64Start;
    const std::u16string name = u"Unpartitioned";
    std::fill(std::begin(item.szPartitionName), std::end(item.szPartitionName), u'\0');
    std::copy(name.begin(), name.end(), item.szPartitionName);
    return item;
}

}  // namespace

std::vector<DiskPart> PartsOfDisk(int nDisk, const std::string& path, uint64_t u64Sectors,
                                  const std::vector<_PARTITION_ITEM_>& partitions) {
    if (partitions.empty()) return {DiskPart{0, WholeDiskItem(nDisk, path, u64Sectors)}};
    // Stretches outside the partitions smaller than this hold alignment padding, not files.
    constexpr uint64_t kSmallestStretch = 2048;
    std::vector<DiskPart> parts;
    std::vector<std::pair<uint64_t, uint64_t>> covered;  // [start, end] of each partition
    for (size_t k = 0; k < partitions.size(); ++k) {
        parts.push_back(DiskPart{static_cast<int>(k + 1), partitions[k]});
        // Copied out: the record is packed, and a reference to its fields may be misaligned.
        const uint64_t start = partitions[k].u64StartSector, end = partitions[k].u64EndSector;
        covered.emplace_back(start, end);
    }
    std::sort(covered.begin(), covered.end());
    uint64_t from = 0;
    const auto addStretch = [&](uint64_t start, uint64_t end) {  // [start, end)
        if (end <= start || end - start < kSmallestStretch) return;
        parts.push_back(DiskPart{0, StretchItem(nDisk, path, start, end)});
    };
    for (const auto& [start, end] : covered) {
        addStretch(from, start);
        from = std::max(from, end + 1);
    }
    addStretch(from, u64Sectors);
    return parts;
}
