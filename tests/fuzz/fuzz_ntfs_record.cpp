// FILE-record and boot-sector recognisers over arbitrary bytes, at every record size the
// scanners ask for.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "foundation/recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    for (int recordSize : {512, 1024, 2048, 4096}) {
        if (static_cast<size_t>(recordSize) <= size) IsNtfsFileRecord(data, recordSize);
    }
    IsNtfsFileRecord(data, static_cast<int>(size));
    IsNtfs(data, size);
    IsFat(data, size);
    IsBitlockerDBR(data, size);
    IsExt(data, size);
    return 0;
}
