// The deep exFAT parser over an arbitrary volume image held in memory, fed sector by sector as
// the deep-scan coordinator feeds it, then rebuilt, browsed, searched and previewed.
//
// Input: one control byte, then the image (whole 512-byte sectors, at most 1 MiB). Control
// bits: 1 feeds the sectors in descending order instead of ascending; 2 also hands every
// sector the recogniser refuses to the parser, as if it had accepted it; 4 hands every sector
// to the boot-sector reader.
#include <cstdint>
#include <vector>

#include "exfat/professional_exfat_recovery.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kSector = 512;

void Browse(CProfessionalExfatRecovery& engine, _FILE_NODE_* parent, unsigned int level,
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

void Feed(CProfessionalExfatRecovery& engine, const uint8_t* image, size_t sectors,
          uint8_t control) {
    for (size_t i = 0; i < sectors; ++i) {
        const size_t at = (control & 1) ? sectors - 1 - i : i;
        const uint8_t* p = image + at * kSector;
        if ((control & 2) || IsExfatDirectorySector(p, kSector)) engine.ParseDirectorySector(p, at);
        if ((control & 4) || IsExfatBootSector(p, kSector)) engine.ParseBootSector(at);
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
        CProfessionalExfatRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(sectors), u'C') == 0 &&
            engine.BeginPass(nullptr) == 0) {
            Feed(engine, image, sectors, control);
            engine.EndPass();
            int budget = 256;
            Browse(engine, nullptr, 0, budget);
            std::vector<__SEARCH_FILE_INFO__> found;
            engine.SearchFileNode(u"*.jpg|*.txt|*.other", found);
        }
    }
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
