#include "exfat/exfat_entries.h"

#include <algorithm>

#include "foundation/bytes.h"

namespace {

constexpr uint32_t kUnitsPerNameEntry = 15;

bool IsDeletedType(uint8_t uType, uint8_t uLiveType) {
    return uType == static_cast<uint8_t>(uLiveType & ~EXFAT_ENTRY_IN_USE);
}

// The entry type as it reads in a set that is live (bDeleted false) or deleted.
bool HasType(const unsigned char* e, uint8_t uLiveType, bool bDeleted) {
    return bDeleted ? IsDeletedType(e[0], uLiveType) : e[0] == uLiveType;
}

ExfatStamp StampAt(const unsigned char* e, size_t uStampAt, size_t uTenMsAt, size_t uOffsetAt) {
    ExfatStamp s;
    s.uStamp = LoadU32(e + uStampAt);
    s.uTenMs = uTenMsAt != 0 ? e[uTenMsAt] : 0;
    s.uUtcOffset = e[uOffsetAt];
    return s;
}

// The set that opens at p (length bytes left), or false when it is broken.
bool ReadSet(const unsigned char* p, size_t uLength, ExfatEntrySet& set) {
    const bool deleted = p[0] != EXFAT_ENTRY_FILE;
    const uint32_t secondaries = p[1];
    if (secondaries < 2) return false;
    const size_t bytes = size_t{secondaries + 1} * kExfatEntryBytes;
    if (bytes > uLength) return false;
    if (ExfatSetChecksum(p, secondaries + 1) != LoadU16(p + 2)) return false;
    const unsigned char* stream = p + kExfatEntryBytes;
    if (!HasType(stream, EXFAT_ENTRY_STREAM, deleted)) return false;
    const uint32_t nameUnits = stream[3];
    const uint32_t nameEntries = (nameUnits + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
    if (nameUnits == 0 || nameEntries > secondaries - 1) return false;

    set.bDeleted = deleted;
    set.uAttributes = LoadU16(p + 4);
    set.created = StampAt(p, 0x08, 0x14, 0x16);
    set.modified = StampAt(p, 0x0C, 0x15, 0x17);
    set.accessed = StampAt(p, 0x10, 0, 0x18);
    set.uStreamFlags = stream[1];
    set.u64ValidLength = LoadU64(stream + 8);
    set.uFirstCluster = LoadU32(stream + 0x14);
    set.u64DataLength = LoadU64(stream + 0x18);
    if (set.u64ValidLength > set.u64DataLength) return false;
    set.name.clear();
    for (uint32_t k = 0; k < nameEntries; ++k) {
        const unsigned char* e = p + size_t{k + 2} * kExfatEntryBytes;
        if (!HasType(e, EXFAT_ENTRY_NAME, deleted)) return false;
        const uint32_t units = std::min(kUnitsPerNameEntry, nameUnits - k * kUnitsPerNameEntry);
        for (uint32_t u = 0; u < units; ++u) set.name.push_back(LoadU16(e + 2 + 2 * u));
    }
    // A name holds no zero unit: one means the entries were not written as a set.
    return set.name.find(u'\0') == std::u16string::npos;
}

}  // namespace

uint16_t ExfatSetChecksum(const unsigned char* pSet, size_t uEntries) {
    uint16_t sum = 0;
    for (size_t i = 0; i < uEntries * kExfatEntryBytes; ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t byte = pSet[i];
        if (i % kExfatEntryBytes == 0) byte |= EXFAT_ENTRY_IN_USE;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
    return sum;
}

void ParseExfatFolder(const unsigned char* p, size_t uLength, ExfatFolderContent& out) {
    size_t at = 0;
    while (at + kExfatEntryBytes <= uLength) {
        const unsigned char* e = p + at;
        if (e[0] == EXFAT_ENTRY_END) {
            out.bEnded = true;
            return;
        }
        if (e[0] == EXFAT_ENTRY_BITMAP) {
            out.bitmaps.push_back({LoadU32(e + 0x14), LoadU64(e + 0x18)});
        } else if (e[0] == EXFAT_ENTRY_FILE || IsDeletedType(e[0], EXFAT_ENTRY_FILE)) {
            ExfatEntrySet set;
            set.uOffset = at;
            if (ReadSet(e, uLength - at, set)) {
                at += size_t{e[1] + 1u} * kExfatEntryBytes;
                out.sets.push_back(std::move(set));
                continue;
            }
            ++out.uBrokenSets;
            if (e[0] == EXFAT_ENTRY_FILE) ++out.uBrokenLiveSets;
        }
        at += kExfatEntryBytes;
    }
}

size_t ExfatOpenSetOffset(const unsigned char* p, size_t uLength) {
    constexpr uint32_t kMaxSecondaries = 18;  // a stream and seventeen name entries
    size_t open = uLength;
    for (size_t at = 0; at + kExfatEntryBytes <= uLength; at += kExfatEntryBytes) {
        const unsigned char* e = p + at;
        if (e[0] != EXFAT_ENTRY_FILE && !IsDeletedType(e[0], EXFAT_ENTRY_FILE)) continue;
        if (e[1] < 2 || e[1] > kMaxSecondaries) continue;
        if (at + size_t{e[1] + 1u} * kExfatEntryBytes > uLength) open = at;
    }
    return open;
}

bool IsExfatDirectoryEntryType(uint8_t uType) {
    switch (uType & static_cast<uint8_t>(~EXFAT_ENTRY_IN_USE)) {
        case 0x00:  // end mark (in use: reserved but harmless)
        case 0x01:  // allocation bitmap
        case 0x02:  // up-case table
        case 0x03:  // volume label
        case 0x05:  // file
        case 0x20:  // volume GUID
        case 0x40:  // stream extension
        case 0x41:  // file name
        case 0x60:  // vendor extension
        case 0x61:  // vendor allocation
            return true;
        default:
            return false;
    }
}

int64_t ExfatStampToUnix(const ExfatStamp& stamp) {
    const uint32_t s = stamp.uStamp;
    const int year = 1980 + static_cast<int>(s >> 25);
    const unsigned month = std::clamp((s >> 21) & 0x0Fu, 1u, 12u);
    const unsigned day = std::clamp((s >> 16) & 0x1Fu, 1u, 31u);
    const int64_t seconds = int64_t{std::min((s >> 11) & 0x1Fu, 23u)} * 3600 +
                            int64_t{std::min((s >> 5) & 0x3Fu, 59u)} * 60 +
                            int64_t{std::min(s & 0x1Fu, 29u)} * 2 + stamp.uTenMs / 100;
    // Days from 1970 to the date (the civil-from-days inverse, proleptic Gregorian).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t{era} * 146097 + doe - 719468;
    int64_t unix = days * 86400 + seconds;
    if (stamp.uUtcOffset & 0x80) {
        // Seven-bit two's complement quarter hours: local time is UTC plus the offset.
        const int quarters =
            (stamp.uUtcOffset & 0x40) ? (stamp.uUtcOffset & 0x7F) - 128 : (stamp.uUtcOffset & 0x7F);
        unix -= int64_t{quarters} * 15 * 60;
    }
    return unix;
}
