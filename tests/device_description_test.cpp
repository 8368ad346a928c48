// The disks as `list` and the device page describe them: the volumes of the fixtures with the
// file systems and labels their formatters gave them; labels read from damaged and crafted
// structures; disks identified through a sysfs tree made for the purpose.
#include "engine/device_description.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "disk/disk_identity.h"
#include "exfat/exfat_volume_label.h"
#include "fat/fat_volume_label.h"
#include "ntfs/ntfs_volume_label.h"
#include "ntfs_test_image.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;
namespace fs = std::filesystem;

struct DescribedImage {
    const char* fixture;
    bool partitioned;
    std::vector<std::string> volumes;  // VolumeCaption of each, in order
};

// The labels given to mkfs.fat -n, mkntfs -L and mkfs.exfat -L by the fixture scripts.
const DescribedImage kImages[] = {
    {"fat12", false, {"whole disk  FAT12  \"FERROWEN\""}},
    {"fat16", false, {"whole disk  FAT16  \"FERROWEN16\""}},
    {"fat32", false, {"whole disk  FAT32  \"FERROWEN32\""}},
    {"ntfs", false, {"whole disk  NTFS  \"Ferrowen\""}},
    {"exfat", false, {"whole disk  exFAT  \"FERROWEN\""}},
    {"mbr", true, {"1  FAT16  \"PRIMARY\"", "2  FAT12  \"LOGICAL\"", "3  none"}},
    {"gpt", true, {"1  FAT16  \"PHOTOS\"", "2  NTFS  \"Backup\"", "3  none"}},
    {"exfat_card", true, {"1  exFAT  \"CARD\""}},
};

class DescribedDisk : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("FERROWEN_DISKS"); }
    static DiskDescription DescribeOnly(const std::string& path) {
        ::setenv("FERROWEN_DISKS", path.c_str(), 1);
        const std::vector<DiskDescription> disks = DescribeDisks();
        return disks.size() == 1 ? disks.front() : DiskDescription{};
    }
    // A copy of a fixture whose bytes `from` (found after the boot sector) become `to`.
    std::string Altered(const std::string& fixture, const std::string& from,
                        const std::string& to) {
        const std::string path = UnpackFixture(fixture, dir_);
        std::fstream image(path, std::ios::in | std::ios::out | std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(image)), {});
        const size_t at = bytes.find(from, 512);
        EXPECT_NE(at, std::string::npos) << fixture;
        image.seekp(static_cast<std::streamoff>(at));
        image.write(to.data(), static_cast<std::streamsize>(to.size()));
        return path;
    }
    TempDir dir_;
};

class DescribedImageTest : public DescribedDisk,
                           public ::testing::WithParamInterface<DescribedImage> {};

TEST_P(DescribedImageTest, NamesEachVolumesFileSystemAndLabel) {
    const DescribedImage& expected = GetParam();
    const std::string path = UnpackFixture(expected.fixture, dir_);
    const DiskDescription disk = DescribeOnly(path);
    EXPECT_EQ(disk.path, path);
    EXPECT_EQ(disk.name, std::string(expected.fixture) + ".img");
    EXPECT_TRUE(disk.image);
    EXPECT_FALSE(disk.removable);
    EXPECT_TRUE(disk.problem.empty()) << disk.problem;
    EXPECT_EQ(disk.bytes, fs::file_size(path));
    EXPECT_EQ(disk.partitioned, expected.partitioned);
    std::vector<std::string> captions;
    for (const VolumeDescription& volume : disk.volumes) {
        captions.push_back(VolumeCaption(volume));
        EXPECT_EQ(volume.startSector, uint64_t{volume.item.u64StartSector});
        EXPECT_LE(volume.startSector + volume.sectorCount, disk.bytes / 512);
    }
    EXPECT_EQ(captions, expected.volumes);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DescribedImageTest, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.fixture); });

// Renamed volumes keep their new name in the root folder; the boot sector's copy is what is
// left when that entry is gone, and "NO NAME" is no name.
TEST_F(DescribedDisk, FatFallsBackToTheBootSectorLabelThenToNone) {
    const std::string path = Altered("fat12", std::string("FERROWEN   \x08", 12), "\xE5");
    EXPECT_EQ(VolumeCaption(DescribeOnly(path).volumes.at(0)), "whole disk  FAT12  \"FERROWEN\"");
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(0x2B)
        << "NO NAME    ";
    EXPECT_EQ(VolumeCaption(DescribeOnly(path).volumes.at(0)), "whole disk  FAT12");
}

// Damage costs the label, never the listing: a label entry claiming more characters than
// exFAT allows, an NTFS volume name longer than its record, a disk that is not there.
TEST_F(DescribedDisk, DamagedVolumesAreListedWithoutTheirLabel) {
    const std::string exfat = Altered("exfat",
                                      std::string("\x83\x08"
                                                  "F\0E\0R\0",
                                                  8),
                                      std::string("\x83\xC8", 2));
    EXPECT_EQ(VolumeCaption(DescribeOnly(exfat).volumes.at(0)), "whole disk  exFAT");
    // $VOLUME_NAME's value length, then its offset (24) and the name.
    const std::string ntfs = Altered("ntfs",
                                     std::string("\x10\0\0\0\x18\0\0\0"
                                                 "F\0e\0r\0r\0o\0w\0e\0n\0",
                                                 24),
                                     "\xF0\xFF\xFF\x7F");
    EXPECT_EQ(VolumeCaption(DescribeOnly(ntfs).volumes.at(0)), "whole disk  NTFS");
    const DiskDescription missing = DescribeOnly(dir_.path() + "/gone.img");
    EXPECT_EQ(missing.problem, "cannot be opened: No such file or directory");
    EXPECT_TRUE(missing.volumes.empty());
}

// Entries around the label that are not it: a long-name piece (whose attribute byte has the
// label bit set), a deleted label, a file; nothing after the end mark counts.
TEST(FatRootFolderLabel, IsTheFirstLiveLabelEntryBeforeTheEndMark) {
    Bytes root(6 * 32, 0);
    auto entry = [&](int k, const char* name, unsigned char attr) {
        std::copy(name, name + 11, root.begin() + 32 * k);
        root[32 * k + 11] = attr;
    };
    entry(0, "AOLDPIECE  ", 0x0F);
    entry(1, "\xE5OLDLABEL  ", 0x08);
    entry(2, "PHOTO   JPG", 0x20);
    entry(3, "CAMERA     ", 0x08);
    entry(5, "LATER      ", 0x08);
    EXPECT_EQ(FatRootFolderLabel(root.data(), root.size()), "CAMERA");
    EXPECT_EQ(FatRootFolderLabel(root.data(), 3 * 32 + 31), "");  // cut inside the label entry
    root[3 * 32] = 0;
    EXPECT_EQ(FatRootFolderLabel(root.data(), root.size()), "");
}

TEST(NtfsVolumeName, IsReadInsideTheRecordOnly) {
    const std::u16string name = u"Données";
    Bytes value(name.size() * 2);
    for (size_t i = 0; i < name.size(); ++i) PutLe(value, 2 * i, name[i], 2);
    Bytes attr = NtfsVolumeBuilder::Resident(NTFS_ATTR_VOLUME_NAME, value);
    Bytes record = NtfsVolumeBuilder::RecordBytes(kNtfsVolumeRecord, 1, {attr});
    EXPECT_EQ(NtfsVolumeNameOfRecord(record.data(), record.size()), "Données");
    PutLe(attr, 0x10, 0x7FFFFFF0, 4);  // a value reaching far past its attribute
    record = NtfsVolumeBuilder::RecordBytes(kNtfsVolumeRecord, 1, {attr});
    EXPECT_EQ(NtfsVolumeNameOfRecord(record.data(), record.size()), "");
}

// A sysfs tree as the kernel lays it out: class/block/<name> links to the device's folder, a
// partition's folder lies inside its disk's.
class FakeSysfs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        Disk("usb/sdb", {{"device/vendor", "SanDisk \n"},
                         {"device/model", "Ultra           \n"},
                         {"removable", "1\n"}});
        Partition("usb/sdb", "sdb1");
        Disk("ata/sda", {{"device/vendor", "ATA     \n"},
                         {"device/model", "Samsung SSD 860 EVO 500GB\n"},
                         {"removable", "0\n"}});
        Disk("usb/sdd", {{"device/vendor", "Kingston\n"}, {"device/model", "Kingston DT\n"}});
        Disk("mmc/mmcblk0", {{"device/type", "SD\n"}, {"device/name", "SD32G\n"}});
        Disk("pci/nvme0n1", {{"device/model", "WDC PC SN530\n"}});
        Disk("virtual/loop0", {});
    }
    static void TearDownTestSuite() { delete tree_; }
    static void Disk(const std::string& where, const std::map<std::string, std::string>& files) {
        const fs::path folder = fs::path(tree_->path()) / "devices" / where;
        fs::create_directories(folder);
        for (const auto& [file, text] : files) {
            fs::create_directories((folder / file).parent_path());
            std::ofstream(folder / file) << text;
        }
        Link(folder);
    }
    static void Partition(const std::string& disk, const std::string& name) {
        const fs::path folder = fs::path(tree_->path()) / "devices" / disk / name;
        fs::create_directories(folder);
        std::ofstream(folder / "partition") << "1\n";
        Link(folder);
    }
    static void Link(const fs::path& folder) {
        const fs::path links = fs::path(tree_->path()) / "class" / "block";
        fs::create_directories(links);
        fs::create_directory_symlink(folder, links / folder.filename());
    }
    static inline TempDir* tree_ = nullptr;
};

struct SysfsCase {
    const char* name;
    const char* model;
    bool removable;
};

class SysfsDiskTest : public FakeSysfs, public ::testing::WithParamInterface<SysfsCase> {};

TEST_P(SysfsDiskTest, NamesTheDiskAsItsMakerDid) {
    const DiskIdentity identity = IdentifyBlockDevice(GetParam().name, tree_->path());
    EXPECT_EQ(identity.model, GetParam().model);
    EXPECT_EQ(identity.removable, GetParam().removable);
    EXPECT_FALSE(identity.image);
}

INSTANTIATE_TEST_SUITE_P(Devices, SysfsDiskTest,
                         ::testing::Values(SysfsCase{"sdb", "SanDisk Ultra", true},
                                           SysfsCase{"sdb1", "SanDisk Ultra", true},
                                           SysfsCase{"sda", "Samsung SSD 860 EVO 500GB", false},
                                           SysfsCase{"sdd", "Kingston DT", false},
                                           SysfsCase{"mmcblk0", "SD card SD32G", false},
                                           SysfsCase{"nvme0n1", "WDC PC SN530", false},
                                           SysfsCase{"loop0", "", false},
                                           SysfsCase{"..", "", false}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(FakeSysfs, AnImageFileIsADiskImageWhateverTheTreeSays) {
    TempDir dir;
    const std::string image = dir.path() + "/card.img";
    std::ofstream(image) << std::string(4096, '\0');
    const DiskIdentity identity = IdentifyDisk(image, tree_->path());
    EXPECT_TRUE(identity.image);
    EXPECT_TRUE(identity.model.empty());
    EXPECT_FALSE(IdentifyDisk(dir.path() + "/missing.img", tree_->path()).image);
}

}  // namespace
