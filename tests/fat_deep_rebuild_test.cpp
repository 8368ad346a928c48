// The deep FAT parser on volumes made by mkfs.fat and filled with mtools whose FAT structures
// are gone: a FAT32 volume formatted again with another cluster size, the same volume with its
// boot sector and FATs zeroed, and the FAT12 and FAT16 fixtures with theirs zeroed. Fed the
// way the coordinator feeds it, it must find the old geometry, rebuild the folders with their
// names and recover the files byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fat_deep_test_support.h"
#include "foundation/bytes.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

struct Variant {
    const char* label;
    const char* fixture;
    bool zeroFatArea;  // zero the boot sector, the reserved sectors and the FATs
    const char* skip;  // a manifest file whose data is fragmented and so not contiguous
};

std::ostream& operator<<(std::ostream& os, const Variant& v) {
    return os << v.label;
}

// The geometry of a volume as its original boot sector gave it, in 512-byte sectors.
struct Geometry {
    uint32_t spc = 0;
    uint32_t firstData = 0;
    uint32_t fatAreaEnd = 0;  // first sector after the FATs
};

Geometry GeometryOfBootSector(const std::string& image) {
    std::ifstream in(image, std::ios::binary);
    unsigned char b[512] = {};
    in.read(reinterpret_cast<char*>(b), sizeof b);
    Geometry g;
    const uint32_t fat16 = LoadU16(b + 0x16);
    const uint32_t fatSectors = fat16 != 0 ? fat16 : LoadU32(b + 0x24);
    const uint32_t rootSectors = (LoadU16(b + 0x11) * 32u + 511) / 512;
    g.spc = b[0x0D];
    g.fatAreaEnd = LoadU16(b + 0x0E) + b[0x10] * fatSectors;
    g.firstData = g.fatAreaEnd + rootSectors;
    return g;
}

Geometry GeometryOfTsv(const std::string& fixture) {
    std::ifstream in(FixtureDir() + "/" + fixture + ".geometry.tsv");
    std::string header;
    std::getline(in, header);
    Geometry g;
    uint32_t root = 0;
    in >> g.spc >> g.firstData >> root;
    g.fatAreaEnd = g.firstData;
    return g;
}

void ZeroSectors(const std::string& image, uint64_t count) {
    std::fstream io(image, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    for (uint64_t s = 0; s < count; ++s) io.write(zeros.data(), 512);
}

// One deep scan of one variant, shared by the tests of that variant.
struct DeepScan {
    TempDir dir;
    std::string image, imageHash;
    Geometry original;
    CProfessionalFatRecovery engine;
    std::map<std::string, Found> tree;
    size_t fed = 0;
};

std::map<std::string, std::unique_ptr<DeepScan>>& Scans() {
    static std::map<std::string, std::unique_ptr<DeepScan>> scans;
    return scans;
}

class FatDeepRebuild : public ::testing::TestWithParam<Variant> {
protected:
    static void TearDownTestSuite() {
        Scans().clear();
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }

    void SetUp() override {
        std::unique_ptr<DeepScan>& slot = Scans()[GetParam().label];
        if (!slot) slot = RunScan(GetParam());
        scan_ = slot.get();
        ASSERT_NE(scan_, nullptr);
    }

    static std::unique_ptr<DeepScan> RunScan(const Variant& v) {
        auto scan = std::make_unique<DeepScan>();
        scan->image = UnpackFixture(v.fixture, scan->dir);
        const bool reformatted = std::string(v.fixture) == "fat32_reformat";
        scan->original = reformatted ? GeometryOfTsv(v.fixture) : GeometryOfBootSector(scan->image);
        if (v.zeroFatArea) ZeroSectors(scan->image, scan->original.fatAreaEnd);
        scan->imageHash = Sha256OfFile(scan->image);
        ::setenv("XDG_DATA_HOME", (scan->dir.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", scan->image.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        std::ifstream in(scan->image, std::ios::binary | std::ios::ate);
        const long long sectors = static_cast<long long>(in.tellg()) / 512;
        EXPECT_EQ(scan->engine.Init(0, 0, sectors, u'C'), 0);
        EXPECT_EQ(scan->engine.ClearProfessionalVec(nullptr), 0);
        EXPECT_EQ(scan->engine.InitVirtualDbrInfo(), 0);
        scan->fed = FeedImage(scan->engine, scan->image);
        EXPECT_EQ(scan->engine.DealProfessionalRecordVec(), 0);
        CollectTree(scan->engine, nullptr, 0, "", scan->tree);
        return scan;
    }

    const Found* FindRecord(const std::string& manifestPath) const {
        for (const auto& [path, found] : scan_->tree) {
            if (PathMatches(path, manifestPath)) return &found;
        }
        return nullptr;
    }
    std::string PathOfRecord(const std::string& manifestPath) const {
        for (const auto& [path, found] : scan_->tree) {
            if (PathMatches(path, manifestPath)) return path;
        }
        return {};
    }

    DeepScan* scan_ = nullptr;
};

TEST_P(FatDeepRebuild, InfersTheOriginalGeometryFromFoldersAlone) {
    const Geometry& g = scan_->original;
    const auto& list = scan_->engine.GetVirtualDbrList();
    bool found = false;
    for (const __VIRTUAL_DBR_INFO__& d : list) {
        found = found || (d.uSectorsPerCluster == g.spc && d.uFirstDataSector == g.firstData &&
                          d.u64VolumeStartSector == 0);
    }
    EXPECT_TRUE(found) << "no boot sector with " << g.spc << " sectors per cluster and data at "
                       << g.firstData;
    if (GetParam().zeroFatArea) {
        EXPECT_EQ(list.size(), 1u) << "only folders were there to infer from";
    } else {
        // The new format's own boot sector comes first and describes another geometry.
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list[0].uSectorsPerCluster, 64u);
    }
    for (const auto& [path, found] : scan_->tree) {
        if (found.node.bIsDir) continue;
        EXPECT_EQ(found.node.uClusterBytes, 512 * g.spc) << path;
        EXPECT_EQ(found.node.u64DataStartSector, g.firstData) << path;
        EXPECT_EQ(found.node.nFileSource, uint32_t{FILE_SOURCE_PRO_FAT}) << path;
    }
}

TEST_P(FatDeepRebuild, RebuildsEveryFolderUnderItsNameAndNoLostOne) {
    size_t folders = 0;
    std::set<std::string> withFiles;
    for (const ManifestEntry& entry : LoadManifest(GetParam().fixture)) {
        if (entry.isDir) continue;
        for (size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1)) {
            withFiles.insert(entry.path.substr(0, slash));
        }
    }
    for (const std::string& folder : withFiles) {
        const Found* found = FindRecord(folder);
        ASSERT_NE(found, nullptr) << "folder not rebuilt: " << folder;
        EXPECT_EQ(found->node.bIsDir, 1u);
        ++folders;
    }
    EXPECT_GT(folders, 0u);
    for (const auto& [path, found] : scan_->tree) {
        EXPECT_EQ(path.find("LostFolder"), std::string::npos) << path;
    }
}

TEST_P(FatDeepRebuild, ListsEveryFileUnderItsFolderAndNothingElse) {
    size_t files = 0;
    const std::vector<ManifestEntry> manifest = LoadManifest(GetParam().fixture);
    for (const ManifestEntry& entry : manifest) {
        if (entry.isDir) continue;
        const Found* found = FindRecord(entry.path);
        ASSERT_NE(found, nullptr) << "file not listed: " << entry.path;
        EXPECT_EQ(found->node.bIsDir, 0u);
        EXPECT_EQ(found->node.u64FileSize, static_cast<uint64_t>(entry.size)) << entry.path;
        ++files;
    }
    EXPECT_GT(files, 0u);
    for (const auto& [path, found] : scan_->tree) {
        bool known = false;
        for (const ManifestEntry& entry : manifest) known = known || PathMatches(path, entry.path);
        EXPECT_TRUE(known) << "unexpected record " << path;
    }
    EXPECT_GT(scan_->fed, 0u);
}

TEST_P(FatDeepRebuild, RecoversEveryContiguousFileByteExact) {
    TempDir out;
    int n = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam().fixture)) {
        if (entry.isDir || entry.sha256.empty() || entry.path == GetParam().skip) continue;
        const Found* found = FindRecord(entry.path);
        ASSERT_NE(found, nullptr) << entry.path;
        _FILE_NODE_ node = found->node;
        const std::string target = out.path() + "/f" + std::to_string(n++);
        ASSERT_EQ(scan_->engine.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0)
            << entry.path;
        EXPECT_EQ(Sha256OfFile(target), entry.sha256) << entry.path;
    }
    EXPECT_GT(n, 0);
    EXPECT_EQ(Sha256OfFile(scan_->image), scan_->imageHash) << "the image was written to";
}

TEST_P(FatDeepRebuild, RecoversAWholeFolderTreeByteExact) {
    // The top-level folder with the most files below it.
    std::map<std::string, int> counts;
    for (const ManifestEntry& entry : LoadManifest(GetParam().fixture)) {
        if (!entry.isDir && entry.path.find('/') != std::string::npos) {
            ++counts[entry.path.substr(0, entry.path.find('/'))];
        }
    }
    std::string top;
    for (const auto& [name, count] : counts) {
        if (top.empty() || count > counts[top]) top = name;
    }
    const Found* found = FindRecord(top);
    ASSERT_NE(found, nullptr) << top;
    TempDir out;
    const std::string target = out.path() + "/tree";
    unsigned int base = 0;
    GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), base);
    _FILE_NODE_ node = found->node;
    const int baseIndex = static_cast<int>(base) - static_cast<int>(found->level);
    ASSERT_EQ(scan_->engine.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), baseIndex), 0);
    int checked = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam().fixture)) {
        if (entry.isDir || entry.sha256.empty() || entry.path.rfind(top + "/", 0) != 0 ||
            entry.path == GetParam().skip) {
            continue;
        }
        const std::string recordPath = PathOfRecord(entry.path);
        ASSERT_FALSE(recordPath.empty()) << entry.path;
        const std::string written = target + recordPath.substr(PathOfRecord(top).size());
        ASSERT_EQ(access(written.c_str(), F_OK), 0) << written;
        EXPECT_EQ(Sha256OfFile(written), entry.sha256) << written;
        ++checked;
    }
    EXPECT_GT(checked, 1);
}

TEST_P(FatDeepRebuild, BrowsesTheRootWithANullParentAndRefusesOtherLevels) {
    std::vector<_FILE_NODE_> root;
    ASSERT_EQ(scan_->engine.GetChildrenFileNode(nullptr, 0, root), 0);
    EXPECT_FALSE(root.empty());
    std::vector<_FILE_NODE_> none;
    EXPECT_EQ(scan_->engine.GetChildrenFileNode(nullptr, 1, none), RESULT_INVALID_ARGUMENT);
    EXPECT_TRUE(none.empty());
    unsigned int count = 0;
    ASSERT_EQ(scan_->engine.GetChildrenFileCount(nullptr, 0, count), 0);
    size_t files = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam().fixture))
        files += entry.isDir ? 0 : 1;
    EXPECT_EQ(count, files);
    EXPECT_EQ(scan_->engine.GetUnplacedFileCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FatDeepRebuild,
    ::testing::Values(Variant{"Reformatted", "fat32_reformat", false, ""},
                      Variant{"ReformattedAndZeroed", "fat32_reformat", true, ""},
                      Variant{"Fat16Zeroed", "fat16", true, "Videos/split clip.mp4"},
                      Variant{"Fat12Zeroed", "fat12", true, ""}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.label); });

}  // namespace
