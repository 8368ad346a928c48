#include "cli/cli_target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_output.h"
#include "disk/partition_manager.h"
#include "engine/device_description.h"
#include "engine/file_recovery_factory.h"
#include "foundation/disk_table.h"
#include "foundation/text.h"

namespace {

bool IsNumber(const std::string& text) {
    return !text.empty() && text.size() < 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

uint64_t DeviceSectors(const std::string& path) {
    uint64_t bytes = 0;
    GetDeviceSizeByPath(path.c_str(), bytes);
    return bytes / 512;
}

std::string PartitionName(const _PARTITION_ITEM_& item) {
    char16_t name[37] = {};
    std::memcpy(name, item.szPartitionName, sizeof item.szPartitionName);
    return WideToUtf8(name);
}

// The device must exist and be readable; say which of the two is wrong.
bool CheckReadable(const std::string& path, std::string& error) {
    const int fd = OpenDeviceReadOnly(path.c_str());
    if (fd < 0 && errno == ENOTBLK) {
        error = path + " is neither a disk image file nor a block device";
        return false;
    }
    if (fd < 0) {
        error = "cannot open " + path + ": " + DescribeResult(errno);
        return false;
    }
    unsigned char sector[512];
    const ssize_t got = pread(fd, sector, sizeof sector, 0);
    const int readError = errno;
    close(fd);
    if (got < static_cast<ssize_t>(sizeof sector)) {
        error = "cannot read " + path + ": " +
                (got < 0 ? DescribeResult(readError) : "it is smaller than one sector");
        return false;
    }
    return true;
}

// The partitions the target's table lists, as the device page finds them: an image or device
// named by path joins the disk table (as disk 0) for that.
std::vector<_PARTITION_ITEM_> PartitionsOf(ScanTarget& target) {
    if (target.nDisk < 0) {
        ::setenv("FERROWEN_DISKS", target.devicePath.c_str(), 1);
        target.nDisk = 0;
    }
    CPartitionManager manager;
    PARTITION_MAP partitions;
    manager.GetPartitionItems(partitions);
    const auto found = partitions.find(target.nDisk);
    return found == partitions.end() ? std::vector<_PARTITION_ITEM_>{} : found->second;
}

}  // namespace

bool ResolveTarget(const std::string& text, int nPartition, ScanTarget& target,
                   std::string& error) {
    target = ScanTarget{};
    target.text = text;
    if (IsNumber(text)) {
        target.nDisk = std::atoi(text.c_str());
        target.devicePath = GetDiskPath(target.nDisk);
        if (target.devicePath.empty()) {
            error = "there is no disk " + text + " (see 'ferrowen-cli list')";
            return false;
        }
    } else {
        target.devicePath = text;
    }
    if (!CheckReadable(target.devicePath, error)) return false;
    target.label = target.nDisk >= 0 ? "disk " + std::to_string(target.nDisk) : target.devicePath;
    if (nPartition <= 0) {
        target.llCount = static_cast<long long>(DeviceSectors(target.devicePath));
        return true;
    }
    const std::vector<_PARTITION_ITEM_> items = PartitionsOf(target);
    const size_t count = items.size();
    if (static_cast<size_t>(nPartition) > count) {
        error = target.devicePath + " has no partition " + std::to_string(nPartition) +
                " (it has " + std::to_string(count) + ")";
        return false;
    }
    const _PARTITION_ITEM_ item = items[static_cast<size_t>(nPartition - 1)];
    const uint64_t start = item.u64StartSector;
    const uint64_t end = item.u64EndSector;
    target.llStart = static_cast<long long>(start);
    target.llCount = static_cast<long long>(end + 1 - start);
    target.label = PartitionName(item);
    return true;
}

bool ResolveTargets(const std::string& text, int nPartition, std::vector<ScanTarget>& targets,
                    std::string& error) {
    ScanTarget whole;
    if (!ResolveTarget(text, nPartition, whole, error)) return false;
    targets = {whole};
    if (nPartition > 0) return true;
    ScanTarget disk = whole;
    const std::vector<_PARTITION_ITEM_> items = PartitionsOf(disk);
    if (items.empty()) return true;
    targets.clear();
    for (const DiskPart& part :
         PartsOfDisk(disk.nDisk, disk.devicePath, static_cast<uint64_t>(whole.llCount), items)) {
        const uint64_t start = part.item.u64StartSector, end = part.item.u64EndSector;
        ScanTarget target = disk;
        target.llStart = static_cast<long long>(start);
        target.llCount = static_cast<long long>(end + 1 - start);
        target.label = part.number > 0 ? PartitionName(part.item)
                                       : "outside the partitions, sectors " +
                                             std::to_string(start) + "-" + std::to_string(end);
        target.folder = part.number > 0 ? "p" + std::to_string(part.number) : "unpartitioned";
        targets.push_back(target);
    }
    return true;
}

std::unique_ptr<IFileRecoveryParse> MakeDeepEngine(const ScanTarget& target, bool bResume,
                                                   std::string& error) {
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    IFileRecoveryParse* engine =
        target.nDisk >= 0
            ? factory->CreateFileRecoveryInstance(target.nDisk, target.llStart, target.llCount,
                                                  u'C', RECOVERY_TYPE_PROFESSIONAL)
            : factory->CreateFileRecoveryInstance(Utf8ToWide(target.devicePath.c_str()).c_str(),
                                                  u'C', RECOVERY_TYPE_PROFESSIONAL);
    if (engine == nullptr) {
        error = "no engine could be made for " + target.devicePath;
        return nullptr;
    }
    if (!bResume) engine->SetNotLoadLogFile();
    return std::unique_ptr<IFileRecoveryParse>(engine);
}

namespace {

// `Disk 0  /dev/sdb  SanDisk Ultra  29.72 GB  removable`, then one indented line per volume.
void PrintDiskText(const DiskDescription& disk) {
    std::string line = "Disk " + std::to_string(disk.number) + "  " + Printable(disk.path);
    if (!disk.problem.empty()) {
        std::printf("%s  %s\n", line.c_str(), disk.problem.c_str());
        return;
    }
    const std::string kind = disk.image ? "disk image" : disk.model;
    if (!kind.empty()) line += "  " + Printable(kind);
    line += "  " + GetFileSizeString(static_cast<long long>(disk.bytes));
    if (disk.removable) line += "  removable";
    std::printf("%s\n", line.c_str());
    for (const VolumeDescription& volume : disk.volumes) {
        std::printf("  %s  %s  at sector %llu\n", Printable(VolumeCaption(volume)).c_str(),
                    GetFileSizeString(static_cast<long long>(volume.Bytes())).c_str(),
                    static_cast<unsigned long long>(volume.startSector));
    }
}

void AppendVolumeFields(JsonWriter& json, const VolumeDescription& volume) {
    json.Field("start_sector", static_cast<long long>(volume.startSector));
    json.Field("sectors", static_cast<long long>(volume.sectorCount));
    json.Field("bytes", static_cast<long long>(volume.Bytes()));
    json.Field("file_system", volume.fileSystem);
    json.Field("label", volume.label);
}

void AppendDiskJson(JsonWriter& json, const DiskDescription& disk) {
    json.BeginObject();
    json.Field("disk", static_cast<long long>(disk.number));
    json.Field("name", disk.name);
    json.Field("path", disk.path);
    json.Field("bytes", static_cast<long long>(disk.bytes));
    json.Field("model", disk.model);
    json.Field("removable", disk.removable);
    json.Field("image", disk.image);
    if (!disk.problem.empty()) json.Field("error", disk.problem);
    // A disk without a table that holds a file system is that one volume.
    if (!disk.partitioned && !disk.volumes.empty()) {
        json.Key("volume");
        json.BeginObject();
        AppendVolumeFields(json, disk.volumes.front());
        json.EndObject();
    }
    json.Key("partitions");
    json.BeginArray();
    for (const VolumeDescription& volume : disk.volumes) {
        if (!disk.partitioned) break;
        json.BeginObject();
        json.Field("partition", static_cast<long long>(volume.number));
        json.Field("name", PartitionName(volume.item));
        AppendVolumeFields(json, volume);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

}  // namespace

int ListDevices(bool bJson) {
    const std::vector<DiskDescription> disks = DescribeDisks();
    JsonWriter json;
    if (bJson) json.BeginArray();
    for (const DiskDescription& disk : disks) {
        if (bJson) {
            AppendDiskJson(json, disk);
        } else {
            PrintDiskText(disk);
        }
    }
    if (bJson) {
        json.EndArray();
        std::printf("%s\n", json.Text().c_str());
    } else if (disks.empty()) {
        std::printf("no disks found (set FERROWEN_DISKS to list image files)\n");
    }
    return 0;
}
