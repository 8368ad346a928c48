// The quick FAT engine on a tiny FAT12 volume (mkfs.fat and mtools) patched by hand into the
// shapes real damage takes: loops in the FAT, clusters past the volume, garbage directory
// sectors, over-long names and colliding names.
//
// The volume: 512-byte sectors, 4 sectors a cluster, root directory at sector 3 (32 sectors),
// data from sector 35. Live folder "Dir" (cluster 2) holds the deleted folder "Sub"
// (cluster 3, with the deleted PHOTO.JPG) and the deleted "long name file.bin" (cluster 4,
// 3000 bytes); the live ROOT.BIN (clusters 7-8) sits in the root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_entry.h"
#include "fat_deep_test_support.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;
using Volume = std::vector<unsigned char>;
using Paths = std::set<std::string>;

constexpr size_t kRootSector = 3;
constexpr size_t kDirSector = 35;   // cluster 2
constexpr size_t kFileSector = 43;  // cluster 4, where "long name file.bin" starts

unsigned char* EntryAt(Volume& v, size_t sector, size_t index) {
    return v.data() + sector * kSector + index * 32;
}

// Sets the 12-bit entry of `cluster`, at byte 1.5 * cluster, in both FATs.
void SetFat12(Volume& v, uint32_t cluster, uint16_t value) {
    for (size_t fat : {1, 2}) {
        unsigned char* p = v.data() + fat * kSector + cluster + cluster / 2;
        uint16_t pair = LoadU16(p);
        pair = cluster & 1 ? (pair & 0x000F) | (value << 4) : (pair & 0xF000) | value;
        std::memcpy(p, &pair, 2);
    }
}

struct Report {
    int percent, weight, error;
    bool operator==(const Report&) const = default;
};
int RecordRecovery(void* ctx, int percent, int weight, int error, const char16_t*) {
    static_cast<std::vector<Report>*>(ctx)->push_back({percent, weight, error});
    return 0;
}

std::vector<int> g_scanPercents;
int RecordScan(void*, int percent, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    g_scanPercents.push_back(percent);
    return 0;
}

const Paths kTree = {"Dir", "Dir/Sub", "Dir/Sub/!HOTO.JPG", "Dir/long name file.bin"};

class FatCorner : public ::testing::Test {
protected:
    void SetUp() override { Reload(); }
    void Reload() {
        std::ifstream in(std::string(FERROWEN_FUZZ_CORPUS_DIR) + "/fuzz_fat_quick_walk/tiny_fat12",
                         std::ios::binary);
        volume_.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(volume_.size(), 65536u);
    }
    // Writes the (patched) volume, scans it with a fresh engine and collects the tree.
    CFastFatRecovery& Scan() {
        const std::string image = dir_.path() + "/tiny.img";
        std::ofstream(image, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(volume_.data()), volume_.size());
        env_.reset();
        env_.emplace(dir_, image);
        engine_ = std::make_unique<CFastFatRecovery>();
        EXPECT_EQ(engine_->Init(0, 0, volume_.size() / kSector, u'C'), 0);
        engine_->InitCallBack(RecordScan, RecordRecovery, &reports_, 100);
        g_scanPercents.clear();
        EXPECT_EQ(engine_->ScanDevice(nullptr), 0);
        tree_.clear();
        CollectTree(*engine_, nullptr, 0, "", tree_);
        paths_.clear();
        for (const auto& [path, found] : tree_) paths_.insert(path);
        reports_.clear();
        return *engine_;
    }
    int Save(const std::string& path, const std::string& target) {
        return deep::Save(*engine_, tree_.at(path), target);
    }
    std::string FileData() const {  // the 3000 bytes of "long name file.bin"
        return std::string(reinterpret_cast<const char*>(&volume_[kFileSector * kSector]), 3000);
    }

    TempDir dir_;
    Volume volume_;
    std::optional<ScanEnvironment> env_;
    std::unique_ptr<CFastFatRecovery> engine_;
    Tree tree_;
    Paths paths_;
    std::vector<Report> reports_;
};

// A short name reads as stored: its code page decoded, lower case only where the entry's case
// flags ask for it, 0x05 standing for a first byte 0xE5, a deleted first character as '!'.
TEST(ShortEntryName, DecodesTheCodePageAndHonoursTheCaseFlags) {
    struct Case {
        const char* name11;
        uint8_t caseFlags;
        const char* codePage;
        const char* expected;
    };
    for (const Case& c : std::vector<Case>{{"README  TXT", 0x00, "CP850", "README.TXT"},
                                           {"README  TXT", 0x18, "CP850", "readme.txt"},
                                           {"CAF\x90    TXT", 0x08, "CP850", "caf\xC3\xA9.TXT"},
                                           {"\005BC     JPG", 0x00, "CP850", "\303\225BC.JPG"},
                                           {"\005BC     JPG", 0x00, "CP437", "\317\203BC.JPG"},
                                           {"\xE5HOTO   JPG", 0x00, "CP850", "!HOTO.JPG"},
                                           {"MY      DIR", 0x00, "CP850", "MY.DIR"}}) {
        unsigned char entry[32] = {};
        std::memcpy(entry, c.name11, 11);
        entry[0x0C] = c.caseFlags;
        ASSERT_EQ(SetOemCodePage(c.codePage), 0);
        EXPECT_EQ(ShortEntryName(entry), c.expected) << c.name11;
    }
    EXPECT_EQ(SetOemCodePage("NO-SUCH-PAGE"), EINVAL);
    EXPECT_STREQ(GetOemCodePage(), "CP850");  // unchanged by a refusal
    SetOemCodePage("CP850");
}

// A deleted numbered clip takes back the first letter its live siblings agree on; a name
// whose siblings disagree, or that is not numbered, keeps the '!'.
TEST_F(FatCorner, ADeletedPictureNameTakesItsFirstLetterFromItsLiveSiblings) {
    const Entry entries[] = {
        ShortEntry("MVI_0002MOV", FAT_ATTR_ARCHIVE, 0, 0),
        ShortEntry("MVI_0001MOV", FAT_ATTR_ARCHIVE, 4, 3000, true),
        ShortEntry("DSC_0004MOV", FAT_ATTR_ARCHIVE, 0, 0),
        ShortEntry("XSC_0005MOV", FAT_ATTR_ARCHIVE, 0, 0),
        ShortEntry("DSC_0003MOV", FAT_ATTR_ARCHIVE, 4, 3000, true),
        ShortEntry("VOTES   TXT", FAT_ATTR_ARCHIVE, 0, 0),
        ShortEntry("NOTES   TXT", FAT_ATTR_ARCHIVE, 4, 3000, true),
    };
    for (size_t i = 0; i < std::size(entries); ++i)
        std::memcpy(EntryAt(volume_, kRootSector, 3 + i), entries[i].data(), 32);
    Scan();
    Paths expected = kTree;
    expected.insert({"MVI_0001.MOV", "!SC_0003.MOV", "!OTES.TXT"});
    EXPECT_EQ(paths_, expected);
}

TEST_F(FatCorner, ReadsTwelveBitChainsListsTheDeletedTreeAndReportsProgress) {
    SetFat12(volume_, 9, 0xFF7);  // a bad cluster
    // Two deleted 8.3 entries in the root on the long file's data: one without an extension
    // and without the archive bit (a backup program cleared it), and a .pdf that is no PDF.
    const Entry plain = ShortEntry("PLAIN      ", 0, 4, 3000, true);
    const Entry pdf = ShortEntry("REPORT  PDF", FAT_ATTR_ARCHIVE, 4, 3000, true);
    std::memcpy(EntryAt(volume_, kRootSector, 3), plain.data(), 32);
    std::memcpy(EntryAt(volume_, kRootSector, 4), pdf.data(), 32);
    CFastFatRecovery& engine = Scan();
    EXPECT_EQ(g_scanPercents, (std::vector<int>{1, 80, 100}));
    EXPECT_FALSE(engine.SawDamage());
    uint32_t next = 0;
    ASSERT_EQ(engine.GetNextClusterNO(8, next), 0);
    EXPECT_EQ(next, 0xFFFFu);  // end of chain, widened to the 16-bit form
    ASSERT_EQ(engine.GetNextClusterNO(9, next), 0);
    EXPECT_EQ(next, 0xFFF7u);  // and the bad-cluster mark too
    Paths expected = kTree;
    expected.insert({"!LAIN", "!EPORT.PDF"});
    EXPECT_EQ(paths_, expected);
    EXPECT_EQ(tree_.at("Dir/Sub/!HOTO.JPG").node.bDataHealth, 1u);  // it starts as a JPEG does
    EXPECT_EQ(tree_.at("!EPORT.PDF").node.bDataHealth, 0u);
    unsigned int files = 0;
    ASSERT_EQ(engine.GetChildrenFileCount(nullptr, 0, files), 0);
    EXPECT_EQ(files, 4u);
    CFastFatRecovery unbound;
    EXPECT_EQ(unbound.Init(nullptr, u'C'), RESULT_INVALID_ARGUMENT);
}

// A deleted folder whose cluster is full has no end mark; its walk goes on in the next
// cluster only while that one is free, never into a live folder that lies there.
TEST_F(FatCorner, AFullDeletedFolderDoesNotRunIntoTheLiveFolderAfterIt) {
    constexpr size_t kSubSector = 39, kNextSector = 43;  // clusters 3 and 4
    for (size_t i = 3; i < 64; ++i) {
        Entry e = ShortEntry("FILLER  TXT", FAT_ATTR_ARCHIVE, 0, 0, true);
        e[1] = static_cast<unsigned char>('A' + i % 26);
        std::memcpy(EntryAt(volume_, kSubSector, i), e.data(), 32);
    }
    // Cluster 4 goes on with a live folder's entries (a folder's second cluster has no dot
    // pair), so only the FAT tells that it belongs to someone else.
    std::memset(EntryAt(volume_, kNextSector, 0), 0, 4 * kSector);
    const Entry live = ShortEntry("KEEP    TXT", FAT_ATTR_ARCHIVE, 0, 0);
    std::memcpy(EntryAt(volume_, kNextSector, 0), live.data(), 32);
    SetFat12(volume_, 4, 0xFFF);  // cluster 4 is in use
    Scan();
    EXPECT_EQ(tree_.count("Dir/Sub/keep.txt"), 0u) << "a live file was listed as deleted";
    EXPECT_EQ(tree_.size(), 3u + 62u);  // Dir, its two records, and 62 in Sub
}

// Each case patches a fresh volume: the tree that stays, and how many records in all.
TEST_F(FatCorner, DamageEndsOnlyTheWalkItLiesIn) {
    auto expect = [&](const char* what, const Paths& paths) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Scan().GetLostFileCount(), paths.size());
        EXPECT_EQ(paths_, paths);
        Reload();
    };
    std::memset(EntryAt(volume_, kDirSector, 2), 0, kSector - 64);
    expect("no deleted entry", {});
    SetFat12(volume_, 2, 9);
    SetFat12(volume_, 9, 2);
    expect("a FAT loop: 2 -> 9 -> 2", kTree);
    for (size_t i = 7; i < 64; ++i) {  // the rest of Dir's cluster
        unsigned char* e = EntryAt(volume_, kDirSector, i);
        for (size_t b = 0; b < 32; ++b) e[b] = static_cast<unsigned char>(i * 37 + b * 11 + 1);
    }
    expect("garbage after the entries", kTree);
    std::memcpy(EntryAt(volume_, kDirSector, 3) + 0x1A, "\xF0\x0F", 2);  // Sub and the file
    std::memcpy(EntryAt(volume_, kDirSector, 6) + 0x1A, "\xE0\x0F", 2);  // past the last cluster
    expect("clusters past the volume", {"Dir", "Dir/long name file.bin"});
    EXPECT_EQ(Save("Dir/long name file.bin", dir_.path() + "/out.bin"), RESULT_OUTSIDE_VOLUME);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back(), (Report{100, 100, RESULT_OUTSIDE_VOLUME}));
}

// 20 long-name pieces carry the longest name a folder can hold; more pieces are garbage and
// must not stop the walk of the entries that follow.
TEST_F(FatCorner, LongestNamesAreKeptAndOverlongOnesDoNotStopTheFolder) {
    std::u16string name(273, u'x');  // 21 pieces
    for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(u'a' + i % 26);
    auto put = [&](size_t index, const std::vector<Entry>& entries) {
        std::memcpy(EntryAt(volume_, kRootSector, index), entries.data(), entries.size() * 32);
    };
    put(3, NamedEntries(name.substr(0, 260), "LONGES~1TXT", FAT_ATTR_ARCHIVE, 7, 3000, true));
    put(24, NamedEntries(name, "TOOLON~1TXT", FAT_ATTR_ARCHIVE, 7, 3000, true));
    Scan();
    Paths expected = kTree;
    expected.insert("!OOLON~1.TXT");                   // the name is dropped, the entry kept
    expected.insert(WideToUtf8(name.substr(0, 255)));  // 260 units cut to the record's 255 bytes
    EXPECT_EQ(paths_, expected);
}

// Two more deleted entries for the file's short name, as repeated deletions leave, take free
// names when their folder is recovered; an empty file is recovered too.
TEST_F(FatCorner, RecoveryAndPreviewReadClusterByClusterAndCollidingNamesTakeFreeNames) {
    std::memcpy(EntryAt(volume_, kDirSector, 7), EntryAt(volume_, kDirSector, 6), 32);
    std::memcpy(EntryAt(volume_, kDirSector, 8), EntryAt(volume_, kDirSector, 6), 32);
    const Entry empty = ShortEntry("EMPTY   BIN", FAT_ATTR_ARCHIVE, 0, 0, true);
    std::memcpy(EntryAt(volume_, kDirSector, 9), empty.data(), 32);
    Scan();
    ASSERT_EQ(Save("Dir/long name file.bin", dir_.path() + "/f.bin"), 0);
    EXPECT_EQ(reports_, (std::vector<Report>{{68, 100, 0}, {100, 100, 0}}));  // 2048 of 3000
    reports_.clear();
    ASSERT_EQ(Save("Dir/!MPTY.BIN", dir_.path() + "/empty.bin"), 0);
    EXPECT_EQ(reports_, (std::vector<Report>{{100, 100, 0}})) << "one final report";
    const std::string target = dir_.path() + "/Dir";
    ASSERT_EQ(Save("Dir", target), 0);
    for (const char* name : {"long name file.bin", "!ONGNA~1.BIN", "!ONGNA~1(1).BIN"}) {
        EXPECT_EQ(ReadFile(target + "/" + name), FileData()) << name;
    }
    EXPECT_EQ(access((target + "/!MPTY.BIN").c_str(), F_OK), 0);
    EXPECT_EQ(access((target + "/Sub/!HOTO.JPG").c_str(), F_OK), 0);
    for (int size : {1000, 4096}) {  // a preview reads up to the buffer's end or the file's
        std::vector<unsigned char> buf(size, 0);
        int len = size;
        char16_t tmp[256];
        _FILE_NODE_ node = tree_.at("Dir/long name file.bin").node;
        ASSERT_EQ(engine_->PreView(&node, tmp, 256, buf.data(), len, nullptr, nullptr), 0);
        ASSERT_EQ(len, std::min(size, 3000));
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + len), FileData().substr(0, len));
    }
}

}  // namespace
