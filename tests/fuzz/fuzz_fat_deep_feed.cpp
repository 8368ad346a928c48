// The deep FAT parser over an arbitrary volume image held in memory, fed sector by sector as
// the deep-scan coordinator feeds it, then rebuilt, browsed, searched and previewed.
//
// Input: one control byte, then the image (whole 512-byte sectors, at most 1 MiB). Control
// bits: 1 feeds the sectors in descending order instead of ascending; 2 also hands every
// sector the recognisers refuse to the entry parser, as if they had accepted it; 4 skips the
// volume's own boot sector.
#include <cstdint>
#include <vector>

#include "fat/professional_fat_recovery.h"
#include "foundation/recognisers.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kSector = 512;

void FeedSector(CProfessionalFatRecovery& engine, const uint8_t* p, uint64_t sector,
                bool bEverything) {
    if (IsFatFileRecord(p, kSector)) {
        engine.ParseFatFileRecord(p, sector);
    } else if (IsFatFDTRecord(p, static_cast<int>(kSector)) || bEverything) {
        engine.ParseFDTFileRecord(p, sector);
    }
}

void Browse(CProfessionalFatRecovery& engine, _FILE_NODE_* parent, unsigned int level,
            int& budget) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(parent, level, children) != 0) return;
    std::vector<unsigned char> preview(2048);
    for (_FILE_NODE_& child : children) {
        if (--budget < 0) return;
        if (child.bIsDir) {
            unsigned int count = 0;
            engine.GetChildrenFileCount(&child, level + 1, count);
            Browse(engine, &child, level + 1, budget);
            continue;
        }
        int len = static_cast<int>(preview.size());
        engine.PreView(&child, nullptr, 0, preview.data(), len, nullptr, nullptr);
        char16_t path[512];
        engine.GetFileNodeParentDirPath(&child, path, 512);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + kSector || size > 1 + (1 << 20)) return 0;
    const uint8_t control = data[0];
    const uint8_t* image = data + 1;
    const size_t sectors = (size - 1) / kSector;
    ferrowen::fuzz::ScanLogRoot();
    const ferrowen::fuzz::MemoryImage memory(image, sectors * kSector);
    if (!memory.ok()) return 0;
    memory.BecomeDiskZero();
    {
        CProfessionalFatRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(sectors), u'C') == 0) {
            engine.ClearProfessionalVec(nullptr);
            if (!(control & 4)) engine.InitVirtualDbrInfo();
            const bool everything = (control & 2) != 0;
            for (size_t i = 0; i < sectors; ++i) {
                const size_t at = (control & 1) ? sectors - 1 - i : i;
                FeedSector(engine, image + at * kSector, at, everything);
            }
            engine.DealProfessionalRecordVec();
            int budget = 256;
            Browse(engine, nullptr, 0, budget);
            std::vector<__SEARCH_FILE_INFO__> found;
            engine.SearchFileNode(u"*.jpg|*.txt|*.other", found);
        }
    }
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
