#include "foundation/recognisers.h"

#include <algorithm>
#include <cstring>

#include "foundation/bytes.h"

namespace {

constexpr size_t kBootSectorSize = 512;
constexpr size_t kExtProbeSize = 1112;
constexpr int64_t kFatTimeWindowLow = 673231085;    // 1991-05
constexpr int64_t kFatTimeWindowHigh = 3473231085;  // 2080-01
constexpr int kMaxLongNamePieces = 18;              // 18 x 13 units hold a 255-unit name

bool HasBootSignature(const unsigned char* p) {
    return p[0x1FE] == 0x55 && p[0x1FF] == 0xAA;
}

// Sectors per cluster a boot sector may state: 128 is refused along with every non-power.
bool IsAcceptedSectorsPerCluster(uint8_t spc) {
    return spc == 1 || spc == 2 || spc == 4 || spc == 8 || spc == 16 || spc == 32 || spc == 64;
}

// --- FAT entry dates ------------------------------------------------------------------------

// Days from 1970-01-01 to a calendar date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// An entry's date and time as seconds, taken as UTC. Recognition only compares these with each
// other and with a window of decades, so the time zone does not matter, and leaving it out keeps
// the C library's time-zone machinery (a file lookup per call when TZ is unset) out of a test
// that runs on every directory-like sector of a disk. Out-of-range fields are clamped, so that
// any year from 1992 to 2079 lands inside the window and years up to 1990 or from 2081 on land
// outside it.
int64_t FatSeconds(uint16_t date, uint16_t time) {
    const FAT_DATE_TIME t = DecodeFatDateTime(date, time);
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

struct EntryTimes {
    int64_t create, access, modify;
};

EntryTimes TimesOf(const unsigned char* e) {
    return {FatSeconds(LoadU16(e + 0x10), LoadU16(e + 0x0E)), FatSeconds(LoadU16(e + 0x12), 0),
            FatSeconds(LoadU16(e + 0x18), LoadU16(e + 0x16))};
}

bool InFatTimeWindow(int64_t t) {
    return t >= kFatTimeWindowLow && t <= kFatTimeWindowHigh;
}

uint8_t ShortNameChecksum(const unsigned char* pName11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + pName11[i]);
    return sum;
}

// --- directory sectors ---------------------------------------------------------------------

bool IsForbiddenShortNameByte(uint8_t c) {
    return c < 0x20 || (c >= 'a' && c <= 'z') || std::strchr("\\:*?\"<>|.", c) != nullptr;
}

// Once padding starts within the name (or the extension), it has to run to its end.
bool PaddedWithSpacesOnly(const unsigned char* field, int width) {
    bool padding = false;
    for (int i = 0; i < width; ++i) {
        if (padding && field[i] != ' ') return false;
        if (field[i] == ' ') padding = true;
    }
    return true;
}

bool IsPlausibleShortEntryName(const unsigned char* e) {
    for (int i = 0; i < 11; ++i) {
        if (e[i] < 0x20 || e[i] == '.') return false;
    }
    // Bytes from 0x80 up are letters of the volume's code page: single ones in the common
    // European pages ("CAF\x90" is CAFÉ in CP850), pairs in the East Asian ones.
    return PaddedWithSpacesOnly(e, 8) && PaddedWithSpacesOnly(e + 8, 3);
}

// The entries after a long-name entry at `offset` must be further pieces with the same
// checksum, then the short entry whose name gives that checksum.
bool LongNameChainHolds(const unsigned char* p, size_t len, size_t offset) {
    const uint8_t checksum = p[offset + 0x0D];
    for (int k = 0; k < kMaxLongNamePieces; ++k) {
        if (32 + offset + 64 * static_cast<size_t>(k) >= len) break;
        const size_t at = offset + kFatEntrySize * (k + 1);
        const unsigned char* f = p + at;
        if (!IsFatEntryValidInFolder(f, len - at)) return false;
        if (f[0x0B] == FAT_ATTR_LONG_NAME) {
            if (f[0x0D] != checksum) return false;
            continue;
        }
        return f[0] == FAT_ENTRY_DELETED || ShortNameChecksum(f) == checksum;
    }
    return true;
}

bool AllZero(const unsigned char* p, size_t n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

// --- IsFatEntyValid steps ------------------------------------------------------------------

bool HasConsistentCluster(const unsigned char* e, uint8_t attr) {
    if ((attr & FAT_ATTR_DIRECTORY) || LoadU32(e + 0x1C) != 0) return true;
    return LoadU16(e + 0x14) == 0 && LoadU16(e + 0x1A) == 0;
}

bool HasAcceptedAttributes(const unsigned char* e, uint8_t attr) {
    if (attr != FAT_ATTR_LONG_NAME) {
        if (attr == FAT_ATTR_VOLUME_LABEL) {
            if (LoadU32(e + 0x1C) != 0 || LoadU16(e + 0x14) != 0 || LoadU16(e + 0x1A) != 0) {
                return false;
            }
        } else if (attr & FAT_ATTR_VOLUME_LABEL) {
            return false;
        }
    }
    if ((attr & FAT_ATTR_DIRECTORY) && (attr & FAT_ATTR_READ_ONLY)) return false;
    return (attr & 0xC0) == 0;
}

bool IsPlausibleShortEntry(const unsigned char* e, uint8_t attr) {
    if (e[0] != FAT_ENTRY_DELETED && !(attr & FAT_ATTR_DIRECTORY)) {
        const EntryTimes t = TimesOf(e);
        if (!InFatTimeWindow(t.create) || !InFatTimeWindow(t.access) ||
            !InFatTimeWindow(t.modify)) {
            return false;
        }
    }
    return attr == FAT_ATTR_VOLUME_LABEL || !IsInvalidShortFileName(e);
}

}  // namespace

int IsFullValidFAT16DBR(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBootSectorSize) return 0;
    const bool ok = p[0x10] != 0 && (LoadU16(p + 0x13) != 0 || LoadU32(p + 0x20) != 0) &&
                    IsAcceptedSectorsPerCluster(p[0x0D]) && LoadU16(p + 0x16) != 0 &&
                    HasBootSignature(p);
    return ok ? 1 : 0;
}

int IsFullValidFAT32DBR(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBootSectorSize) return 0;
    const bool ok = std::memcmp(p + 0x52, "FAT32   ", 8) == 0 && p[0x10] != 0 &&
                    LoadU32(p + 0x20) != 0 && IsAcceptedSectorsPerCluster(p[0x0D]) &&
                    LoadU32(p + 0x24) != 0 && HasBootSignature(p);
    return ok ? 1 : 0;
}

int IsBitlockerDBR(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBootSectorSize) return 0;
    if (std::memcmp(p + 3, "-FVE-FS-", 8) == 0) return 1;
    unsigned char pattern[30];
    std::memset(pattern, 'x', 8);
    std::memset(pattern + 8, 0xFF, 19);
    pattern[27] = 0x00;
    pattern[28] = 0x1F;
    pattern[29] = 0x2C;
    return std::memcmp(p + 480, pattern, sizeof pattern) == 0 ? 1 : 0;
}

int IsFat(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBootSectorSize || IsBitlockerDBR(p, len)) return 0;
    const uint32_t fatSize = LoadU16(p + 0x16) != 0 ? LoadU16(p + 0x16) : LoadU32(p + 0x24);
    const uint32_t total = LoadU32(p + 0x20) != 0 ? LoadU32(p + 0x20) : LoadU16(p + 0x13);
    const uint32_t bytesPerSector = LoadU16(p + 0x0B);
    if (bytesPerSector == 0 || p[0x0D] == 0 || bytesPerSector % 512 != 0) return 0;
    // The count is only a sanity bound; the byte fields are taken as signed, so a cluster
    // size of 128 sectors yields a huge divisor and a tiny count, as on the systems that
    // write these sectors.
    const uint32_t spc = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0x0D])));
    const uint32_t fats = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0x10])));
    const uint32_t rootSectors = LoadU16(p + 0x11) * 32u / bytesPerSector;
    const uint32_t reserved = LoadU16(p + 0x0E);
    const uint32_t dataClusters = (total - reserved - fatSize * fats - rootSectors) / spc;
    if (dataClusters >= 0x0FFFFFF0u) return 0;
    return (IsFullValidFAT16DBR(p, len) || IsFullValidFAT32DBR(p, len)) ? 1 : 0;
}

int IsNtfs(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kBootSectorSize) return 0;
    unsigned char s[kBootSectorSize];
    std::memcpy(s, p, sizeof s);
    if (std::memcmp(s + 3, "NTFS    ", 8) != 0) return 0;
    if (LoadU16(s + 0x0B) % 512 != 0 || LoadU16(s + 0x0E) != 0) return 0;
    if (!IsAcceptedSectorsPerCluster(s[0x0D]) || LoadU64(s + 0x28) == 0) return 0;
    for (size_t at : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
        if (s[at] != 0) return 0;
    }
    return HasBootSignature(s) ? 1 : 0;
}

namespace {

bool IsExfatBootSector(const unsigned char* p) {
    if (std::memcmp(p + 3, "EXFAT   ", 8) != 0 || !HasBootSignature(p)) return false;
    // The bytes where a FAT boot sector keeps its geometry are zero, so no FAT reader mistakes
    // the volume for its own.
    for (size_t at = 0x0B; at < 0x40; ++at) {
        if (p[at] != 0) return false;
    }
    const unsigned sectorShift = p[0x6C], clusterShift = p[0x6D];
    return sectorShift >= 9 && sectorShift <= 12 && sectorShift + clusterShift <= 25;
}

}  // namespace

int IsExfat(const unsigned char* p, size_t len) {
    constexpr size_t kBackupAt = 12 * kBootSectorSize;
    if (p == nullptr || len < kBootSectorSize) return 0;
    if (IsExfatBootSector(p)) return 1;
    return len >= kBackupAt + kBootSectorSize && IsExfatBootSector(p + kBackupAt) ? 1 : 0;
}

int IsExt(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kExtProbeSize) return 0;
    const unsigned char* sb = p + 1024;
    const uint32_t inodes = LoadU32(sb + 0x00);
    const uint32_t blocks = LoadU32(sb + 0x04);
    const uint32_t firstDataBlock = LoadU32(sb + 0x14);
    const uint32_t logBlockSize = sb[0x18];
    const uint32_t blocksPerGroup = LoadU32(sb + 0x20);
    const uint32_t inodesPerGroup = LoadU32(sb + 0x28);
    const uint32_t firstInode = LoadU32(sb + 0x54);
    if (LoadU16(sb + 0x38) != 0xEF53) return 0;
    if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return 0;
    if (firstInode < 3 || inodes <= firstInode) return 0;
    if ((inodes - 1) / inodesPerGroup != (blocks - 1 - firstDataBlock) / blocksPerGroup) return 0;
    // With 1 KiB blocks the superblock fills block 1, so data starts there; otherwise at 0.
    const uint32_t expectedFirstDataBlock = (1024u << (logBlockSize % 32)) == 1024u ? 1 : 0;
    return firstDataBlock == expectedFirstDataBlock ? 1 : 0;
}

int IsNtfsFileRecord(const unsigned char* p, int nRecordSize) {
    if (p == nullptr || nRecordSize < static_cast<int>(kBootSectorSize)) return 0;
    const uint32_t size = static_cast<uint32_t>(nRecordSize);
    const bool ok = std::memcmp(p, "FILE", 4) == 0 && LoadU32(p + 0x18) <= size &&
                    LoadU32(p + 0x1C) == size && LoadU16(p + 0x30) == LoadU16(p + 0x1FE);
    return ok ? 1 : 0;
}

int IsFatFileRecord(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 2 * kFatEntrySize) return 0;
    if (p[0] != '.' || !(p[0x0B] & FAT_ATTR_DIRECTORY) || LoadU32(p + 0x1C) != 0) return 0;
    if (p[32] != '.' || p[33] != '.' || !(p[43] & FAT_ATTR_DIRECTORY) || LoadU32(p + 60) != 0) {
        return 0;
    }
    const EntryTimes self = TimesOf(p);
    const EntryTimes parent = TimesOf(p + 32);
    const bool same = self.create == parent.create && self.access == parent.access &&
                      self.modify == parent.modify;
    return same ? 1 : 0;
}

namespace {

// Labels, long-name pieces and folders pass without the archive bit; a file needs it to pass
// the test for entries found anywhere.
bool PassesArchiveRule(uint8_t attr) {
    return attr == FAT_ATTR_VOLUME_LABEL || attr == FAT_ATTR_LONG_NAME ||
           (attr & (FAT_ATTR_DIRECTORY | FAT_ATTR_ARCHIVE)) != 0;
}

}  // namespace

int IsFatEntyValid(const unsigned char* e, size_t len) {
    return IsFatEntryValidInFolder(e, len) && PassesArchiveRule(e[0x0B]) ? 1 : 0;
}

int IsFatEntryValidInFolder(const unsigned char* e, size_t len) {
    if (e == nullptr || len < kFatEntrySize) return 0;
    if (IsFatFileRecord(e, len)) return 1;
    const uint8_t attr = e[0x0B];
    const uint8_t first = e[0];
    if (!HasConsistentCluster(e, attr) || !HasAcceptedAttributes(e, attr)) return 0;
    if (attr == FAT_ATTR_LONG_NAME) {
        if (first != FAT_ENTRY_DELETED && (first & ~0x40) > kMaxLongNamePieces) return 0;
    } else if (!IsPlausibleShortEntry(e, attr)) {
        return 0;
    }
    if (first != FAT_ENTRY_DELETED && (attr & FAT_ATTR_DIRECTORY) && attr != FAT_ATTR_LONG_NAME &&
        LoadU32(e + 0x1C) != 0) {
        return 0;
    }
    if (attr == FAT_ATTR_LONG_NAME && LoadU16(e + 0x1A) != 0) return 0;
    return attr > 0x3F ? 0 : 1;
}

// A file without the archive bit (a backup program cleared it) is taken for an entry only
// beside entries that pass the full test: one such file must not hide the sixteen named
// files of its sector, and a sector of them alone is too little to call a folder.
int IsFatFDTRecord(const unsigned char* p, int nLen) {
    if (p == nullptr || nLen < static_cast<int>(kFatEntrySize)) return 0;
    const size_t len = static_cast<size_t>(nLen);
    const size_t count = len / kFatEntrySize;
    bool fullyValid = false;
    for (size_t i = 0; i < count; ++i) {
        const size_t offset = i * kFatEntrySize;
        const unsigned char* e = p + offset;
        if (e[0] == 0x00) return (i != 0 && fullyValid && AllZero(e, len - offset)) ? 1 : 0;
        if (!IsFatEntryValidInFolder(e, len - offset)) return 0;
        fullyValid = fullyValid || PassesArchiveRule(e[0x0B]);
        if (std::memcmp(e + 1, e + 17, 14) == 0) return 0;
        if (e[0x0B] == FAT_ATTR_LONG_NAME) {
            if (!LongNameChainHolds(p, len, offset)) return 0;
        } else if (!IsPlausibleShortEntryName(e)) {
            return 0;
        }
    }
    return fullyValid ? 1 : 0;
}

FAT_DATE_TIME DecodeFatDateTime(uint16_t date, uint16_t time) {
    return {(date >> 9) + 1980,
            std::clamp((date >> 5) & 0x0F, 1, 12),
            std::clamp(date & 0x1F, 1, 31),
            std::min(time >> 11, 23),
            std::min((time >> 5) & 0x3F, 59),
            std::min((time & 0x1F) * 2, 59)};
}

int IsInvalidShortFileName(const unsigned char* pName11) {
    for (int i = 0; i < 11; ++i) {
        if (IsForbiddenShortNameByte(pName11[i])) return 1;
    }
    return 0;
}

uint32_t GetDefaultNtfsSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector) {
    const double sizeMiB =
        static_cast<double>(uBytesPerSector) * static_cast<double>(u64TotalSectors) / 1048576.0;
    const uint32_t s = uBytesPerSector;
    const double a = 7.0 * (s / 512);
    const double b = s / 512 * 512;
    const double c = 2 * s / 1024 * 1024;
    const double d = 4 * s / 2048 * 2048;
    if (sizeMiB > a && sizeMiB <= b) return 1;
    if (sizeMiB > b && sizeMiB <= c) return 2;
    if (sizeMiB > c && sizeMiB <= d) return 4;
    return 8;
}
