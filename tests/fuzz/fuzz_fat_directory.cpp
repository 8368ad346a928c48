// Directory-sector recognisers over arbitrary bytes: whole buffers, every entry offset with
// the bytes that remain after it, and the dot-pair test; the label readers over the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fat/fat_entry.h"
#include "fat/fat_volume_label.h"
#include "foundation/recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    IsFatFDTRecord(data, static_cast<int>(size));
    FatRootFolderLabel(data, size);
    FatBootSectorLabel(data, size, false);
    FatBootSectorLabel(data, size, true);
    for (size_t offset = 0; offset < size; offset += kFatEntrySize) {
        IsFatEntyValid(data + offset, size - offset);
        IsFatEntryValidInFolder(data + offset, size - offset);
        IsFatFileRecord(data + offset, size - offset);
    }
    if (size >= kFatEntrySize) {
        FAT32_Entry entry;
        std::memcpy(&entry, data, sizeof entry);
        _FILETIME t;
        Fat32GetFileCreateTime(&entry, &t);
        Fat32GetFileLastAccessTime(&entry, &t);
        Fat32GetFileLastChangeTime(&entry, &t);
        GetShortNameCheckSum(data + 0);
        IsInvalidShortFileName(data + 0);
    }
    return 0;
}
