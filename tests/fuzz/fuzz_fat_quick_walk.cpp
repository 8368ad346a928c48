// The quick FAT engine over an arbitrary volume image held in memory: its label, the directory
// walk, the allocation map and free-space walk, and previews of what was found.
#include <cstdint>
#include <vector>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_volume_label.h"
#include "fuzz/fuzz_support.h"

namespace {

void ExerciseEngine(CFastFatRecovery& engine) {
    engine.ScanDevice(nullptr);
    engine.BuildBitMapInfo();
    unsigned long long start = 0, count = 1;
    for (int runs = 0; runs < 4096; ++runs) {
        engine.GetUnUsedSectorCount(start, count);
        if (count == 0) break;
        start += count;
    }
    std::vector<_FILE_NODE_> roots;
    engine.GetChildrenFileNode(nullptr, 0, roots);
    std::vector<unsigned char> preview(4096);
    for (size_t i = 0; i < roots.size() && i < 8; ++i) {
        int len = static_cast<int>(preview.size());
        char16_t tmp[512];
        engine.PreView(&roots[i], tmp, 512, preview.data(), len, nullptr, nullptr);
        unsigned int files = 0;
        engine.GetChildrenFileCount(&roots[i], 1, files);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4096 || size > (1 << 20)) return 0;
    ferrowen::fuzz::ScanLogRoot();
    const ferrowen::fuzz::MemoryImage image(data, size);
    if (!image.ok()) return 0;
    image.BecomeDiskZero();
    {
        CFastFatRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(size / 512), u'C') == 0) {
            FatVolumeLabel(engine);
            ExerciseEngine(engine);
        }
    }
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
