#include "fat/fat_volume_label.h"

#include <algorithm>

#include "fat/fast_fat_recovery.h"
#include "foundation/debug_log.h"
#include "foundation/recognisers.h"
#include "foundation/text.h"

namespace {

constexpr size_t kLabelBytes = 11;
constexpr unsigned char kExtendedBootSignature = 0x29;

// Eleven space-padded bytes in the OEM code page as UTF-8; "NO NAME" stands for no label.
std::string DecodeLabel(const unsigned char* pBytes) {
    unsigned char bytes[kLabelBytes];
    std::copy(pBytes, pBytes + kLabelBytes, bytes);
    if (bytes[0] == 0x05) bytes[0] = FAT_ENTRY_DELETED;  // a first byte 0xE5 is stored as 0x05
    size_t length = kLabelBytes;
    while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == 0)) --length;
    const std::string label = OemToUtf8(bytes, length);
    return label == "NO NAME" ? std::string() : label;
}

bool IsVolumeLabelEntry(const unsigned char* pEntry) {
    const unsigned char attr = pEntry[0x0B];
    return attr != FAT_ATTR_LONG_NAME &&
           (attr & (FAT_ATTR_VOLUME_LABEL | FAT_ATTR_DIRECTORY)) == FAT_ATTR_VOLUME_LABEL;
}

}  // namespace

std::string FatRootFolderLabel(const unsigned char* pEntries, size_t nBytes) {
    if (pEntries == nullptr) return {};
    for (size_t offset = 0; offset + kFatEntrySize <= nBytes; offset += kFatEntrySize) {
        const unsigned char* entry = pEntries + offset;
        if (entry[0] == 0x00) break;
        if (entry[0] == FAT_ENTRY_DELETED || !IsVolumeLabelEntry(entry)) continue;
        return DecodeLabel(entry);
    }
    return {};
}

std::string FatBootSectorLabel(const unsigned char* pBoot, size_t nBytes, bool bFat32) {
    const size_t signature = bFat32 ? 0x42 : 0x26;
    const size_t label = bFat32 ? 0x47 : 0x2B;
    if (pBoot == nullptr || nBytes < label + kLabelBytes) return {};
    if (pBoot[signature] != kExtendedBootSignature) return {};
    return DecodeLabel(pBoot + label);
}

std::string FatVolumeLabel(CFastFatRecovery& volume) {
    std::vector<unsigned char> root;
    if (const int result = volume.ReadRootFolderStart(root); result != 0)
        DebugLog("FatVolumeLabel: the root folder cannot be read (%d)\n", result);
    std::string label = FatRootFolderLabel(root.data(), root.size());
    if (!label.empty()) return label;
    const std::vector<unsigned char>& boot = volume.GetBootArea();
    return FatBootSectorLabel(boot.data(), boot.size(),
                              volume.GetFatType() == CFastFatRecovery::kFatType32);
}
