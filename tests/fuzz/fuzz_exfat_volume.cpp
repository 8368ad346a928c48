// The exFAT quick engine over an arbitrary volume image held in memory: the boot region, the
// entry-set parser and the label reader over the raw bytes, then the volume label, the walk of
// the folder tree, the allocation bitmap and free-space walk, and reads of what was found.
#include <cstdint>
#include <vector>

#include "exfat/exfat_boot.h"
#include "exfat/exfat_entries.h"
#include "exfat/exfat_volume_label.h"
#include "exfat/fast_exfat_recovery.h"
#include "fuzz/fuzz_support.h"

namespace {

void ExerciseParsers(const uint8_t* data, size_t size) {
    ExfatGeometry geometry;
    ParseExfatBootRegion(data, size, size, geometry);
    ExfatFolderContent content;
    ParseExfatFolder(data, size, content);
    ExfatRootFolderLabel(data, size);
    for (const ExfatEntrySet& set : content.sets) {
        ExfatStampToUnix(set.created);
        ExfatStampToUnix(set.modified);
    }
}

void ExerciseEngine(CFastExfatRecovery& engine) {
    engine.BuildBitMapInfo();
    engine.ScanDevice(nullptr);
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
        std::vector<_FILE_NODE_> children;
        engine.GetChildrenFileNode(&roots[i], 1, children);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) return 0;
    ExerciseParsers(data, size);
    if (size < 4096) return 0;
    ferrowen::fuzz::ScanLogRoot();
    const ferrowen::fuzz::MemoryImage image(data, size);
    if (!image.ok()) return 0;
    image.BecomeDiskZero();
    {
        CFastExfatRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(size / 512), u'C') == 0) {
            ExfatVolumeLabel(engine);
            ExerciseEngine(engine);
        }
    }
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
