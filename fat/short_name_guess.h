// The first letter of a deleted short name, from the live names beside it. Deleting a file
// overwrites the first byte of its short entry; a name with no long name loses its first
// letter for good ("!MG_0042.JPG"). Cameras number their pictures: four characters, then four
// digits ("IMG_0042", "DSC_0042", "P1000042", "DSCF0042"). When every live sibling that shares
// the deleted name's other three characters, extension and digit pattern starts with one and
// the same letter, that letter is the one the deleted name lost.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>

class ShortNameSiblings {
public:
    // A live short entry of the folder (any other entry is ignored).
    void Note(const unsigned char* pEntry);
    // The first name byte of the deleted entry, when its siblings agree on it.
    bool GuessFirstByte(const unsigned char* pDeletedEntry, unsigned char* pByte) const;
    // The entry's short name (ShortEntryName), its first letter guessed where it can be.
    std::string NameOf(const unsigned char* pEntry) const;
    void Clear() { m_firstByteOf.clear(); }

private:
    // Bounds the evidence one folder keeps; a folder holds at most 65536 entries.
    static constexpr size_t kMaxPatterns = 65536;
    static constexpr int kDisagree = -1;
    // A name's pattern (its characters 2-4 and its extension) -> the first byte every live
    // name of that pattern has, or kDisagree.
    using Pattern = std::array<unsigned char, 6>;
    static Pattern PatternOf(const unsigned char* pEntry);
    std::map<Pattern, int> m_firstByteOf;
};
