// The deep NTFS engine driven as the deep-scan coordinator drives it, over volumes made by
// mkntfs and ntfs-3g: the tree it files every record into, the volume it places each record
// on (also inside a larger image next to another volume, and without boot sector or table),
// lost folders for reused parents, and byte-exact recovery.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs_deep;

constexpr uint64_t kClusterBytes = 4096;

// Every manifest file is in the tree at its path with its size, placed on the volume that
// starts at u64VolumeStart; so is every folder above a file; nothing else is reachable.
void ExpectTreeMatchesManifest(const std::map<std::string, Browsed>& tree,
                               const std::string& manifest, uint64_t u64VolumeStart) {
    std::set<std::string> expected, folders;
    for (const ManifestEntry& entry : LoadManifest(manifest)) {
        if (entry.isDir) continue;
        const std::string path = AsRecordPath(entry.path);
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            folders.insert(path.substr(0, slash));
        }
        expected.insert(path);
        const auto it = tree.find(path);
        ASSERT_NE(it, tree.end()) << path;
        const _FILE_NODE_& node = it->second.node;
        EXPECT_EQ(node.bIsDir, 0u) << path;
        EXPECT_EQ(node.nFileSource, uint32_t{FILE_SOURCE_PRO_NTFS}) << path;
        EXPECT_EQ(node.u64FileSize, static_cast<uint64_t>(entry.size)) << path;
        EXPECT_EQ(node.u64VolumeStartSector, u64VolumeStart) << path;
        EXPECT_EQ(node.uClusterBytes, kClusterBytes) << path;
    }
    std::set<std::string> browsed;
    for (const auto& [path, found] : tree) browsed.insert(path);
    expected.insert(folders.begin(), folders.end());
    EXPECT_EQ(browsed, expected);
    for (const std::string& folder : folders) {
        if (tree.count(folder) != 0) {
            EXPECT_EQ(tree.at(folder).node.bIsDir, 1u) << folder;
        }
    }
}

// Every manifest file whose content is still on disk comes back byte for byte.
void ExpectRecoveredByteExact(CProfessionalNtfsRecovery& engine,
                              const std::map<std::string, Browsed>& tree,
                              const std::string& manifest, const std::string& outDir) {
    ASSERT_EQ(mkdir(outDir.c_str(), 0755), 0);
    int n = 0;
    for (const ManifestEntry& entry : LoadManifest(manifest)) {
        if (entry.isDir || entry.sha256.empty()) continue;
        const auto it = tree.find(AsRecordPath(entry.path));
        ASSERT_NE(it, tree.end()) << entry.path;
        EXPECT_EQ(RecoverSha(engine, it->second.node, outDir + "/" + std::to_string(n++)),
                  entry.sha256)
            << entry.path;
    }
}

using NtfsDeepScan = DeepNtfsTest;

TEST_F(NtfsDeepScan, FilesEveryLiveAndDeletedRecordIntoItsTreeAndRecoversItByteExact) {
    const std::string path = UnpackFixture("ntfs", dir_);
    const Image image = ReadImage(path);
    CProfessionalNtfsRecovery engine;
    ScanImageFile(engine, path, image);

    EXPECT_EQ(engine.GetTableMap().count(kMftSector), 1u) << "the boot sector's table";
    const std::map<std::string, Browsed> tree = BrowseTree(engine);
    ExpectTreeMatchesManifest(tree, "ntfs", 0);
    ExpectRecoveredByteExact(engine, tree, "ntfs", Path("out"));
    EXPECT_EQ(ReadImage(path), image) << "the scanned image must never change";
}

// Two volumes after 1 MiB of nothing: the committed NTFS image, then the NTFS partition of
// the GPT image. Neither boot sector is at the start of the range, so both tables are learned
// from the "$MFT" records met on the way.
TEST_F(NtfsDeepScan, PlacesRecordsOfTwoVolumesInsideALargerImageOnTheirOwnVolume) {
    constexpr uint64_t kFirst = 2048, kSecond = kFirst + kFixtureSectors;
    constexpr uint64_t kGptVolume = 14336, kGptVolumeSectors = 16384;
    const Image first = Fixture("ntfs");
    const Image gpt = Fixture("gpt");
    // Sized once and filled by copies: growing by insert makes GCC's -O3 bounds analysis
    // report a false overflow.
    Image image((kSecond + kGptVolumeSectors) * kSector, 0);
    std::copy(first.begin(), first.end(), image.begin() + kFirst * kSector);
    std::copy(gpt.begin() + kGptVolume * kSector,
              gpt.begin() + (kGptVolume + kGptVolumeSectors) * kSector,
              image.begin() + kSecond * kSector);
    WriteImage(Path("disk.img"), image);

    CProfessionalNtfsRecovery engine;
    ScanImageFile(engine, Path("disk.img"), image);
    EXPECT_EQ(engine.GetTableMap().count(kFirst + kMftSector), 1u);
    EXPECT_EQ(engine.GetTableMap().count(kSecond + kMftSector), 1u);

    std::vector<_FILE_NODE_> files;
    engine.SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), files);
    std::map<std::pair<uint64_t, std::string>, _FILE_NODE_> byVolumeAndName;
    for (const _FILE_NODE_& node : files) {
        const uint64_t volume = node.u64RecordSector < kSecond ? kFirst : kSecond;
        EXPECT_EQ(node.u64VolumeStartSector, volume) << Utf8Name(node);
        byVolumeAndName[{volume, Utf8Name(node)}] = node;
    }
    ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
    int n = 0;
    for (const auto& [volume, manifest] :
         std::vector<std::pair<uint64_t, std::string>>{{kFirst, "ntfs"}, {kSecond, "gpt.p2"}}) {
        for (const ManifestEntry& entry : LoadManifest(manifest)) {
            if (entry.isDir || entry.sha256.empty()) continue;
            const std::string name = AsRecordPath(entry.path.substr(entry.path.rfind('/') + 1));
            const auto it = byVolumeAndName.find({volume, name});
            ASSERT_NE(it, byVolumeAndName.end()) << manifest << ": " << entry.path;
            EXPECT_EQ(RecoverSha(engine, it->second, Path("out/" + std::to_string(n++))),
                      entry.sha256)
                << manifest << ": " << entry.path;
        }
    }
}

TEST_F(NtfsDeepScan, LearnsTheTableFromTheMftRecordWhenTheBootSectorIsGone) {
    Image image = Fixture("ntfs");
    ZeroSectors(image, 0, 1);
    WriteImage(Path("noboot.img"), image);
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.Init(Utf8ToWide(Path("noboot.img").c_str()).c_str(), u'C'), 0);
    EXPECT_TRUE(engine.GetTableMap().empty());
    ASSERT_EQ(engine.InitProfessionalScan(nullptr), 0);
    FeedRecords(engine, image);
    ASSERT_EQ(engine.ParseProfessionalRecordVec(), 0);

    EXPECT_EQ(engine.GetTableMap().count(kMftSector), 1u);
    const std::map<std::string, Browsed> tree = BrowseTree(engine);
    ExpectTreeMatchesManifest(tree, "ntfs", 0);
    ExpectRecoveredByteExact(engine, tree, "ntfs", Path("out"));
}

// Boot sector, record 0 and its mirror gone, and the volume 100 sectors into a disk chosen by
// number: nothing tells where the table lies, so every record is placed through the
// synthetic run on the volume the coordinator named.
TEST_F(NtfsDeepScan, PlacesRecordsThroughTheSyntheticRunWhenNoTableIsKnown) {
    constexpr uint64_t kStart = 100;
    Image volume = Fixture("ntfs");
    ZeroSectors(volume, 0, 1);
    ZeroSectors(volume, kMftSector, 2);
    ZeroSectors(volume, kMirrorSector, 2);
    Image image(kStart * kSector, 0);
    image.insert(image.end(), volume.begin(), volume.end());
    WriteImage(Path("disk.img"), image);
    ::setenv("FERROWEN_DISKS", Path("disk.img").c_str(), 1);

    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.Init(0, kStart, kFixtureSectors, u'C'), 0);
    ASSERT_EQ(engine.InitProfessionalScan(nullptr), 0);
    FeedRecords(engine, image);
    ASSERT_EQ(engine.ParseProfessionalRecordVec(), 0);

    EXPECT_TRUE(engine.GetTableMap().empty());
    ASSERT_FALSE(engine.GetSpecialFolders().empty());
    for (const __SPECIAL_RECOVERY_DIR__& folder : engine.GetSpecialFolders()) {
        ASSERT_EQ(folder.placement.runs->size(), 1u) << folder.uRecordNumber;
        EXPECT_EQ(folder.placement.runs->front().length, 0u);
        EXPECT_EQ(folder.placement.u64VolumeStartSector, kStart);
    }
    const std::map<std::string, Browsed> tree = BrowseTree(engine);
    ExpectTreeMatchesManifest(tree, "ntfs", kStart);
    ExpectRecoveredByteExact(engine, tree, "ntfs", Path("out"));
}

// Folder "Temp/cache/deep" is record 90 (sectors 212-213); its files b.tmp and preview.jpg
// were deleted with it. Its record is then reused: once by a file, once by another folder
// whose record carries that folder's own number.
struct ReusedRecord {
    const char* what;
    uint64_t u64SourceSector;  // the record copied over record 90
    bool bRenumber;            // written with number 90, as NTFS does when it reuses a record
};

void PrintTo(const ReusedRecord& reuse, std::ostream* os) {
    *os << reuse.what;
}

class NtfsDeepReusedParent : public DeepNtfsTest,
                             public ::testing::WithParamInterface<ReusedRecord> {};

TEST_P(NtfsDeepReusedParent, BecomesALostFolderHoldingTheFilesFiledUnderIt) {
    constexpr uint64_t kDeepFolderSector = 212;
    Image image = Fixture("ntfs");
    std::memcpy(image.data() + kDeepFolderSector * kSector,
                image.data() + GetParam().u64SourceSector * kSector, 2 * kSector);
    if (GetParam().bRenumber) image[kDeepFolderSector * kSector + 0x2C] = 90;
    WriteImage(Path("reused.img"), image);
    CProfessionalNtfsRecovery engine;
    ScanImageFile(engine, Path("reused.img"), image);

    const std::map<std::string, Browsed> tree = BrowseTree(engine);
    ASSERT_EQ(tree.count("LostFolder90"), 1u);
    const _FILE_NODE_& lost = tree.at("LostFolder90").node;
    EXPECT_EQ(lost.bIsDir, 1u);
    EXPECT_EQ(lost.uClusterNO, 90u);
    EXPECT_EQ(tree.count("Temp/cache/deep"), 0u);
    ASSERT_EQ(tree.count("LostFolder90/b.tmp"), 1u);
    EXPECT_EQ(tree.count("LostFolder90/preview.jpg"), 1u);
    EXPECT_EQ(RecoverSha(engine, tree.at("LostFolder90/b.tmp").node, Path("b.tmp")),
              "55c8fcfcf16323c136fdf5093618bc7597b554aa594a3be4e173c48bec71158e");
}

INSTANTIATE_TEST_SUITE_P(ByAFileOrAnotherFolder, NtfsDeepReusedParent,
                         ::testing::Values(ReusedRecord{"file", 198, true},
                                           ReusedRecord{"folder", 182, false}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
