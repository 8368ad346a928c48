#include "disk/partition_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;

constexpr size_t kSector = 512;

void PutU32(unsigned char* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
void PutU64(unsigned char* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}
void PutBE32(unsigned char* p, uint32_t v) {
    const uint32_t be = __builtin_bswap32(v);
    std::memcpy(p, &be, 4);
}

// A disk image assembled sector by sector in memory.
class Image {
public:
    explicit Image(size_t sectors) : bytes_(sectors * kSector, 0) {}

    unsigned char* Sector(uint64_t s) { return bytes_.data() + s * kSector; }

    void BootSignature(uint64_t s) {
        Sector(s)[510] = 0x55;
        Sector(s)[511] = 0xAA;
    }
    // One 16-byte slot of the MBR or EBR at `table`; also gives that sector its signature.
    void MbrSlot(uint64_t table, int slot, uint8_t type, uint32_t start, uint32_t count) {
        unsigned char* e = Sector(table) + 446 + 16 * slot;
        e[4] = type;
        PutU32(e + 8, start);
        PutU32(e + 12, count);
        BootSignature(table);
    }
    void GptHeader() {
        MbrSlot(0, 0, 0xEE, 1, static_cast<uint32_t>(bytes_.size() / kSector - 1));
        std::memcpy(Sector(1), "EFI PART", 8);
    }
    void GptEntry(int index, uint64_t first, uint64_t last, const std::u16string& name) {
        unsigned char* e = bytes_.data() + 1024 + 128 * index;
        e[0] = 0xAF;  // any non-zero type GUID
        PutU64(e + 32, first);
        PutU64(e + 40, last);
        std::memcpy(e + 56, name.data(), std::min<size_t>(name.size(), 36) * 2);
    }
    void ApmEntry(int index, uint32_t mapEntries, uint32_t start, uint32_t blocks, const char* name,
                  uint32_t dataStart, uint32_t dataCount) {
        unsigned char* e = Sector(1 + index);
        e[0] = 'P';
        e[1] = 'M';
        PutBE32(e + 4, mapEntries);
        PutBE32(e + 8, start);
        PutBE32(e + 12, blocks);
        std::memcpy(e + 16, name, std::strlen(name));
        PutBE32(e + 80, dataStart);
        PutBE32(e + 84, dataCount);
    }

    std::string Write(const TempDir& dir, const std::string& name) const {
        const std::string path = dir.path() + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
        return path;
    }

private:
    std::vector<unsigned char> bytes_;
};

std::string Name(const _PARTITION_ITEM_& item) {
    std::string out;
    for (char16_t c : item.szPartitionName) {
        if (c == 0) break;
        out += static_cast<char>(c);
    }
    return out;
}

struct Expected {
    uint64_t start;
    uint64_t end;
    std::string name;
};

void ExpectPartitions(const std::vector<_PARTITION_ITEM_>& items,
                      const std::vector<Expected>& expected) {
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE("partition " + std::to_string(i));
        EXPECT_EQ(uint64_t{items[i].u64StartSector}, expected[i].start);
        EXPECT_EQ(uint64_t{items[i].u64EndSector}, expected[i].end);
        EXPECT_EQ(Name(items[i]), expected[i].name);
    }
}

class PartitionManagerTest : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("FERROWEN_DISKS"); }

    PARTITION_MAP List(const std::vector<std::string>& disks) {
        std::string joined;
        for (const std::string& d : disks) joined += (joined.empty() ? "" : ":") + d;
        ::setenv("FERROWEN_DISKS", joined.c_str(), 1);
        PARTITION_MAP items;
        EXPECT_EQ(CPartitionManager().GetPartitionItems(items), 1);
        return items;
    }

    // Primary 64-163, extended at 200 holding logicals 210-259 and 310-369, primary 1300-1399.
    Image MbrWithTwoLogicals() {
        Image image(2048);
        image.MbrSlot(0, 0, 0x83, 64, 100);
        image.MbrSlot(0, 1, 0x05, 200, 1000);
        image.MbrSlot(0, 2, 0x07, 1300, 100);
        image.MbrSlot(200, 0, 0x83, 10, 50);
        image.MbrSlot(200, 1, 0x05, 100, 200);  // next EBR, relative to the first one
        image.MbrSlot(300, 0, 0x83, 10, 60);
        return image;
    }

    TempDir dir_;
};

TEST_F(PartitionManagerTest, MbrListsLogicalPartitionsInChainOrderAtTheExtendedSlot) {
    const std::string disk = MbrWithTwoLogicals().Write(dir_, "mbr.img");
    const PARTITION_MAP items = List({disk});
    ASSERT_EQ(items.count(0), 1u);
    ExpectPartitions(items.at(0), {{64, 163, "Partition 1"},
                                   {210, 259, "Partition 2"},
                                   {310, 369, "Partition 3"},
                                   {1300, 1399, "Partition 4"}});
    EXPECT_EQ(uint32_t{items.at(0)[0].nDiskNumber}, 0u);
    EXPECT_STREQ(items.at(0)[0].szDiskName, disk.substr(0, 15).c_str());
}

TEST_F(PartitionManagerTest, TwoMbrDisksContinueTheNumbering) {
    const std::string first = MbrWithTwoLogicals().Write(dir_, "a.img");
    Image second(512);
    second.MbrSlot(0, 0, 0x0C, 8, 100);
    second.MbrSlot(0, 1, 0x83, 108, 100);
    const PARTITION_MAP items = List({first, "/nonexistent/disk", second.Write(dir_, "b.img")});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items.count(1), 0u);  // a disk that cannot be opened is skipped
    ExpectPartitions(items.at(2), {{8, 107, "Partition 5"}, {108, 207, "Partition 6"}});
    EXPECT_EQ(uint32_t{items.at(2)[1].nDiskNumber}, 2u);
}

TEST_F(PartitionManagerTest, MbrEmptySlotEndsTheTable) {
    Image image(512);
    image.MbrSlot(0, 0, 0x83, 8, 10);
    image.MbrSlot(0, 2, 0x83, 100, 10);
    image.MbrSlot(0, 3, 0x83, 200, 10);
    const PARTITION_MAP items = List({image.Write(dir_, "d.img")});
    ExpectPartitions(items.at(0), {{8, 17, "Partition 1"}});
}

TEST_F(PartitionManagerTest, MbrTypeZeroWithAStartIsAPartition) {
    Image image(512);
    image.MbrSlot(0, 0, 0x00, 8, 10);
    const PARTITION_MAP items = List({image.Write(dir_, "d.img")});
    ExpectPartitions(items.at(0), {{8, 17, "Partition 1"}});
}

TEST_F(PartitionManagerTest, VolumeBootSectorWithSignatureIsReadAsAnMbr) {
    Image image(512);
    std::memset(image.Sector(0), 0xF6, 446);
    image.Sector(0)[0] = 0xEB;  // a jump, as in a FAT boot sector
    image.MbrSlot(0, 0, 0x07, 32, 64);
    const PARTITION_MAP items = List({image.Write(dir_, "vbr.img")});
    ExpectPartitions(items.at(0), {{32, 95, "Partition 1"}});
}

TEST_F(PartitionManagerTest, DisksWithoutAUsableTableAreNotListed) {
    Image blank(64);
    Image onlyEmptySlots(64);
    onlyEmptySlots.BootSignature(0);
    const std::string tiny = dir_.path() + "/tiny.img";
    std::ofstream(tiny) << "too short for a sector";
    const PARTITION_MAP items =
        List({blank.Write(dir_, "blank.img"), onlyEmptySlots.Write(dir_, "empty.img"), tiny});
    EXPECT_TRUE(items.empty());
}

TEST_F(PartitionManagerTest, OnlyTheFirst128DisksAreExamined) {
    Image image(512);
    image.MbrSlot(0, 0, 0x83, 8, 10);
    const std::string disk = image.Write(dir_, "d.img");
    std::vector<std::string> disks(128, "/nonexistent");
    disks.push_back(disk);
    EXPECT_TRUE(List(disks).empty());
    disks[127] = disk;
    const PARTITION_MAP items = List(disks);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.begin()->first, 127);
}

// --- damaged MBR/EBR tables

TEST_F(PartitionManagerTest, EbrChainThatLinksBackEnds) {
    Image image = MbrWithTwoLogicals();
    image.MbrSlot(300, 1, 0x05, 0, 200);  // back to the first EBR
    image.MbrSlot(200, 2, 0x0F, 100, 1);  // and the first EBR names the second twice
    const PARTITION_MAP items = List({image.Write(dir_, "loop.img")});
    ExpectPartitions(items.at(0), {{64, 163, "Partition 1"},
                                   {210, 259, "Partition 2"},
                                   {310, 369, "Partition 3"},
                                   {1300, 1399, "Partition 4"}});
}

TEST_F(PartitionManagerTest, MbrThatNamesItselfAsExtendedEnds) {
    Image image(64);
    image.MbrSlot(0, 0, 0x83, 8, 8);
    image.MbrSlot(0, 1, 0x0F, 0, 64);
    const PARTITION_MAP items = List({image.Write(dir_, "self.img")});
    ExpectPartitions(items.at(0), {{8, 15, "Partition 1"}});
}

TEST_F(PartitionManagerTest, EndlessForwardChainIsCut) {
    const uint32_t links = 400;
    Image image(2 * links + 16);
    image.MbrSlot(0, 0, 0x05, 2, 2 * links);
    for (uint32_t i = 0; i < links; ++i) {
        const uint64_t ebr = 2 + 2 * i;
        image.MbrSlot(ebr, 0, 0x83, 1, 1);
        image.MbrSlot(ebr, 1, 0x05, 2 * (i + 1), 2);
    }
    const PARTITION_MAP items = List({image.Write(dir_, "chain.img")});
    ASSERT_EQ(items.count(0), 1u);
    EXPECT_EQ(items.at(0).size(), static_cast<size_t>(CPartitionManager::kMaxEbrTables - 1));
    EXPECT_EQ(uint64_t{items.at(0)[0].u64StartSector}, 3u);
    EXPECT_EQ(uint64_t{items.at(0)[1].u64StartSector}, 5u);
}

TEST_F(PartitionManagerTest, EbrLinkToASectorWithoutSignatureIsIgnored) {
    Image image(512);
    image.MbrSlot(0, 0, 0x05, 100, 200);
    unsigned char* e = image.Sector(100) + 446;
    e[4] = 0x83;  // a plausible slot, but no boot signature in that sector
    PutU32(e + 8, 1);
    PutU32(e + 12, 5);
    EXPECT_TRUE(List({image.Write(dir_, "nosig.img")}).empty());
}

TEST_F(PartitionManagerTest, PartitionsPastTheDiskEndAreLeftOutOrCut) {
    Image image(1000);
    image.MbrSlot(0, 0, 0x83, 8, 100);
    image.MbrSlot(0, 1, 0x83, 5000, 100);  // starts past the end
    image.MbrSlot(0, 2, 0x83, 900, 500);   // runs past the end
    image.MbrSlot(0, 3, 0x83, 600, 0);     // no sectors at all
    image.MbrSlot(200, 0, 0x83, 1, 1);
    const PARTITION_MAP items = List({image.Write(dir_, "past.img")});
    ExpectPartitions(items.at(0), {{8, 107, "Partition 1"}, {900, 999, "Partition 2"}});
}

TEST_F(PartitionManagerTest, ExtendedEntryPastTheDiskEndListsTheRest) {
    Image image(512);
    image.MbrSlot(0, 0, 0x05, 0xFFFFFF00u, 100);
    image.MbrSlot(0, 1, 0x83, 8, 10);
    const PARTITION_MAP items = List({image.Write(dir_, "farext.img")});
    ExpectPartitions(items.at(0), {{8, 17, "Partition 1"}});
}

TEST_F(PartitionManagerTest, LogicalStartsAddUpBeyond32Bits) {
    // A disk with a partition past 2^32 sectors is 2 TiB: a sparse file only has to be that
    // long, not that full.
    Image ebr(1);
    ebr.MbrSlot(0, 0, 0x83, 0xFFFFFF00u, 0x100);
    const std::string path = ebr.Write(dir_, "huge.img");
    const uint64_t base = 0x200;
    {
        std::ofstream patch(path, std::ios::binary | std::ios::in | std::ios::out);
        patch.seekp(base * kSector);
        patch.write(reinterpret_cast<const char*>(ebr.Sector(0)), kSector);
    }
    ASSERT_EQ(::truncate(path.c_str(), (0x100000000ull + 0x1000) * kSector), 0);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager().GetMBRPartition(fd, base, items, 3, path.c_str());
    ::close(fd);
    ExpectPartitions(items, {{0xFFFFFF00ull + base, 0xFFFFFF00ull + base + 0xFF, "Partition 1"}});
    EXPECT_EQ(uint32_t{items[0].nDiskNumber}, 3u);
}

// --- GPT

TEST_F(PartitionManagerTest, GptIsListedFromTheGptOnlyWithItsNames) {
    Image image(1024);
    image.GptHeader();
    image.GptEntry(0, 34, 99, u"EFI system");
    image.GptEntry(1, 100, 1000, u"data");
    const PARTITION_MAP items = List({image.Write(dir_, "gpt.img")});
    ExpectPartitions(items.at(0), {{34, 99, "EFI system"}, {100, 1000, "data"}});
}

TEST_F(PartitionManagerTest, GptEntryWithFirstLbaZeroEndsTheList) {
    Image image(1024);
    image.GptHeader();
    image.GptEntry(0, 34, 99, u"a");
    image.GptEntry(1, 0, 200, u"b");
    image.GptEntry(2, 300, 400, u"c");
    const PARTITION_MAP items = List({image.Write(dir_, "gpt.img")});
    ExpectPartitions(items.at(0), {{34, 99, "a"}});
}

TEST_F(PartitionManagerTest, GptListsOnlyTheEntriesInTheFirst4096Bytes) {
    Image image(4096);
    image.GptHeader();
    for (int i = 0; i < 30; ++i) image.GptEntry(i, 100 + 10 * i, 109 + 10 * i, u"p");
    const PARTITION_MAP items = List({image.Write(dir_, "gpt.img")});
    ASSERT_EQ(items.at(0).size(), 24u);
    EXPECT_EQ(uint64_t{items.at(0)[23].u64StartSector}, 330u);
}

TEST_F(PartitionManagerTest, GptNameFillingAllUnitsIsCutToKeepItsTerminator) {
    Image image(1024);
    image.GptHeader();
    const std::u16string full(36, u'x');
    image.GptEntry(0, 34, 99, full);
    image.GptEntry(1, 500, 2000, u"past the end");
    image.GptEntry(2, 2000, 3000, u"beyond");
    const PARTITION_MAP items = List({image.Write(dir_, "gpt.img")});
    ExpectPartitions(items.at(0), {{34, 99, std::string(35, 'x')}, {500, 1023, "past the end"}});
}

// --- Apple partition map

TEST_F(PartitionManagerTest, ApplePartitionMapListsEveryEntry) {
    Image image(1024);
    image.Sector(0)[0] = 'E';
    image.Sector(0)[1] = 'R';
    image.ApmEntry(0, 3, 1, 63, "Apple", 0, 63);
    image.ApmEntry(1, 3, 64, 100, "Macintosh HD", 0, 100);
    image.ApmEntry(2, 3, 164, 60, "Extra", 2, 50);
    image.BootSignature(0);  // an MBR signature too: APM is tried first
    const PARTITION_MAP items = List({image.Write(dir_, "apm.img")});
    ExpectPartitions(items.at(0),
                     {{1, 63, "Apple"}, {64, 163, "Macintosh HD"}, {166, 215, "Extra"}});
}

TEST_F(PartitionManagerTest, ApplePartitionMapWithTooManyEntriesListsNothing) {
    Image image(1024);
    image.Sector(0)[0] = 'E';
    image.Sector(0)[1] = 'R';
    image.ApmEntry(0, 129, 1, 63, "Apple", 0, 63);
    EXPECT_TRUE(List({image.Write(dir_, "apm.img")}).empty());
}

TEST_F(PartitionManagerTest, ApplePartitionMapLongerThanTheDiskListsWhatWasRead) {
    Image image(3);
    image.Sector(0)[0] = 'E';
    image.Sector(0)[1] = 'R';
    image.ApmEntry(0, 100, 1, 2, "Apple", 0, 2);
    image.ApmEntry(1, 100, 2, 1, "Last", 0, 1);
    const PARTITION_MAP items = List({image.Write(dir_, "apm.img")});
    ExpectPartitions(items.at(0), {{1, 2, "Apple"}, {2, 2, "Last"}});
}

// --- disks made by sfdisk and sgdisk, compared with what those tools report

struct ToolPartition {
    uint64_t start;
    uint64_t end;
    std::string name;  // UTF-8; empty when the tool shows none
};

// "mbr.img5 : start=       20480, size=       12288, type=1" lines of sfdisk --dump; the
// extended container (type 5, f or 85) holds partitions but is none itself.
std::vector<ToolPartition> ReadSfdiskDump(const std::string& path) {
    std::vector<ToolPartition> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t startAt = line.find("start=");
        const size_t sizeAt = line.find("size=");
        const size_t typeAt = line.find("type=");
        if (startAt == std::string::npos || sizeAt == std::string::npos) continue;
        const std::string type = typeAt == std::string::npos ? "" : line.substr(typeAt + 5);
        if (type == "5" || type == "f" || type == "85") continue;
        const uint64_t start = std::stoull(line.substr(startAt + 6));
        const uint64_t size = std::stoull(line.substr(sizeAt + 5));
        out.push_back({start, start + size - 1, ""});
    }
    return out;
}

// The table below "Number  Start (sector) ..." of sgdisk -p.
std::vector<ToolPartition> ReadSgdiskPrint(const std::string& path) {
    std::vector<ToolPartition> out;
    std::ifstream in(path);
    std::string line;
    bool inTable = false;
    while (std::getline(in, line)) {
        if (line.rfind("Number", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || line.empty()) continue;
        std::istringstream fields(line);
        std::string number, size, unit, code;
        ToolPartition p;
        fields >> number >> p.start >> p.end >> size >> unit >> code;
        std::getline(fields >> std::ws, p.name);
        out.push_back(p);
    }
    return out;
}

class ToolMadeDiskTest : public PartitionManagerTest {};

TEST_F(ToolMadeDiskTest, MbrWithExtendedPartitionMatchesSfdisk) {
    const std::string disk = ferrowen::test::UnpackFixture("mbr", dir_);
    const std::vector<ToolPartition> expected =
        ReadSfdiskDump(ferrowen::test::FixtureDir() + "/mbr.sfdisk.txt");
    ASSERT_EQ(expected.size(), 3u);
    const PARTITION_MAP items = List({disk});
    ASSERT_EQ(items.count(0), 1u);
    const std::vector<_PARTITION_ITEM_>& got = items.at(0);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(uint64_t{got[i].u64StartSector}, expected[i].start);
        EXPECT_EQ(uint64_t{got[i].u64EndSector}, expected[i].end);
        EXPECT_EQ(Name(got[i]), "Partition " + std::to_string(i + 1));
    }
    // The committed table agrees with the tool's output on the same sectors.
    const auto table = ferrowen::test::LoadPartitions("mbr");
    EXPECT_EQ(table.back().startSector, uint64_t{got.back().u64StartSector});
}

TEST_F(ToolMadeDiskTest, GptWithNamesMatchesSgdisk) {
    const std::string disk = ferrowen::test::UnpackFixture("gpt", dir_);
    const std::vector<ToolPartition> expected =
        ReadSgdiskPrint(ferrowen::test::FixtureDir() + "/gpt.sgdisk.txt");
    ASSERT_EQ(expected.size(), 3u);
    const PARTITION_MAP items = List({disk});
    ASSERT_EQ(items.count(0), 1u);
    const std::vector<_PARTITION_ITEM_>& got = items.at(0);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(uint64_t{got[i].u64StartSector}, expected[i].start);
        EXPECT_EQ(uint64_t{got[i].u64EndSector}, expected[i].end);
        EXPECT_EQ(WideToUtf8(got[i].szPartitionName), expected[i].name);
    }
}

TEST_F(ToolMadeDiskTest, GptAndMbrDisksInOneListing) {
    const std::string gpt = ferrowen::test::UnpackFixture("gpt", dir_);
    const std::string mbr = ferrowen::test::UnpackFixture("mbr", dir_);
    const PARTITION_MAP items = List({gpt, mbr, mbr});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(Name(items.at(1)[0]), "Partition 1");
    EXPECT_EQ(Name(items.at(2)[0]), "Partition 4");  // GPT disks take no MBR numbers
}

TEST(PartitionSchemeTest, PredicatesLookOnlyInsideTheBuffer) {
    unsigned char sector[512] = {};
    sector[510] = 0x55;
    sector[511] = 0xAA;
    EXPECT_TRUE(IsMBR(sector, 512));
    EXPECT_FALSE(IsMBR(sector, 511));
    std::memcpy(sector, "EFI PART", 8);
    EXPECT_TRUE(IsEFI(sector, 8));
    EXPECT_FALSE(IsEFI(sector, 7));
    EXPECT_FALSE(IsAPM(sector, 512));
    EXPECT_TRUE(IsAPM(reinterpret_cast<const unsigned char*>("ER"), 2));
    EXPECT_FALSE(IsAPM(reinterpret_cast<const unsigned char*>("ER"), 1));
    EXPECT_FALSE(IsMBR(nullptr, 512));
}

}  // namespace
