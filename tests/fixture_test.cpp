// Guards the fixture images and the helpers every other test leans on: if an
// image or manifest is broken, this is where it should show, not as a puzzling
// failure deep inside a recovery test.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ferrowen::test::LoadManifest;
using ferrowen::test::LoadPartitions;
using ferrowen::test::ManifestEntry;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string ReadAt(const std::string& path, std::uint64_t offset, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string out(n, '\0');
    in.read(out.data(), static_cast<std::streamsize>(n));
    out.resize(static_cast<size_t>(in.gcount()));
    return out;
}

bool EndsWithBootSignature(const std::string& image, std::uint64_t sectorOffset) {
    return ReadAt(image, sectorOffset + 510, 2) == "\x55\xAA";
}

struct ImageCase {
    const char* name;
    std::uint64_t bytes;
};

std::string CaseName(const testing::TestParamInfo<ImageCase>& info) {
    return info.param.name;
}

class FixtureImage : public testing::TestWithParam<ImageCase> {};

TEST_P(FixtureImage, UnpacksToWholeSectorsOfTheExpectedSize) {
    TempDir dir;
    const std::string image = UnpackFixture(GetParam().name, dir);
    const auto size = std::filesystem::file_size(image);
    EXPECT_EQ(size % 512, 0u);
    EXPECT_EQ(size, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(All, FixtureImage,
                         testing::Values(ImageCase{"fat12", 1440 * 1024},
                                         ImageCase{"fat16", 16 * kMiB},
                                         ImageCase{"fat32", 40 * kMiB},
                                         ImageCase{"ntfs", 16 * kMiB}, ImageCase{"mbr", 24 * kMiB},
                                         ImageCase{"gpt", 24 * kMiB}),
                         CaseName);

std::string ManifestCaseName(const testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;  // test names may not hold dots
    for (char& c : name) {
        if (c == '.') c = '_';
    }
    return name;
}

class VolumeManifest : public testing::TestWithParam<const char*> {};

TEST_P(VolumeManifest, HoldsLiveAndDeletedFilesInAConsistentTree) {
    const std::vector<ManifestEntry> entries = LoadManifest(GetParam());
    std::set<std::string> dirs, deletedDirs, seen;
    for (const auto& e : entries)
        if (e.isDir) (e.deleted ? deletedDirs : dirs).insert(e.path);

    int liveFiles = 0, deletedFiles = 0;
    for (const auto& e : entries) {
        EXPECT_TRUE(seen.insert(e.path).second) << "listed twice: " << e.path;
        EXPECT_EQ(e.path.find("//"), std::string::npos) << e.path;
        if (!e.isDir) {
            (e.deleted ? deletedFiles : liveFiles)++;
            EXPECT_GE(e.size, 0) << e.path;
            if (!e.deleted) {
                EXPECT_EQ(e.sha256.size(), 64u) << "live files always have a digest: " << e.path;
            }
        }
        const auto slash = e.path.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string parent = e.path.substr(0, slash);
        EXPECT_TRUE(dirs.count(parent) || deletedDirs.count(parent))
            << "no folder line for " << parent;
        if (deletedDirs.count(parent)) {
            EXPECT_TRUE(e.deleted) << "live entry in deleted folder: " << e.path;
        }
    }
    EXPECT_GE(liveFiles, 1);
    EXPECT_GE(deletedFiles, 1);
}

INSTANTIATE_TEST_SUITE_P(All, VolumeManifest,
                         testing::Values("fat12", "fat16", "fat32", "ntfs", "mbr.p1", "mbr.p5",
                                         "gpt.p1", "gpt.p2"),
                         ManifestCaseName);

TEST(FixtureManifest, KeepsNonAsciiNamesAsUtf8) {
    std::set<std::string> paths;
    for (const auto& e : LoadManifest("fat12")) paths.insert(e.path);
    EXPECT_TRUE(paths.count("Pictures/\xE7\x85\xA7\xE7\x89\x87.jpg"));           // 照片.jpg
    EXPECT_TRUE(paths.count("Documents/\xD0\xA4\xD0\xBE\xD1\x82\xD0\xBE.txt"));  // Фото.txt
    EXPECT_TRUE(paths.count("Documents/caf\xC3\xA9.txt"));                       // café.txt
}

TEST(FixtureBootSector, FileSystemImagesCarryTheirSignatures) {
    TempDir dir;
    const std::string fat32 = UnpackFixture("fat32", dir);
    EXPECT_TRUE(EndsWithBootSignature(fat32, 0));
    EXPECT_EQ(ReadAt(fat32, 82, 8), "FAT32   ");

    const std::string ntfs = UnpackFixture("ntfs", dir);
    EXPECT_TRUE(EndsWithBootSignature(ntfs, 0));
    EXPECT_EQ(ReadAt(ntfs, 3, 8), "NTFS    ");

    for (const char* name : {"fat12", "fat16"}) {
        const std::string image = UnpackFixture(name, dir);
        EXPECT_TRUE(EndsWithBootSignature(image, 0)) << name;
        EXPECT_EQ(ReadAt(image, 54, 5), name == std::string("fat12") ? "FAT12" : "FAT16");
    }
}

TEST(FixturePartitions, MbrTableMatchesItsListing) {
    TempDir dir;
    const std::string image = UnpackFixture("mbr", dir);
    const auto size = std::filesystem::file_size(image);
    EXPECT_TRUE(EndsWithBootSignature(image, 0));

    const auto parts = LoadPartitions("mbr");
    ASSERT_EQ(parts.size(), 4u);  // primary, extended, two logical
    EXPECT_EQ(parts[0].index, 1);
    EXPECT_EQ(parts[1].type, "0x05");
    EXPECT_EQ(parts[2].index, 5);
    EXPECT_EQ(parts[3].index, 6);
    for (const auto& p : parts) {
        EXPECT_LE((p.startSector + p.sectorCount) * 512, size) << p.index;
    }

    // The first primary entry in the on-disk table points where the listing says.
    const std::string entry = ReadAt(image, 446, 16);
    ASSERT_EQ(entry.size(), 16u);
    const auto le32 = [&](size_t at) {
        return std::uint64_t(std::uint8_t(entry[at])) |
               std::uint64_t(std::uint8_t(entry[at + 1])) << 8 |
               std::uint64_t(std::uint8_t(entry[at + 2])) << 16 |
               std::uint64_t(std::uint8_t(entry[at + 3])) << 24;
    };
    EXPECT_EQ(le32(8), parts[0].startSector);
    EXPECT_EQ(le32(12), parts[0].sectorCount);

    EXPECT_TRUE(EndsWithBootSignature(image, parts[0].startSector * 512));  // FAT16 inside
    EXPECT_TRUE(EndsWithBootSignature(image, parts[2].startSector * 512));  // FAT12 inside
}

TEST(FixturePartitions, GptHasThreeNamedPartitions) {
    TempDir dir;
    const std::string image = UnpackFixture("gpt", dir);
    EXPECT_EQ(ReadAt(image, 512, 8), "EFI PART");
    const auto parts = LoadPartitions("gpt");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].name, "Photos");
    EXPECT_EQ(parts[1].name, "Backup");
    EXPECT_EQ(parts[2].name, "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5");  // Данные
    EXPECT_EQ(ReadAt(image, parts[1].startSector * 512 + 3, 8), "NTFS    ");
    EXPECT_TRUE(EndsWithBootSignature(image, parts[0].startSector * 512));
}

TEST(FixtureHelpers, Sha256MatchesTheKnownDigest) {
    TempDir dir;
    const std::string path = dir.path() + "/it's a file.txt";  // quote and space on purpose
    std::ofstream(path, std::ios::binary) << "abc";
    EXPECT_EQ(Sha256OfFile(path),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_THROW(Sha256OfFile(dir.path() + "/missing"), std::runtime_error);
}

TEST(FixtureHelpers, TempDirIsRemovedWithItsContent) {
    std::string path;
    {
        TempDir dir;
        path = dir.path();
        ASSERT_TRUE(std::filesystem::is_directory(path));
        std::filesystem::create_directories(path + "/a/b");
        std::ofstream(path + "/a/b/c.bin") << "x";
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(FixtureHelpers, MissingFixturesThrowClearly) {
    TempDir dir;
    EXPECT_THROW(UnpackFixture("no-such-image", dir), std::runtime_error);
    EXPECT_THROW(LoadManifest("no-such-image"), std::runtime_error);
    EXPECT_THROW(LoadPartitions("fat12"), std::runtime_error);
}

}  // namespace
