#include "fat/short_name_guess.h"

#include <algorithm>
#include <cstring>

#include "fat/fat_entry.h"

namespace {

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Four characters and four digits: the shape of a numbered picture's name.
bool IsNumberedName(const unsigned char* p11) {
    return std::all_of(p11 + 4, p11 + 8, IsDigit) && p11[1] != ' ' && p11[2] != ' ' &&
           p11[3] != ' ';
}

bool IsNameByte(unsigned char c) {
    return c > ' ' && c != FAT_ENTRY_DELETED && c != 0x05 && c != '.' &&
           std::strchr("\"*+,/:;<=>?[\\]|", c) == nullptr;
}

}  // namespace

ShortNameSiblings::Pattern ShortNameSiblings::PatternOf(const unsigned char* e) {
    return {e[1], e[2], e[3], e[8], e[9], e[10]};
}

void ShortNameSiblings::Note(const unsigned char* e) {
    const uint8_t attr = e[0x0B];
    if (e[0] == FAT_ENTRY_DELETED || e[0] == 0 || attr == FAT_ATTR_LONG_NAME ||
        (attr & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME_LABEL)) || !IsNumberedName(e)) {
        return;
    }
    const auto [at, added] = m_firstByteOf.try_emplace(PatternOf(e), e[0]);
    if (!added && at->second != e[0]) at->second = kDisagree;
    if (added && m_firstByteOf.size() > kMaxPatterns) m_firstByteOf.erase(at);
}

bool ShortNameSiblings::GuessFirstByte(const unsigned char* e, unsigned char* pByte) const {
    if (e[0] != FAT_ENTRY_DELETED || !IsNumberedName(e)) return false;
    const auto found = m_firstByteOf.find(PatternOf(e));
    if (found == m_firstByteOf.end() || found->second == kDisagree) return false;
    const auto first = static_cast<unsigned char>(found->second);
    if (!IsNameByte(first)) return false;
    *pByte = first;
    return true;
}

std::string ShortNameSiblings::NameOf(const unsigned char* e) const {
    unsigned char first = 0;
    if (!GuessFirstByte(e, &first)) return ShortEntryName(e);
    unsigned char named[32];
    std::memcpy(named, e, sizeof named);
    named[0] = first;
    return ShortEntryName(named);
}
