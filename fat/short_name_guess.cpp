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

void ShortNameSiblings::Note(const unsigned char* e) {
    const uint8_t attr = e[0x0B];
    if (e[0] == FAT_ENTRY_DELETED || e[0] == 0 || attr == FAT_ATTR_LONG_NAME ||
        (attr & (FAT_ATTR_DIRECTORY | FAT_ATTR_VOLUME_LABEL)) || !IsNumberedName(e) ||
        m_names.size() >= kMaxNames) {
        return;
    }
    std::array<unsigned char, 11> name;
    std::memcpy(name.data(), e, name.size());
    m_names.push_back(name);
}

bool ShortNameSiblings::GuessFirstByte(const unsigned char* e, unsigned char* pByte) const {
    if (e[0] != FAT_ENTRY_DELETED || !IsNumberedName(e)) return false;
    int agreed = -1;
    for (const auto& name : m_names) {
        if (std::memcmp(name.data() + 1, e + 1, 3) != 0 || std::memcmp(name.data() + 8, e + 8, 3))
            continue;
        if (agreed >= 0 && agreed != name[0]) return false;  // the siblings disagree
        agreed = name[0];
    }
    if (agreed < 0 || !IsNameByte(static_cast<unsigned char>(agreed))) return false;
    *pByte = static_cast<unsigned char>(agreed);
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
