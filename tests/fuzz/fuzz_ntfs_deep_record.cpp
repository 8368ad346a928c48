// The deep NTFS engine over an arbitrary image held in memory, driven as the deep-scan
// coordinator drives it: every sector that could start a FILE record is handed to the record
// parse, then the folder pass runs, and what was found is browsed, looked up, previewed and
// recovered. Nothing may fault and no read may leave the buffers it was given.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "fuzz/fuzz_support.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace {

constexpr size_t kRecord = CProfessionalNtfsRecovery::kBytesPerRecord;

void Feed(CProfessionalNtfsRecovery& engine, const uint8_t* data, size_t size) {
    for (size_t offset = 0; offset + kRecord <= size; offset += 512) {
        const unsigned char* p = data + offset;
        // What the coordinator hands over, and also what merely starts like a record, so that
        // records the recogniser refuses still reach the parse's own checks.
        if (IsNtfsFileRecord(p, static_cast<int>(kRecord)) || std::memcmp(p, "FILE", 4) == 0) {
            engine.ParseNtfsFileRecord(p, static_cast<int>(kRecord), offset / 512);
        }
    }
}

void Exercise(CProfessionalNtfsRecovery& engine, const std::string& outDir) {
    std::vector<_FILE_NODE_> level;
    engine.GetChildrenFileNode(nullptr, 0, level);
    std::vector<unsigned char> preview(4096);
    char16_t tmp[512];
    for (unsigned int depth = 1; depth < 4 && !level.empty(); ++depth) {
        std::vector<_FILE_NODE_> next;
        for (size_t i = 0; i < level.size() && i < 16; ++i) {
            _FILE_NODE_& node = level[i];
            int length = static_cast<int>(preview.size());
            engine.PreView(&node, tmp, 512, preview.data(), length, nullptr, nullptr);
            std::vector<__RUNLIST__> runs;
            engine.GetRunListInfo(node.u64RecordSector, 0x80, runs);
            unsigned int files = 0;
            engine.GetChildrenFileCount(&node, depth, files);
            const std::string target =
                outDir + "/" + std::to_string(depth) + "_" + std::to_string(i);
            engine.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0);
            if (node.bIsDir) engine.GetChildrenFileNode(&node, depth, next);
        }
        level.swap(next);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kRecord || size > (1 << 20)) return 0;
    const std::string& root = ferrowen::fuzz::ScanLogRoot();
    const ferrowen::fuzz::MemoryImage memory(data, size);
    if (!memory.ok() || root.empty()) return 0;
    memory.BecomeDiskZero();
    const std::string outDir = root + "/out";
    std::filesystem::create_directories(outDir);
    {
        CProfessionalNtfsRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(size / 512), u'C') == 0 &&
            engine.InitProfessionalScan(nullptr) == 0) {
            Feed(engine, data, size);
            engine.ParseProfessionalRecordVec();
            Exercise(engine, outDir);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(outDir, ignored);
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
