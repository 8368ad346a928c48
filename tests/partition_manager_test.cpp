// Partition discovery: MBR with EBR chains, GPT and Apple maps on disks built sector by sector,
// damaged and endless tables, and disks made by sfdisk and sgdisk against what they report.
#include "disk/partition_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::TempDir;

constexpr size_t kSector = 512;

template <class T>
void Put(std::vector<unsigned char>& disk, size_t at, T v) {
    std::memcpy(disk.data() + at, &v, sizeof v);
}

// A slot of the MBR or of an EBR at sector `table`; the table gets the boot signature.
struct Slot {
    uint64_t table;
    int slot;
    uint8_t type;
    uint32_t start, count;
};
struct GptEntry {
    uint64_t first, last;
    std::u16string name;
};
struct ApmEntry {
    uint32_t entries, start;
    const char* name;
    uint32_t dataStart, dataCount;
};

using Disk = std::vector<unsigned char>;

Disk Mbr(size_t sectors, const std::vector<Slot>& slots, Disk disk = {}) {
    disk.resize(sectors * kSector);
    for (const Slot& s : slots) {
        const size_t e = s.table * kSector + 446 + 16 * s.slot;
        disk[e + 4] = s.type;
        Put(disk, e + 8, s.start);
        Put(disk, e + 12, s.count);
        Put<uint16_t>(disk, s.table * kSector + 510, 0xAA55);
    }
    return disk;
}

Disk Gpt(size_t sectors, const std::vector<GptEntry>& entries) {
    Disk disk = Mbr(sectors, {{0, 0, 0xEE, 1, static_cast<uint32_t>(sectors - 1)}});
    std::memcpy(&disk[kSector], "EFI PART", 8);
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t e = 1024 + 128 * i;
        disk[e] = 0xAF;  // any non-zero type GUID
        Put(disk, e + 32, entries[i].first);
        Put(disk, e + 40, entries[i].last);
        std::memcpy(&disk[e + 56], entries[i].name.data(), entries[i].name.size() * 2);
    }
    return disk;
}

// The map's entries from sector 1 on, big-endian.
Disk Apm(size_t sectors, const std::vector<ApmEntry>& entries) {
    Disk disk(sectors * kSector);
    disk[0] = 'E';
    disk[1] = 'R';
    for (size_t i = 0; i < entries.size(); ++i) {
        const ApmEntry& a = entries[i];
        const size_t e = (1 + i) * kSector;
        disk[e] = 'P';
        disk[e + 1] = 'M';
        for (auto [at, v] :
             {std::pair{4, a.entries}, {8, a.start}, {80, a.dataStart}, {84, a.dataCount}})
            Put(disk, e + at, __builtin_bswap32(v));
        std::memcpy(&disk[e + 16], a.name, std::strlen(a.name));
    }
    return disk;
}

struct Expected {
    uint64_t start, end;
    std::string name;  // UTF-8
};

void ExpectPartitions(const std::vector<_PARTITION_ITEM_>& items,
                      const std::vector<Expected>& expected) {
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE("partition " + std::to_string(i));
        EXPECT_EQ(uint64_t{items[i].u64StartSector}, expected[i].start);
        EXPECT_EQ(uint64_t{items[i].u64EndSector}, expected[i].end);
        EXPECT_EQ(WideToUtf8(items[i].szPartitionName), expected[i].name);
    }
}

class PartitionManagerTest : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("FERROWEN_DISKS"); }
    std::string Write(const Disk& disk, const std::string& name) {
        const std::string path = dir_.path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(disk.data()), disk.size());
        return path;
    }
    PARTITION_MAP List(const std::vector<std::string>& disks) {
        std::string joined;
        for (const std::string& d : disks) joined += (joined.empty() ? "" : ":") + d;
        ::setenv("FERROWEN_DISKS", joined.c_str(), 1);
        PARTITION_MAP items;
        EXPECT_EQ(CPartitionManager().GetPartitionItems(items), 1);
        return items;
    }
    TempDir dir_;
};

// Primary 64-163, extended at 200 holding logicals 210-259 and 310-369 (the second EBR linked
// relative to the first), primary 1300-1399.
const std::vector<Slot> kTwoLogicals = {{0, 0, 0x83, 64, 100},    {0, 1, 0x05, 200, 1000},
                                        {0, 2, 0x07, 1300, 100},  {200, 0, 0x83, 10, 50},
                                        {200, 1, 0x05, 100, 200}, {300, 0, 0x83, 10, 60}};
const std::vector<Expected> kTwoLogicalsListed = {{64, 163, "Partition 1"},
                                                  {210, 259, "Partition 2"},
                                                  {310, 369, "Partition 3"},
                                                  {1300, 1399, "Partition 4"}};

TEST_F(PartitionManagerTest, EachTableListsItsPartitionsAndDamageEndsOrSkipsOnlyWhatItMust) {
    Disk vbr(446, 0xF6);
    vbr[0] = 0xEB;  // a jump, as in a FAT boot sector
    Disk unsigned100 = Mbr(512, {{0, 0, 0x05, 100, 200}});
    unsigned100[100 * kSector + 446 + 4] = 0x83;  // a plausible slot in a sector without signature
    Put<uint32_t>(unsigned100, 100 * kSector + 446 + 12, 5);
    const struct {
        const char* what;
        Disk disk;
        std::vector<Expected> listed;  // none: the disk is not listed
    } cases[] = {
        {"logicals in chain order at the extended slot", Mbr(2048, kTwoLogicals),
         kTwoLogicalsListed},
        {"an empty slot ends the table",
         Mbr(512, {{0, 0, 0x83, 8, 10}, {0, 2, 0x83, 100, 10}, {0, 3, 0x83, 200, 10}}),
         {{8, 17, "Partition 1"}}},
        {"type zero with a start is a partition",
         Mbr(512, {{0, 0, 0x00, 8, 10}}),
         {{8, 17, "Partition 1"}}},
        {"a volume boot sector with a signature is read as an MBR",
         Mbr(512, {{0, 0, 0x07, 32, 64}}, vbr),
         {{32, 95, "Partition 1"}}},
        {"a chain linking back ends; the first EBR names the second twice",
         Mbr(2048, {{300, 1, 0x05, 0, 200}, {200, 2, 0x0F, 100, 1}}, Mbr(2048, kTwoLogicals)),
         kTwoLogicalsListed},
        {"an MBR naming itself as extended",
         Mbr(64, {{0, 0, 0x83, 8, 8}, {0, 1, 0x0F, 0, 64}}),
         {{8, 15, "Partition 1"}}},
        {"an EBR link to a sector without signature", unsigned100, {}},
        {"partitions past the disk end are left out or cut, those without sectors skipped",
         Mbr(1000, {{0, 0, 0x83, 8, 100},
                    {0, 1, 0x83, 5000, 100},
                    {0, 2, 0x83, 900, 500},
                    {0, 3, 0x83, 600, 0}}),
         {{8, 107, "Partition 1"}, {900, 999, "Partition 2"}}},
        {"an extended entry past the disk end",
         Mbr(512, {{0, 0, 0x05, 0xFFFFFF00u, 100}, {0, 1, 0x83, 8, 10}}),
         {{8, 17, "Partition 1"}}},
        {"no table", Disk(64 * kSector), {}},
        {"only empty slots", Mbr(64, {{0, 0, 0, 0, 0}}), {}},
        {"GPT only, with its names",
         Gpt(1024, {{34, 99, u"EFI system"}, {100, 1000, u"data"}}),
         {{34, 99, "EFI system"}, {100, 1000, "data"}}},
        {"a GPT entry with first LBA zero ends the list",
         Gpt(1024, {{34, 99, u"a"}, {0, 200, u"b"}, {300, 400, u"c"}}),
         {{34, 99, "a"}}},
        {"a GPT name filling all units keeps its terminator; ranges are fitted to the disk",
         Gpt(1024, {{34, 99, std::u16string(36, u'x')},
                    {500, 2000, u"past the end"},
                    {2000, 3000, u"beyond"},
                    {60, 59, u"backwards"},
                    {40, 40, u"one"}}),
         {{34, 99, std::string(35, 'x')}, {500, 1023, "past the end"}, {40, 40, "one"}}},
        {"an Apple map is tried before the MBR signature and lists every entry",
         Mbr(1024, {{0, 0, 0x83, 8, 8}},
             Apm(1024, {{3, 1, "Apple", 0, 63},
                        {3, 64, "Macintosh HD", 0, 100},
                        {3, 164, "Extra", 2, 50}})),
         {{1, 63, "Apple"}, {64, 163, "Macintosh HD"}, {166, 215, "Extra"}}},
        {"an Apple map of 129 entries", Apm(1024, {{129, 1, "Apple", 0, 63}}), {}},
        {"an Apple map of 128 entries", Apm(1024, {{128, 1, "Apple", 0, 63}}), {{1, 63, "Apple"}}},
        {"an Apple map longer than the disk lists what was read",
         Apm(3, {{100, 1, "Apple", 0, 2}, {100, 2, "Last", 0, 1}}),
         {{1, 2, "Apple"}, {2, 2, "Last"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string disk = Write(c.disk, "disk.img");
        const PARTITION_MAP items = List({disk});
        if (c.listed.empty()) {
            EXPECT_TRUE(items.empty());
            continue;
        }
        ASSERT_EQ(items.count(0), 1u);
        ExpectPartitions(items.at(0), c.listed);
        EXPECT_EQ(uint32_t{items.at(0)[0].nDiskNumber}, 0u);
        EXPECT_STREQ(items.at(0)[0].szDiskName, disk.substr(0, 15).c_str());
    }
}

TEST_F(PartitionManagerTest, EachDiskNumbersItsOwnPartitionsAndOnlyTheFirst128AreExamined) {
    const std::string first = Write(Mbr(2048, kTwoLogicals), "a.img");
    const std::string second =
        Write(Mbr(512, {{0, 0, 0x0C, 8, 100}, {0, 1, 0x83, 108, 100}}), "b.img");
    const std::string tiny = Write(Disk(100, 1), "tiny.img");
    PARTITION_MAP items = List({first, "/nonexistent/disk", second, tiny});
    ASSERT_EQ(items.size(), 2u);  // a disk that cannot be opened or read is skipped
    // Numbered as --partition counts them on that disk, not on from the disk before.
    ExpectPartitions(items.at(2), {{8, 107, "Partition 1"}, {108, 207, "Partition 2"}});
    EXPECT_EQ(uint32_t{items.at(2)[1].nDiskNumber}, 2u);
    std::vector<std::string> disks(128, "/nonexistent");
    disks.push_back(second);
    EXPECT_TRUE(List(disks).empty());
    disks[127] = second;
    items = List(disks);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.begin()->first, 127);
}

TEST_F(PartitionManagerTest, EndlessForwardChainIsCut) {
    const uint32_t links = 400;
    std::vector<Slot> slots = {{0, 0, 0x05, 2, 2 * links}};
    for (uint32_t i = 0; i < links; ++i) {
        slots.push_back({2 + 2 * i, 0, 0x83, 1, 1});
        slots.push_back({2 + 2 * i, 1, 0x05, 2 * (i + 1), 2});
    }
    const PARTITION_MAP items = List({Write(Mbr(2 * links + 16, slots), "chain.img")});
    ASSERT_EQ(items.count(0), 1u);
    EXPECT_EQ(items.at(0).size(), static_cast<size_t>(CPartitionManager::kMaxEbrTables - 1));
    EXPECT_EQ(uint64_t{items.at(0)[0].u64StartSector}, 3u);
    EXPECT_EQ(uint64_t{items.at(0)[1].u64StartSector}, 5u);
}

TEST_F(PartitionManagerTest, LogicalStartsAddUpBeyond32Bits) {
    // A disk with a partition past 2^32 sectors is 2 TiB: a sparse file only has to be that
    // long, not that full. The EBR lies at sector 0x200.
    const std::string path = Write(Mbr(0x201, {{0x200, 0, 0x83, 0xFFFFFF00u, 0x100}}), "huge.img");
    ASSERT_EQ(::truncate(path.c_str(), (0x100000000ull + 0x1000) * kSector), 0);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager().GetMBRPartition(fd, 0x200, items, 3, path.c_str());
    ::close(fd);
    ExpectPartitions(items, {{0xFFFFFF00ull + 0x200, 0xFFFFFF00ull + 0x2FF, "Partition 1"}});
    EXPECT_EQ(uint32_t{items[0].nDiskNumber}, 3u);
}

// A device that tells no size, as a character device may, still has its partitions listed,
// unchecked against an end nobody knows. /proc/self/mem stands in for one: it reports no size
// and reads this process's memory, where the table lies at a sector boundary.
TEST_F(PartitionManagerTest, ADeviceOfUnknownSizeListsItsPartitionsUnchecked) {
    alignas(kSector) static unsigned char table[kSector];
    const Disk mbr = Mbr(1, {{0, 0, 0x83, 8, 100}});
    std::memcpy(table, mbr.data(), kSector);
    const int fd = ::open("/proc/self/mem", O_RDONLY);
    ASSERT_GE(fd, 0);
    const uint64_t base = reinterpret_cast<uintptr_t>(table) / kSector;
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager().GetMBRPartition(fd, base, items, 0, "/proc/self/mem");
    ::close(fd);
    ExpectPartitions(items, {{base + 8, base + 107, "Partition 1"}});
}

// The partitions the fixtures were made with (sfdisk and sgdisk), as their tables list them;
// an MBR's extended container holds partitions but is none itself.
std::vector<Expected> Made(const char* name) {
    std::vector<Expected> out;
    for (const auto& p : ferrowen::test::LoadPartitions(name)) {
        if (p.type == "0x05") continue;
        const std::string mbrName = "Partition " + std::to_string(out.size() + 1);
        out.push_back(
            {p.startSector, p.startSector + p.sectorCount - 1, p.name == "-" ? mbrName : p.name});
    }
    return out;
}

TEST_F(PartitionManagerTest, ToolMadeDisksAreListedAsMade) {
    const std::string gpt = ferrowen::test::UnpackFixture("gpt", dir_);
    const std::string mbr = ferrowen::test::UnpackFixture("mbr", dir_);
    const PARTITION_MAP items = List({gpt, mbr, mbr});
    ASSERT_EQ(items.size(), 3u);
    ExpectPartitions(items.at(0), Made("gpt"));
    ExpectPartitions(items.at(1), Made("mbr"));
    EXPECT_EQ(WideToUtf8(items.at(2)[0].szPartitionName), "Partition 1");
}

TEST(PartitionSchemeTest, PredicatesLookOnlyInsideTheBuffer) {
    Disk sector(512);
    Put<uint16_t>(sector, 510, 0xAA55);
    EXPECT_TRUE(IsMBR(sector.data(), 512));
    EXPECT_FALSE(IsMBR(sector.data(), 511));
    EXPECT_FALSE(IsMBR(nullptr, 512));
    std::memcpy(sector.data(), "EFI PART", 8);
    EXPECT_TRUE(IsEFI(sector.data(), 8));
    EXPECT_FALSE(IsEFI(sector.data(), 7));
    EXPECT_FALSE(IsAPM(sector.data(), 512));
    EXPECT_TRUE(IsAPM(reinterpret_cast<const unsigned char*>("ER"), 2));
    EXPECT_FALSE(IsAPM(reinterpret_cast<const unsigned char*>("ER"), 1));
}

}  // namespace
