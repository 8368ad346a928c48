#include "exfat/exfat_volume_label.h"

#include <vector>

#include "exfat/exfat_entries.h"
#include "exfat/fast_exfat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"

namespace {

constexpr uint8_t kLabelEntry = 0x83;    // in use
constexpr uint8_t kNoLabelEntry = 0x03;  // the same entry, cleared: the volume has no label
constexpr size_t kLongestLabel = 11;     // UTF-16 units
constexpr size_t kLabelCharactersAt = 2;

}  // namespace

std::string ExfatRootFolderLabel(const unsigned char* pEntries, size_t nBytes) {
    if (pEntries == nullptr) return {};
    for (size_t offset = 0; offset + kExfatEntryBytes <= nBytes; offset += kExfatEntryBytes) {
        const unsigned char* entry = pEntries + offset;
        if (entry[0] == EXFAT_ENTRY_END || entry[0] == kNoLabelEntry) break;
        if (entry[0] != kLabelEntry) continue;
        const size_t units = entry[1];
        if (units > kLongestLabel) {
            DebugLog("ExfatRootFolderLabel: a label entry claims %zu characters\n", units);
            return {};
        }
        std::u16string label;
        for (size_t i = 0; i < units; ++i)
            label += static_cast<char16_t>(LoadU16(entry + kLabelCharactersAt + 2 * i));
        return WideToUtf8(label);
    }
    return {};
}

std::string ExfatVolumeLabel(CFastExfatRecovery& volume) {
    std::vector<unsigned char> root;
    if (!volume.ReadRootFolderStart(root)) {
        DebugLog("ExfatVolumeLabel: the root folder cannot be read\n");
        return {};
    }
    return ExfatRootFolderLabel(root.data(), root.size());
}
