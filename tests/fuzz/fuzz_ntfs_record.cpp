// FILE-record and boot-sector recognisers over arbitrary bytes, at every record size the
// scanners ask for, and the volume name read from a record.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "foundation/recognisers.h"
#include "ntfs/ntfs_volume_label.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    for (int recordSize : {512, 1024, 2048, 4096}) {
        if (static_cast<size_t>(recordSize) <= size) IsNtfsFileRecord(data, recordSize);
    }
    IsNtfsFileRecord(data, static_cast<int>(size));
    NtfsVolumeNameOfRecord(data, size);
    IsNtfs(data, size);
    IsFat(data, size);
    IsBitlockerDBR(data, size);
    IsExt(data, size);
    return 0;
}
