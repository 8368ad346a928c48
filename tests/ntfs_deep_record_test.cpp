// The deep NTFS record parse on records built byte by byte and laid out on a blank image:
// what it refuses, which names and sizes it keeps, the cluster size it believes, where it
// places records, and how it files folders whose records were lost or reused.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "foundation/bytes.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs_deep;

constexpr uint32_t kRecordBytes = CProfessionalNtfsRecovery::kBytesPerRecord;

void Put16(Image& r, size_t at, uint16_t v) {
    std::memcpy(&r[at], &v, 2);
}
void Put32(Image& r, size_t at, uint32_t v) {
    std::memcpy(&r[at], &v, 4);
}
void Put64(Image& r, size_t at, uint64_t v) {
    std::memcpy(&r[at], &v, 8);
}

// A 1,024-byte NTFS 3.1 FILE record with its update sequence applied, as it lies on disk.
class RecordBuilder {
public:
    explicit RecordBuilder(uint32_t uNumber, uint16_t uFlags = 0) : r_(kRecordBytes, 0) {
        std::memcpy(r_.data(), "FILE", 4);
        Put16(r_, 0x04, 0x30);
        Put16(r_, 0x06, 3);
        Put16(r_, 0x14, 0x38);
        Put16(r_, 0x16, uFlags);
        Put32(r_, 0x1C, kRecordBytes);
        Put32(r_, 0x2C, uNumber);
    }
    RecordBuilder& FileName(uint32_t uParent, const std::u16string& name, uint8_t uNamespace = 1) {
        const uint32_t value = 66 + 2 * static_cast<uint32_t>(name.size());
        const size_t v = Attribute(0x30, 24 + value, false) + 24;
        Put32(r_, v - 24 + 0x10, value);
        Put16(r_, v - 24 + 0x14, 24);
        Put64(r_, v, uParent);
        r_[v + 64] = static_cast<unsigned char>(name.size());
        r_[v + 65] = uNamespace;
        std::memcpy(&r_[v + 66], name.data(), 2 * name.size());
        return *this;
    }
    RecordBuilder& ResidentData(uint32_t uBytes) {
        const size_t a = Attribute(0x80, 24 + uBytes, false);
        Put32(r_, a + 0x10, uBytes);
        Put16(r_, a + 0x14, 24);
        return *this;
    }
    RecordBuilder& NonResidentData(const std::vector<unsigned char>& pairs, uint64_t u64Allocated,
                                   uint64_t u64Real) {
        const size_t a = Attribute(0x80, 0x40 + static_cast<uint32_t>(pairs.size()) + 1, true);
        Put16(r_, a + 0x20, 0x40);
        Put64(r_, a + 0x28, u64Allocated);
        Put64(r_, a + 0x30, u64Real);
        Put64(r_, a + 0x38, u64Real);
        std::memcpy(&r_[a + 0x40], pairs.data(), pairs.size());
        return *this;
    }
    Image Build() {
        Put32(r_, at_, 0xFFFFFFFF);
        Put32(r_, 0x18, static_cast<uint32_t>(at_ + 8));
        Put16(r_, 0x30, 0x0007);
        std::memcpy(&r_[0x32], &r_[510], 2);
        std::memcpy(&r_[0x34], &r_[1022], 2);
        Put16(r_, 510, 0x0007);
        Put16(r_, 1022, 0x0007);
        return r_;
    }

private:
    size_t Attribute(uint32_t uType, uint32_t uLength, bool bNonResident) {
        const uint32_t aligned = (uLength + 7) & ~7u;
        const size_t a = at_;
        Put32(r_, a, uType);
        Put32(r_, a + 4, aligned);
        r_[a + 8] = bNonResident ? 1 : 0;
        at_ += aligned;
        return a;
    }

    Image r_;
    size_t at_ = 0x38;
};

// A blank 8 MiB image on which tests lay records; the engine scans it through a file.
class NtfsDeepRecord : public DeepNtfsTest {
protected:
    void Lay(uint64_t u64Sector, const Image& record) {
        std::memcpy(image_.data() + u64Sector * kSector, record.data(), record.size());
    }
    // Records of a contiguous table whose record 0 would lie at kTable.
    void LayNumbered(uint32_t uNumber, const Image& record) { Lay(kTable + 2 * uNumber, record); }
    void Start() {
        WriteImage(Path("blank.img"), image_);
        ASSERT_EQ(engine_.Init(Utf8ToWide(Path("blank.img").c_str()).c_str(), u'C'), 0);
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

    static constexpr uint64_t kTable = 2000;
    Image image_ = Image(16384 * kSector, 0);
    CProfessionalNtfsRecovery engine_;
};

TEST_F(NtfsDeepRecord, RefusesWhatItCannotParseAndLeavesFoldersAndSystemRecordsOut) {
    const Image good = RecordBuilder(20).FileName(5, u"a.txt").Build();
    Start();
    CProfessionalNtfsRecovery noStore;
    EXPECT_EQ(noStore.ParseNtfsFileRecord(good.data(), kRecordBytes, 100), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine_.ParseNtfsFileRecord(nullptr, kRecordBytes, 100), RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(engine_.ParseNtfsFileRecord(good.data(), 512, 100), RESULT_INVALID_ARGUMENT) << "half a record";

    Image unsigned_ = good;
    unsigned_[0] = 'X';
    EXPECT_EQ(Parse(unsigned_, 100), RESULT_NOT_A_RECORD);
    for (const auto& [offset, value] :
         std::vector<std::pair<size_t, uint32_t>>{{0x18, 1025}, {0x14, 0x200}, {0x14, 1030}}) {
        Image bad = good;
        if (offset == 0x18) Put32(bad, offset, value);
        if (offset == 0x14) Put16(bad, offset, static_cast<uint16_t>(value));
        EXPECT_EQ(Parse(bad, 100), RESULT_NOT_A_RECORD) << "header field " << offset << " = " << value;
    }
    EXPECT_EQ(Parse(RecordBuilder(21, 0x03).FileName(5, u"folder").Build(), 100), 0);
    EXPECT_EQ(Parse(RecordBuilder(11).FileName(5, u"$Extend").Build(), 100), 0);
    EXPECT_EQ(Parse(RecordBuilder(3).FileName(5, u"$Volume").Build(), 100), 0);
    EXPECT_EQ(engine_.GetLostFileCount(), 0u);
}

TEST_F(NtfsDeepRecord, KeepsLiveAndDeletedFilesWithTheirLongNameAndDataSize) {
    Start();
    EXPECT_EQ(Parse(RecordBuilder(20, 0x01)
                        .FileName(5, u"LONGNA~1.TXT", 2)
                        .FileName(5, u"long name.txt", 1)
                        .ResidentData(5)
                        .Build(),
                    kTable + 40),
              0);
    Parse(RecordBuilder(21)
              .FileName(5, u"posix name.doc", 0)
              .FileName(5, u"POSIXN~1.DOC", 2)
              .NonResidentData({0x11, 0x03, 0x40, 0x00}, 3 * 4096, 12345)
              .Build(),
          kTable + 42);
    const std::map<std::string, _FILE_NODE_> files = Files();
    ASSERT_EQ(files.count("long name.txt"), 1u) << "the Win32 name wins over the DOS one";
    EXPECT_EQ(files.at("long name.txt").u64FileSize, 5u);
    ASSERT_EQ(files.count("posix name.doc"), 1u) << "a DOS name never replaces a long one";
    EXPECT_EQ(files.at("posix name.doc").u64FileSize, 12345u);
    EXPECT_EQ(files.at("posix name.doc").uClusterNO, 21u);
    EXPECT_EQ(files.at("posix name.doc").u64RecordSector, kTable + 42);
}

TEST_F(NtfsDeepRecord, BelievesOnlyClusterSizesThatRunsAndAllocationAgreeOn) {
    Start();
    const uint32_t start = engine_.GetCurrentSectorsPerCluster();
    // Allocation not a whole number of clusters, and clusters of 2 GiB: both corrupt.
    Parse(RecordBuilder(20)
              .FileName(5, u"odd.bin")
              .NonResidentData({0x11, 0x03, 0x40, 0x00}, 3 * 4096 + 512, 10)
              .Build(),
          kTable + 40);
    Parse(RecordBuilder(21)
              .FileName(5, u"huge.bin")
              .NonResidentData({0x11, 0x01, 0x40, 0x00}, uint64_t{1} << 31, 10)
              .Build(),
          kTable + 42);
    EXPECT_EQ(engine_.GetCurrentSectorsPerCluster(), start);
    Parse(RecordBuilder(22)
              .FileName(5, u"sound.bin")
              .NonResidentData({0x11, 0x03, 0x40, 0x00}, 3 * 4096, 10)
              .Build(),
          kTable + 44);
    Parse(RecordBuilder(23).FileName(5, u"small.txt").ResidentData(3).Build(), kTable + 46);
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
    Start();
    Parse(RecordBuilder(0, 0x01)
              .FileName(5, u"$mft", 3)
              .NonResidentData({0x11, 0x10, 0x64, 0x00}, 16 * 4096, 16 * 4096)
              .Build(),
          kRecord0);
    ASSERT_EQ(engine_.GetTableMap().count(kRecord0), 1u);
    EXPECT_EQ(engine_.GetTableMap().at(kRecord0).uSectorsPerCluster, 8u);

    Parse(RecordBuilder(20).FileName(31, u"placed.txt").ResidentData(4).Build(), kRecord0 + 40);
    Parse(RecordBuilder(21)
              .FileName(30, u"stray.bin")
              .NonResidentData({0x11, 0x01, 0x40, 0x00}, 4096, 4)
              .Build(),
          3002);
    const std::map<std::string, _FILE_NODE_> files = Files();
    EXPECT_EQ(files.at("placed.txt").u64VolumeStartSector, kVolume);
    EXPECT_EQ(files.at("stray.bin").u64VolumeStartSector, 0u);

    std::map<uint32_t, __SPECIAL_RECOVERY_DIR__> folders;
    for (const __SPECIAL_RECOVERY_DIR__& folder : engine_.GetSpecialFolders()) {
        folders[folder.uRecordNumber] = folder;
    }
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders.at(31).placement.u64VolumeStartSector, kVolume);
    EXPECT_EQ(folders.at(31).placement.runs->front().length, 16u);
    // (3002 - 0 - 2 x 21) / 8, with stray.bin's own 4 KiB clusters: where record 0 of a
    // contiguous table would be.
    ASSERT_EQ(folders.at(30).placement.runs->size(), 1u);
    EXPECT_EQ(folders.at(30).placement.runs->front().length, 0u);
    EXPECT_EQ(folders.at(30).placement.runs->front().offset, 370);
}

// Folders 30 ("A", under the root) and 40 ("B", in A) hold x.txt. The parents of the other
// files are lost in every way a folder record can be: reused by a file, holding another
// folder's number, blank, beyond the image, or a loop of two folders.
TEST_F(NtfsDeepRecord, FilesFoldersAtTheirLevelAndMakesLostFoldersOfWhatCannotBeRead) {
    LayNumbered(30, RecordBuilder(30, 0x02).FileName(5, u"A").Build());
    LayNumbered(40, RecordBuilder(40, 0x03).FileName(30, u"B").Build());
    LayNumbered(50, RecordBuilder(50).FileName(40, u"x.txt").ResidentData(1).Build());
    LayNumbered(43, RecordBuilder(43, 0x01).FileName(5, u"reuser.txt").Build());
    LayNumbered(51, RecordBuilder(51).FileName(43, u"in43.txt").Build());
    LayNumbered(44, RecordBuilder(99, 0x03).FileName(5, u"other").Build());
    LayNumbered(52, RecordBuilder(52).FileName(44, u"in44.txt").Build());
    LayNumbered(53, RecordBuilder(53).FileName(45, u"in45.txt").Build());
    LayNumbered(54, RecordBuilder(54).FileName(0x7FFFFFF0, u"far.txt").Build());
    LayNumbered(41, RecordBuilder(41, 0x02).FileName(42, u"loop1").Build());
    LayNumbered(42, RecordBuilder(42, 0x02).FileName(41, u"loop2").Build());
    LayNumbered(55, RecordBuilder(55).FileName(41, u"looped.txt").Build());
    Start();
    FeedRecords(engine_, image_);
    ASSERT_EQ(engine_.ParseProfessionalRecordVec(), 0);

    const std::map<std::string, Browsed> tree = BrowseTree(engine_);
    EXPECT_EQ(tree.count("A/B/x.txt"), 1u);
    EXPECT_EQ(tree.at("A/B").uChildLevel, 2u);
    for (const char* path : {"LostFolder43/in43.txt", "LostFolder44/in44.txt",
                             "LostFolder45/in45.txt", "LostFolder2147483632/far.txt"}) {
        EXPECT_EQ(tree.count(path), 1u) << path;
    }
    EXPECT_EQ(Files().count("looped.txt"), 1u);
}

}  // namespace
