#include "fat/fat_entry.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "foundation/text.h"

namespace {

// mktime() consults the time zone on every call, so the local midnight of each date is
// remembered per thread; the time of day is added to it. Only entries the scan keeps are
// converted, never the candidates the recognisers test.
int64_t LocalMidnight(int year, int month, int day) {
    struct Slot {
        uint32_t key = 0;
        int64_t seconds = 0;
    };
    thread_local Slot cache[256];
    const uint32_t key = (static_cast<uint32_t>(year) << 9) | (month << 5) | day;
    Slot& slot = cache[(key ^ (key >> 8)) & 0xFF];
    if (slot.key != key) {
        tm broken{};
        broken.tm_year = year - 1900;
        broken.tm_mon = month - 1;
        broken.tm_mday = day;
        broken.tm_isdst = -1;
        slot.key = key;
        slot.seconds = static_cast<int64_t>(mktime(&broken));
    }
    return slot.seconds;
}

int64_t FatLocalSeconds(uint16_t date, uint16_t time) {
    const FAT_DATE_TIME t = DecodeFatDateTime(date, time);
    return LocalMidnight(t.year, t.month, t.day) + t.hour * 3600 + t.minute * 60 + t.second;
}

void StoreFileTime(int64_t seconds, _FILETIME* pTime) {
    if (pTime == nullptr) return;
    const uint64_t bits = static_cast<uint64_t>(seconds);
    pTime->dwLowDateTime = static_cast<uint32_t>(bits);
    pTime->dwHighDateTime = static_cast<uint32_t>(bits >> 32);
}

}  // namespace

uint8_t GetShortNameCheckSum(const unsigned char* pName11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) {
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + pName11[i]);
    }
    return sum;
}

void Fat32GetFileCreateTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry == nullptr) return;
    StoreFileTime(FatLocalSeconds(pEntry->uCreateDate, pEntry->uCreateTime), pTime);
}

void Fat32GetFileLastAccessTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry == nullptr) return;
    StoreFileTime(FatLocalSeconds(pEntry->uAccessDate, 0), pTime);
}

void Fat32GetFileLastChangeTime(const FAT32_Entry* pEntry, _FILETIME* pTime) {
    if (pEntry == nullptr) return;
    StoreFileTime(FatLocalSeconds(pEntry->uModifyDate, pEntry->uModifyTime), pTime);
}

namespace {

// Lower case as a short entry's case flag asks for: the letters of ASCII and of Latin-1, the
// ones the common OEM code pages hold.
std::string LowerName(const std::string& utf8) {
    std::u16string wide = Utf8ToWide(utf8.c_str());
    for (char16_t& c : wide) {
        const bool latin1Upper = c >= 0xC0 && c <= 0xDE && c != 0xD7;
        if ((c >= u'A' && c <= u'Z') || latin1Upper) c = static_cast<char16_t>(c + 0x20);
    }
    return WideToUtf8(wide);
}

}  // namespace

std::string ShortEntryName(const unsigned char* pEntry) {
    if (pEntry == nullptr) return {};
    unsigned char base[8];
    std::memcpy(base, pEntry, 8);
    const bool deleted = base[0] == FAT_ENTRY_DELETED;
    if (base[0] == 0x05) base[0] = FAT_ENTRY_DELETED;
    size_t baseLen = 8, extLen = 3;
    while (baseLen > 0 && base[baseLen - 1] == ' ') --baseLen;
    while (extLen > 0 && pEntry[8 + extLen - 1] == ' ') --extLen;
    std::string text = deleted ? OemToUtf8(base + 1, baseLen - 1) : OemToUtf8(base, baseLen);
    if (pEntry[0x0C] & 0x08) text = LowerName(text);
    std::string name(deleted ? "!" : "");
    name += text;
    if (extLen > 0) {
        const std::string ext = OemToUtf8(pEntry + 8, extLen);
        name += "." + ((pEntry[0x0C] & 0x10) ? LowerName(ext) : ext);
    }
    return name;
}

void EraseStringTailBlankChar(char* psz, int nLen) {
    if (psz == nullptr) return;
    for (int i = nLen - 1; i >= 0 && psz[i] == ' '; --i) psz[i] = '\0';
}

int Convert2Lowercase(char* psz) {
    if (psz == nullptr) return 0;
    int n = 0;
    for (; psz[n] != '\0'; ++n) {
        if (psz[n] >= 'A' && psz[n] <= 'Z') psz[n] = static_cast<char>(psz[n] - 'A' + 'a');
    }
    return n;
}

const FAT32_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8] = {
    {1, 0x10BC0, 0x207C0},      {2, 0x207C0, 0x407A0},        {4, 0x407A0, 0x80760},
    {8, 0x80760, 0xFFFFC0},     {16, 0xFFFFC0, 0x1FFFF80},    {32, 0x1FFFF80, 0x3FFFF00},
    {64, 0x3FFFF00, 0xFFFFFF0}, {128, 0xFFFFFF0, 0xFFFFFF7F},
};

uint32_t GetFat32DefaultSectorPerCluster(uint64_t u64TotalSectors, uint32_t uBytesPerSector) {
    if (u64TotalSectors == 0) return 0;
    for (const FAT32_DEFAULT_CLUSTER_ROW& row : Fat32DefaultClusterPartitionSizeLimitBySector) {
        if (u64TotalSectors >= row.u64FromSectors && u64TotalSectors < row.u64BelowSectors) {
            // 128 sectors of 4 KiB would make a 512 KiB cluster, which no formatter writes.
            if (row.uSectorsPerCluster == 128 && uBytesPerSector == 4096) return 64;
            return row.uSectorsPerCluster;
        }
    }
    return 8;
}
