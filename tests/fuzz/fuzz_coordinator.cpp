// The whole deep scan over a small disk image that the input damages: the engine factory
// builds the coordinator for the volume, as the job driver does; it scans (quick engine, the
// pass over free sectors feeding the deep FAT and NTFS parsers and the carving engine, the
// folder rebuilds, the checkpoint), and what it found is searched, browsed, previewed and
// recovered into a scratch folder. Nothing may fault, whatever the damage.
//
// The images are real volumes made by the file-system tools, loaded once: the FAT12 floppy
// fixture, a 2 MiB NTFS volume and a 3 MiB disk with an MBR and one FAT16 partition (the
// partition is scanned, as the window offers it). The input is a script applied to a copy:
//
//   byte 0      control: bits 0-1 pick the image (modulo their count); bit 5 runs a second
//               coordinator that resumes the first one's checkpoint; bit 6 cancels the scan
//               at its third progress report; bit 7 opens the volume by path instead of by
//               disk number
//   records     [op u8][offset u32 LE][length u16 LE][operands], applied in order; offsets
//               are taken modulo the image's current size:
//                 op 0  overwrite: `length` payload bytes (fewer when the input ends)
//                 op 1  fill `length` bytes with the operand byte
//                 op 2  truncate the image to `offset` bytes
//                 op 3  copy `length` bytes from the operand offset (u32 LE) to `offset`
//               (op is taken modulo 4)
//
// A run stays small and leaves nothing behind: only a few records are previewed, only small
// files (and one small folder) are recovered, and the scratch folder and the whole scan-log
// root are emptied after every run.
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
#include "engine/professional_recovery.h"
#include "engine/recovery_job.h"
#include "foundation/text.h"
#include "fuzz/fuzz_support.h"

#ifndef FERROWEN_FUZZ_TEMPLATE_DIR
#error "the build must define FERROWEN_FUZZ_TEMPLATE_DIR as the path of tests/fuzz/templates"
#endif
#ifndef FERROWEN_FIXTURE_DIR
#error "the build must define FERROWEN_FIXTURE_DIR as the path of tests/fixtures"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxScriptBytes = 65536;
constexpr size_t kMaxRecords = 64;
constexpr size_t kRecordHeaderBytes = 7;
constexpr int kMaxPreviews = 12;
constexpr int kMaxBrowsedNodes = 64;
constexpr unsigned int kMaxBrowseDepth = 4;
constexpr size_t kMaxRecoveredFiles = 6;
constexpr uint64_t kMaxRecoveredFileBytes = 256 * 1024;
constexpr int kMaxFolderNodes = 24;
constexpr uint64_t kMaxFolderBytes = 512 * 1024;

enum ControlBits : uint8_t {
    kResume = 1u << 5,
    kCancel = 1u << 6,
    kByPath = 1u << 7,
};

struct Template {
    const char* path;
    bool partitioned;  // scan the first partition of its table, not the whole disk
    Bytes image;
};

Bytes Gunzip(const std::string& path) {
    Bytes out;
    const std::string command = "gzip -dc '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.insert(out.end(), buf, buf + n);
    if (pclose(pipe) != 0) out.clear();
    return out;
}

// A fuzz run without its images would prove nothing, so a missing one stops the process.
std::vector<Template>& Templates() {
    static std::vector<Template> templates = [] {
        std::vector<Template> t = {
            {FERROWEN_FIXTURE_DIR "/fat12.img.gz", false, {}},
            {FERROWEN_FUZZ_TEMPLATE_DIR "/ntfs_small.img.gz", false, {}},
            {FERROWEN_FUZZ_TEMPLATE_DIR "/mbr_fat16.img.gz", true, {}},
        };
        for (Template& one : t) {
            one.image = Gunzip(one.path);
            if (one.image.empty()) {
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
        switch (op) {
            case 0: {
                const size_t n = std::min(room, size - at);
                std::memcpy(image.data() + offset, data + at, n);
                at += std::min(length, size - at);
                break;
            }
            case 1:
                if (at >= size) return;
                std::memset(image.data() + offset, data[at++], room);
                break;
            case 2:
                image.resize(offset);
                break;
            default: {
                if (at + 4 > size) return;
                const size_t from = LoadLe32(data + at) % image.size();
                at += 4;
                const size_t n = std::min(room, image.size() - from);
                std::memmove(image.data() + offset, image.data() + from, n);
                break;
            }
        }
    }
}

struct ScanProgress {
    bool cancel = false;
    int reports = 0;
};

int OnScanProgress(void* ctx, int, int, int, uint64_t, uint64_t, uint64_t, const char16_t*) {
    auto* progress = static_cast<ScanProgress*>(ctx);
    return progress->cancel && ++progress->reports >= 3 ? 1 : 0;
}

int OnSearchProgress(void*, int, const char16_t*) {
    return 0;
}

// The volume a scan is started on: the first partition of a partitioned image (the whole
// disk when its table lists none), else the whole disk.
void PickVolume(const ferrowen::fuzz::MemoryImage& memory, bool partitioned, long long& start,
                long long& count) {
    start = 0;
    count = static_cast<long long>(memory.size() / 512);
    if (!partitioned) return;
    std::vector<_PARTITION_ITEM_> items;
    CPartitionManager manager;
    manager.ListDiskPartitions(memory.fd(), 0, memory.path().c_str(), items);
    if (items.empty()) return;
    const uint64_t first = items[0].u64StartSector;
    const uint64_t last = items[0].u64EndSector;
    start = static_cast<long long>(first);
    count = static_cast<long long>(last - first + 1);
}

std::unique_ptr<CProfessionalRecovery> MakeCoordinator(const ferrowen::fuzz::MemoryImage& memory,
                                                       bool byPath, bool partitioned) {
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    IFileRecoveryParse* engine = nullptr;
    if (byPath) {
        engine = factory->CreateFileRecoveryInstance(Utf8ToWide(memory.path().c_str()).c_str(),
                                                     u'F', RECOVERY_TYPE_PROFESSIONAL);
    } else {
        long long start = 0, count = 0;
        PickVolume(memory, partitioned, start, count);
        engine =
            factory->CreateFileRecoveryInstance(0, start, count, u'F', RECOVERY_TYPE_PROFESSIONAL);
    }
    // Any type but the quick one gives the coordinator.
    return std::unique_ptr<CProfessionalRecovery>(static_cast<CProfessionalRecovery*>(engine));
}

struct Findings {
    std::vector<_FILE_NODE_> toRecover;
    bool folderChosen = false;
};

// True when the folder's tree is small enough to recover whole within a run's budget.
bool IsSmallTree(CProfessionalRecovery& engine, _FILE_NODE_& folder, unsigned int level, int& nodes,
                 uint64_t& bytes) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(&folder, level + 1, children) != 0) return false;
    for (_FILE_NODE_& child : children) {
        if (++nodes > kMaxFolderNodes) return false;
        if (child.bIsDir) {
            if (level + 1 >= kMaxBrowseDepth ||
                !IsSmallTree(engine, child, level + 1, nodes, bytes)) {
                return false;
            }
            continue;
        }
        bytes += child.u64FileSize;
        if (child.u64FileSize > kMaxRecoveredFileBytes || bytes > kMaxFolderBytes) return false;
    }
    return true;
}

void Browse(CProfessionalRecovery& engine, _FILE_NODE_* parent, unsigned int level, int& budget,
            int& previews, Findings& findings) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(parent, level, children) != 0) return;
    std::vector<unsigned char> preview(4096);
    for (_FILE_NODE_& child : children) {
        if (--budget < 0) return;
        unsigned int count = 0;
        engine.GetChildrenFileCount(&child, level + 1, count);
        char16_t where[512];
        engine.GetFileNodeParentDirPath(&child, where, 512);
        if (child.bIsDir) {
            int nodes = 0;
            uint64_t bytes = 0;
            if (!findings.folderChosen && IsSmallTree(engine, child, level, nodes, bytes)) {
                findings.toRecover.push_back(child);
                findings.folderChosen = true;
            }
            if (level + 1 < kMaxBrowseDepth) {
                Browse(engine, &child, level + 1, budget, previews, findings);
            }
            continue;
        }
        if (previews++ >= kMaxPreviews) continue;
        int length = static_cast<int>(preview.size());
        char16_t tmp[512] = {};
        engine.PreView(&child, tmp, 512, preview.data(), length, nullptr, nullptr);
    }
}

void Exercise(CProfessionalRecovery& engine, const std::string& outDir) {
    engine.GetLostFileCount();
    engine.InitSearchCallBack(OnSearchProgress, nullptr);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine.SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);

    Findings findings;
    int budget = kMaxBrowsedNodes;
    int previews = 0;
    Browse(engine, nullptr, 0, budget, previews, findings);

    for (const __SEARCH_FILE_INFO__& file : found) {
        if (findings.toRecover.size() >= kMaxRecoveredFiles) break;
        if (!file.bIsDir && file.u64FileSize <= kMaxRecoveredFileBytes) {
            findings.toRecover.push_back(file);
        }
    }
    CRecoveryJob job(&engine, nullptr, nullptr);
    job.Attach();
    job.Run(findings.toRecover, Utf8ToWide(outDir.c_str()));
    // FERROWEN_FUZZ_VERBOSE shows what a seed reaches, to tell a seed that scans something
    // from one that is refused early.
    if (std::getenv("FERROWEN_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "found %zu, browsed %d, recovered %u, failed %u\n", found.size(),
                     kMaxBrowsedNodes - std::max(budget, 0), job.Summary().uRecovered,
                     job.Summary().uFailed);
    }
}

void ScanAndExercise(const ferrowen::fuzz::MemoryImage& memory, uint8_t control, bool partitioned,
                     const std::string& outDir) {
    const bool byPath = (control & kByPath) != 0;
    std::unique_ptr<CProfessionalRecovery> engine = MakeCoordinator(memory, byPath, partitioned);
    if (!engine) return;
    engine->SetNotLoadLogFile();
    ScanProgress progress{(control & kCancel) != 0};
    engine->InitCallBack(OnScanProgress, nullptr, &progress, 100);
    engine->ScanDevice(nullptr);
    Exercise(*engine, outDir);
    engine.reset();

    // A volume opened by path never resumes, so only the disk form gets a second scan.
    if ((control & kResume) == 0 || byPath) return;
    std::unique_ptr<CProfessionalRecovery> resumed = MakeCoordinator(memory, false, partitioned);
    if (!resumed) return;
    resumed->IsFindLogFile();
    ScanProgress quiet;
    resumed->InitCallBack(OnScanProgress, nullptr, &quiet, 100);
    resumed->ScanDevice(nullptr);
    std::vector<__SEARCH_FILE_INFO__> found;
    resumed->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxScriptBytes) return 0;
    const std::string& root = ferrowen::fuzz::ScanLogRoot();
    if (root.empty()) return 0;
    std::vector<Template>& templates = Templates();
    const uint8_t control = data[0];
    const Template& chosen = templates[(control & 3) % templates.size()];
    Bytes image = chosen.image;
    ApplyScript(data + 1, size - 1, image);

    const ferrowen::fuzz::MemoryImage memory(image.data(), image.size());
    if (!memory.ok()) return 0;
    memory.BecomeDiskZero();
    const std::string outDir = root + "/out";
    ScanAndExercise(memory, control, chosen.partitioned, outDir);

    std::error_code ignored;
    std::filesystem::remove_all(outDir, ignored);
    ferrowen::fuzz::ResetScanLogRoot();
    return 0;
}
