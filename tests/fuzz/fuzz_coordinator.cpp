// The whole deep scan over a small disk image that the input damages: the factory builds the
// coordinator for the volume, as the job driver does; it scans (quick engine, the pass over
// free sectors feeding the deep parsers and the carving engine, the folder rebuilds, the
// checkpoint), and what it found is searched, browsed, previewed and recovered into a scratch
// folder. Nothing may fault, whatever the damage. The images are real volumes, loaded once:
// the FAT12 floppy fixture, a 2 MiB NTFS volume and a 3 MiB MBR disk whose FAT16 partition is
// scanned, as the window offers it. The input is a script applied to a copy:
//
//   byte 0   control: bits 0-1 pick the image (modulo their count); bit 5 runs a second
//            coordinator that resumes the first one's checkpoint; bit 6 cancels the scan at its
//            third progress report; bit 7 opens the volume by path instead of by disk number
//   records  [op u8][offset u32 LE][length u16 LE][operands], applied in order; offsets are
//            taken modulo the image's current size; op (modulo 4) 0: overwrite with `length`
//            payload bytes (fewer when the input ends), 1: fill `length` bytes with the operand
//            byte, 2: truncate the image to `offset` bytes, 3: copy `length` bytes from the
//            operand offset (u32 LE) to `offset`
//
// A run stays small (a few previews, only small files and one small folder recovered) and
// leaves nothing behind: the scratch folder and the whole scan-log root are emptied each time.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disk/partition_manager.h"
#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "foundation/text.h"
#include "fuzz/fuzz_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Engine = std::unique_ptr<IFileRecoveryParse>;

constexpr size_t kMaxRecords = 64, kRecordHeaderBytes = 7;
constexpr int kMaxPreviews = 12, kMaxBrowsedNodes = 64, kMaxFolderNodes = 24;
constexpr unsigned int kMaxBrowseDepth = 4;
constexpr size_t kMaxRecoveredFiles = 6;
constexpr uint64_t kMaxRecoveredFileBytes = 256 * 1024, kMaxFolderBytes = 512 * 1024;
constexpr uint8_t kResume = 1u << 5, kCancel = 1u << 6, kByPath = 1u << 7;

struct Template {
    const char* path;
    bool partitioned;  // scan the first partition of its table, not the whole disk
    Bytes image;
};

// A fuzz run without its images would prove nothing, so a missing one stops the process.
std::vector<Template>& Templates() {
    static std::vector<Template> templates = [] {
        std::vector<Template> t = {{FERROWEN_FIXTURE_DIR "/fat12.img.gz", false, {}},
                                   {FERROWEN_FUZZ_TEMPLATE_DIR "/ntfs_small.img.gz", false, {}},
                                   {FERROWEN_FUZZ_TEMPLATE_DIR "/mbr_fat16.img.gz", true, {}}};
        for (Template& one : t) {
            FILE* pipe = popen(("gzip -dc '" + std::string(one.path) + "'").c_str(), "r");
            uint8_t buf[65536];
            for (size_t n; pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
                one.image.insert(one.image.end(), buf, buf + n);
            if (pipe == nullptr || pclose(pipe) != 0 || one.image.empty()) {
                std::fprintf(stderr, "fuzz_coordinator: cannot load %s\n", one.path);
                std::abort();
            }
        }
        return t;
    }();
    return templates;
}

uint32_t LoadLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Applies the mutation records to the image; stops at the first record the input cuts short.
void ApplyScript(const uint8_t* data, size_t size, Bytes& image) {
    size_t at = 0;
    for (size_t records = 0; records < kMaxRecords && at + kRecordHeaderBytes <= size; ++records) {
        const uint8_t op = data[at] % 4;
        const uint32_t rawOffset = LoadLe32(data + at + 1);
        const size_t length = data[at + 5] | (data[at + 6] << 8);
        at += kRecordHeaderBytes;
        if (image.empty()) return;
        const size_t offset = rawOffset % image.size();
        const size_t room = std::min(length, image.size() - offset);
        if (op == 0) {
            std::memcpy(image.data() + offset, data + at, std::min(room, size - at));
            at += std::min(length, size - at);
        } else if (op == 1) {
            if (at >= size) return;
            std::memset(image.data() + offset, data[at++], room);
        } else if (op == 2) {
            image.resize(offset);
        } else {
            if (at + 4 > size) return;
            const size_t from = LoadLe32(data + at) % image.size();
            at += 4;
            std::memmove(image.data() + offset, image.data() + from,
                         std::min(room, image.size() - from));
        }
    }
}

// ctx counts the reports, from 0 to cancel at the third one, from -1 never to cancel.
int OnScanProgress(void* ctx, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    int* reports = static_cast<int*>(ctx);
    return *reports >= 0 && ++*reports >= 3 ? 1 : 0;
}

int OnSearchProgress(void*, int, const char16_t*) {
    return 0;
}

// The coordinator for the volume: the first partition of a partitioned image (the whole disk
// when its table lists none), else the whole disk. Any type but the quick one gives it.
Engine MakeCoordinator(const ferrowen::fuzz::MemoryImage& memory, bool byPath, bool partitioned) {
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    if (byPath) {
        return Engine(factory->CreateFileRecoveryInstance(Utf8ToWide(memory.path().c_str()).c_str(),
                                                          u'F', RECOVERY_TYPE_PROFESSIONAL));
    }
    long long start = 0, count = static_cast<long long>(memory.size() / 512);
    std::vector<_PARTITION_ITEM_> items;
    if (partitioned)
        CPartitionManager().ListDiskPartitions(memory.fd(), 0, memory.path().c_str(), items);
    if (!items.empty()) {
        start = static_cast<long long>(items[0].u64StartSector);
        count = static_cast<long long>(items[0].u64EndSector - items[0].u64StartSector + 1);
    }
    return Engine(
        factory->CreateFileRecoveryInstance(0, start, count, u'F', RECOVERY_TYPE_PROFESSIONAL));
}

// True when the folder's tree is small enough to recover whole within a run's budget.
bool IsSmallTree(IFileRecoveryParse& engine, _FILE_NODE_& folder, unsigned int level, int& nodes,
                 uint64_t& bytes) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(&folder, level + 1, children) != 0) return false;
    for (_FILE_NODE_& child : children) {
        if (++nodes > kMaxFolderNodes) return false;
        if (child.bIsDir) {
            if (level + 1 >= kMaxBrowseDepth ||
                !IsSmallTree(engine, child, level + 1, nodes, bytes))
                return false;
        } else if ((bytes += child.u64FileSize) > kMaxFolderBytes ||
                   child.u64FileSize > kMaxRecoveredFileBytes) {
            return false;
        }
    }
    return true;
}

// Browses the tree within a budget of nodes, previews the first files, and picks the first
// small folder and then small files found by the search to recover.
struct Walk {
    int nodes = kMaxBrowsedNodes, previews = 0;
    bool folderChosen = false;
    std::vector<_FILE_NODE_> toRecover;
};

void Browse(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level, Walk& walk) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(parent, level, children) != 0) return;
    std::vector<unsigned char> preview(4096);
    for (_FILE_NODE_& child : children) {
        if (--walk.nodes < 0) return;
        unsigned int count = 0;
        engine.GetChildrenFileCount(&child, level + 1, count);
        char16_t text[512] = {};
        engine.GetFileNodeParentDirPath(&child, text, 512);
        int nodes = 0, length = static_cast<int>(preview.size());
        uint64_t bytes = 0;
        if (!child.bIsDir) {
            if (walk.previews++ < kMaxPreviews)
                engine.PreView(&child, text, 512, preview.data(), length, nullptr, nullptr);
            continue;
        }
        if (!walk.folderChosen && IsSmallTree(engine, child, level, nodes, bytes)) {
            walk.toRecover.push_back(child);
            walk.folderChosen = true;
        }
        if (level + 1 < kMaxBrowseDepth) Browse(engine, &child, level + 1, walk);
    }
}

void ScanAndExercise(const ferrowen::fuzz::MemoryImage& memory, uint8_t control, bool partitioned,
                     const std::string& outDir) {
    const bool byPath = (control & kByPath) != 0;
    Engine engine = MakeCoordinator(memory, byPath, partitioned);
    if (!engine) return;
    engine->SetNotLoadLogFile();
    int reports = (control & kCancel) != 0 ? 0 : -1;
    engine->InitCallBack(OnScanProgress, nullptr, &reports, 100);
    engine->ScanDevice(nullptr);
    engine->GetLostFileCount();
    engine->InitSearchCallBack(OnSearchProgress, nullptr);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    Walk walk;
    Browse(*engine, nullptr, 0, walk);
    for (const __SEARCH_FILE_INFO__& file : found) {
        if (walk.toRecover.size() >= kMaxRecoveredFiles) break;
        if (!file.bIsDir && file.u64FileSize <= kMaxRecoveredFileBytes)
            walk.toRecover.push_back(file);
    }
    CRecoveryJob job(engine.get(), nullptr, nullptr);
    job.Attach();
    job.Run(walk.toRecover, Utf8ToWide(outDir.c_str()));
    engine.reset();
    // A volume opened by path never resumes, so only the disk form gets a second scan.
    if ((control & kResume) == 0 || byPath) return;
    if (Engine resumed = MakeCoordinator(memory, false, partitioned)) {
        resumed->IsFindLogFile();
        int never = -1;
        resumed->InitCallBack(OnScanProgress, nullptr, &never, 100);
        resumed->ScanDevice(nullptr);
        resumed->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 65536) return 0;
    const std::string& root = ferrowen::fuzz::ScanLogRoot();
    if (root.empty()) return 0;
    const Template& chosen = Templates()[(data[0] & 3) % Templates().size()];
    Bytes image = chosen.image;
    ApplyScript(data + 1, size - 1, image);
    const ferrowen::fuzz::MemoryImage memory(image.data(), image.size());
    if (!memory.ok()) return 0;
    memory.BecomeDiskZero();
    ScanAndExercise(memory, data[0], chosen.partitioned, root + "/out");
    std::error_code ignored;
    std::filesystem::remove_all(root + "/out", ignored);
    ferrowen::fuzz::ResetScanLogRoot();
    return 0;
}
