// Recognisers on hand-built sectors: the corner cases that real formatters rarely write.
#include "foundation/recognisers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ctime>
#include <vector>

#include "fat/fat_entry.h"

namespace {

using Sector = std::array<unsigned char, 512>;

void Put16(unsigned char* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
void Put32(unsigned char* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
void Put64(unsigned char* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}

Sector Fat32Boot() {
    Sector s{};
    s[0] = 0xEB;
    std::memcpy(&s[3], "MSWIN4.1", 8);
    Put16(&s[0x0B], 512);
    s[0x0D] = 8;
    Put16(&s[0x0E], 32);
    s[0x10] = 2;
    Put32(&s[0x20], 4194304);
    Put32(&s[0x24], 4088);
    std::memcpy(&s[0x52], "FAT32   ", 8);
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return s;
}

Sector Fat16Boot() {
    Sector s{};
    Put16(&s[0x0B], 512);
    s[0x0D] = 4;
    Put16(&s[0x0E], 4);
    s[0x10] = 2;
    Put16(&s[0x11], 512);
    Put16(&s[0x13], 32768);
    Put16(&s[0x16], 32);
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return s;
}

Sector NtfsBoot() {
    Sector s{};
    std::memcpy(&s[3], "NTFS    ", 8);
    Put16(&s[0x0B], 512);
    s[0x0D] = 8;
    Put64(&s[0x28], 2097151);
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return s;
}

TEST(BootSectors, FatSectorsOfBothKindsAreAccepted) {
    const Sector fat32 = Fat32Boot();
    EXPECT_EQ(IsFat(fat32.data(), 512), 1);
    EXPECT_EQ(IsFullValidFAT32DBR(fat32.data(), 512), 1);
    const Sector fat16 = Fat16Boot();
    EXPECT_EQ(IsFat(fat16.data(), 512), 1);  // no type text needed for FAT12/16
    EXPECT_EQ(IsFullValidFAT16DBR(fat16.data(), 512), 1);
    EXPECT_EQ(IsFullValidFAT32DBR(fat16.data(), 512), 0);
    EXPECT_EQ(IsFat(fat32.data(), 511), 0);  // a short buffer is never read past
}

TEST(BootSectors, OneHundredTwentyEightSectorsPerClusterIsRefusedEverywhere) {
    Sector fat32 = Fat32Boot();
    fat32[0x0D] = 128;
    EXPECT_EQ(IsFat(fat32.data(), 512), 0);
    EXPECT_EQ(IsFullValidFAT32DBR(fat32.data(), 512), 0);
    Sector fat16 = Fat16Boot();
    fat16[0x0D] = 128;
    EXPECT_EQ(IsFullValidFAT16DBR(fat16.data(), 512), 0);
    Sector ntfs = NtfsBoot();
    ntfs[0x0D] = 128;
    EXPECT_EQ(IsNtfs(ntfs.data(), 512), 0);
}

TEST(BootSectors, EncryptedVolumesAreNeverFat) {
    Sector byName = Fat32Boot();
    std::memcpy(&byName[3], "-FVE-FS-", 8);
    EXPECT_EQ(IsBitlockerDBR(byName.data(), 512), 1);
    EXPECT_EQ(IsFat(byName.data(), 512), 0);
    Sector byPattern = Fat32Boot();
    std::memset(&byPattern[480], 'x', 8);
    std::memset(&byPattern[488], 0xFF, 19);
    byPattern[507] = 0x00;
    byPattern[508] = 0x1F;
    byPattern[509] = 0x2C;
    EXPECT_EQ(IsBitlockerDBR(byPattern.data(), 512), 1);
    EXPECT_EQ(IsFat(byPattern.data(), 512), 0);
}

TEST(BootSectors, FatRefusesZeroedAndImplausibleGeometry) {
    const Sector zero{};
    EXPECT_EQ(IsFat(zero.data(), 512), 0);
    EXPECT_EQ(IsNtfs(zero.data(), 512), 0);
    Sector odd = Fat32Boot();
    Put16(&odd[0x0B], 520);
    EXPECT_EQ(IsFat(odd.data(), 512), 0);
    Sector huge = Fat32Boot();
    Put32(&huge[0x20], 0xFFFFFFF0);
    huge[0x0D] = 1;
    Put32(&huge[0x24], 1);
    EXPECT_EQ(IsFat(huge.data(), 512), 0);  // more clusters than FAT32 can address
    Sector noSignature = Fat32Boot();
    noSignature[0x1FF] = 0;
    EXPECT_EQ(IsFat(noSignature.data(), 512), 0);
}

TEST(BootSectors, NtfsFieldTests) {
    Sector ntfs = NtfsBoot();
    EXPECT_EQ(IsNtfs(ntfs.data(), 512), 1);
    Put16(&ntfs[0x0B], 0);
    EXPECT_EQ(IsNtfs(ntfs.data(), 512), 1);  // zero passes the multiple-of-512 test
    ntfs = NtfsBoot();
    ntfs[0x16] = 1;
    EXPECT_EQ(IsNtfs(ntfs.data(), 512), 0);
    ntfs = NtfsBoot();
    Put64(&ntfs[0x28], 0);
    EXPECT_EQ(IsNtfs(ntfs.data(), 512), 0);
    EXPECT_EQ(IsNtfs(nullptr, 512), 0);
}

std::vector<unsigned char> ExtVolume(uint32_t logBlockSize, uint32_t firstDataBlock) {
    std::vector<unsigned char> v(2048, 0);
    unsigned char* sb = &v[1024];
    Put32(sb + 0x00, 2048);  // inodes
    Put32(sb + 0x04, 8192);  // blocks
    Put32(sb + 0x14, firstDataBlock);
    Put32(sb + 0x18, logBlockSize);
    Put32(sb + 0x20, 8192);
    Put32(sb + 0x28, 2048);
    Put16(sb + 0x38, 0xEF53);
    Put32(sb + 0x54, 11);
    return v;
}

TEST(BootSectors, ExtSuperblocks) {
    EXPECT_EQ(IsExt(ExtVolume(0, 1).data(), 2048), 1);  // 1 KiB blocks start data at block 1
    EXPECT_EQ(IsExt(ExtVolume(2, 0).data(), 2048), 1);
    EXPECT_EQ(IsExt(ExtVolume(2, 1).data(), 2048), 0);
    EXPECT_EQ(IsExt(ExtVolume(0, 1).data(), 1111), 0);
    std::vector<unsigned char> badMagic = ExtVolume(2, 0);
    badMagic[1024 + 0x38] = 0;
    EXPECT_EQ(IsExt(badMagic.data(), badMagic.size()), 0);
}

TEST(FileRecords, NtfsRecordMustMatchTheSizeAskedFor) {
    std::vector<unsigned char> rec(1024, 0);
    std::memcpy(rec.data(), "FILE", 4);
    Put32(&rec[0x18], 416);
    Put32(&rec[0x1C], 1024);
    Put16(&rec[0x30], 0x0003);
    Put16(&rec[0x1FE], 0x0003);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 1024), 1);
    Put32(&rec[0x1C], 4096);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 1024), 0);
    Put32(&rec[0x1C], 1024);
    Put16(&rec[0x1FE], 0x0004);  // torn write: the sector's tail lacks the update number
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 1024), 0);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), 100), 0);
    EXPECT_EQ(IsNtfsFileRecord(rec.data(), -1024), 0);
}

// --- FAT directory entries ---------------------------------------------------------------

uint16_t FatDate(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

void PutEntry(unsigned char* e, const char* name11, uint8_t attr, uint32_t size, uint16_t cluster,
              uint16_t date = FatDate(2020, 5, 17)) {
    std::memcpy(e, name11, 11);
    e[11] = attr;
    Put16(e + 0x0E, (10 << 11) | (20 << 5));
    Put16(e + 0x10, date);
    Put16(e + 0x12, date);
    Put16(e + 0x16, (10 << 11) | (20 << 5));
    Put16(e + 0x18, date);
    Put16(e + 0x1A, cluster);
    Put32(e + 0x1C, size);
}

void PutLongName(unsigned char* e, uint8_t sequence, uint8_t checksum, const char16_t* part13) {
    std::memset(e, 0, 32);
    e[0] = sequence;
    e[11] = FAT_ATTR_LONG_NAME;
    e[13] = checksum;
    const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    bool ended = false;
    for (int i = 0; i < 13; ++i) {
        const uint16_t unit = ended ? 0xFFFF : static_cast<uint16_t>(part13[i]);
        Put16(e + at[i], unit);
        if (!ended && part13[i] == 0) ended = true;
    }
}

TEST(DirectoryEntries, ShortNameChecksum) {
    EXPECT_EQ(GetShortNameCheckSum(reinterpret_cast<const unsigned char*>("README  TXT")), 0x73);
    EXPECT_EQ(GetShortNameCheckSum(reinterpret_cast<const unsigned char*>("           ")), 0xF7);
}

TEST(DirectoryEntries, ShortNameCharacterRules) {
    auto invalid = [](const char* name11) {
        return IsInvalidShortFileName(reinterpret_cast<const unsigned char*>(name11));
    };
    EXPECT_EQ(invalid("README  TXT"), 0);
    EXPECT_EQ(invalid("readme  TXT"), 1);
    EXPECT_EQ(invalid("READ?ME TXT"), 1);
    EXPECT_EQ(invalid("READ.ME TXT"), 1);
    EXPECT_EQ(invalid("\xE5"
                      "EADME  TXT"),
              0);  // the deletion mark is allowed
}

TEST(DirectoryEntries, RegularFilesNeedTheArchiveBit) {
    unsigned char e[32] = {};
    PutEntry(e, "PHOTO   JPG", 0x20, 1000, 7);
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
    e[11] = 0x00;
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    e[11] = 0x01;
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    e[11] = 0x21;
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
    e[11] = 0x11;  // directory and read-only together
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    e[11] = 0x60;
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
}

TEST(DirectoryEntries, AnEmptyFileNamingAClusterIsRefusedLiveOrDeleted) {
    unsigned char e[32] = {};
    PutEntry(e, "EMPTY   TXT", 0x20, 0, 9);
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    e[0] = 0xE5;
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    PutEntry(e, "EMPTY   TXT", 0x20, 0, 0);
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
}

TEST(DirectoryEntries, LabelsAndLongNames) {
    unsigned char e[32] = {};
    PutEntry(e, "My Label   ", 0x08, 0, 0);
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
    PutEntry(e, "My Label   ", 0x28, 0, 0);  // label bit mixed with others
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);

    PutLongName(e, 0x52, 0x11, u"abcdefghijklm");
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
    PutLongName(e, 0x53, 0x11, u"abcdefghijklm");
    EXPECT_EQ(IsFatEntyValid(e, 32), 0);
    PutLongName(e, 0xE5, 0x11, u"abcdefghijklm");
    EXPECT_EQ(IsFatEntyValid(e, 32), 1);
}

TEST(DirectoryEntries, LiveFilesMustCarryPlausibleDates) {
    unsigned char e[32] = {};
    for (int year : {1992, 2000, 2026, 2079}) {
        PutEntry(e, "PHOTO   JPG", 0x20, 1000, 7, FatDate(year, 12, 31));
        EXPECT_EQ(IsFatEntyValid(e, 32), 1) << year;
        PutEntry(e, "PHOTO   JPG", 0x20, 1000, 7, FatDate(year, 1, 1));
        EXPECT_EQ(IsFatEntyValid(e, 32), 1) << year;
    }
    for (int year : {1980, 1990, 2081, 2107}) {
        PutEntry(e, "PHOTO   JPG", 0x20, 1000, 7, FatDate(year, 6, 1));
        EXPECT_EQ(IsFatEntyValid(e, 32), 0) << year;
        e[0] = 0xE5;  // deleted entries are not held to their dates
        EXPECT_EQ(IsFatEntyValid(e, 32), 1) << year;
    }
}

TEST(DirectoryEntries, DateConversionGivesTheLocalCalendarSecond) {
    unsigned char raw[32] = {};
    PutEntry(raw, "PHOTO   JPG", 0x20, 1, 2, FatDate(2021, 3, 4));
    Put16(raw + 0x16, (13 << 11) | (14 << 5) | 15);  // 13:14:30
    FAT32_Entry entry;
    std::memcpy(&entry, raw, 32);
    _FILETIME modified{}, accessed{};
    Fat32GetFileLastChangeTime(&entry, &modified);
    Fat32GetFileLastAccessTime(&entry, &accessed);
    tm expected{};
    expected.tm_year = 121;
    expected.tm_mon = 2;
    expected.tm_mday = 4;
    expected.tm_isdst = -1;
    const int64_t midnight = mktime(&expected);
    const auto value = [](const _FILETIME& t) {
        return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                    t.dwLowDateTime);
    };
    EXPECT_EQ(value(accessed), midnight);
    EXPECT_EQ(value(modified), midnight + 13 * 3600 + 14 * 60 + 30);
}

// --- directory sectors ---------------------------------------------------------------------

Sector DirectorySector(int files) {
    Sector s{};
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FILE%04dTXT", i % 10000);
        PutEntry(&s[i * 32], name, 0x20, 100 + i, static_cast<uint16_t>(3 + i));
    }
    return s;
}

TEST(DirectorySectors, EndMarkerRules) {
    Sector s = DirectorySector(3);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    s[300] = 1;  // a stray byte after the end marker
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    const Sector empty{};
    EXPECT_EQ(IsFatFDTRecord(empty.data(), 512), 0);
    EXPECT_EQ(IsFatFDTRecord(DirectorySector(16).data(), 512), 1);
}

TEST(DirectorySectors, TheDotPairOpensAFolder) {
    Sector s{};
    PutEntry(&s[0], ".          ", 0x10, 0, 5);
    PutEntry(&s[32], "..         ", 0x10, 0, 0);
    EXPECT_EQ(IsFatFileRecord(s.data(), 512), 1);
    EXPECT_EQ(IsFatEntyValid(s.data(), 512), 1);
    EXPECT_EQ(IsFatEntyValid(s.data(), 32), 0);  // the pair is not looked for past the buffer
    EXPECT_EQ(IsFatFileRecord(s.data(), 63), 0);
    Put16(&s[32 + 0x18], FatDate(2001, 1, 1));  // the two entries disagree on a date
    EXPECT_EQ(IsFatFileRecord(s.data(), 512), 0);
}

TEST(DirectorySectors, LongNamesMustMatchTheirShortEntry) {
    Sector s{};
    const char* shortName = "PHOTOS~1JPG";
    const uint8_t sum = GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(shortName));
    PutLongName(&s[0], 0x42, sum, u"ng.jpg");
    PutLongName(&s[32], 0x01, sum, u"photos of spri");
    PutEntry(&s[64], shortName, 0x20, 5000, 9);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    s[32 + 13] ^= 1;  // a piece that belongs to another name
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    s[32 + 13] ^= 1;
    s[64 + 2] = 'X';  // the short entry no longer gives the checksum
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    s[64] = 0xE5;  // unless it is deleted, whose first byte no longer counts
    s[0] = 0xE5;
    s[32] = 0xE5;
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
}

TEST(DirectorySectors, ShortNamesMustBePaddedAndPaired) {
    Sector s = DirectorySector(2);
    std::memcpy(&s[32], "AB CD   TXT", 11);  // text after padding
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
    s = DirectorySector(2);
    std::memcpy(&s[32], "\xD5\xD5\xC6\xAC    JPG", 11);  // two whole double-byte characters
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 1);
    std::memcpy(&s[32],
                "\xD5"
                "A      JPG",
                11);  // half a character
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
}

TEST(DirectorySectors, RepeatedHalvesAreNotEntries) {
    Sector s = DirectorySector(1);
    std::memcpy(&s[17], &s[1], 14);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 512), 0);
}

TEST(DirectorySectors, ShortOrNegativeLengthsAreRefused) {
    const Sector s = DirectorySector(3);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 31), 0);
    EXPECT_EQ(IsFatFDTRecord(s.data(), -512), 0);
    EXPECT_EQ(IsFatFDTRecord(nullptr, 512), 0);
    EXPECT_EQ(IsFatFDTRecord(s.data(), 96), 1);
}

// --- helpers and tables --------------------------------------------------------------------

TEST(FatHelpers, TrailingBlanksAndLowerCase) {
    char name[] = "README   ";
    EraseStringTailBlankChar(name, 9);
    EXPECT_STREQ(name, "README");
    char inner[] = "A B ";
    EraseStringTailBlankChar(inner, 4);
    EXPECT_STREQ(inner, "A B");
    char mixed[] = "MiXeD.TXT";
    EXPECT_EQ(Convert2Lowercase(mixed), 9);
    EXPECT_STREQ(mixed, "mixed.txt");
}

TEST(DefaultClusters, Fat32Table) {
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(0, 512), 0u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(68543, 512), 8u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(68544, 512), 1u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(133056, 512), 2u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(300000000, 512), 128u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(300000000, 4096), 64u);
    EXPECT_EQ(GetFat32DefaultSectorPerCluster(0xFFFFFF7FULL, 512), 8u);
}

TEST(DefaultClusters, NtfsBySize) {
    const uint64_t mib = 2048;  // 512-byte sectors per MiB
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(5 * mib, 512), 8u);
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(100 * mib, 512), 1u);
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(600 * mib, 512), 2u);
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(1536 * mib, 512), 4u);
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(3072 * mib, 512), 8u);
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(512 * mib, 512), 1u);  // bounds are inclusive
    EXPECT_EQ(GetDefaultNtfsSectorPerCluster(0, 0), 8u);
}

}  // namespace
