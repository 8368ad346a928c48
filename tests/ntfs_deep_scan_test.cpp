// What only the deep NTFS engine does, driven as the deep-scan coordinator drives it: records
// of two committed volumes in one image placed on their own volume; and on records built byte
// by byte and handed over one at a time, what it refuses, the cluster size it believes and
// the tables it learns from "$MFT" records met anywhere. (tests/ntfs_quick_scan_test.cpp and
// tests/ntfs_quick_corner_test.cpp run it beside the quick engine.)
#include <gtest/gtest.h>

#include "engine/recovery_job.h"
#include "foundation/bytes.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs;

// Two volumes after 1 MiB of nothing: the committed NTFS image, then the NTFS partition of
// the GPT image. Neither boot sector is at the start of the range, so both tables are learned
// from the "$MFT" records met on the way.
using NtfsDeepVolumes = NtfsTest;

TEST_F(NtfsDeepVolumes, PlacesRecordsOfTwoVolumesInsideALargerImageOnTheirOwnVolume) {
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
    DeepScan(engine, Path("disk.img"), image);
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
    int n = 0;
    for (const auto& [volume, manifest] :
         std::vector<std::pair<uint64_t, std::string>>{{kFirst, "ntfs"}, {kSecond, "gpt.p2"}}) {
        for (const ManifestEntry& entry : LoadManifest(manifest)) {
            if (entry.isDir || entry.sha256.empty()) continue;
            const std::string name = AsRecordPath(entry.path.substr(entry.path.rfind('/') + 1));
            const auto it = byVolumeAndName.find({volume, name});
            ASSERT_NE(it, byVolumeAndName.end()) << manifest << ": " << entry.path;
            EXPECT_EQ(RecoverSha(engine, it->second, Path(std::to_string(n++))), entry.sha256)
                << manifest << ": " << entry.path;
        }
    }
}

using V = NtfsVolumeBuilder;

constexpr uint32_t kRecordBytes = CProfessionalNtfsRecovery::kBytesPerRecord;

Image Record(uint32_t number, uint16_t flags, const std::vector<Bytes>& attrs) {
    return V::OnDisk(V::RecordBytes(number, flags, attrs));
}
// Non-resident $DATA with the mapping pairs and sizes given.
Bytes Runs(const Bytes& pairs, uint64_t allocated, uint64_t real) {
    return V::NonResidentPairs(NTFS_ATTR_DATA, pairs, allocated, real);
}
Bytes Resident(size_t bytes) {
    return V::Resident(NTFS_ATTR_DATA, Bytes(bytes, 'r'));
}

class NtfsDeepRecord : public NtfsTest {
protected:
    void SetUp() override {
        NtfsTest::SetUp();
        WriteImage(Path("blank.img"), Image(16384 * kSector, 0));
        ASSERT_EQ(engine_.Init(WidePath("blank.img").c_str(), u'C'), 0);
        ASSERT_EQ(engine_.InitProfessionalScan(nullptr), 0);
    }
    int Parse(const Image& record, uint64_t u64Sector) {
        return engine_.ParseNtfsFileRecord(record.data(), static_cast<int>(record.size()),
                                           u64Sector);
    }
    std::map<std::string, _FILE_NODE_> Files() {
        std::vector<_FILE_NODE_> found;
        engine_.SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
        std::map<std::string, _FILE_NODE_> byName;
        for (const _FILE_NODE_& node : found) byName[Utf8Name(node)] = node;
        return byName;
    }

    CProfessionalNtfsRecovery engine_;
};

TEST_F(NtfsDeepRecord, RefusesWhatItCannotParseAndLeavesFoldersAndSystemRecordsOut) {
    const Image good = Record(20, 0, {Name(5, u"a.txt")});
    CProfessionalNtfsRecovery noStore;
    EXPECT_EQ(noStore.ParseNtfsFileRecord(good.data(), kRecordBytes, 100), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(noStore.ParseProfessionalRecordVec(), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine_.ParseNtfsFileRecord(nullptr, kRecordBytes, 100), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine_.ParseNtfsFileRecord(good.data(), 512, 100), RESULT_INVALID_ARGUMENT)
        << "half a record";

    Image unsigned_ = good;
    unsigned_[0] = 'X';
    EXPECT_EQ(Parse(unsigned_, 100), RESULT_NOT_A_RECORD);
    // Bytes in use past the record, first attribute past the bytes in use or the record; a
    // first attribute right at the end of the bytes in use is an empty record.
    const uint32_t inUse = LoadU32(&good[0x18]);
    for (const auto& [offset, value, width, result] :
         std::vector<std::tuple<size_t, uint32_t, size_t, int>>{
             {0x18, 1025, 4, RESULT_NOT_A_RECORD},
             {0x14, inUse + 1, 2, RESULT_NOT_A_RECORD},
             {0x14, 1030, 2, RESULT_NOT_A_RECORD},
             {0x14, inUse, 2, 0}}) {
        Image bad = good;
        PutLe(bad, offset, value, width);
        EXPECT_EQ(Parse(bad, 100), result) << "field " << offset << " = " << value;
    }
    EXPECT_EQ(Parse(Record(21, 0x03, {Name(5, u"folder")}), 100), 0);
    EXPECT_EQ(Parse(Record(11, 0, {Name(5, u"$Extend")}), 100), 0);
    EXPECT_EQ(Parse(Record(3, 0, {Name(5, u"$Volume")}), 100), 0);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u);
    EXPECT_EQ(Parse(good, 100), 0);
    EXPECT_EQ(engine_.GetLostFileCount(), 1u);
}

TEST_F(NtfsDeepRecord, BelievesOnlyClusterSizesThatRunsAndAllocationAgreeOn) {
    const uint32_t start = engine_.GetCurrentSectorsPerCluster();
    // Allocation not a whole number of clusters, and clusters of 2 GiB: both corrupt.
    Parse(Record(20, 0, {Name(5, u"odd.bin"), Runs({0x11, 0x03, 0x40, 0x00}, 3 * 4096 + 512, 10)}),
          2040);
    Parse(Record(21, 0, {Name(5, u"huge.bin"), Runs({0x11, 0x01, 0x40, 0x00}, 1ull << 31, 10)}),
          2042);
    EXPECT_EQ(engine_.GetCurrentSectorsPerCluster(), start);
    Parse(Record(22, 0, {Name(5, u"sound.bin"), Runs({0x11, 0x03, 0x40, 0x00}, 3 * 4096, 10)}),
          2044);
    Parse(Record(23, 0, {Name(5, u"small.txt"), Resident(3)}), 2046);
    EXPECT_EQ(engine_.GetCurrentSectorsPerCluster(), 8u);
    const std::map<std::string, _FILE_NODE_> files = Files();
    EXPECT_EQ(files.at("sound.bin").uClusterBytes, 4096u);
    EXPECT_EQ(files.at("small.txt").uClusterBytes, 4096u) << "a resident file keeps the last";
}

// Record 0 named "$mft" sits at sector 1800 with its table at cluster 100 of 8 sectors: the
// volume starts at 1000. A record the table puts where it lies joins that volume; one lying
// elsewhere stays on the scanned range's volume with a synthetic table.
TEST_F(NtfsDeepRecord, LearnsATableFromAnMftRecordMetMidDeviceAndPlacesRecordsByIt) {
    constexpr uint64_t kRecord0 = 1800, kVolume = 1000;
    Parse(Record(0, 0x01,
                 {Name(5, u"$mft", NTFS_NAMESPACE_WIN32_AND_DOS),
                  Runs({0x11, 0x10, 0x64, 0x00}, 16 * 4096, 16 * 4096)}),
          kRecord0);
    ASSERT_EQ(engine_.GetTableMap().count(kRecord0), 1u);
    EXPECT_EQ(engine_.GetTableMap().at(kRecord0).uSectorsPerCluster, 8u);

    Parse(Record(20, 0, {Name(31, u"placed.txt"), Resident(4)}), kRecord0 + 40);
    Parse(Record(21, 0, {Name(30, u"stray.bin"), Runs({0x11, 0x01, 0x40, 0x00}, 4096, 4)}), 3002);
    Parse(Record(22, 0, {Name(29, u"edge.txt"), Resident(1)}), 2 * 22);  // record 0 at sector 0
    const std::map<std::string, _FILE_NODE_> files = Files();
    EXPECT_EQ(files.at("placed.txt").u64VolumeStartSector, kVolume);
    EXPECT_EQ(files.at("stray.bin").u64VolumeStartSector, 0u);

    std::map<uint32_t, __SPECIAL_RECOVERY_DIR__> folders;
    for (const __SPECIAL_RECOVERY_DIR__& folder : engine_.GetSpecialFolders()) {
        folders[folder.uRecordNumber] = folder;
    }
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(folders.at(31).placement.u64VolumeStartSector, kVolume);
    EXPECT_EQ(folders.at(31).placement.runs->front().length, 16u);
    // (3002 - 0 - 2 x 21) / 8, with stray.bin's own 4 KiB clusters: where record 0 of a
    // contiguous table would be.
    ASSERT_EQ(folders.at(30).placement.runs->size(), 1u);
    EXPECT_EQ(folders.at(30).placement.runs->front().length, 0u);
    EXPECT_EQ(folders.at(30).placement.runs->front().offset, 370);
    ASSERT_EQ(folders.at(29).placement.runs->size(), 1u);
    EXPECT_EQ(folders.at(29).placement.runs->front().offset, 0);
}

}  // namespace
