// The quick FAT engine on a tiny FAT12 volume (mkfs.fat and mtools) patched by hand into the
// shapes real damage takes: loops in the FAT, clusters past the volume, garbage directory
// sectors, over-long names, colliding names, and destinations that refuse writes.
//
// The volume: 512-byte sectors, 4 sectors a cluster, root directory at sector 3 (32 sectors),
// data from sector 35. Live folder "Dir" (cluster 2) holds the deleted folder "Sub"
// (cluster 3, with the deleted PHOTO.JPG) and the deleted "long name file.bin" (cluster 4,
// 3000 bytes); the live ROOT.BIN (clusters 7-8) sits in the root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_entry.h"
#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;

constexpr size_t kSector = 512;
constexpr size_t kRootSector = 3;
constexpr size_t kDirSector = 35;  // cluster 2

std::vector<unsigned char> TinyVolume() {
    std::ifstream in(std::string(FERROWEN_FUZZ_CORPUS_DIR) + "/fuzz_fat_quick_walk/tiny_fat12",
                     std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}

unsigned char* Entry(std::vector<unsigned char>& v, size_t sector, size_t index) {
    return v.data() + sector * kSector + index * 32;
}

// Sets FAT12 entry `cluster` in both FATs.
void SetFat12(std::vector<unsigned char>& v, uint32_t cluster, uint16_t value) {
    for (size_t fat : {1, 2}) {
        unsigned char* p = v.data() + fat * kSector + cluster + cluster / 2;
        if (cluster & 1) {
            p[0] = static_cast<unsigned char>((p[0] & 0x0F) | ((value & 0x0F) << 4));
            p[1] = static_cast<unsigned char>(value >> 4);
        } else {
            p[0] = static_cast<unsigned char>(value);
            p[1] = static_cast<unsigned char>((p[1] & 0xF0) | ((value >> 8) & 0x0F));
        }
    }
}

struct Report {
    int percent, weight, error;
    std::string path;
};

int RecordRecovery(void* ctx, int percent, int weight, int error, const char16_t* path) {
    static_cast<std::vector<Report>*>(ctx)->push_back({percent, weight, error, WideToUtf8(path)});
    return 0;
}

std::vector<int> g_scanPercents;
int RecordScan(void*, int percent, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    g_scanPercents.push_back(percent);
    return 0;
}

class FatCorner : public ::testing::Test {
protected:
    void SetUp() override {
        volume_ = TinyVolume();
        ASSERT_EQ(volume_.size(), 65536u);
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    void TearDown() override {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    // Writes the (patched) volume, binds a fresh engine to it and scans.
    CFastFatRecovery& Scan(int weight = 100) {
        image_ = dir_.path() + "/tiny.img";
        std::ofstream(image_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(volume_.data()), volume_.size());
        ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
        engine_ = std::make_unique<CFastFatRecovery>();
        EXPECT_EQ(engine_->Init(0, 0, volume_.size() / kSector, u'C'), 0);
        engine_->InitCallBack(RecordScan, RecordRecovery, &reports_, weight);
        g_scanPercents.clear();
        EXPECT_EQ(engine_->ScanDevice(nullptr), 0);
        return *engine_;
    }
    std::vector<_FILE_NODE_> Children(_FILE_NODE_* parent, unsigned int level) {
        std::vector<_FILE_NODE_> out;
        EXPECT_EQ(engine_->GetChildrenFileNode(parent, level, out), 0);
        return out;
    }
    // The records under Dir, by name.
    std::vector<std::string> DirChildNames() {
        std::vector<std::string> names;
        for (_FILE_NODE_& dir : Children(nullptr, 0)) {
            for (const _FILE_NODE_& child : Children(&dir, 1)) names.push_back(child.szFileName);
        }
        return names;
    }

    TempDir dir_;
    std::vector<unsigned char> volume_;
    std::string image_;
    std::unique_ptr<CFastFatRecovery> engine_;
    std::vector<Report> reports_;
};

TEST_F(FatCorner, ReadsTwelveBitChainsAndListsTheDeletedTree) {
    CFastFatRecovery& engine = Scan();
    EXPECT_EQ(engine.GetFatType(), CFastFatRecovery::kFatType12);
    uint32_t next = 0;
    ASSERT_EQ(engine.GetNextClusterNO(7, next), 0);
    EXPECT_EQ(next, 8u);
    ASSERT_EQ(engine.GetNextClusterNO(8, next), 0);
    EXPECT_EQ(next, 0xFFFFu);  // end of chain, widened to the 16-bit form
    const std::vector<_FILE_NODE_> root = Children(nullptr, 0);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_STREQ(root[0].szFileName, "Dir");
    EXPECT_EQ(DirChildNames(), (std::vector<std::string>{"long name file.bin", "Sub"}));
    _FILE_NODE_ dir = root[0];
    std::vector<_FILE_NODE_> dirChildren = Children(&dir, 1);
    std::vector<_FILE_NODE_> sub = Children(&dirChildren[1], 2);
    ASSERT_EQ(sub.size(), 1u);
    EXPECT_STREQ(sub[0].szFileName, "!hoto.jpg");
    EXPECT_EQ(sub[0].bDataHealth, 1u);  // it still starts with a JPEG signature
    unsigned int files = 0;
    ASSERT_EQ(engine.GetChildrenFileCount(nullptr, 0, files), 0);
    EXPECT_EQ(files, 2u);
    std::vector<_FILE_NODE_> unused;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 1, unused), RESULT_INVALID_ARGUMENT);
}

// A deleted folder whose cluster is full has no end mark; its walk goes on in the next
// cluster only while that one is free, never into a live folder that lies there.
TEST_F(FatCorner, AFullDeletedFolderDoesNotRunIntoTheLiveFolderAfterIt) {
    constexpr size_t kSubSector = 39, kNextSector = 43;  // clusters 3 and 4
    for (size_t i = 3; i < 64; ++i) {
        unsigned char* e = Entry(volume_, kSubSector, i);
        std::memcpy(e, "\xE5ILLER  TXT", 11);
        e[1] = static_cast<unsigned char>('A' + i % 26);
        e[0x0B] = FAT_ATTR_ARCHIVE;
        e[0x18] = 0x21;  // 2020-01-01
        e[0x19] = 0x50;
    }
    // Cluster 4 goes on with a live folder's entries (a folder's second cluster has no dot
    // pair), so only the FAT tells that it belongs to someone else.
    std::memset(Entry(volume_, kNextSector, 0), 0, 4 * kSector);
    unsigned char* live = Entry(volume_, kNextSector, 0);
    std::memcpy(live, "KEEP    TXT", 11);
    live[0x0B] = FAT_ATTR_ARCHIVE;
    for (size_t date : {0x10, 0x12, 0x18}) {  // created, accessed, modified: 2020-01-01
        live[date] = 0x21;
        live[date + 1] = 0x50;
    }
    SetFat12(volume_, 4, 0xFFF);  // cluster 4 is in use
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0).at(0);
    std::vector<_FILE_NODE_> dirChildren = Children(&dir, 1);
    ASSERT_EQ(dirChildren.size(), 2u);
    for (const _FILE_NODE_& child : Children(&dirChildren[1], 2)) {
        EXPECT_STRNE(child.szFileName, "keep.txt") << "a live file was listed as deleted";
    }
    EXPECT_EQ(Children(&dirChildren[1], 2).size(), 62u);
}

TEST_F(FatCorner, ProgressReportsOpenAndCloseTheScan) {
    Scan(100);
    EXPECT_EQ(g_scanPercents, (std::vector<int>{1, 80, 100}));
    Scan(9);
    EXPECT_EQ(g_scanPercents, (std::vector<int>{1, 80, 100}));
}

TEST_F(FatCorner, AVolumeWithoutDeletedFilesYieldsAnEmptyStore) {
    std::memset(Entry(volume_, kDirSector, 2), 0, kSector - 64);
    CFastFatRecovery& engine = Scan();
    EXPECT_EQ(engine.GetLostFileCount(), 0u);
    EXPECT_TRUE(Children(nullptr, 0).empty());
}

TEST_F(FatCorner, AFatLoopEndsTheFolderWalk) {
    SetFat12(volume_, 2, 9);  // Dir: 2 -> 9 -> 2 -> ...
    SetFat12(volume_, 9, 2);
    Scan();
    EXPECT_EQ(DirChildNames(), (std::vector<std::string>{"long name file.bin", "Sub"}));
}

TEST_F(FatCorner, ClustersPastTheVolumeSkipFoldersAndFailRecoveries) {
    unsigned char* sub = Entry(volume_, kDirSector, 3);
    sub[0x1A] = 0xF0;  // the deleted folder now points past the last cluster
    sub[0x1B] = 0x0F;
    unsigned char* file = Entry(volume_, kDirSector, 6);
    file[0x1A] = 0xE0;
    file[0x1B] = 0x0F;
    Scan();
    EXPECT_EQ(DirChildNames(), (std::vector<std::string>{"long name file.bin"}));
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    _FILE_NODE_ lost = Children(&dir, 1)[0];
    const std::string target = dir_.path() + "/out.bin";
    EXPECT_EQ(engine_->SaveFileData(&lost, Utf8ToWide(target.c_str()).c_str(), 0),
              RESULT_OUTSIDE_VOLUME);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().percent, 100);
    EXPECT_EQ(reports_.back().error, RESULT_OUTSIDE_VOLUME);
}

TEST_F(FatCorner, GarbageAfterTheEntriesIsSkipped) {
    for (size_t i = 7; i < 64; ++i) {  // the rest of Dir's cluster
        unsigned char* e = Entry(volume_, kDirSector, i);
        for (size_t b = 0; b < 32; ++b) e[b] = static_cast<unsigned char>(i * 37 + b * 11 + 1);
    }
    Scan();
    EXPECT_EQ(DirChildNames(), (std::vector<std::string>{"long name file.bin", "Sub"}));
}

// 20 long-name pieces carry the longest name a folder can hold; more pieces are garbage and
// must not stop the walk of the entries that follow.
TEST_F(FatCorner, LongestNamesAreKeptAndOverlongOnesDoNotStopTheFolder) {
    auto writeChain = [&](size_t first, int pieces, const char* shortName) {
        const uint8_t sum = GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(shortName));
        for (int k = 0; k < pieces; ++k) {
            unsigned char* e = Entry(volume_, kRootSector, first + k);
            std::memset(e, 0, 32);
            e[0] = 0xE5;
            e[0x0B] = 0x0F;
            e[0x0D] = sum;
            for (int u = 0; u < 13; ++u) {
                static constexpr int kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
                e[kAt[u]] = static_cast<unsigned char>('a' + (k + u) % 26);
            }
        }
        unsigned char* s = Entry(volume_, kRootSector, first + pieces);
        std::memcpy(s, Entry(volume_, kRootSector, 2), 32);  // ROOT.BIN's dates and size
        std::memcpy(s, shortName, 11);
        s[0] = 0xE5;
    };
    writeChain(3, 20, "LONGES~1TXT");
    writeChain(24, 21, "TOOLON~1TXT");
    Scan();
    std::vector<std::string> names;
    for (const _FILE_NODE_& n : Children(nullptr, 0)) names.push_back(n.szFileName);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "!oolon~1.txt");  // 21 pieces: the name is dropped, the entry kept
    EXPECT_EQ(names[1].size(), 255u);     // 260 units cut to the record's 255 bytes
    EXPECT_EQ(names[1].substr(0, 13), "tuvwxyzabcdef");  // the last piece stored leads
    EXPECT_EQ(names[2], "Dir");
}

TEST_F(FatCorner, FolderRecoveryGivesCollidingNamesFreeNames) {
    // A second deleted entry for the same short name, as two deletions in one folder leave.
    std::memcpy(Entry(volume_, kDirSector, 7), Entry(volume_, kDirSector, 6), 32);
    std::memcpy(Entry(volume_, kDirSector, 8), Entry(volume_, kDirSector, 6), 32);
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    const std::string target = dir_.path() + "/Dir";
    unsigned int separators = 0;
    GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), separators);
    ASSERT_EQ(engine_->SaveFileData(&dir, Utf8ToWide(target.c_str()).c_str(),
                                    static_cast<int>(separators) - 1),
              0);
    for (const char* name :
         {"long name file.bin", "!ongna~1.bin", "!ongna~1(1).bin", "Sub/!hoto.jpg"}) {
        struct stat st;
        ASSERT_EQ(stat((target + "/" + name).c_str(), &st), 0) << name;
        if (std::strcmp(name, "Sub/!hoto.jpg") != 0) {
            EXPECT_EQ(st.st_size, 3000);
        }
    }
    EXPECT_EQ(Sha256OfFile(target + "/!ongna~1.bin"), Sha256OfFile(target + "/long name file.bin"));
}

TEST_F(FatCorner, RecoveryNeverWritesIntoAnExistingFileAndReportsEveryFailure) {
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    _FILE_NODE_ file = Children(&dir, 1)[0];
    const std::string existing = dir_.path() + "/keep.bin";
    std::ofstream(existing) << "precious";
    EXPECT_EQ(engine_->SaveFileData(&file, Utf8ToWide(existing.c_str()).c_str(), 0), EEXIST);
    std::ifstream in(existing);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "precious");
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().percent, 100);
    EXPECT_EQ(reports_.back().error, EEXIST);

    const std::string missingFolder = dir_.path() + "/no/such/folder/f.bin";
    EXPECT_EQ(engine_->SaveFileData(&file, Utf8ToWide(missingFolder.c_str()).c_str(), 0), ENOENT);
    EXPECT_EQ(reports_.back().error, ENOENT);
    EXPECT_EQ(engine_->SaveFileData(nullptr, u"/tmp/x", 0), RESULT_INVALID_ARGUMENT);
}

TEST_F(FatCorner, AnEmptyFileGetsOneFinalReport) {
    unsigned char* file = Entry(volume_, kDirSector, 6);
    std::memset(file + 0x1A, 0, 2);
    std::memset(file + 0x1C, 0, 4);
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    _FILE_NODE_ empty = Children(&dir, 1)[0];
    ASSERT_EQ(empty.u64FileSize, 0u);
    reports_.clear();
    const std::string target = dir_.path() + "/empty.bin";
    EXPECT_EQ(engine_->SaveFileData(&empty, Utf8ToWide(target.c_str()).c_str(), 0), 0);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].percent, 100);
    EXPECT_EQ(reports_[0].weight, 100);
    EXPECT_EQ(reports_[0].error, 0);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(FatCorner, ProgressOfAMultiClusterFileRisesToOneHundred) {
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    _FILE_NODE_ file = Children(&dir, 1)[0];
    reports_.clear();
    const std::string target = dir_.path() + "/f.bin";
    ASSERT_EQ(engine_->SaveFileData(&file, Utf8ToWide(target.c_str()).c_str(), 0), 0);
    std::vector<int> percents;
    for (const Report& r : reports_) percents.push_back(r.percent);
    EXPECT_EQ(percents, (std::vector<int>{68, 100}));  // 2048 of 3000 bytes, then the rest
}

TEST_F(FatCorner, PreviewIntoTheBufferStopsAtItsLength) {
    Scan();
    _FILE_NODE_ dir = Children(nullptr, 0)[0];
    _FILE_NODE_ file = Children(&dir, 1)[0];
    std::vector<unsigned char> buf(1000, 0);
    int len = 1000;
    char16_t tmp[256];
    ASSERT_EQ(engine_->PreView(&file, tmp, 256, buf.data(), len, nullptr, nullptr), 0);
    EXPECT_EQ(len, 1000);
    EXPECT_EQ(std::memcmp(buf.data(), volume_.data() + (kDirSector + 8) * kSector, 1000), 0);
}

}  // namespace
