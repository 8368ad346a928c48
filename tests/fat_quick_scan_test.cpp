// The quick FAT engine on volumes made by mkfs.fat and filled with mtools: what it lists and
// recovers against each volume's manifest, with and without the files the volume still lists,
// the free space it reports against fsck, and that the image is never changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/file_recovery_factory.h"
#include "fat_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

void ScanImage(const std::string& image, CFastFatRecovery& engine, Tree& tree) {
    ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(SectorsOf(image)), u'C'), 0);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0);
    CollectTree(engine, nullptr, 0, "", tree);
}

// Every record, file or folder, stands for a manifest entry, and carries the mark exactly when
// that entry is live.
void ExpectMarkedAsInManifest(const Tree& tree, const std::vector<ManifestEntry>& manifest) {
    for (const auto& item : tree) {
        const std::string& path = item.first;
        const bool present = IsPresentEntry(item.second.node);
        EXPECT_TRUE(std::any_of(manifest.begin(), manifest.end(),
                                [&](const ManifestEntry& e) {
                                    return e.deleted != present && PathMatches(path, e.path);
                                }))
            << path << (present ? " marked" : " not marked");
    }
}

std::set<std::string> DeletedFilePaths(const Tree& tree) {
    std::set<std::string> out;
    for (const auto& [path, found] : tree) {
        if (found.node.bIsDir == 0 && !IsPresentEntry(found.node)) out.insert(path);
    }
    return out;
}

bool HasTextExtension(const std::string& path) {
    if (path.size() < 4) return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".txt";
}

class FatQuickScan : public FatVolume {};

TEST_P(FatQuickScan, ListsAndRecoversEveryDeletedFileUnderItsFolderAndNoLiveFile) {
    ExpectListedAndRecoveredAsInManifest();
}

// Asked to, the scan lists every file the volume still lists, marked, at its path, and reads it
// along its chain (fat16's split clip.mp4 is in two fragments); deleted files stay as they were.
// Unasked, the listing holds the same deleted files and no present one.
TEST_P(FatQuickScan, WhenAskedListsEveryPresentFileMarkedAndRecoversItByteExact) {
    const ListingPresentFiles listing;
    TempDir dir, out;
    const std::string image = UnpackFixture(GetParam().fixture, dir);
    ScanEnvironment env(dir, image);
    CFastFatRecovery engine;
    Tree tree;
    ASSERT_NO_FATAL_FAILURE(ScanImage(image, engine, tree));
    const std::vector<ManifestEntry> manifest = LoadManifest(GetParam().fixture);
    ExpectMarkedAsInManifest(tree, manifest);
    ExpectMarkedAsInManifest(scan_->tree, manifest);
    EXPECT_EQ(DeletedFilePaths(tree), DeletedFilePaths(scan_->tree));
    unsigned int files = 0, liveText = 0, counted = 0;
    for (const ManifestEntry& entry : manifest) {
        if (entry.isDir) continue;
        ++files;
        const Found* found = FindRecord(tree, entry.path);
        ASSERT_NE(found, nullptr) << "not listed: " << entry.path;
        if (entry.deleted) continue;
        EXPECT_EQ(found->node.u64FileSize, static_cast<uint64_t>(entry.size)) << entry.path;
        const std::string target = out.path() + "/" + std::to_string(files);
        ASSERT_EQ(Save(engine, *found, target), 0) << entry.path;
        EXPECT_EQ(Sha256OfFile(target), entry.sha256) << entry.path;
        if (HasTextExtension(entry.path)) ++liveText;
    }
    ASSERT_EQ(engine.GetChildrenFileCount(nullptr, 0, counted), 0);
    EXPECT_EQ(counted, files);

    std::vector<__SEARCH_FILE_INFO__> hits;
    engine.SearchFileNode(u"*.txt", hits);
    unsigned int presentHits = 0;
    for (__SEARCH_FILE_INFO__& hit : hits) {
        if (!IsPresentEntry(hit)) continue;
        ++presentHits;
        char16_t folder[512] = {};
        ASSERT_EQ(engine.GetFileNodeParentDirPath(&hit, folder, 512), 0);
        const std::string path = WideToUtf8(folder) + WideToUtf8(Ansi2Unicode(hit.szFileName));
        EXPECT_TRUE(std::any_of(manifest.begin(), manifest.end(), [&](const ManifestEntry& e) {
            return !e.deleted && PathMatches(path, e.path);
        })) << path;
    }
    EXPECT_EQ(presentHits, liveText);
}

TEST_P(FatQuickScan, FreeSpaceWalkAgreesWithFsck) {
    std::ifstream in(FixtureDir() + "/" + GetParam().fixture + ".fsck.tsv");
    in.ignore(1 << 10, '\n');
    unsigned long long used = 0, total = 0;
    in >> used >> total;
    ASSERT_GT(total, 0u);
    CFastFatRecovery& engine = scan_->quick;
    ASSERT_EQ(engine.BuildBitMapInfo(), 0);
    EXPECT_EQ(engine.GetClusterCount(), total);
    unsigned long long start = 0, count = 1, freeSectors = 0;
    for (int runs = 0; count != 0; start += count) {
        engine.GetUnUsedSectorCount(start, count);
        EXPECT_GE(start, engine.GetFirstDataSector());
        freeSectors += count;
        ASSERT_LT(++runs, 100000);
    }
    EXPECT_EQ(freeSectors / engine.GetSectorsPerCluster(), total - used);
}

// An entry of a sub-folder that names the root folder as its child is refused: taken, it moved
// the root and hid the deleted files of every folder published after it.
TEST(FatQuickScanHostile, AnEntryNamingTheRootAsAChildHidesNothing) {
    TempDir dir;
    const std::string image = UnpackFixture("fat32", dir);
    const Entry link = ShortEntry("ROOTLINK   ", FAT_ATTR_DIRECTORY, 2, 0);
    std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
        .seekp((1292 + 7 - 2) * kSector + 3 * 32)  // the free fourth entry of Projects
        .write(reinterpret_cast<const char*>(link.data()), 32);
    ScanEnvironment env(dir, image);
    CFastFatRecovery engine;
    ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(SectorsOf(image)), u'C'), 0);
    ASSERT_EQ(engine.ScanDevice(nullptr), 0);
    Tree tree;
    CollectTree(engine, nullptr, 0, "", tree);
    EXPECT_EQ(tree.count("Documents/Заявление.pdf"), 1u);
}

// A FAT32 volume whose boot sector is scribbled is read through the copy in sector 6: the
// factory still recognises it and its quick engine lists the deleted files under their folders.
TEST(FatQuickScanHostile, AScribbledBootSectorIsReadThroughItsCopy) {
    TempDir dir;
    const std::string image = UnpackFixture("fat32", dir);
    std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
        .write(std::string(kSector, '\x5a').data(), kSector);
    ScanEnvironment env(dir, image);
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, 0, static_cast<long long>(SectorsOf(image)), u'C', RECOVERY_TYPE_FAST));
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    EXPECT_TRUE(engine->SawDamage());
    Tree tree;
    CollectTree(*engine, nullptr, 0, "", tree);
    EXPECT_EQ(tree.count("Documents/Заявление.pdf"), 1u);
}

// A live file's chain is the file system's word: where it comes back on itself or is freed
// before the file's end, the file is not recovered, neither in a loop nor by guessing on.
TEST(FatQuickScanHostile, APresentFileWhoseChainLoopsOrIsFreedIsNotRecovered) {
    const ListingPresentFiles listing;
    TempDir dir, out;
    const std::string image = UnpackFixture("fat16", dir);
    ScanEnvironment env(dir, image);
    const char* const clip = "Videos/split clip.mp4";
    uint32_t first = 0;
    {
        CFastFatRecovery engine;
        Tree tree;
        ASSERT_NO_FATAL_FAILURE(ScanImage(image, engine, tree));
        ASSERT_NE(FindRecord(tree, clip), nullptr);
        first = FindRecord(tree, clip)->node.uClusterNO;
    }
    std::fstream io(image, std::ios::in | std::ios::out | std::ios::binary);
    uint16_t reserved = 0, second = 0;
    io.seekg(0x0E).read(reinterpret_cast<char*>(&reserved), 2);
    auto entryAt = [&](uint32_t cluster) {
        return std::streamoff{reserved} * kSector + cluster * 2;
    };
    io.seekg(entryAt(first)).read(reinterpret_cast<char*>(&second), 2);
    ASSERT_GE(second, 2u);
    for (const auto& [cluster, next] : {std::pair<uint32_t, uint16_t>{second, first}, {first, 0}}) {
        uint16_t kept = 0;
        io.seekg(entryAt(cluster)).read(reinterpret_cast<char*>(&kept), 2);
        io.seekp(entryAt(cluster)).write(reinterpret_cast<const char*>(&next), 2).flush();
        CFastFatRecovery engine;
        Tree tree;
        ASSERT_NO_FATAL_FAILURE(ScanImage(image, engine, tree));
        ASSERT_NE(FindRecord(tree, clip), nullptr);
        const std::string target = out.path() + "/clip " + std::to_string(cluster);
        EXPECT_NE(Save(engine, *FindRecord(tree, clip), target), 0) << cluster << " -> " << next;
        EXPECT_NE(access(target.c_str(), F_OK), 0) << "a broken file was written whole";
        io.seekp(entryAt(cluster)).write(reinterpret_cast<const char*>(&kept), 2).flush();
    }
}

INSTANTIATE_TEST_SUITE_P(MadeByMkfsFat, FatQuickScan,
                         ::testing::Values(Volume{"fat12", "fat12", false, 0, "", 1, 33},
                                           Volume{"fat16", "fat16", false, 0, "", 4, 100},
                                           Volume{"fat32", "fat32", false, 0, "", 1, 1292}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
