// The LZNT1 decompressor over arbitrary bytes taken as one compression unit, into a unit of
// 64 KiB (16 clusters of 4 KiB) and of 8 KiB (16 clusters of 512 bytes). Every buffer is
// exactly as long as the bytes it holds, so a read or write outside it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "foundation/result.h"
#include "ntfs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 128 * 1024) return 0;
    const std::vector<unsigned char> in(data, data + size);
    for (size_t capacity : {size_t{65536}, size_t{8192}}) {
        std::vector<unsigned char> out(capacity);
        const int64_t produced = DecompressLznt1Unit(in.data(), in.size(), out.data(), capacity);
        if (produced != RESULT_BAD_COMPRESSED_DATA &&
            (produced < 0 || static_cast<size_t>(produced) > capacity)) {
            std::abort();
        }
    }
    return 0;
}
