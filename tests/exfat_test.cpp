// The quick exFAT engine: on volumes made by mkfs.exfat and written through exfat-fuse, every
// deleted file is listed under its folder with its exact name and, where its clusters were
// contiguous, recovered byte-exact; asked to, every file still listed is too, marked, along its
// chain; on a hand-built volume, damage is passed over and a present file's broken chain fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "exfat/fast_exfat_recovery.h"
#include "fat_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

struct ExfatVolume {
    const char* label;
    const char* image;
    const char* manifest;
    uint64_t startSector;
};

// A second scan of a volume already scanned, with its own log folder, so that the stores of
// both stay apart.
struct Rescan {
    Rescan(const std::string& image, uint64_t startSector) : env(dir, image) {
        EXPECT_EQ(engine.Init(0, static_cast<long long>(startSector),
                              static_cast<long long>(SectorsOf(image) - startSector), u'C'),
                  0);
        EXPECT_EQ(engine.ScanDevice(nullptr), 0);
        CollectTree(engine, nullptr, 0, "", tree);
    }
    TempDir dir;
    ScanEnvironment env;
    CFastExfatRecovery engine;
    Tree tree;
};

std::set<std::string> FragmentedFiles() {
    std::set<std::string> out;
    std::ifstream in(FixtureDir() + "/exfat.fragmented.txt");
    for (std::string line; std::getline(in, line);) out.insert(line);
    return out;
}

class ExfatFixture : public ::testing::TestWithParam<ExfatVolume> {
protected:
    void SetUp() override {
        image_ = UnpackFixture(GetParam().image, dir_);
        hash_ = Sha256OfFile(image_);
        env_.emplace(dir_, image_);
        const uint64_t start = GetParam().startSector;
        ASSERT_EQ(engine_.Init(0, static_cast<long long>(start),
                               static_cast<long long>(SectorsOf(image_) - start), u'C'),
                  0);
        ASSERT_EQ(engine_.BuildBitMapInfo(), 0);
        ASSERT_EQ(engine_.ScanDevice(nullptr), 0);
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(image_), hash_) << "the image was written to";
    }
    // Whether a 512-byte sector of the volume lies in a run the free-space walk reports.
    bool IsFree(uint64_t sector) {
        unsigned long long start = 0, count = 1;
        for (int runs = 0; runs < 100000; ++runs, start += count) {
            engine_.GetUnUsedSectorCount(start, count);
            if (count == 0) return false;
            if (sector >= start && sector < start + count) return true;
        }
        return false;
    }

    TempDir dir_;
    std::string image_, hash_;
    std::optional<ScanEnvironment> env_;
    CFastExfatRecovery engine_;
    Tree tree_;
};

TEST_P(ExfatFixture, RecoversDeletedFilesByteExactUnderTheirFolders) {
    const std::set<std::string> fragmented = FragmentedFiles();
    TempDir out;
    unsigned int deletedFiles = 0, exact = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam().manifest)) {
        // Live folders are listed only on the way to something deleted; live files never.
        const auto found = tree_.find(entry.path);
        if (!entry.deleted) {
            EXPECT_TRUE(entry.isDir || found == tree_.end()) << "live file listed: " << entry.path;
            continue;
        }
        ASSERT_NE(found, tree_.end()) << "not listed: " << entry.path;
        EXPECT_EQ(found->second.node.bIsDir != 0, entry.isDir) << entry.path;
        EXPECT_EQ(found->second.node.nFileSource, FILE_SOURCE_FAST_EXFAT);
        if (entry.isDir) continue;
        ++deletedFiles;
        EXPECT_EQ(found->second.node.u64FileSize, static_cast<uint64_t>(entry.size));
        const std::string target = out.path() + "/" + std::to_string(deletedFiles);
        ASSERT_EQ(Save(engine_, found->second, target), 0) << entry.path;
        if (fragmented.count(entry.path) != 0) continue;
        EXPECT_EQ(Sha256OfFile(target), entry.sha256) << entry.path;
        exact += Sha256OfFile(target) == entry.sha256 ? 1 : 0;
        // The deep pass reads only free space: a deleted file's data must lie in it.
        if (entry.size > 0) {
            const _FILE_NODE_& node = found->second.node;
            EXPECT_TRUE(IsFree(node.u64DataStartSector +
                               uint64_t{node.uClusterNO - 2} * (node.uClusterBytes / kSector)))
                << entry.path;
        }
    }
    EXPECT_GT(exact, 2u);
    unsigned int counted = 0;
    ASSERT_EQ(engine_.GetChildrenFileCount(nullptr, 0, counted), 0);
    EXPECT_EQ(counted, deletedFiles);
}

// Asked to, the scan lists every file the volume still lists, marked, at its path, and reads it
// along its chain (kept.bin was written interleaved with a deleted file); deleted files stay as
// they were, and folders are marked exactly when live, asked or not. Unasked, the listing holds
// the same deleted files and no present one.
TEST_P(ExfatFixture, WhenAskedListsEveryPresentFileMarkedAndRecoversItByteExact) {
    const ListingPresentFiles listing;
    Rescan rescan(image_, GetParam().startSector);
    const std::vector<ManifestEntry> manifest = LoadManifest(GetParam().manifest);
    std::set<std::string> deletedOn, deletedOff;
    for (const Tree* tree : {&rescan.tree, &tree_}) {
        for (const auto& [path, found] : *tree) {
            const std::string& wanted = path;  // a structured binding cannot be captured
            const auto entry =
                std::find_if(manifest.begin(), manifest.end(),
                             [&](const ManifestEntry& e) { return e.path == wanted; });
            ASSERT_NE(entry, manifest.end()) << "unexpected record " << path;
            EXPECT_EQ(IsPresentEntry(found.node), !entry->deleted) << path;
            if (!entry->isDir && entry->deleted)
                (tree == &tree_ ? deletedOff : deletedOn).insert(path);
        }
    }
    EXPECT_EQ(deletedOn, deletedOff);
    TempDir out;
    unsigned int files = 0, counted = 0;
    for (const ManifestEntry& entry : manifest) {
        if (entry.isDir) continue;
        ++files;
        const auto found = rescan.tree.find(entry.path);
        ASSERT_NE(found, rescan.tree.end()) << "not listed: " << entry.path;
        if (entry.deleted) continue;
        EXPECT_EQ(found->second.node.u64FileSize, static_cast<uint64_t>(entry.size));
        const std::string target = out.path() + "/" + std::to_string(files);
        ASSERT_EQ(Save(rescan.engine, found->second, target), 0) << entry.path;
        EXPECT_EQ(Sha256OfFile(target), entry.sha256) << entry.path;
    }
    ASSERT_EQ(rescan.engine.GetChildrenFileCount(nullptr, 0, counted), 0);
    EXPECT_EQ(counted, files);
}

TEST(ExfatFixtureTimes, ModificationTimeIsUtcSeconds) {
    TempDir dir;
    const std::string image = UnpackFixture("exfat", dir);
    ScanEnvironment env(dir, image);
    CFastExfatRecovery engine;
    ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(SectorsOf(image)), u'C'), 0);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0);
    Tree tree;
    CollectTree(engine, nullptr, 0, "", tree);
    ASSERT_EQ(tree.count("Photos/Großmutter 3.jpg"), 1u);
    timespec modified{}, accessed{};
    ASSERT_TRUE(GetRecordTimes(tree["Photos/Großmutter 3.jpg"].node, modified, accessed));
    EXPECT_EQ(modified.tv_sec, 1614834368);  // touch -d "2021-03-04 05:06:08 UTC"
}

INSTANTIATE_TEST_SUITE_P(MadeByMkfsExfat, ExfatFixture,
                         ::testing::Values(ExfatVolume{"bare", "exfat", "exfat", 0},
                                           ExfatVolume{"card", "exfat_card", "exfat_card.p1",
                                                       8192}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- a hand-built volume: 512-byte sectors and clusters, FAT at 24, cluster 2 at sector 32 --

constexpr uint32_t kHeap = 32, kClusters = 900, kRoot = 4;

std::vector<Entry> EntrySet(const std::u16string& name, uint16_t attributes, uint32_t cluster,
                            uint64_t length, uint64_t valid, bool deleted, bool noChain = true) {
    std::vector<Entry> set(2 + (name.size() + 14) / 15);
    set[0][0] = 0x85;
    set[0][1] = static_cast<unsigned char>(set.size() - 1);
    std::memcpy(&set[0][4], &attributes, 2);
    const uint32_t stamp = (42u << 25) | (7u << 21) | (1u << 16) | (10u << 11) | (20u << 5) | 15;
    std::memcpy(&set[0][0x0C], &stamp, 4);
    set[0][0x17] = 0x80 | 32;  // 2022-07-01 10:20:30 at UTC+8
    set[1][0] = 0xC0;
    set[1][1] = noChain ? 0x03 : 0x01;
    set[1][3] = static_cast<unsigned char>(name.size());
    std::memcpy(&set[1][8], &valid, 8);
    std::memcpy(&set[1][0x14], &cluster, 4);
    std::memcpy(&set[1][0x18], &length, 8);
    for (size_t i = 0; i < name.size(); ++i) {
        set[2 + i / 15][0] = 0xC1;
        std::memcpy(&set[2 + i / 15][2 + 2 * (i % 15)], &name[i], 2);
    }
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size() * 32; ++i) {
        if (i != 2 && i != 3)
            sum = static_cast<uint16_t>((sum >> 1) + (sum << 15) + set[i / 32][i % 32]);
    }
    std::memcpy(&set[0][2], &sum, 2);
    if (deleted) {
        for (Entry& e : set) e[0] &= 0x7F;
    }
    return set;
}

class ExfatHandVolume : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        image_.emplace(dir_, 1024, 1, kHeap);
        WriteBootRegion(0);
        WriteBootRegion(12);
        if (GetParam()) image_->WriteBytes(1, "damage", 6);  // the main region's checksum fails
        Fat({{2, 0xFFFFFFFF}, {3, 0xFFFFFFFF}, {4, 5}, {5, 0xFFFFFFFF}, {10, 11}, {11, 10}});
        const std::array<uint8_t, 2> used{0x0F, 0x03};  // clusters 2-5, 10 and 11
        image_->WriteBytes(image_->ClusterSector(2), used.data(), used.size());

        std::vector<Entry> root(1);
        root[0][0] = 0x81;
        const uint32_t bitmapCluster = 2;
        const uint64_t bitmapBytes = (kClusters + 7) / 8;
        std::memcpy(&root[0][0x14], &bitmapCluster, 4);
        std::memcpy(&root[0][0x18], &bitmapBytes, 8);
        Add(root, EntrySet(u"Looping folder", 0x10, 10, 3 * 512, 3 * 512, false, false));
        std::vector<Entry> broken = EntrySet(u"broken.txt", 0x20, 40, 100, 100, true);
        broken[2][4] ^= 1;  // a name unit changed after the checksum was written
        Add(root, broken);
        Add(root, EntrySet(u"half written.txt", 0x20, 20, 1500, 700, true));
        Add(root, EntrySet(u"hostile folder", 0x10, 0xFFFFFFF0, 512, 512, true));
        Add(root, EntrySet(u"hostile.bin", 0x20, 0x7FFFFFFF, 100, 100, true));
        // Live files, listed only when asked: one without a chain, one whose chain runs into
        // the folder's loop, one whose chain ends a cluster before its size does.
        Add(root, EntrySet(u"one run.bin", 0x20, 60, 1000, 1000, false));
        Add(root, EntrySet(u"looping.bin", 0x20, 10, 3 * 512, 3 * 512, false, false));
        Add(root, EntrySet(u"cut short.bin", 0x20, 3, 2 * 512, 2 * 512, false, false));
        image_->WriteFolder(kRoot, root);
        // Both clusters of the folder are full, so only the loop in its chain ends the walk.
        Entry filler{};
        filler[0] = 0xA0;
        image_->WriteFolder(10, std::vector<Entry>(16, filler));
        std::vector<Entry> looped = EntrySet(u"in the loop.txt", 0x20, 50, 600, 600, true);
        looped.resize(16, filler);
        image_->WriteFolder(11, looped);
        half_ = image_->WriteData(20, 1500);
        inLoop_ = image_->WriteData(50, 600);
        oneRun_ = image_->WriteData(60, 1000);

        env_.emplace(dir_, image_->path());
        ASSERT_EQ(engine_.Init(0, 0, 1024, u'C'), 0);
        ASSERT_EQ(engine_.ScanDevice(nullptr), 0);
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    void WriteBootRegion(uint64_t first) {
        std::vector<unsigned char> region(12 * 512, 0);
        unsigned char* b = region.data();
        const unsigned char jump[] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
        std::memcpy(b, jump, sizeof jump);
        const uint64_t length = 1024;
        const uint32_t fields[] = {24, 8, kHeap, kClusters, kRoot};
        std::memcpy(b + 0x48, &length, 8);
        std::memcpy(b + 0x50, fields, sizeof fields);
        b[0x68] = 0x00, b[0x69] = 0x01, b[0x6C] = 9, b[0x6D] = 0, b[0x6E] = 1;
        for (int s = 0; s < 11; ++s) region[s * 512 + 510] = 0x55, region[s * 512 + 511] = 0xAA;
        uint32_t sum = 0;
        for (size_t i = 0; i < 11 * 512; ++i) {
            if (i != 0x6A && i != 0x6B && i != 0x70) sum = (sum >> 1) + (sum << 31) + region[i];
        }
        for (size_t i = 11 * 512; i < region.size(); i += 4) std::memcpy(&region[i], &sum, 4);
        image_->WriteBytes(first, region.data(), region.size());
    }
    void Fat(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
        for (const auto& [cluster, next] : entries) {
            std::fstream io(image_->path(), std::ios::in | std::ios::out | std::ios::binary);
            io.seekp(static_cast<std::streamoff>(24 * 512 + cluster * 4));
            io.write(reinterpret_cast<const char*>(&next), 4);
        }
    }
    std::string Recover(const std::string& path) {
        const std::string target = out_.path() + "/recovered";
        std::remove(target.c_str());
        EXPECT_EQ(Save(engine_, tree_.at(path), target), 0) << path;
        return ReadFile(target);
    }

    TempDir dir_, out_;
    std::optional<HandImage> image_;
    std::optional<ScanEnvironment> env_;
    CFastExfatRecovery engine_;
    Tree tree_;
    std::string half_, inLoop_, oneRun_;
};

TEST_P(ExfatHandVolume, PassesOverBrokenSetsLoopsAndHostileClusters) {
    EXPECT_EQ(engine_.UsedBackupBootRegion(), GetParam());
    std::set<std::string> paths;
    for (const auto& item : tree_) paths.insert(item.first);
    EXPECT_EQ(paths, (std::set<std::string>{"Looping folder", "Looping folder/in the loop.txt",
                                            "half written.txt", "hostile.bin"}));
    EXPECT_EQ(Recover("Looping folder/in the loop.txt"), inLoop_);
    const _FILE_NODE_ hostile = tree_.at("hostile.bin").node;
    _FILE_NODE_ copy = hostile;
    const std::u16string target = Utf8ToWide((out_.path() + "/hostile.bin").c_str());
    EXPECT_NE(engine_.SaveFileData(&copy, target.c_str(), 0), 0);
}

TEST_P(ExfatHandVolume, ReadsZerosPastTheValidLengthAndHonoursTheUtcOffset) {
    EXPECT_EQ(Recover("half written.txt"), half_.substr(0, 700) + std::string(800, '\0'));
    timespec modified{}, accessed{};
    ASSERT_TRUE(GetRecordTimes(tree_.at("half written.txt").node, modified, accessed));
    EXPECT_EQ(modified.tv_sec, 1656670830 - 8 * 3600);
}

// A present file is read the way the file system says: as one run when it has no chain, else
// along the FAT; a chain that comes back on itself or ends before the file does fails the file,
// and nothing is left under its name.
TEST_P(ExfatHandVolume, WhenAskedAPresentFileIsReadAlongItsChainOrNotAtAll) {
    const ListingPresentFiles listing;
    Rescan rescan(image_->path(), 0);
    std::set<std::string> present;
    for (const auto& [path, found] : rescan.tree) {
        if (IsPresentEntry(found.node)) present.insert(path);
    }
    EXPECT_EQ(present, (std::set<std::string>{"Looping folder", "cut short.bin", "looping.bin",
                                              "one run.bin"}));
    const std::string whole = out_.path() + "/one run.bin";
    ASSERT_EQ(Save(rescan.engine, rescan.tree.at("one run.bin"), whole), 0);
    EXPECT_EQ(ReadFile(whole), oneRun_);
    for (const char* name : {"looping.bin", "cut short.bin"}) {
        const std::string target = out_.path() + "/" + name;
        EXPECT_NE(Save(rescan.engine, rescan.tree.at(name), target), 0) << name;
        EXPECT_NE(access(target.c_str(), F_OK), 0) << name << " was left whole";
    }
}

INSTANTIATE_TEST_SUITE_P(BootRegion, ExfatHandVolume, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Backup" : "Main"; });

}  // namespace
