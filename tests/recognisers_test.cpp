// Recognisers on hand-built sectors: the corner cases that real formatters rarely write.
#include "foundation/recognisers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <tuple>
#include <vector>

#include "fat/fat_entry.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A little-endian field of `width` bytes.
struct Field {
    size_t at;
    uint64_t value;
    int width;
};

Bytes With(Bytes b, std::initializer_list<Field> fields) {
    for (const Field& f : fields) {
        if (f.at + f.width <= b.size()) std::memcpy(b.data() + f.at, &f.value, f.width);
    }
    return b;
}
Bytes WithText(Bytes b, size_t at, const char* text) {
    std::memcpy(&b[at], text, std::strlen(text));
    return b;
}

// clang-format off
const Bytes kFat32 = WithText(WithText(With(Bytes(512), {{0, 0xEB, 1}, {0x0B, 512, 2}, {0x0D, 8, 1},
    {0x0E, 32, 2}, {0x10, 2, 1}, {0x20, 4194304, 4}, {0x24, 4088, 4}, {0x1FE, 0xAA55, 2}}),
    3, "MSWIN4.1"), 0x52, "FAT32   ");
const Bytes kFat16 = With(Bytes(512), {{0x0B, 512, 2}, {0x0D, 4, 1}, {0x0E, 4, 2}, {0x10, 2, 1},
    {0x11, 512, 2}, {0x13, 32768, 2}, {0x16, 32, 2}, {0x1FE, 0xAA55, 2}});
const Bytes kNtfs = WithText(With(Bytes(512), {{0x0B, 512, 2}, {0x0D, 8, 1}, {0x28, 2097151, 8},
    {0x1FE, 0xAA55, 2}}), 3, "NTFS    ");
// clang-format on

TEST(BootSectors, EachFieldTestAcceptsOrRefuses) {
    using Test = int (*)(const unsigned char*, size_t);
    const Bytes fve = With(WithText(kFat32, 480, "xxxxxxxx"), {{507, 0x2C1F00, 3}});
    Bytes fvePattern = fve;
    std::memset(&fvePattern[488], 0xFF, 19);
    const struct {
        const char* what;
        Bytes sector;
        Test test;
        int expected;
    } cases[] = {
        {"FAT32", kFat32, IsFat, 1},
        {"FAT32", kFat32, IsFullValidFAT32DBR, 1},
        {"FAT16 without type text", kFat16, IsFat, 1},
        {"FAT16", kFat16, IsFullValidFAT16DBR, 1},
        {"FAT16 as FAT32", kFat16, IsFullValidFAT32DBR, 0},
        {"NTFS", kNtfs, IsNtfs, 1},
        {"zeros", Bytes(512), IsFat, 0},
        {"zeros", Bytes(512), IsNtfs, 0},
        {"128 sectors per cluster", With(kFat32, {{0x0D, 128, 1}}), IsFat, 0},
        {"128 sectors per cluster", With(kFat32, {{0x0D, 128, 1}}), IsFullValidFAT32DBR, 0},
        {"128 sectors per cluster", With(kFat16, {{0x0D, 128, 1}}), IsFullValidFAT16DBR, 0},
        {"128 sectors per cluster", With(kNtfs, {{0x0D, 128, 1}}), IsNtfs, 0},
        {"encrypted by name", WithText(kFat32, 3, "-FVE-FS-"), IsBitlockerDBR, 1},
        {"encrypted by name", WithText(kFat32, 3, "-FVE-FS-"), IsFat, 0},
        {"encrypted by pattern", fvePattern, IsBitlockerDBR, 1},
        {"encrypted by pattern", fvePattern, IsFat, 0},
        {"almost the pattern", fve, IsBitlockerDBR, 0},
        {"520-byte sectors", With(kFat32, {{0x0B, 520, 2}}), IsFat, 0},
        {"more clusters than FAT32 addresses",
         With(kFat32, {{0x20, 0xFFFFFFF0, 4}, {0x0D, 1, 1}, {0x24, 1, 4}}), IsFat, 0},
        {"no boot signature", With(kFat32, {{0x1FF, 0, 1}}), IsFat, 0},
        {"NTFS with zero bytes per sector, a multiple of 512", With(kNtfs, {{0x0B, 0, 2}}), IsNtfs,
         1},
        {"NTFS with a FAT size", With(kNtfs, {{0x16, 1, 1}}), IsNtfs, 0},
        {"NTFS without sectors", With(kNtfs, {{0x28, 0, 8}}), IsNtfs, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.test(c.sector.data(), 512), c.expected) << c.what;
    EXPECT_EQ(IsFat(kFat32.data(), 511), 0);  // a short buffer is never read past
    EXPECT_EQ(IsNtfs(nullptr, 512), 0);
}

TEST(BootSectors, ExtSuperblocksAndNtfsFileRecords) {
    const auto ext = [](uint32_t logBlockSize, uint32_t firstDataBlock, uint16_t magic = 0xEF53) {
        // clang-format off
        return With(Bytes(2048), {{1024, 2048, 4}, {1028, 8192, 4}, {1024 + 0x14, firstDataBlock, 4},
            {1024 + 0x18, logBlockSize, 4}, {1024 + 0x20, 8192, 4}, {1024 + 0x28, 2048, 4},
            {1024 + 0x38, magic, 2}, {1024 + 0x54, 11, 4}});
        // clang-format on
    };
    EXPECT_EQ(IsExt(ext(0, 1).data(), 2048), 1);  // 1 KiB blocks start data at block 1
    EXPECT_EQ(IsExt(ext(2, 0).data(), 2048), 1);
    EXPECT_EQ(IsExt(ext(2, 1).data(), 2048), 0);
    EXPECT_EQ(IsExt(ext(0, 1).data(), 1111), 0);
    EXPECT_EQ(IsExt(ext(2, 0, 0xEF00).data(), 2048), 0);
    EXPECT_EQ(IsExt(With(ext(2, 0), {{1024, 11, 4}}).data(), 2048), 0);  // no inode past the first

    Bytes rec = With(WithText(Bytes(1024), 0, "FILE"),
                     {{0x18, 416, 4}, {0x1C, 1024, 4}, {0x30, 3, 2}, {0x1FE, 3, 2}});
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 1024), 1);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 100), 0);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), -1024), 0);
    EXPECT_EQ(IsNtfsFileRecord(With(rec, {{0x1C, 4096, 4}}).data(), 1024), 0);  // another size
    EXPECT_EQ(IsNtfsFileRecord(With(rec, {{0x1FE, 4, 2}}).data(), 1024), 0);    // a torn write
}

// --- FAT directory entries ---------------------------------------------------------------

uint16_t FatDate(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

Bytes Entry(const char* name11, uint8_t attr, uint32_t size, uint16_t cluster,
            uint16_t date = FatDate(2020, 5, 17)) {
    const uint16_t time = (10 << 11) | (20 << 5);
    // clang-format off
    return With(WithText(Bytes(32), 0, name11), {{11, attr, 1}, {0x0E, time, 2}, {0x10, date, 2},
        {0x12, date, 2}, {0x16, time, 2}, {0x18, date, 2}, {0x1A, cluster, 2}, {0x1C, size, 4}});
    // clang-format on
}

Bytes LongName(uint8_t sequence, uint8_t checksum, const char16_t* part13) {
    Bytes e = With(Bytes(32), {{0, sequence, 1}, {11, FAT_ATTR_LONG_NAME, 1}, {13, checksum, 1}});
    const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    bool ended = false;
    for (int i = 0; i < 13; ++i) {
        e = With(e, {{size_t(at[i]), ended ? 0xFFFFu : part13[i], 2}});
        ended = ended || part13[i] == 0;
    }
    return e;
}

const unsigned char* Name(const char* name11) {
    return reinterpret_cast<const unsigned char*>(name11);
}

TEST(DirectoryEntries, ShortNameChecksumAndCharacterRules) {
    EXPECT_EQ(GetShortNameCheckSum(Name("README  TXT")), 0x73);
    EXPECT_EQ(GetShortNameCheckSum(Name("           ")), 0xF7);
    EXPECT_EQ(IsInvalidShortFileName(Name("README  TXT")), 0);
    EXPECT_EQ(IsInvalidShortFileName(Name("readme  TXT")), 1);
    EXPECT_EQ(IsInvalidShortFileName(Name("READ?ME TXT")), 1);
    EXPECT_EQ(IsInvalidShortFileName(Name("READ.ME TXT")), 1);
    EXPECT_EQ(IsInvalidShortFileName(Name("\xE5"
                                          "EADME  TXT")),
              0);  // the deletion mark
}

TEST(DirectoryEntries, AttributesClustersLabelsAndLongNamesAreHeldToTheirRules) {
    const Bytes photo = Entry("PHOTO   JPG", 0x20, 1000, 7);
    const struct {
        const char* what;
        Bytes entry;
        int valid;
    } cases[] = {
        {"archive bit", photo, 1},
        {"no attribute", With(photo, {{11, 0x00, 1}}), 0},
        {"read-only only", With(photo, {{11, 0x01, 1}}), 0},
        {"read-only archive", With(photo, {{11, 0x21, 1}}), 1},
        {"directory and read-only", With(photo, {{11, 0x11, 1}}), 0},
        {"an unknown bit", With(photo, {{11, 0x60, 1}}), 0},
        {"an empty file naming a cluster", Entry("EMPTY   TXT", 0x20, 0, 9), 0},
        {"a deleted empty file naming a cluster",
         With(Entry("EMPTY   TXT", 0x20, 0, 9), {{0, 0xE5, 1}}), 0},
        {"an empty file", Entry("EMPTY   TXT", 0x20, 0, 0), 1},
        {"a label", Entry("My Label   ", 0x08, 0, 0), 1},
        {"a label bit mixed with others", Entry("My Label   ", 0x28, 0, 0), 0},
        {"a long-name piece", LongName(0x52, 0x11, u"abcdefghijklm"), 1},
        {"a long-name piece past the last", LongName(0x53, 0x11, u"abcdefghijklm"), 0},
        {"a deleted long-name piece", LongName(0xE5, 0x11, u"abcdefghijklm"), 1},
    };
    for (const auto& c : cases) EXPECT_EQ(IsFatEntyValid(c.entry.data(), 32), c.valid) << c.what;
}

// Live files must carry plausible dates; a deleted one may carry any.
TEST(DirectoryEntries, LiveFilesMustCarryPlausibleDates) {
    for (auto [year, month, day, live] : {std::tuple{1992, 1, 1, 1},
                                          {2079, 12, 31, 1},
                                          {1990, 6, 1, 0},
                                          {2081, 6, 1, 0},
                                          {1980, 6, 1, 0}}) {
        const Bytes e = Entry("PHOTO   JPG", 0x20, 1000, 7, FatDate(year, month, day));
        EXPECT_EQ(IsFatEntyValid(e.data(), 32), live) << year;
        EXPECT_EQ(IsFatEntyValid(With(e, {{0, 0xE5, 1}}).data(), 32), 1) << year;  // deleted
    }
}

TEST(DirectoryEntries, DateConversionGivesTheLocalCalendarSecond) {
    const Bytes raw = With(Entry("PHOTO   JPG", 0x20, 1, 2, FatDate(2021, 3, 4)),
                           {{0x16, (13 << 11) | (14 << 5) | 15, 2}});
    FAT32_Entry entry;
    std::memcpy(&entry, raw.data(), 32);
    _FILETIME modified{}, accessed{};
    Fat32GetFileLastChangeTime(&entry, &modified);
    Fat32GetFileLastAccessTime(&entry, &accessed);
    tm expected{};
    expected.tm_year = 121;
    expected.tm_mon = 2;
    expected.tm_mday = 4;
    expected.tm_isdst = -1;
    const int64_t midnight = mktime(&expected);
    EXPECT_EQ((int64_t{accessed.dwHighDateTime} << 32) | accessed.dwLowDateTime, midnight);
    EXPECT_EQ((int64_t{modified.dwHighDateTime} << 32) | modified.dwLowDateTime,
              midnight + 13 * 3600 + 14 * 60 + 30);  // 13:14:30
}

// --- directory sectors ---------------------------------------------------------------------

Bytes Sector(std::initializer_list<Bytes> entries) {
    Bytes s(512);
    size_t at = 0;
    for (const Bytes& e : entries) std::copy(e.begin(), e.end(), s.begin() + (at++) * 32);
    return s;
}
Bytes DirectorySector(int files) {
    Bytes s(512);
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FILE%04dTXT", i);
        const Bytes e = Entry(name, 0x20, 100 + i, static_cast<uint16_t>(3 + i));
        std::copy(e.begin(), e.end(), s.begin() + i * 32);
    }
    return s;
}

TEST(DirectorySectors, EntriesRunToAnEndMarkerAfterWhichAllIsZero) {
    Bytes s = DirectorySector(3);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 96), 1);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 31), 0);
    EXPECT_EQ(IsFatFDTRecord(s.data(), -512), 0);
    EXPECT_EQ(IsFatFDTRecord(nullptr, 512), 0);
    EXPECT_EQ(IsFatFDTRecord(With(s, {{300, 1, 1}}).data(), 512), 0);  // a stray byte after the end
    EXPECT_EQ(IsFatFDTRecord(Bytes(512).data(), 512), 0);
    EXPECT_EQ(IsFatFDTRecord(DirectorySector(16).data(), 512), 1);
    s = DirectorySector(1);
    std::memcpy(&s[17], &s[1], 14);  // repeated halves are not entries
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    // A file without the archive bit counts beside ones with it, never on its own.
    s = With(DirectorySector(3), {{32 + 11, 0x01, 1}});
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    EXPECT_EQ(IsFatFDTRecord(With(s, {{11, 0x00, 1}, {64 + 11, 0x00, 1}}).data(), 512), 0);
    // Short names are padded to their ends; code-page letters stand alone or in pairs.
    for (auto [name11, valid] :
         {std::pair{"AB CD   TXT", 0}, {"\xD5\xD5\xC6\xAC    JPG", 1}, {"CAF\x90    TXT", 1}})
        EXPECT_EQ(IsFatFDTRecord(WithText(DirectorySector(2), 32, name11).data(), 512), valid)
            << name11;
}

TEST(DirectorySectors, TheDotPairOpensAFolder) {
    const Bytes s = Sector({Entry(".          ", 0x10, 0, 5), Entry("..         ", 0x10, 0, 0)});
    EXPECT_EQ(IsFatFileRecord(s.data(), 512), 1);
    EXPECT_EQ(IsFatEntyValid(s.data(), 512), 1);
    EXPECT_EQ(IsFatEntyValid(s.data(), 32), 0);  // the pair is not looked for past the buffer
    EXPECT_EQ(IsFatFileRecord(s.data(), 63), 0);
    EXPECT_EQ(IsFatFileRecord(With(s, {{32 + 0x18, FatDate(2001, 1, 1), 2}}).data(), 512),
              0);  // dates differ
}

TEST(DirectorySectors, LongNamesMustMatchTheirShortEntry) {
    const uint8_t sum = GetShortNameCheckSum(Name("PHOTOS~1JPG"));
    Bytes s = Sector({LongName(0x42, sum, u"ng.jpg"), LongName(0x01, sum, u"photos of spri"),
                      Entry("PHOTOS~1JPG", 0x20, 5000, 9)});
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    EXPECT_EQ(IsFatFDTRecord(With(s, {{32 + 13, sum ^ 1u, 1}}).data(), 512),
              0);     // another name's piece
    s[64 + 2] = 'X';  // the short entry no longer gives the checksum
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    s[0] = s[32] = s[64] = 0xE5;  // unless it is deleted, whose first byte no longer counts
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
}

TEST(NtfsDefaults, ClusterSizeGrowsWithTheVolume) {
    const uint64_t mib = 2048;  // 512-byte sectors per MiB; the bounds are inclusive
    for (auto [sectors, spc] : {std::pair{5 * mib, 8u},
                                {100 * mib, 1u},
                                {512 * mib, 1u},
                                {600 * mib, 2u},
                                {1536 * mib, 4u},
                                {3072 * mib, 8u}})
        EXPECT_EQ(GetDefaultNtfsSectorPerCluster(sectors, 512), spc) << sectors;
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(0, 0), 8u);
}

}  // namespace
