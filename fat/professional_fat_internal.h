// Small helpers the deep FAT parser's source files share: what a directory entry says about
// itself, read from its 32 bytes. Not part of the parser's contract.
#pragma once

#include <cstdint>
#include <string>

#include "fat/fat_entry.h"
#include "foundation/bytes.h"
#include "foundation/recognisers.h"

namespace profat {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kEntriesPerSector = kSectorBytes / kFatEntrySize;

// How the first entry of a sector may continue a long name left open in another sector.
enum EntryKind : uint8_t {
    kEntryOther = 0,
    kEntryLongName = 1,
    kEntryLiveShort = 2,
    kEntryDeletedShort = 3,
};

inline uint32_t EntryCluster(const unsigned char* e) {
    return (uint32_t{LoadU16(e + 0x14)} << 16) | LoadU16(e + 0x1A);
}

inline bool IsLongNameEntry(const unsigned char* e) {
    return e[0x0B] == FAT_ATTR_LONG_NAME;
}

inline bool IsDeleted(const unsigned char* e) {
    return e[0] == FAT_ENTRY_DELETED;
}

// A folder's first sector: its "." entry, then its ".." entry (64 bytes are read).
inline bool OpensWithDotPair(const unsigned char* p) {
    return (p[0x0B] & FAT_ATTR_DIRECTORY) && p[0] == '.' && p[1] == ' ' && p[32] == '.' &&
           p[33] == '.';
}

// A piece that holds the end of its name (the terminator or the padding after it) is the
// first piece of a chain as stored, even when deletion has erased its ordinal.
bool HoldsNameEnd(const unsigned char* e);

// True when a sector starts in the middle of a long name: its first entry is a piece that
// cannot be the first one stored, so the name's head lies in another sector.
bool StartsInsideLongName(const unsigned char* p);

// The kind, checksum and first byte of an entry, as the chain joining compares them.
struct EntryKey {
    uint8_t uKind = kEntryOther;
    uint8_t uCheckSum = 0;
    uint8_t uFirstByte = 0;
};
EntryKey KeyOfEntry(const unsigned char* e);

// A deleted short entry lost its first byte. Exactly one byte value gives the chain's
// checksum; the chain belongs to the entry only when that value can start the short name of
// a long name beginning with wcFirstUnit.
bool DeletedShortNameFits(const unsigned char* e, uint8_t uCheckSum, char16_t wcFirstUnit);

// The first character of a long name that a short name can keep (leading spaces and dots are
// dropped), read from the piece that holds the name's start; 0 when that piece has none.
char16_t FirstUsableUnit(const unsigned char* pFirstPiece);

// The 8.3 name as records show it: lower-cased, a deletion mark shown as '!'.
std::string ShortEntryName(const unsigned char* e, bool bFolder);

}  // namespace profat
