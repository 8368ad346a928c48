#include "disk/disk_identity.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

// Longer text from a sysfs attribute is no name anyone would read.
constexpr size_t kLongestAttribute = 128;

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The first line of a sysfs attribute without its padding; "" when it cannot be read.
std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > kLongestAttribute) line.resize(kLongestAttribute);
    return Trimmed(line);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Joined(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    return first + " " + second;
}

// SCSI-style disks give a vendor and a model; SATA disks put the transport ("ATA") where the
// vendor goes, and many models already start with the vendor's name.
std::string VendorAndModel(const std::string& device) {
    std::string vendor = ReadAttribute(device + "/vendor");
    const std::string model = ReadAttribute(device + "/model");
    if (vendor == "ATA" || (!model.empty() && model.rfind(vendor, 0) == 0)) vendor.clear();
    return Joined(vendor, model);
}

// Memory cards name their kind ("SD", "MMC") and the name the card carries ("SD32G").
std::string CardName(const std::string& device) {
    const std::string type = ReadAttribute(device + "/type");
    return Joined(type.empty() ? std::string() : type + " card", ReadAttribute(device + "/name"));
}

// The kernel's name of a block device node: its path below /dev, with the '/' of names such
// as "cciss/c0d0" written as sysfs writes it ('!').
std::string KernelName(const std::string& path) {
    std::error_code error;
    std::string resolved = std::filesystem::canonical(path, error).string();
    if (error) resolved = path;
    const std::string dev = "/dev/";
    std::string name = resolved.rfind(dev, 0) == 0
                           ? resolved.substr(dev.size())
                           : std::filesystem::path(resolved).filename().string();
    std::replace(name.begin(), name.end(), '/', '!');
    return name;
}

}  // namespace

DiskIdentity IdentifyBlockDevice(const std::string& name, const std::string& sysRoot) {
    DiskIdentity identity;
    if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return identity;
    std::string dir = sysRoot + "/class/block/" + name;
    // A partition's entry sits inside its disk's; ".." after the class link reaches the disk.
    if (Exists(dir + "/partition")) dir += "/..";
    const std::string device = dir + "/device";
    identity.model = VendorAndModel(device);
    if (identity.model.empty()) identity.model = CardName(device);
    identity.removable = ReadAttribute(dir + "/removable") == "1";
    return identity;
}

DiskIdentity IdentifyDisk(const std::string& path, const std::string& sysRoot) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    if (S_ISREG(st.st_mode)) {
        DiskIdentity identity;
        identity.image = true;
        return identity;
    }
    if (!S_ISBLK(st.st_mode)) return {};
    return IdentifyBlockDevice(KernelName(path), sysRoot);
}
